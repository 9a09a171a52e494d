// rtptool: the publisher's patch builder and a console front end of the engine. `rtptool
// --help` and `rtptool COMMAND --help` describe every command and option, the exit codes and
// the JSON events (the texts below, kHelp and the per-command texts). In short:
//   rtptool [-h] [--version] [-q] [-v] [--progress] [--json] [--stats] [--] COMMAND ...
//   build [-f] [--allow-empty] [--no-verify] [--exclude PATTERN]... [--fast-apply]
//         [--bandwidth RATE | --smallest] [--game NAME] [--from VERSION] [--to VERSION]
//         [--sign KEYFILE] [-j N | --threads N] OLD_DIR NEW_DIR OUT.rtp
//   info [-v] [--json] PATCH
//   apply [-u | -j/--validate | -l/--list] [-i/--ignore-missing]
//         [-otempdir:DIR | --temp DIR] [GAME_DIR] PATCH
//   run "ENGINE COMMAND LINE"
//   keygen [-f] KEYFILE
//   verify PATCH [--key PUBFILE]
//   help [COMMAND]
// The common options may stand before or after the command word.
#include "api.h"
#include "builder.h"
#include "cmdline.h"
#include "delta.h"
#include "engine.h"
#include "exe_version.h"
#include "format.h"
#include "os.h"
#include "paths.h"
#include "report.h"
#include "signature.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <psapi.h>
#include <sddl.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef RTPTOOL_VERSION
#define RTPTOOL_VERSION "0"
#endif

namespace {

using rtp::human_size;
using rtp::Json;

#ifdef _WIN32
// How the tool's paths are encoded: UTF-8, as the engine's core takes them (main reads the
// words of the command line as UTF-16).
constexpr UINT kPathCodePage = CP_UTF8;
#endif

// Exit codes. 1 to 15 are the engine's own return codes (FORMAT.md); `info` and `verify`
// use 2 to 5 with the engine's meanings. The rest follow the BSD sysexits convention.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 64;     // unknown command or option, wrong arguments
constexpr int kExitEmpty = 65;     // build: the trees are identical (no --allow-empty)
constexpr int kExitNoInput = 66;   // build: a tree cannot be read or holds a refused name
constexpr int kExitVerify = 70;    // build: the new patch failed its check; nothing was written
constexpr int kExitCantCreat = 73; // build: the output exists (no -f), its folder is missing,
                                   // or it cannot be written

const char* const kGameExe = "tarrowmain.exe";

const char* const kHelp =
    "usage: rtptool [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  build OLD_DIR NEW_DIR OUT.rtp   build a patch that turns OLD_DIR into NEW_DIR\n"
    "  info PATCH                      show what a patch holds\n"
    "  apply [SWITCHES] [GAME_DIR] PATCH  apply, validate or list a patch with the engine\n"
    "  run \"ENGINE COMMAND LINE\"       run the engine with a complete command line\n"
    "  keygen KEYFILE                  make a signing key pair: KEYFILE and KEYFILE.pub\n"
    "  verify PATCH [--key PUBFILE]    check a patch's signature\n"
    "  help [COMMAND]                  this text, or a command's own\n"
    "\n"
    "Options of every command, before or after the command word:\n"
    "  -h, --help      print help and exit\n"
    "  --version       print the tool's and the patch format's version and exit\n"
    "  -q, --quiet     print only errors (and what info is asked for)\n"
    "  -v, --verbose   more detail: every file built, every entry's hashes\n"
    "  --progress      draw the progress line even when stderr is not a terminal\n"
    "  --json          print one JSON event per line on stdout instead of text\n"
    "  --stats         apply, run: print the engine's time and peak memory on stderr\n"
    "  --              the words after it are arguments, never options\n"
    "\n"
    "Output: results go to stdout, errors and warnings to stderr. On a terminal, build and\n"
    "apply draw one live line on stderr: stage, files done/total, bytes, rate, time left.\n"
    "\n"
    "Exit codes (the same for every command):\n"
    "   0  success\n"
    "   1  the engine refused its command line (run)\n"
    "   2  the patch file cannot be opened or read\n"
    "   3  not a patch, truncated, damaged or inconsistent\n"
    "   4  the patch needs a newer engine or tool\n"
    "   5  the patch is refused: an unsafe path or two paths naming one file\n"
    "   6-13  apply, run: the engine's codes (game directory, mismatch, temp directory,\n"
    "         rollback, recovery, memory, busy); see FORMAT.md\n"
    "  14  apply, run: an interrupted run left files that no plan accounts for\n"
    "  15  not signed, signed by another key than the trusted one, or the signature does\n"
    "      not match the contents (apply, run, verify, info)\n"
    "  64  unknown command or option, missing or extra arguments\n"
    "  65  build: the trees are identical (see --allow-empty)\n"
    "  66  build: a tree cannot be read, or holds a name the engine refuses\n"
    "  70  build: the new patch failed its check after building; it was not kept\n"
    "  73  build, keygen: the output exists (see -f), its folder is missing, or it cannot\n"
    "      be written\n"
    "\n"
    "JSON events (--json), one object per line:\n"
    "  {\"event\":\"start\",\"command\":\"build\",...}\n"
    "  "
    "{\"event\":\"progress\",\"stage\":\"diff\",\"files\":3,\"files_total\":40,\"bytes\":1048576,\n"
    "   \"total\":8388608,\"rate\":524288.000,\"eta\":14.000,\"current\":\"data/map01.dat\"}\n"
    "  {\"event\":\"file\",\"op\":\"update\",\"path\":\"data/map01.dat\",...}\n"
    "  {\"event\":\"info\"|\"warning\"|\"error\",\"message\":\"...\"}\n"
    "  {\"event\":\"summary\",\"code\":0,\"message\":\"...\",...}   always the last line\n";

const char* const kBuildHelp =
    "usage: rtptool build [OPTIONS] OLD_DIR NEW_DIR OUT.rtp\n"
    "\n"
    "Builds a patch that turns the tree OLD_DIR into NEW_DIR. The patch is written to\n"
    "OUT.rtp.partial, checked, and only then renamed to OUT.rtp.\n"
    "\n"
    "  -f, --force         overwrite OUT.rtp when it exists (never done without -f)\n"
    "  --allow-empty       build a patch even when the trees are identical\n"
    "  --no-verify         skip decoding and hash-checking every entry after building\n"
    "  --exclude PATTERN   leave matching files and folders out, on both sides; repeatable.\n"
    "                      A pattern without '/' matches a name anywhere (Thumbs.db, *.log,\n"
    "                      saves); one with '/' matches the path from the root\n"
    "                      (data/*.tmp). '*' stays within a name, '**' crosses folders, '?'\n"
    "                      is one character; letter case does not matter. The lines of an\n"
    "                      optional NEW_DIR/.rtpignore ('#' starts a comment) are added.\n"
    "                      Thumbs.db, ehthumbs.db and .DS_Store are always left out.\n"
    "  --fast-apply        no context mixing: a larger patch that applies several times faster\n"
    "  --bandwidth RATE    the players' download rate in bits per second (k, M, G allowed;\n"
    "                      default 50M): every stream takes the coding that costs the\n"
    "                      player least time, download plus decoding\n"
    "  --smallest          every stream takes its smallest coding, however slow to decode\n"
    "  --game NAME         the game the patch is for, shown by info and by the engine\n"
    "  --from VERSION      the version the patch updates; by default the file version of\n"
    "                      OLD_DIR/tarrowmain.exe when it has one (1.0.23.0 gives 1.23)\n"
    "  --to VERSION        the version it makes; by default that of NEW_DIR/tarrowmain.exe\n"
    "                      The engine's first message then reads, for example, \"This patch\n"
    "                      updates Tarrowmoor 1.22 to 1.23.\" Texts of 1 to 200 bytes.\n"
    "  --sign KEYFILE      sign the whole patch with the secret key of rtptool keygen\n"
    "  -j N, --threads N   code N files at once (default: the machine's cores; the patch is\n"
    "                      the same for any N). Files start only while the memory they may\n"
    "                      take stays within 1 GiB (512 MiB in 32-bit builds); a larger file\n"
    "                      runs alone. The check after building uses every core\n"
    "\n"
    "Stages of the progress line: scan, diff (hashing and coding files; 'index' while the\n"
    "suffix array of a large old file is built), write, verify.\n";

const char* const kInfoHelp =
    "usage: rtptool info [-v] [--json] PATCH\n"
    "\n"
    "Shows the format version, sizes, totals per operation and every entry (operation,\n"
    "codec, old and new size, payload size, path). -v adds each entry's old and new XXH3-128\n"
    "hash and the delta streams; --json prints one JSON object instead. A damaged patch is\n"
    "shown as far as it can be read, with the damage named (exit code 3); a file damaged by\n"
    "a text-mode transfer (line ends converted) is recognised as such.\n";

const char* const kApplyHelp =
    "usage: rtptool apply [SWITCHES] [GAME_DIR] PATCH\n"
    "\n"
    "Runs the engine on GAME_DIR (default: the current folder) and prints its reports:\n"
    "'info:', 'file: OP PATH' (OP is update, add, delete, folder or delete-folder),\n"
    "'warning:' and 'error:' (on stderr), always a 'summary:' line, and last 'result: CODE'\n"
    "(not with -q). Exits with the engine's return code.\n"
    "\n"
    "  -u                  apply (the default)\n"
    "  -j, --validate      validate only: check everything, change nothing\n"
    "  -i, --ignore-missing  skip missing or different files with a warning\n"
    "  -l, --list          list the entries of the patch with their folders\n"
    "  -otempdir:DIR, --temp DIR  the engine's temp directory (default: a work folder on\n"
    "                      the game's drive)\n";

const char* const kKeygenHelp =
    "usage: rtptool keygen [-f] KEYFILE\n"
    "\n"
    "Makes an ECDSA P-256 key pair for signing patches. KEYFILE gets the secret key (only\n"
    "its owner may read it; keep it off the game's servers), KEYFILE.pub the public key. Put\n"
    "the public key into the game directory as patchw32.pub: the engine then applies only\n"
    "patches signed with the secret key (rtptool build --sign KEYFILE).\n"
    "\n"
    "  -f, --force   replace existing key files\n";

const char* const kVerifyHelp =
    "usage: rtptool verify PATCH [--key PUBFILE]\n"
    "\n"
    "Checks that PATCH is signed and that the signature matches every byte of it; with\n"
    "--key, also that it was signed with the key in PUBFILE (a .pub file of keygen, or a\n"
    "game's patchw32.pub). Exit code 0 when it holds, 15 when not.\n";

const char* const kRunHelp =
    "usage: rtptool run \"ENGINE COMMAND LINE\"\n"
    "\n"
    "Runs the engine with one complete command line, exactly as the game's patcher passes\n"
    "it, for example: rtptool run '-u \"-otempdir:\" \"C:\\Games\\Tarrowmoor\" \"D:\\p.rtp\"'.\n"
    "The output is that of apply.\n";

struct Global {
    rtp::Output out;
    bool stats = false;
    bool help = false;
};

Global g;

int usage_error(const std::string& why, const char* command) {
    g.out.error(why);
    if (!g.out.json)
        std::fprintf(stderr, "Try 'rtptool %s--help'.\n",
                     command ? (std::string(command) + " ").c_str() : "");
    return kExitUsage;
}

// A command's words after the global options were taken out: its options and its
// positional arguments.
struct OptionSpec {
    const char* long_name;
    char short_name;
    bool takes_value;
};

struct Parsed {
    std::map<std::string, std::vector<std::string>> opts; // by long name
    std::vector<std::string> args;
    bool has(const char* name) const { return opts.count(name) != 0; }
    std::string value(const char* name) const {
        auto it = opts.find(name);
        return it == opts.end() || it->second.empty() ? std::string() : it->second.back();
    }
};

// Returns kExitOk, or the usage error of `command` for an unknown option or a missing value.
int parse_options(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs,
                  Parsed& out, const char* command,
                  bool (*positional_option)(const std::string&) = nullptr) {
    bool only_args = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (only_args || w.size() < 2 || w[0] != '-' ||
            (positional_option && positional_option(w))) {
            out.args.push_back(w);
            continue;
        }
        if (w == "--") {
            only_args = true;
            continue;
        }
        std::string name = w, value;
        bool inline_value = false;
        const OptionSpec* spec = nullptr;
        if (w[1] == '-') {
            size_t eq = w.find('=');
            if (eq != std::string::npos) {
                name = w.substr(0, eq);
                value = w.substr(eq + 1);
                inline_value = true;
            }
            for (const OptionSpec& s : specs)
                if (name == std::string("--") + s.long_name)
                    spec = &s;
        } else if (w.size() == 2) {
            for (const OptionSpec& s : specs)
                if (s.short_name == w[1])
                    spec = &s;
        }
        if (!spec)
            return usage_error("unknown option '" + name + "'", command);
        if (spec->takes_value && !inline_value) {
            if (i + 1 >= words.size())
                return usage_error("option '" + name + "' needs a value", command);
            value = words[++i];
        } else if (!spec->takes_value && inline_value) {
            return usage_error("option '" + name + "' takes no value", command);
        }
        out.opts[spec->long_name].push_back(value);
    }
    return kExitOk;
}

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

// ---------------------------------------------------------------- build

// The players' download rate that `build` optimises for unless told otherwise, bits per second.
constexpr double kDefaultBandwidth = 50e6;

// A rate in bits per second: a number with an optional k, M or G.
bool parse_rate(const std::string& text, double& out) {
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(v > 0) || v > 1e12)
        return false;
    std::string unit = end;
    double scale = unit.empty() ? 1 : unit == "k" ? 1e3 : unit == "M" ? 1e6 : unit == "G" ? 1e9 : 0;
    if (scale == 0)
        return false;
    out = v * scale;
    return true;
}

kv::os::Status load_signer(const std::string& path, std::unique_ptr<kv::PatchSigner>& out);

int cmd_build(const std::vector<std::string>& words) {
    if (g.help) {
        std::fputs(kBuildHelp, stdout);
        return kExitOk;
    }
    Parsed p;
    if (int rc = parse_options(words,
                               {{"force", 'f', false},
                                {"allow-empty", 0, false},
                                {"no-verify", 0, false},
                                {"exclude", 0, true},
                                {"fast-apply", 0, false},
                                {"bandwidth", 0, true},
                                {"smallest", 0, false},
                                {"threads", 'j', true},
                                {"game", 0, true},
                                {"from", 0, true},
                                {"to", 0, true},
                                {"sign", 0, true}},
                               p, "build");
        rc != kExitOk)
        return rc;
    if (p.args.size() != 3)
        return usage_error("build needs OLD_DIR, NEW_DIR and OUT.rtp", "build");
    kv::BuildOptions opt;
    opt.threads = std::max(1u, std::thread::hardware_concurrency());
    if (p.has("threads")) {
        const std::string v = p.value("threads");
        char* end = nullptr;
        long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || n < 1 || n > 1024)
            return usage_error("-j needs a number of threads from 1 to 1024", "build");
        opt.threads = static_cast<unsigned>(n);
    }
    opt.delta.fast_apply = p.has("fast-apply");
    opt.delta.bandwidth = kDefaultBandwidth;
    if (p.has("bandwidth") && !parse_rate(p.value("bandwidth"), opt.delta.bandwidth))
        return usage_error("--bandwidth needs a rate in bits per second, such as 50M", "build");
    if (p.has("smallest"))
        opt.delta.bandwidth = 0;
    opt.allow_empty = p.has("allow-empty");
    opt.overwrite = p.has("force");
    opt.verify = !p.has("no-verify");
    // Clutter that file browsers leave in folders, never part of a game.
    opt.exclude = {"Thumbs.db", "ehthumbs.db", ".DS_Store"};
    for (const std::string& pat : p.opts["exclude"])
        opt.exclude.push_back(pat);
    const std::string &old_dir = p.args[0], &new_dir = p.args[1], &out_path = p.args[2];
    // What the patch is for: given, or the versions of the game's executable in each tree.
    opt.meta.game = p.value("game");
    opt.meta.from = p.has("from") ? p.value("from") : rtp::tree_exe_version(old_dir, kGameExe);
    opt.meta.to = p.has("to") ? p.value("to") : rtp::tree_exe_version(new_dir, kGameExe);
    for (const char* field : {"game", "from", "to"}) {
        kv::DecodeResult text =
            p.has(field) ? kv::check_meta_text(p.value(field)) : kv::DecodeResult::ok();
        if (!text)
            return usage_error(std::string("--") + field + ": " + text.message, "build");
    }

    std::unique_ptr<kv::PatchSigner> signer;
    if (p.has("sign")) {
        if (kv::os::Status s = load_signer(p.value("sign"), signer); !s) {
            g.out.error("cannot sign with " + s.text);
            return kExitNoInput;
        }
        opt.signer = signer.get();
    }
    g.out.event(Json()
                    .s("event", "start")
                    .s("command", "build")
                    .s("old", old_dir)
                    .s("new", new_dir)
                    .s("output", out_path));
    rtp::ProgressLine line(g.out);
    kv::BuildCallbacks cb;
    cb.progress = [&](const kv::BuildProgress& bp) {
        line.update(bp.stage, bp.files_done, bp.files_total, bp.bytes_done, bp.bytes_total,
                    bp.current);
    };
    cb.file = [&](const kv::BuildFileEvent& f) {
        std::string op = f.op;
        op = op == "modify"  ? "update"
             : op == "mkdir" ? "folder"
             : op == "rmdir" ? "delete-folder"
                             : op;
        if (g.out.json) {
            Json j;
            j.s("event", "file").s("op", op).s("path", f.path);
            if (f.codec)
                j.u("size", f.new_size).s("codec", f.codec).u("payload", f.payload);
            g.out.event(j);
        } else if (g.out.verbose && !g.out.quiet) {
            std::string text = op + " " + f.path;
            if (f.codec)
                text +=
                    ": " + human_size(f.new_size) + " -> " + f.codec + " " + human_size(f.payload);
            g.out.result(text);
        }
    };
    kv::BuildStats stats;
    auto t0 = std::chrono::steady_clock::now();
    kv::BuildResult built = kv::build_patch(old_dir, new_dir, out_path, opt, cb, stats);
    const kv::BuildFailure failure = built.failure;
    std::string err = built.message;
    line.clear();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int code = kExitOk;
    switch (failure) {
    case kv::BuildFailure::None:
        break;
    case kv::BuildFailure::Input:
        code = kExitNoInput;
        break;
    case kv::BuildFailure::Empty:
        code = kExitEmpty;
        break;
    case kv::BuildFailure::Verify:
        code = kExitVerify;
        break;
    default:
        code = kExitCantCreat;
        break;
    }
    if (!err.empty()) {
        g.out.error(err);
        g.out.event(Json().s("event", "summary").u("code", code).s("message", err));
        return code;
    }
    std::string about = kv::describe_meta(opt.meta);
    if (!about.empty())
        g.out.result("about: " + about);
    if (signer)
        g.out.result("signed by key " + kv::key_fingerprint(signer->key));
    char text[400];
    std::snprintf(text, sizeof text,
                  "%s: %llu updated, %llu added, %llu deleted, %llu unchanged, %llu folder "
                  "entries, %llu excluded; %s of new data in a patch of %s%s (%.2f s)",
                  out_path.c_str(), (unsigned long long)stats.modified,
                  (unsigned long long)stats.added, (unsigned long long)stats.deleted,
                  (unsigned long long)stats.unchanged, (unsigned long long)stats.dirs,
                  (unsigned long long)stats.excluded, human_size(stats.new_bytes).c_str(),
                  human_size(stats.patch_bytes).c_str(), stats.verified ? ", verified" : "", secs);
    g.out.result(text);
    g.out.event(Json()
                    .s("event", "summary")
                    .u("code", 0)
                    .s("message", text)
                    .u("updated", stats.modified)
                    .u("added", stats.added)
                    .u("deleted", stats.deleted)
                    .u("unchanged", stats.unchanged)
                    .u("folders", stats.dirs)
                    .u("excluded", stats.excluded)
                    .u("new_bytes", stats.new_bytes)
                    .u("patch_bytes", stats.patch_bytes)
                    .b("verified", stats.verified)
                    .n("seconds", secs));
    return kExitOk;
}

// ---------------------------------------------------------------- info

constexpr int kExitUntrusted = kv::kRcUntrusted;

int exit_for(kv::PatchError e) {
    switch (e) {
    case kv::PatchError::None:
        return kv::kRcOk;
    case kv::PatchError::Unreadable:
        return kv::kRcPatchUnreadable;
    case kv::PatchError::Unsupported:
        return kv::kRcPatchUnsupported;
    case kv::PatchError::Hostile:
        return kv::kRcPatchHostile;
    default:
        return kv::kRcPatchCorrupt;
    }
}

const char* shown_op(kv::Op op) {
    switch (op) {
    case kv::Op::Modify:
        return "update";
    case kv::Op::Add:
        return "add";
    case kv::Op::Delete:
        return "delete";
    case kv::Op::MakeDir:
        return "folder";
    case kv::Op::RemoveDir:
        return "delete-folder";
    }
    return "?";
}

std::string hex(const kv::Hash128& h) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : h.b) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// What a text-mode transfer does to the first bytes ("KVRTP", Ctrl-Z, CR, LF): line ends
// converted either way, or the copy cut at the Ctrl-Z.
std::string transfer_damage(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {};
    unsigned char b[9] = {0};
    size_t n = std::fread(b, 1, sizeof b, f);
    std::fclose(f);
    if (n < 5 || std::memcmp(b, "KVRTP", 5) != 0)
        return {};
    const char* why = nullptr;
    if (n <= 6 && (n == 5 || b[5] == 0x1A))
        why = "it ends at the Ctrl-Z byte of its signature";
    else if (n >= 7 && b[5] == 0x1A && b[6] == 0x0A)
        why = "its CR LF line ends were converted to LF";
    else if (n >= 8 && b[5] == 0x1A && b[6] == 0x0D && b[7] == 0x0D)
        why = "its LF line ends were converted to CR LF";
    if (!why)
        return {};
    return std::string("the file was changed by a text-mode transfer: ") + why +
           ". Copy or download it again in binary mode.";
}

// What the header and the end record of a patch say, read without any check: for a patch
// whose directory cannot be read. Empty when even they are missing.
std::string raw_layout(const std::string& path, bool with_header) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {};
    unsigned char head[16] = {0}, tail[kv::kTrailerSize] = {0};
    bool have_head = std::fread(head, 1, sizeof head, f) == sizeof head;
    bool have_tail = std::fseek(f, -static_cast<long>(sizeof tail), SEEK_END) == 0 &&
                     std::fread(tail, 1, sizeof tail, f) == sizeof tail &&
                     std::memcmp(tail, "KVRTPEND", 8) == 0;
    std::fclose(f);
    auto u = [](const unsigned char* p, int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = v << 8 | p[i];
        return v;
    };
    std::string out;
    if (with_header && have_head && std::memcmp(head, "KVRTP", 5) == 0)
        out += "header: format version " + std::to_string(u(head + 8, 2)) + "\n";
    if (have_tail)
        out += "end record: " + std::to_string(u(tail + 8, 4)) + " entries, directory at " +
               std::to_string(u(tail + 16, 8)) + " (" + std::to_string(u(tail + 24, 8)) +
               " bytes), recorded size " + std::to_string(u(tail + 32, 8)) + "\n";
    else
        out += "end record: missing (the file is cut short or not a patch)\n";
    return out;
}

int cmd_info(const std::vector<std::string>& words) {
    if (g.help) {
        std::fputs(kInfoHelp, stdout);
        return kExitOk;
    }
    Parsed p;
    if (int rc = parse_options(words, {}, p, "info"); rc != kExitOk)
        return rc;
    if (p.args.size() != 1)
        return usage_error("info needs one PATCH", "info");
    const std::string& path = p.args[0];
    kv::Patch patch;
    kv::DecodeResult opened = kv::open_patch(path, patch);
    std::string damage = opened.message;
    kv::PatchError e = opened.status;
    kv::PatchError shown_e = e;
    if (e == kv::PatchError::Corrupt) {
        std::string t = transfer_damage(path);
        if (!t.empty())
            damage = t;
        // As far as it can be read: the directory without the checksum's word.
        kv::Patch loose;
        if (t.empty() && kv::open_patch(path, loose, false))
            patch = std::move(loose);
    }
    if (e == kv::PatchError::Unreadable) {
        g.out.error(damage);
        return exit_for(e);
    }
    // A signature that does not match is reported like damage (the untrusted exit code).
    bool signature_holds =
        e == kv::PatchError::None && patch.signature.present && kv::check_patch_signature(patch);
    if (e == kv::PatchError::None && patch.signature.present && !signature_holds) {
        damage = "the signature does not match the patch's contents";
        shown_e = kv::PatchError::Hostile;
    }
    uint64_t n_op[6] = {0, 0, 0, 0, 0, 0}, new_bytes = 0, payload = 0;
    for (const kv::Entry& en : patch.entries) {
        ++n_op[static_cast<int>(en.op) % 6];
        new_bytes += en.makes_new() ? en.new_size : 0;
        payload += en.payload_size;
    }
    const int info_exit = e == kv::PatchError::None && shown_e != kv::PatchError::None
                              ? kExitUntrusted
                              : exit_for(shown_e);
    std::string totals;
    for (int op = 1; op <= 5; ++op)
        if (n_op[op])
            totals += (totals.empty() ? "" : ", ") + std::to_string(n_op[op]) + " " +
                      shown_op(static_cast<kv::Op>(op));

    if (g.out.json) {
        std::string list = "[";
        for (const kv::Entry& en : patch.entries) {
            Json j;
            j.s("op", shown_op(en.op)).s("codec", kv::codec_name(en.codec)).s("path", en.path);
            if (en.needs_old())
                j.u("old_size", en.old_size).s("old_hash", hex(en.old_hash));
            if (en.makes_new())
                j.u("new_size", en.new_size)
                    .s("new_hash", hex(en.new_hash))
                    .u("payload", en.payload_size);
            list += (list.size() > 1 ? "," : "") + j.str();
        }
        list += "]";
        Json j;
        j.s("event", "info").s("patch", path).u("size", patch.size).u("version", patch.version);
        j.u("entries", patch.entries.size()).u("new_bytes", new_bytes).u("payload", payload);
        for (auto [key, value] :
             {std::pair{"game", &patch.meta.game}, std::pair{"from", &patch.meta.from},
              std::pair{"to", &patch.meta.to}})
            if (!value->empty())
                j.s(key, *value);
        if (patch.signature.present)
            j.s("signer", kv::key_fingerprint(patch.signature.key))
                .b("signature_holds", signature_holds);
        if (shown_e != kv::PatchError::None)
            j.s("damage", damage);
        j.raw("list", list);
        g.out.event(j);
        return info_exit;
    }
    std::printf("patch: %s\n", path.c_str());
    if (patch.version)
        std::printf("format version %u, %s (%s bytes)\n", patch.version,
                    human_size(patch.size).c_str(), rtp::grouped(patch.size).c_str());
    if (shown_e != kv::PatchError::None)
        std::printf("damage: %s\n", damage.c_str());
    if (!patch.meta.empty())
        std::printf("about: %s\n", kv::describe_meta(patch.meta).c_str());
    if (patch.signature.present)
        std::printf("signed by key %s: %s\n", kv::key_fingerprint(patch.signature.key).c_str(),
                    e != kv::PatchError::None ? "not checked (the patch is damaged)"
                    : signature_holds         ? "the signature holds"
                                              : "THE SIGNATURE DOES NOT MATCH THE CONTENTS");
    for (auto [key, value] : {std::pair{"game", &patch.meta.game},
                              std::pair{"from", &patch.meta.from}, std::pair{"to", &patch.meta.to}})
        if (!value->empty() && g.out.verbose)
            std::printf("%s: %s\n", key, value->c_str());
    if (patch.entries.empty() && shown_e != kv::PatchError::None)
        std::printf("%s", raw_layout(path, patch.version == 0).c_str());
    if (!patch.entries.empty() || shown_e == kv::PatchError::None) {
        std::printf("entries: %zu (%s)\n", patch.entries.size(),
                    totals.empty() ? "none" : totals.c_str());
        std::printf("new data: %s in %s of payload\n", human_size(new_bytes).c_str(),
                    human_size(payload).c_str());
        if (patch.has_literals && g.out.verbose)
            std::printf("literal store: %s bytes in %s bytes of payload\n",
                        rtp::grouped(patch.store.size).c_str(),
                        rtp::grouped(patch.store.stored).c_str());
        if (patch.has_instructions && g.out.verbose)
            std::printf("instruction store: %s bytes in %s bytes of payload\n",
                        rtp::grouped(patch.instr_store.size).c_str(),
                        rtp::grouped(patch.instr_store.stored).c_str());
        std::printf("%-13s %-7s %12s %12s %12s  %s\n", "op", "codec", "old size", "new size",
                    "payload", "path");
    }
    for (const kv::Entry& en : patch.entries) {
        std::printf("%-13s %-7s %12llu %12llu %12llu  %s", shown_op(en.op),
                    kv::codec_name(en.codec), (unsigned long long)en.old_size,
                    (unsigned long long)en.new_size, (unsigned long long)en.payload_size,
                    en.path.c_str());
        bool ref = false;
        uint64_t index = 0;
        if (kv::delta_reference(en, ref, index) && ref && index < patch.entries.size())
            std::printf("  (instructions predicted from %s)", patch.entries[index].path.c_str());
        std::printf("\n");
        if (g.out.verbose && en.needs_old())
            std::printf("    old xxh3-128 %s\n", hex(en.old_hash).c_str());
        if (g.out.verbose && en.makes_new())
            std::printf("    new xxh3-128 %s\n", hex(en.new_hash).c_str());
    }
    if (g.out.verbose && shown_e == kv::PatchError::None) {
        kv::DeltaStats st;
        for (const kv::Entry& en : patch.entries)
            if (en.codec == kv::Codec::Delta && !kv::delta_stats(en, patch.file, st))
                std::printf("cannot read the blocks of %s\n", en.path.c_str());
        const char* names[3] = {"instructions", "differences", "literals"};
        std::printf("delta blocks: %llu\n", (unsigned long long)st.blocks);
        for (int i = 0; i < 3; ++i)
            std::printf("  %-12s raw %12llu stored %12llu\n", names[i],
                        (unsigned long long)st.raw[i], (unsigned long long)st.stored[i]);
        std::printf("  streams by coding: raw %llu, deflate %llu, range-coded %llu "
                    "(second difference model %llu, instruction model %llu)\n",
                    (unsigned long long)st.by_coding[0], (unsigned long long)st.by_coding[1],
                    (unsigned long long)(st.by_coding[2] + st.by_coding[3] + st.by_coding[4]),
                    (unsigned long long)st.by_coding[3], (unsigned long long)st.by_coding[4]);
    }
    std::fflush(stdout);
    if (shown_e != kv::PatchError::None)
        std::fprintf(stderr, "rtptool: %s: %s\n", path.c_str(), damage.c_str());
    return info_exit;
}

// ---------------------------------------------------------------- apply and run

// Peak memory of this process in KiB.
unsigned long long peak_kib() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc))
        return pmc.PeakWorkingSetSize / 1024;
    return 0;
#else
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<unsigned long long>(ru.ru_maxrss);
#endif
}

// The meaning of each engine return code, for the summary of a run that ended without one.
const char* rc_meaning(int rc) {
    switch (rc) {
    case kv::kRcUsage:
        return "the engine refused its command line; nothing was changed";
    case kv::kRcGameDir:
        return "the game directory cannot be used; nothing was changed";
    case kv::kRcRecoveryFailed:
        return "an interrupted earlier run could not be finished or undone";
    case kv::kRcBusy:
        return "another run is working on the same game directory; nothing was changed";
    case kv::kRcInternal:
        return "the engine ran out of memory or failed inside";
    case kv::kRcRecoveryUnproven:
        return "an interrupted earlier run left files that no plan accounts for; nothing was "
               "changed";
    default:
        return "the engine stopped";
    }
}

// Follows one engine run through its callback: the patch's own entries give each reported
// file its operation and size, so that the output can name what happens to it. It keeps only
// that much of the directory, not a second copy of it beside the engine's own: a directory at
// the engine's limits takes tens of MB.
struct RunView {
    struct FileItem {
        std::string path; // '/'-separated, as in the patch
        kv::Op op;
        uint64_t weight;
    };
    kv::Mode mode = kv::Mode::Apply;
    std::vector<FileItem> file_entries;
    std::string mkdirs, rmdirs; // native folder paths, each followed by a 0 byte
    std::map<std::string, const FileItem*> by_name; // file entries by native path
    bool have_patch = false;
    uint64_t files_total = 0, bytes_total = 0, bytes_before = 0, current_size = 0;
    size_t next_file = 0;
    bool summary_seen = false, mkdirs_shown = false;
    rtp::ProgressLine* line = nullptr;
    std::string current, summary_text;
    // The directory is read on a thread of its own while the engine opens the patch too: the
    // two reads take about as long each (a patch of a thousand files: 10-15 ms), and the view
    // is first needed when the engine reports. Not in the 32-bit tool, whose memory the two
    // directories at once would add up in, nor with --json, whose start event counts the files.
    std::thread opening;
    bool opened = false;

    void start_open(const std::string& path) {
        if (sizeof(void*) >= 8 && !g.out.json)
            opening = std::thread([this, path] { open(path); });
        else
            open(path);
    }
    // Waits for the directory once; without a patch there are no folders to show.
    void ready() {
        if (opened)
            return;
        if (opening.joinable())
            opening.join();
        opened = true;
        mkdirs_shown = !have_patch;
    }

    void open(const std::string& path) {
        kv::Patch patch;
        if (!kv::open_patch(path, patch, true, false)) // the directory is all it shows
            return;
        have_patch = true;
        for (const kv::Entry& e : patch.entries) {
            if (e.is_file_op()) {
                file_entries.push_back({e.path, e.op, weight(e)});
                bytes_total += weight(e);
            } else {
                std::string& list = e.op == kv::Op::MakeDir ? mkdirs : rmdirs;
                list += kv::to_native(e.path);
                list += '\0';
            }
        }
        mkdirs.shrink_to_fit();
        rmdirs.shrink_to_fit();
        for (const FileItem& f : file_entries)
            by_name[kv::to_native(f.path)] = &f;
    }
    static uint64_t weight(const kv::Entry& e) {
        return (e.needs_old() ? e.old_size : (e.op == kv::Op::Add ? e.new_size : 0)) +
               (e.makes_new() ? e.new_size : 0);
    }
    void show_file(const char* op, const std::string& path) {
        if (g.out.json)
            g.out.event(Json().s("event", "file").s("op", op).s("path", path));
        else if (!g.out.quiet)
            g.out.print(stdout, std::string("file: ") + op + " " + path);
    }
    // Shows the folders of a list once, and lets the list go.
    void show_folders(std::string& list) {
        const char* op = shown_op(&list == &mkdirs ? kv::Op::MakeDir : kv::Op::RemoveDir);
        for (size_t at = 0; at < list.size();) {
            size_t end = list.find('\0', at);
            show_file(op, list.substr(at, end - at));
            at = end + 1;
        }
        std::string().swap(list);
    }
};

RunView* g_view = nullptr;

void* KV_STDCALL print_report(unsigned raw_id, void* parm) {
    static char empty[1] = {0};
    RunView& v = *g_view;
    v.ready();
    auto text = [parm]() { return std::string(static_cast<char*>(parm)); };
    const auto id = static_cast<kv::CallbackId>(raw_id);
    switch (id) {
    case kv::CallbackId::Info:
    case kv::CallbackId::Warning:
    case kv::CallbackId::Error:
    case kv::CallbackId::Summary: {
        if (id == kv::CallbackId::Summary && v.have_patch && v.next_file == v.file_entries.size()) {
            if (!v.mkdirs_shown)
                v.show_folders(v.mkdirs);
            v.mkdirs_shown = true;
            v.show_folders(v.rmdirs);
        }
        if (id == kv::CallbackId::Summary)
            v.summary_seen = true;
        if (g.out.json && id == kv::CallbackId::Summary) {
            v.summary_text = text(); // sent with the return code when the run ends
        } else if (g.out.json) {
            g.out.event(Json().s("event", rtp::message_kind(id)).s("message", text()));
        } else if (id == kv::CallbackId::Error || id == kv::CallbackId::Warning) {
            g.out.print(stderr, std::string(rtp::message_kind(id)) + ": " + text());
        } else if (!g.out.quiet || id == kv::CallbackId::Summary) {
            g.out.print(stdout, std::string(rtp::message_kind(id)) + ": " + text());
        }
        break;
    }
    case kv::CallbackId::Progress:
        if (v.line) {
            uint32_t at = *static_cast<uint32_t*>(parm);
            v.line->update(v.mode == kv::Mode::Validate ? "check" : "patch", v.next_file,
                           v.files_total, v.bytes_before + v.current_size * at / 32768,
                           v.bytes_total, v.current);
        }
        break;
    case kv::CallbackId::FileCount:
        v.files_total = *static_cast<uint32_t*>(parm);
        if (!g.out.json && g.out.verbose && !g.out.quiet)
            g.out.print(stdout, "files: " + std::to_string(v.files_total));
        break;
    case kv::CallbackId::FileName: {
        if (v.mode == kv::Mode::List) {
            // Engines name each file by its path in list mode (older ones by its bare name):
            // the patch gives its folders and operation.
            const RunView::FileItem* e =
                v.next_file < v.file_entries.size() ? &v.file_entries[v.next_file] : nullptr;
            if (!v.mkdirs_shown) {
                v.show_folders(v.mkdirs);
                v.mkdirs_shown = true;
            }
            if (e && kv::to_native(e->path) != text() && kv::bare_name(e->path) != text()) {
                auto it = v.by_name.find(text());
                e = it == v.by_name.end() ? nullptr : it->second;
            }
            if (e)
                v.show_file(shown_op(e->op), kv::to_native(e->path));
            else
                v.show_file("file", text());
            ++v.next_file;
            break;
        }
        if (!v.mkdirs_shown) {
            v.show_folders(v.mkdirs);
            v.mkdirs_shown = true;
        }
        if (v.next_file > 0)
            v.bytes_before += v.current_size;
        // The engine reports the entries in patch order; the name decides all the same.
        const RunView::FileItem* e =
            v.next_file < v.file_entries.size() ? &v.file_entries[v.next_file] : nullptr;
        if (!e || kv::to_native(e->path) != text()) {
            auto it = v.by_name.find(text());
            e = it == v.by_name.end() ? nullptr : it->second;
        }
        v.current_size = e ? e->weight : 0;
        v.current = text();
        ++v.next_file;
        v.show_file(e ? shown_op(e->op) : "file", text());
        break;
    }
    default:
        break;
    }
    rtp::flush_if_watched();
    return empty;
}

int run_line(const std::string& line_text) {
    RunView view;
    g_view = &view;
    kv::CommandLine cl;
    bool list = false;
    if (!kv::parse_command_line(line_text, cl, list).ends()) {
        view.mode = cl.mode;
        view.start_open(cl.patch_path);
    }
    rtp::ProgressLine progress(g.out);
    if (view.mode != kv::Mode::List)
        view.line = &progress;
    if (g.out.json) // the directory was read in full already (start_open)
        g.out.event(Json()
                        .s("event", "start")
                        .s("command", view.mode == kv::Mode::List       ? "list"
                                      : view.mode == kv::Mode::Validate ? "validate"
                                                                        : "apply")
                        .s("patch", cl.patch_path)
                        .u("files", view.file_entries.size()));
    // The engine takes its command line in the ANSI code page, as the tool hands it.
    std::string ansi_line = kv::os::to_ansi(line_text);
    std::vector<char> buf(ansi_line.begin(), ansi_line.end());
    buf.push_back('\0');
    auto t0 = std::chrono::steady_clock::now();
    int rc = kv_patch_apply(buf.data(), print_report, 1);
    view.ready();
    progress.clear();
    if (g.stats)
        std::fprintf(stderr, "engine: %.2f s, peak memory %llu KiB\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                     peak_kib());
    std::string text = view.summary_text;
    if (!view.summary_seen) {
        if (view.mode == kv::Mode::List && rc == kv::kRcOk)
            text = std::to_string(view.next_file) + " files listed.";
        else if (view.mode == kv::Mode::List)
            text = "The patch cannot be listed (code " + std::to_string(rc) + ").";
        else
            text = std::string("The run ended with code ") + std::to_string(rc) + ": " +
                   rc_meaning(rc) + ".";
        if (view.mode == kv::Mode::List && !view.mkdirs_shown)
            view.show_folders(view.mkdirs);
        if (view.mode == kv::Mode::List && rc == kv::kRcOk)
            view.show_folders(view.rmdirs);
        if (!g.out.json)
            std::printf("summary: %s\n", text.c_str());
    }
    g.out.event(
        Json().s("event", "summary").u("code", static_cast<uint64_t>(rc)).s("message", text));
    if (!g.out.json && !g.out.quiet)
        std::printf("result: %d\n", rc);
    std::fflush(stdout);
    g_view = nullptr;
    return rc;
}

bool is_engine_switch(const std::string& w) {
    return w == "-u" || w == "-j" || w == "-i" || w == "-l" ||
           (w.size() >= 10 && kv::fold_case(w.substr(0, 10)) == kv::fold_case("-otempdir:"));
}

int cmd_apply(const std::vector<std::string>& words) {
    if (g.help) {
        std::fputs(kApplyHelp, stdout);
        return kExitOk;
    }
    Parsed p;
    if (int rc = parse_options(words,
                               {{"validate", 0, false},
                                {"ignore-missing", 0, false},
                                {"list", 0, false},
                                {"temp", 0, true}},
                               p, "apply", is_engine_switch);
        rc != kExitOk)
        return rc;
    std::string line;
    auto add = [&line](const std::string& w, bool quote) {
        if (!line.empty())
            line += ' ';
        line += quote ? "\"" + w + "\"" : w;
    };
    if (p.has("list"))
        add("-l", false);
    if (p.has("validate"))
        add("-j", false);
    if (p.has("ignore-missing"))
        add("-i", false);
    if (p.has("temp"))
        add("-otempdir:" + p.value("temp"), true);
    size_t paths = 0;
    for (const std::string& a : p.args) {
        if (is_engine_switch(a) && a.size() == 2) {
            add(a, false);
        } else {
            if (a.find('"') != std::string::npos)
                return usage_error("a path cannot hold a double quote: " + a, "apply");
            paths += is_engine_switch(a) ? 0 : 1;
            add(a, true);
        }
    }
    if (paths < 1 || paths > 2)
        return usage_error("apply needs [GAME_DIR] PATCH", "apply");
    return run_line(line);
}

int cmd_run(const std::vector<std::string>& words) {
    if (g.help) {
        std::fputs(kRunHelp, stdout);
        return kExitOk;
    }
    // The line is the engine's to judge, switches included.
    std::vector<std::string> args;
    for (const std::string& w : words)
        if (w != "--" || !args.empty())
            args.push_back(w);
    if (args.size() != 1)
        return usage_error("run needs one complete engine command line", "run");
    return run_line(args[0]);
}

// ---------------------------------------------------------------- keys and signatures

kv::os::Status key_file_failure(std::string text) {
    return kv::os::Status::fail(kv::os::ErrKind::Other, std::move(text));
}

// Reads a key file of at most 64 KiB whole into `text`.
kv::os::Status read_small_file(const std::string& path, std::string& text) {
    kv::os::File f;
    uint64_t size = 0;
    kv::os::Status s = kv::os::File::open_read(path, f);
    if (s)
        s = f.size(size);
    if (s && size > 65536)
        s = key_file_failure(path + " is too large for a key file");
    text.assign(static_cast<size_t>(s ? size : 0), '\0');
    if (s && size)
        s = f.read_exact_at(0, text.data(), text.size());
    return s;
}

// Creates `path` with `text`, readable by its owner only when `secret`.
kv::os::Status write_new_file(const std::string& path, const std::string& text, bool secret) {
#ifdef _WIN32
    // The secret file gets a protected ACL that grants the current user alone full access.
    std::string sddl;
    HANDLE token = nullptr;
    if (secret && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<uint8_t> buf(size ? size : 1);
        LPSTR sid = nullptr;
        if (GetTokenInformation(token, TokenUser, buf.data(), size, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid, &sid)) {
            sddl = std::string("D:P(A;;FA;;;") + sid + ")";
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    if (secret && sddl.empty())
        return key_file_failure("cannot make " + path + " private to its owner");
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    if (secret && !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                      sddl.c_str(), SDDL_REVISION_1, &sa.lpSecurityDescriptor, nullptr))
        return key_file_failure("cannot make " + path + " private to its owner");
    int n = MultiByteToWideChar(kPathCodePage, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(kPathCodePage, 0, path.c_str(), -1, wide.data(), n);
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, secret ? &sa : nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (sa.lpSecurityDescriptor)
        LocalFree(sa.lpSecurityDescriptor);
    if (h == INVALID_HANDLE_VALUE)
        return key_file_failure("cannot create " + path);
    DWORD done = 0;
    bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
              done == text.size() && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    return ok ? kv::os::Status::success() : key_file_failure("cannot write " + path);
#else
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, secret ? 0600 : 0644);
    if (fd < 0)
        return key_file_failure("cannot create " + path + ": " + std::strerror(errno));
    bool ok = (!secret || ::fchmod(fd, 0600) == 0) &&
              ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok ? kv::os::Status::success()
              : key_file_failure("cannot write " + path + ": " + std::strerror(errno));
#endif
}

int cmd_keygen(const std::vector<std::string>& words) {
    if (g.help) {
        std::fputs(kKeygenHelp, stdout);
        return kExitOk;
    }
    Parsed p;
    if (int rc = parse_options(words, {{"force", 'f', false}}, p, "keygen"); rc != kExitOk)
        return rc;
    if (p.args.size() != 1)
        return usage_error("keygen needs one KEYFILE", "keygen");
    const std::string secret_path = p.args[0], public_path = p.args[0] + ".pub";
    for (const std::string& path : {secret_path, public_path}) {
        kv::os::Stat st;
        kv::os::stat(path, st);
        if (st.exists && !p.has("force")) {
            g.out.error(path + " already exists (give -f to replace it)");
            return kExitCantCreat;
        }
        if (st.exists && (st.is_dir || !kv::os::remove_file(path))) {
            g.out.error("cannot replace " + path);
            return kExitCantCreat;
        }
    }
    uint8_t secret[32], key[64];
    kv::os::Status s = kv::p256_generate(secret, key);
    std::string secret_text = s ? kv::format_secret_key(secret, key) : std::string();
    std::fill(secret, secret + 32, 0);
    if (s)
        s = write_new_file(secret_path, secret_text, true);
    std::fill(secret_text.begin(), secret_text.end(), '\0');
    if (s)
        s = write_new_file(public_path, kv::format_public_key(key), false);
    if (!s) {
        g.out.error(s.text);
        return kExitCantCreat;
    }
    std::string fp = kv::key_fingerprint(key);
    g.out.result("key " + fp + ": secret key in " + secret_path +
                 " (keep it private), public key in " + public_path +
                 " (ship it in the game directory as " + kv::kKeyFileName + ")");
    g.out.event(Json()
                    .s("event", "summary")
                    .u("code", 0)
                    .s("fingerprint", fp)
                    .s("secret", secret_path)
                    .s("public", public_path));
    return kExitOk;
}

// Loads a secret key for --sign into `out` and proves it against its own public half.
kv::os::Status load_signer(const std::string& path, std::unique_ptr<kv::PatchSigner>& out) {
    std::string text, why;
    uint8_t secret[32], key[64], digest[32] = {1}, sig[64];
    if (kv::os::Status s = read_small_file(path, text); !s)
        return s;
    why = kv::parse_secret_key(text, secret, key).message;
    std::fill(text.begin(), text.end(), '\0');
    if (why.empty())
        why = kv::p256_sign(secret, key, digest, sig).text;
    if (why.empty() && !kv::p256_verify(key, digest, sig))
        why = "its secret and public halves do not belong together";
    if (!why.empty())
        return key_file_failure(path + ": " + why);
    out = kv::make_signer(secret, key);
    std::fill(secret, secret + 32, 0);
    return kv::os::Status::success();
}

int cmd_verify(const std::vector<std::string>& words) {
    if (g.help) {
        std::fputs(kVerifyHelp, stdout);
        return kExitOk;
    }
    Parsed p;
    if (int rc = parse_options(words, {{"key", 0, true}}, p, "verify"); rc != kExitOk)
        return rc;
    std::string err;
    if (p.args.size() != 1)
        return usage_error("verify needs one PATCH", "verify");
    uint8_t trusted[64];
    if (p.has("key")) {
        std::string text;
        kv::os::Status s = read_small_file(p.value("key"), text);
        err = s ? kv::parse_public_key(text, trusted).message : s.text;
        if (!err.empty()) {
            g.out.error(p.value("key") + ": " + err);
            return kExitNoInput;
        }
    }
    kv::Patch patch;
    kv::DecodeResult opened = kv::open_patch(p.args[0], patch);
    kv::PatchError e = opened.status;
    err = opened.message;
    int code = exit_for(e);
    std::string fp;
    if (e == kv::PatchError::None) {
        code = kExitUntrusted;
        if (!patch.signature.present) {
            err = "the patch is not signed";
        } else {
            fp = kv::key_fingerprint(patch.signature.key);
            err = kv::check_patch_signature(patch).message;
            if (!err.empty())
                err = "the signature by key " + fp + " does not hold: " + err;
            else if (p.has("key") && !std::equal(trusted, trusted + 64, patch.signature.key))
                err = "it is signed by key " + fp + ", not by the key in " + p.value("key") + " (" +
                      kv::key_fingerprint(trusted) + ")";
            else
                code = kExitOk;
        }
    }
    std::string text =
        code == kExitOk ? p.args[0] + ": signed by key " + fp + "; the signature holds" +
                              (p.has("key") ? " and the key is the one in " + p.value("key") : "")
                        : p.args[0] + ": " + err;
    if (code == kExitOk)
        g.out.result(text);
    else
        g.out.error(text);
    g.out.event(Json()
                    .s("event", "summary")
                    .u("code", static_cast<uint64_t>(code))
                    .s("message", text)
                    .s("fingerprint", fp));
    return code;
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The words as UTF-8, so that trees with names of any language can be built.
    std::vector<std::string> utf8_words;
    std::vector<char*> utf8_argv;
    int wargc = 0;
    if (LPWSTR* w = CommandLineToArgvW(GetCommandLineW(), &wargc)) {
        for (int i = 0; i < wargc; ++i)
            utf8_words.push_back(kv::os::utf16_to_utf8(std::u16string(w[i], w[i] + wcslen(w[i]))));
        LocalFree(w);
        for (std::string& word : utf8_words)
            utf8_argv.push_back(word.data());
        utf8_argv.push_back(nullptr);
        argc = wargc;
        argv = utf8_argv.data();
    }
#endif
    rtp::hold_output_unless_watched();
    // Global options anywhere before "--"; the first other word is the command.
    std::vector<std::string> words;
    std::string command;
    bool version = false, rest = false, progress_opt = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (rest) {
            if (command.empty())
                command = a;
            else
                words.push_back(a);
            continue;
        }
        if (a == "--") {
            rest = true;
            words.push_back(a);
        } else if (a == "-q" || a == "--quiet") {
            g.out.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            g.out.verbose = true;
        } else if (a == "--json") {
            g.out.json = true;
        } else if (a == "--progress") {
            progress_opt = true;
        } else if (a == "--stats") {
            g.stats = true;
        } else if (a == "-h" || a == "--help") {
            g.help = true;
        } else if (a == "--version") {
            version = true;
        } else if (command.empty() && !(a.size() > 1 && a[0] == '-')) {
            command = a;
        } else if (command.empty()) {
            return usage_error("unknown option '" + a + "'", nullptr);
        } else {
            words.push_back(a);
        }
    }
    g.out.progress = progress_opt || (!g.out.quiet && !g.out.json && stderr_is_terminal());
    if (version) {
        std::printf("rtptool %s (patch format version %u)\n", RTPTOOL_VERSION,
                    static_cast<unsigned>(kv::kFormatVersion));
        return kExitOk;
    }
    if (command == "help") {
        if (words.empty()) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        g.help = true;
        command = words[0];
        words.erase(words.begin());
    }
    if (command.empty()) {
        if (g.help) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        std::fputs(kHelp, stderr);
        return kExitUsage;
    }
    if (command == "build")
        return cmd_build(words);
    if (command == "info")
        return cmd_info(words);
    if (command == "apply")
        return cmd_apply(words);
    if (command == "run")
        return cmd_run(words);
    if (command == "keygen")
        return cmd_keygen(words);
    if (command == "verify")
        return cmd_verify(words);
    return usage_error("unknown command '" + command + "'", nullptr);
}
