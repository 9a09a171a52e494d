#!/usr/bin/env python3
"""Fails when a library linked into a shipped program has no notice in THIRD-PARTY-NOTICES.txt.

Usage: check-notices.py NOTICES.txt LINKMAP...

Reads the linker's map of each shipped file (-Wl,-Map) for the archive members and objects
that really went in, and, for our own objects, their compiler dependency files (.d) for
header-only libraries compiled into them. Each piece is looked up in the table below, which
names the heading its notice must have: a line between two lines of dashes in the notices
file that starts with that name. A piece that the table does not know fails too, so a new
library cannot slip into the release unnoticed."""
import pathlib
import re
import sys

SYSTEM_DLLS = ("kernel32 user32 gdi32 advapi32 comctl32 comdlg32 shell32 ole32 oleaut32 "
               "version ws2_32 shlwapi winspool uuid psapi").split()

# (archive or object file name, member pattern or None for any member, notice heading).
# Heading None: nothing to reproduce (import stubs of Windows system DLLs).
TABLE = [
    (r"libz\.a", None, "zlib"),
    (r"lib(stdc\+\+|supc\+\+|gcc|gcc_eh)\.a", None, "GCC runtime library"),
    (r"crt(begin|end)\.o", None, "GCC runtime library"),
    (r"lib(win)?pthread\.a", None, "winpthreads"),
    (r"libmingwex\.a",
     r"-(gdtoa|dmisc|gmisc|misc|g_\w+|g__fmt|gethex|hexnan|hd_init|smisc|strtodg|strtod\w*|"
     r"strtof|strtopx|sum|ulp|qnan)\.o$", "gdtoa"),
    (r"lib(mingw32|mingwex|moldname|msvcrt)\.a", None, "mingw-w64 runtime"),
    (r"(dll)?crt2\.o", None, "mingw-w64 runtime"),
    (r"lib(%s)\.a" % "|".join(SYSTEM_DLLS), None, None),
]
# Header-only libraries, found in the dependency files of our own objects.
HEADERS = {"xxhash.h": "xxHash", "zlib.h": "zlib"}


def linked_pieces(map_path):
    """(file name, member) for every archive member and object the map says was linked."""
    text = map_path.read_text(errors="replace")
    pieces = set()
    for archive, member in re.findall(r"([^\s()]+\.a)\(([^)\s]+)\)", text):
        pieces.add((archive, member))
    for obj in re.findall(r"^LOAD (\S+\.o(?:bj)?)$", text, re.M):
        pieces.add((obj, ""))
    return pieces


def ours(path):
    # Our own archives and objects are given to the linker relative to the build folder.
    return not path.startswith("/")


def headings(notices):
    lines = notices.read_text().splitlines()
    rule = lambda s: len(s) > 20 and set(s) == {"-"}
    return [lines[i] for i in range(1, len(lines) - 1) if rule(lines[i - 1]) and rule(lines[i + 1])]


def needed(map_path, depfiles):
    need, unknown = {}, []
    for path, member in sorted(linked_pieces(map_path)):
        name = pathlib.PurePosixPath(path).name
        if ours(path):
            for dep in depfiles.get((member or name) + ".d", []):
                for header, heading in HEADERS.items():
                    if re.search(r"[/\s]" + re.escape(header) + r"\b", dep.read_text()):
                        need.setdefault(heading, f"{member or name} includes {header}")
            continue
        for file_re, member_re, heading in TABLE:
            if re.fullmatch(file_re, name) and (member_re is None or re.search(member_re, member)):
                if heading:
                    need.setdefault(heading, f"{name}({member})" if member else name)
                break
        else:
            unknown.append(f"{name}({member})" if member else name)
    return need, unknown


def main():
    notices = pathlib.Path(sys.argv[1])
    have = headings(notices)
    status = 0
    depfiles = {}  # object file name + ".d" -> the dependency files of that name in the build
    if len(sys.argv) > 2:
        for dep in pathlib.Path(sys.argv[2]).resolve().parent.parent.rglob("*.obj.d"):
            depfiles.setdefault(dep.name, []).append(dep)
    for map_arg in sys.argv[2:]:
        map_path = pathlib.Path(map_arg)
        if not map_path.exists():
            print(f"{map_path}: no link map; relink the shipped files")
            status = 1
            continue
        need, unknown = needed(map_path, depfiles)
        shipped = map_path.stem
        for piece in unknown:
            print(f"{shipped}: no notice is known for {piece}: add its licence to "
                  f"{notices.name} and a line to {pathlib.Path(__file__).name}")
            status = 1
        for heading, why in sorted(need.items()):
            if not any(h.startswith(heading) for h in have):
                print(f"{shipped}: links {why}, but {notices.name} has no \"{heading}\" notice")
                status = 1
        print(f"{shipped}: {', '.join(sorted(need))}")
    return status


if __name__ == "__main__":
    sys.exit(main())
