#!/usr/bin/env python3
"""rtptool's command line, one invocation per row: arguments, exit code, stdout, stderr.

Rows run in order on one scratch folder (later rows see the patches earlier ones built).
An expectation is an exact text, ("re", pattern) matched against the whole output, or a
function that returns an error text or None.
usage: cli_test.py RTPTOOL
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

TOOL = os.path.abspath(sys.argv[1])
T = tempfile.mkdtemp(prefix="rtptool-cli-")


def write(rel, data):
    path = os.path.join(T, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def tiny_exe(ms, ls):
    """A Windows executable holding only a version resource: PE headers, one section at
    RVA 0x1000 with the resource tree (type 16, name 1, language 0x409) and VS_VERSIONINFO."""
    va, raw = 0x1000, 0x200
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, ms, ls, ms, ls, 0x3F, 0, 4, 1, 0, 0, 0)
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    info = struct.pack("<3H", 6 + len(key) + 2 + len(fixed), len(fixed), 0) + key + b"\0\0" + fixed

    def node(ident, off, sub):
        return struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, ident, off | (sub << 31))
    rsrc = (node(16, 24, 1) + node(1, 48, 1) + node(0x409, 72, 0) +
            struct.pack("<4I", va + 88, len(info), 0, 0) + info)
    dirs = [(0, 0)] * 16
    dirs[2] = (va, len(rsrc))
    head = (b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"PE\0\0" +
            struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x102) +
            struct.pack("<H", 0x10B) + b"\0" * 90 + struct.pack("<I", 16) +
            b"".join(struct.pack("<II", *d) for d in dirs) +
            struct.pack("<8s6I2HI", b".rsrc", len(rsrc), va, len(rsrc), raw, 0, 0, 0, 0, 0x40000040))
    return head + b"\0" * (raw - len(head)) + rsrc


# Old and new game: a changed file, added and removed files, names with accents and blanks,
# an empty folder, a removed folder, and saves, logs and clutter to leave out.
BIG = bytes((i * 7919) % 251 for i in range(200000))
for tree in ("old", "new"):
    write(tree + "/data/map.dat", BIG if tree == "old" else BIG[:1000] + b"xx" + BIG[1002:])
    write(tree + "/saves/slot0.sav", tree.encode())
write("old/tarrowmain.exe", tiny_exe(0x10000, 0x160000))  # 1.0.22.0: "1.22"
write("new/tarrowmain.exe", tiny_exe(0x10000, 0x170000))  # 1.0.23.0: "1.23"
write("game/tarrowmain.exe", tiny_exe(0x10000, 0x160000))
write("old/gone.txt", b"bye")
write("old/old folder/x.txt", b"x")
write("new/Ärger über.txt", b"neu!")
write("new/empty dir/.keep", b"")
os.remove(os.path.join(T, "new/empty dir/.keep"))
write("new/Thumbs.db", b"clutter")
write("new/debug.log", b"log")
write("new/.rtpignore", b"# player data\nsaves\n*.log\n")

write("game/data/map.dat", BIG)
write("game/gone.txt", b"bye")
write("game/old folder/x.txt", b"x")
write("nolf.rtp", b"")  # replaced below by a CR LF -> LF converted copy

OLD, NEW, P = T + "/old", T + "/new", T + "/p.rtp"
K, K2, S = T + "/k", T + "/k2", T + "/s.rtp"
USAGE = ("re", r"usage: rtptool \[OPTIONS\] COMMAND \[ARGS\]\n.*Exit codes.*")
LISTING = (
    "file: folder empty dir\n"
    "file: update data/map.dat\n"
    "file: delete gone.txt\n"
    "file: delete old folder/x.txt\n"
    "file: update tarrowmain.exe\n"
    "file: add Ärger über.txt\n"
    "file: delete-folder old folder\n"
)


def damage(path, pos, byte):
    data = bytearray(open(P, "rb").read())
    data[pos] = byte
    open(path, "wb").write(bytes(data))


def json_lines(first, last):
    def check(out):
        events = [json.loads(line) for line in out.splitlines()]
        if events[0]["event"] != first or events[-1]["event"] != "summary":
            return "events run from %s to %s" % (events[0]["event"], events[-1]["event"])
        if {k: events[-1][k] for k in last} != last:
            return "summary %r lacks %r" % (events[-1], last)
        return None
    return check


def info_json(out):
    doc = json.loads(out)
    ops = sorted((e["op"], e["path"]) for e in doc["list"])
    want = sorted([("folder", "empty dir"), ("delete", "gone.txt"), ("update", "data/map.dat"),
                   ("delete", "old folder/x.txt"), ("add", "Ärger über.txt"),
                   ("update", "tarrowmain.exe"),
                   ("delete-folder", "old folder")])
    if (doc["game"], doc["from"], doc["to"]) != ("Tarrowmoor", "1.22", "1.23"):
        return "metadata %r" % doc
    if ops != want or not re.fullmatch("[0-9a-f]{32}", doc["list"][1]["new_hash"]):
        return "entries %r" % doc["list"]
    return None


def owner_only(out):
    mode = os.stat(K).st_mode & 0o777
    if mode != 0o600 or not re.fullmatch(r"key [-0-9A-F]{19}: secret key in .*\n", out):
        return "secret key file mode %o, output %r" % (mode, out)
    return None


# (arguments, exit code, stdout, stderr); "-" as stdout or stderr: not checked.
ROWS = [
    ([], 64, "", USAGE),
    (["--help"], 0, USAGE, ""),
    (["-h"], 0, USAGE, ""),
    (["help"], 0, USAGE, ""),
    (["build", "--help"], 0, ("re", r"usage: rtptool build .*--no-verify.*--exclude PATTERN.*"), ""),
    (["help", "apply"], 0, ("re", r"usage: rtptool apply .*--ignore-missing.*"), ""),
    (["info", "-h"], 0, ("re", r"usage: rtptool info .*"), ""),
    (["--version"], 0, ("re", r"rtptool \d+\.\d+ \(patch format version \d+\)\n"), ""),
    (["frob"], 64, "", "rtptool: unknown command 'frob'\nTry 'rtptool --help'.\n"),
    (["--frob", "info", P], 64, "", "rtptool: unknown option '--frob'\nTry 'rtptool --help'.\n"),
    (["build", "--frob", OLD, NEW, P], 64, "",
     "rtptool: unknown option '--frob'\nTry 'rtptool build --help'.\n"),
    (["apply", "-x", T + "/game", P], 64, "",
     "rtptool: unknown option '-x'\nTry 'rtptool apply --help'.\n"),
    (["info"], 64, "", "rtptool: info needs one PATCH\nTry 'rtptool info --help'.\n"),
    (["build", OLD, NEW], 64, "", "rtptool: build needs OLD_DIR, NEW_DIR and OUT.rtp\n"
     "Try 'rtptool build --help'.\n"),
    (["build", "-j", "0", OLD, NEW, P], 64, "", "rtptool: -j needs a number of threads from 1 "
     "to 1024\nTry 'rtptool build --help'.\n"),
    (["build", "--exclude"], 64, "", "rtptool: option '--exclude' needs a value\n"
     "Try 'rtptool build --help'.\n"),
    (["build", OLD, OLD, T + "/same.rtp"], 65, "", "rtptool: the two trees are identical, so "
     "the patch would change nothing (give --allow-empty to build it anyway)\n"),
    (["build", OLD, T + "/nothing", P], 66, "", ("re", r"rtptool: cannot read the new tree: .*\n")),
    (["build", OLD, NEW, T + "/no/p.rtp"], 73, "",
     "rtptool: the output folder %s/no does not exist\n" % T),
    (["build", OLD, NEW, P, "-q"], 0, "", ""),
    (["build", OLD, NEW, P], 73, "", "rtptool: %s already exists (give -f to overwrite it)\n" % P),
    (["-v", "build", "-f", "-j", "2", "--game", "Tarrowmoor", OLD, NEW, P], 0, ("re",
     r"update data/map\.dat: 195\.3 KiB -> delta \d+ bytes\ndelete gone\.txt\n"
     r"delete old folder/x\.txt\nupdate tarrowmain\.exe: 692 bytes -> delta \d+ bytes\nadd Ärger über\.txt: 4 bytes -> stored 4 bytes\n"
     r"folder empty dir\ndelete-folder old folder\n"
     r"about: This patch updates Tarrowmoor 1\.22 to 1\.23\.\n"
     r".*p\.rtp: 2 updated, 1 added, 2 deleted, 0 unchanged, 2 folder entries, 5 excluded; "
     r"196\.0 KiB of new data in a patch of \d+ bytes, verified \(\d+\.\d\d s\)\n"), ""),
    (["build", "--progress", "--no-verify", OLD, NEW, T + "/q.rtp"], 0, "-",
     ("re", r"\r(scan|diff) .*\r *\r")),
    (["build", "--allow-empty", OLD, OLD, T + "/same.rtp"], 0, "-", ""),
    (["info", T + "/same.rtp"], 0, ("re", r".*\nentries: 0 \(none\)\n.*"), ""),
    (["info", P], 0, ("re", r"patch: .*\nformat version \d+, \d+ bytes \(\d+ bytes\)\n"
     r"about: This patch updates Tarrowmoor 1\.22 to 1\.23\.\n"
     r"entries: 7 \(2 update, 1 add, 2 delete, 1 folder, 1 delete-folder\)\n"
     r"new data: 196\.0 KiB in \d+ bytes of payload\n"
     r"op +codec +old size +new size +payload  path\n"
     r"folder +none +0 +0 +0  empty dir\n.*"
     r"add +stored +0 +4 +4  Ärger über\.txt\n"
     r"delete-folder +none +0 +0 +0  old folder\n"), ""),
    (["info", P, "-v"], 0, ("re", r".*\ngame: Tarrowmoor\nfrom: 1\.22\nto: 1\.23\n.*  data/map\.dat\n    old xxh3-128 [0-9a-f]{32}\n"
     r"    new xxh3-128 [0-9a-f]{32}\n.*delta blocks: 2\n.*"), ""),
    (["info", "--json", P], 0, info_json, ""),
    (["apply", "-l", T + "/game", P], 0, LISTING + "summary: 5 files listed.\nresult: 0\n", ""),
    (["apply", T + "/game", P, "--validate"], 0,
     "info: This patch updates Tarrowmoor 1.22 to 1.23.\n"
     "info: Validating patch p.rtp: 5 files.\n" + LISTING +
     "summary: Validation passed: 5 files are ready to patch.\nresult: 0\n", ""),
    (["-q", "apply", T + "/game", P], 0,
     "summary: Patch applied: 2 files updated, 1 file added, 2 files deleted.\n", ""),
    (["apply", T + "/game", P], 0, ("re", r"info: This patch updates Tarrowmoor 1\.22 to 1\.23\.\ninfo: Applying patch p\.rtp: 5 files\.\n.*"
     r"summary: This patch is already applied; nothing was changed\.\nresult: 0\n"), ""),
    (["apply", "--json", T + "/game", P], 0, json_lines("start", {"code": 0}), ""),
    (["-q", "apply", "-otempdir:" + T + "/notemp", T + "/game", P], 8,
     "summary: The patch was not applied; nothing was changed.\n", ("re", r"error: The temp directory \".*notemp\" does not exist or is not a folder\.\n")),
    (["apply", T + "/nogame", P], 6, "summary: The run ended with code 6: the game directory "
     "cannot be used; nothing was changed.\nresult: 6\n", ("re", r"error: The game directory .*\n")),
    (["apply", T + "/game", T + "/none.rtp"], 2,
     "summary: The patch was not applied; nothing was changed.\nresult: 2\n",
     ("re", r"error: Cannot open the patch file: .*\n")),
    (["info", T + "/flipped.rtp"], 3, ("re", r"patch: .*\nformat version \d+, .*\n"
     r"damage: The patch is damaged: its checksum does not match its contents\.\n"
     r"about: .*\nentries: 7 .*"), ("re", r"rtptool: .*flipped\.rtp: The patch is damaged: .*\n")),
    (["info", T + "/nolf.rtp"], 3, ("re", r"patch: .*\ndamage: the file was changed by a "
     r"text-mode transfer: its CR LF line ends were converted to LF\. .*"), "-"),
    (["info", T + "/cut.rtp"], 3, ("re", r"patch: .*\ndamage: The patch is damaged or incomplete "
     r"\(its end record is missing\)\.\nend record: missing \(the file is "
     r"cut short or not a patch\)\n"), "-"),
    (["--json", "build", OLD, OLD, T + "/x.rtp"], 65, json_lines("start", {"code": 65}), ""),
    (["keygen", K], 0, owner_only, ""),
    (["keygen", K], 73, "", "rtptool: %s already exists (give -f to replace it)\n" % K),
    (["keygen", "-f", K2], 0, "-", ""),
    (["build", "--sign", K + ".pub", OLD, NEW, S], 66, "", "rtptool: cannot sign with %s.pub: "
     "it is not a secret key (a line \"rtp-ecdsa-p256-secret <64 hex digits> <128 hex digits>\")\n" % K),
    (["build", "--sign", K, OLD, NEW, S], 0, ("re", r".*\nsigned by key [0-9A-F]{4}(-[0-9A-F]{4}){3}\n.*"), ""),
    (["info", S], 0, ("re", r".*\nsigned by key [-0-9A-F]{19}: the signature holds\n.*"), ""),
    (["verify", S, "--key", K + ".pub"], 0, ("re", r".*s\.rtp: signed by key [-0-9A-F]{19}; the "
     r"signature holds and the key is the one in .*k\.pub\n"), ""),
    (["verify", S, "--key", K2 + ".pub"], 15, "", ("re", r"rtptool: .*s\.rtp: it is signed by key "
     r"[-0-9A-F]{19}, not by the key in .*k2\.pub \([-0-9A-F]{19}\)\n")),
    (["verify", P], 15, "", "rtptool: %s: the patch is not signed\n" % P),
]


def check(expect, got):
    if expect == "-":
        return None
    if callable(expect):
        try:
            return expect(got)
        except (ValueError, KeyError, IndexError) as e:
            return "not the expected JSON (%s)" % e
    if isinstance(expect, tuple):
        return None if re.fullmatch(expect[1], got, re.S) else "does not match /%s/" % expect[1]
    return None if got == expect else "differs"


failures = 0
for args, code, out, err in ROWS:
    if args[:2] == ["info", T + "/flipped.rtp"]:
        damage(T + "/flipped.rtp", 40, 0x5A)
        data = open(P, "rb").read()
        open(T + "/nolf.rtp", "wb").write(data.replace(b"\r\n", b"\n"))
        open(T + "/cut.rtp", "wb").write(data[:-10])
    r = subprocess.run([TOOL] + args, capture_output=True, cwd=T)
    stdout, stderr = r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")
    problems = []
    if r.returncode != code:
        problems.append("exit code %d, expected %d" % (r.returncode, code))
    for name, expect, got in (("stdout", out, stdout), ("stderr", err, stderr)):
        why = check(expect, got)
        if why:
            problems.append("%s %s:\n%s" % (name, why, got))
    if problems:
        failures += 1
        print("FAIL rtptool %s\n  %s" % (" ".join(args), "\n  ".join(problems)))
print("%d of %d invocations as expected" % (len(ROWS) - failures, len(ROWS)))
if not failures:
    shutil.rmtree(T)
sys.exit(1 if failures else 0)
