// rtptool: the publisher's patch builder and a console front end of the engine.
//   rtptool build [--fast-apply] OLD_DIR NEW_DIR OUT.rtp   build a patch between two trees
//   rtptool info PATCH                      list the entries of a patch
//   rtptool apply ARGS...                   run the engine with ARGS as its command-line words
//   rtptool run "COMMAND LINE"              run the engine with a complete command line
#include "api.h"
#include "builder.h"
#include "delta.h"
#include "format.h"
#include "os.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The builder and the patch work in UTF-8; the console, like the engine's callers, in the
// ANSI code page on Windows.
std::string shown(const std::string& utf8) {
    return kv::os::to_ansi(utf8);
}

int usage() {
    std::fprintf(stderr,
                 "usage:\n"
                 "  rtptool build [--fast-apply] OLD_DIR NEW_DIR OUT.rtp\n"
                 "  rtptool info [-v] PATCH\n"
                 "  rtptool [--stats] apply [-u] [-j] [-i] [-l] [-otempdir:DIR] [GAME_DIR] PATCH\n"
                 "  rtptool run \"ENGINE COMMAND LINE\"\n");
    return 64;
}

int cmd_build(int argc, char** argv) {
    kv::BuildOptions opt;
    if (argc == 6 && std::string(argv[2]) == "--fast-apply") {
        opt.delta.fast_apply = true;
        ++argv;
        --argc;
    }
    if (argc != 5)
        return usage();
    kv::BuildStats stats;
    auto t0 = std::chrono::steady_clock::now();
    std::string err = kv::build_patch(
        argv[2], argv[3], argv[4], opt,
        [](const std::string& line) { std::fprintf(stderr, "%s\n", shown(line).c_str()); }, stats);
    if (!err.empty()) {
        std::fprintf(stderr, "rtptool: %s\n", shown(err).c_str());
        return 1;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(
        stderr,
        "%s: %llu modified, %llu added, %llu deleted, %llu unchanged, %llu folder entries; "
        "%llu bytes of new data in a patch of %llu bytes (%.2f s)\n",
        shown(argv[4]).c_str(), (unsigned long long)stats.modified, (unsigned long long)stats.added,
        (unsigned long long)stats.deleted, (unsigned long long)stats.unchanged,
        (unsigned long long)stats.dirs, (unsigned long long)stats.new_bytes,
        (unsigned long long)stats.patch_bytes, secs);
    return 0;
}

int cmd_info(int argc, char** argv) {
    bool verbose = argc == 4 && std::string(argv[2]) == "-v";
    if (argc != 3 && !verbose)
        return usage();
    if (verbose)
        argv[2] = argv[3];
    kv::Patch p;
    std::string msg;
    kv::PatchError e = kv::open_patch(argv[2], p, msg);
    if (e != kv::PatchError::None) {
        std::fprintf(stderr, "rtptool: %s\n", shown(msg).c_str());
        return 1;
    }
    std::printf("format version %u, %zu entries, %llu bytes\n", p.version, p.entries.size(),
                (unsigned long long)p.size);
    std::printf("%-7s %-8s %12s %12s %12s  %s\n", "op", "codec", "old size", "new size", "payload",
                "path");
    for (const kv::Entry& en : p.entries) {
        std::printf("%-7s %-8s %12llu %12llu %12llu  %s", kv::op_name(en.op),
                    kv::codec_name(en.codec), (unsigned long long)en.old_size,
                    (unsigned long long)en.new_size, (unsigned long long)en.payload_size,
                    shown(en.path).c_str());
        bool ref = false;
        uint64_t index = 0;
        if (kv::delta_reference(en, ref, index) && ref)
            std::printf("  (instructions predicted from %s)", shown(p.entries[index].path).c_str());
        std::printf("\n");
    }
    if (verbose) {
        kv::DeltaStats st;
        for (const kv::Entry& en : p.entries)
            if (en.codec == kv::Codec::Delta && !kv::delta_stats(en, p.file, st))
                std::printf("cannot read the blocks of %s\n", shown(en.path).c_str());
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
    return 0;
}

bool g_tty_progress = false;

void* KV_STDCALL print_report(unsigned id, void* parm) {
    static char empty[1] = {0};
    switch (id) {
    case 1:
        std::printf("info: %s\n", static_cast<char*>(parm));
        break;
    case 2:
        std::printf("warning: %s\n", static_cast<char*>(parm));
        break;
    case 3:
        std::printf("error: %s\n", static_cast<char*>(parm));
        break;
    case 4:
        std::printf("summary: %s\n", static_cast<char*>(parm));
        break;
    case 5:
        if (g_tty_progress)
            std::fprintf(stderr, "\r%5.1f%%", *static_cast<uint32_t*>(parm) * 100.0 / 32768);
        break;
    case 6:
        std::printf("files: %u\n", *static_cast<uint32_t*>(parm));
        break;
    case 7:
        std::printf("file: %s\n", static_cast<char*>(parm));
        break;
    default:
        break;
    }
    std::fflush(stdout);
    return empty;
}

bool g_stats = false;

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

// The engine takes its command line in the ANSI code page, as the tool hands it.
int run_line(const std::string& utf8_line) {
    std::string line = kv::os::to_ansi(utf8_line);
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    auto t0 = std::chrono::steady_clock::now();
    int rc = kv_patch_apply(buf.data(), print_report, 1);
    if (g_stats)
        std::fprintf(stderr, "engine: %.2f s, peak memory %llu KiB\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                     peak_kib());
    if (g_tty_progress)
        std::fprintf(stderr, "\r       \r");
    std::printf("result: %d\n", rc);
    return rc;
}

int cmd_apply(int argc, char** argv) {
    std::string line;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-u" || a == "-j" || a == "-i" || a == "-l")
            line += a + " ";
        else
            line += (line.empty() || line.back() == ' ' ? "\"" : " \"") + a + "\"";
    }
    return run_line(line);
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The words as UTF-8, so that trees with names of any language can be built.
    std::vector<std::string> words;
    std::vector<char*> wargv;
    int wargc = 0;
    if (LPWSTR* w = CommandLineToArgvW(GetCommandLineW(), &wargc)) {
        for (int i = 0; i < wargc; ++i)
            words.push_back(kv::os::utf16_to_utf8(std::u16string(w[i], w[i] + wcslen(w[i]))));
        LocalFree(w);
        for (std::string& word : words)
            wargv.push_back(word.data());
        wargv.push_back(nullptr);
        argc = wargc;
        argv = wargv.data();
    }
#endif
    if (argc >= 2 && std::string(argv[1]) == "--stats") {
        g_stats = true;
        ++argv;
        --argc;
    }
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    if (cmd == "build")
        return cmd_build(argc, argv);
    if (cmd == "info")
        return cmd_info(argc, argv);
    if (cmd == "apply")
        return cmd_apply(argc, argv);
    if (cmd == "run" && argc == 3)
        return run_line(argv[2]);
    return usage();
}
