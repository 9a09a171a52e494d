// rtptool: the publisher's patch builder and a console front end of the engine.
//   rtptool build [--bandwidth RATE | --smallest] [--fast-apply] OLD_DIR NEW_DIR OUT.rtp
//                                           build a patch between two trees
//   rtptool info PATCH                      list the entries of a patch
//   rtptool apply ARGS...                   run the engine with ARGS as its command-line words
//   rtptool run "COMMAND LINE"              run the engine with a complete command line
#include "api.h"
#include "builder.h"
#include "delta.h"
#include "format.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage:\n"
                 "  rtptool build [--bandwidth RATE | --smallest] [--fast-apply] OLD_DIR NEW_DIR "
                 "OUT.rtp\n"
                 "  rtptool info [-v] PATCH\n"
                 "  rtptool [--stats] apply [-u] [-j] [-i] [-l] [-otempdir:DIR] [GAME_DIR] PATCH\n"
                 "  rtptool run \"ENGINE COMMAND LINE\"\n");
    return 64;
}

// The player's download rate that `build` optimises for unless told otherwise, bits per second.
constexpr double kDefaultBandwidth = 50e6;

// A rate in bits per second: a number with an optional k, M or G.
bool parse_rate(const char* text, double& out) {
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || !(v > 0) || v > 1e12)
        return false;
    std::string unit = end;
    double scale = unit.empty() ? 1 : unit == "k" ? 1e3 : unit == "M" ? 1e6 : unit == "G" ? 1e9 : 0;
    if (scale == 0)
        return false;
    out = v * scale;
    return true;
}

int cmd_build(int argc, char** argv) {
    kv::BuildOptions opt;
    opt.delta.bandwidth = kDefaultBandwidth;
    while (argc > 5 && std::strncmp(argv[2], "--", 2) == 0) {
        std::string o = argv[2];
        int used = 1;
        if (o == "--fast-apply") {
            opt.delta.fast_apply = true;
        } else if (o == "--smallest") {
            opt.delta.bandwidth = 0;
        } else if (o == "--bandwidth" && argc > 6 && parse_rate(argv[3], opt.delta.bandwidth)) {
            used = 2;
        } else {
            return usage();
        }
        argv += used;
        argc -= used;
    }
    if (argc != 5)
        return usage();
    kv::BuildStats stats;
    auto t0 = std::chrono::steady_clock::now();
    std::string err = kv::build_patch(
        argv[2], argv[3], argv[4], opt,
        [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }, stats);
    if (!err.empty()) {
        std::fprintf(stderr, "rtptool: %s\n", err.c_str());
        return 1;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(
        stderr,
        "%s: %llu modified, %llu added, %llu deleted, %llu unchanged, %llu folder entries; "
        "%llu bytes of new data in a patch of %llu bytes (%.2f s)\n",
        argv[4], (unsigned long long)stats.modified, (unsigned long long)stats.added,
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
        std::fprintf(stderr, "rtptool: %s\n", msg.c_str());
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
                    en.path.c_str());
        bool ref = false;
        uint64_t index = 0;
        if (kv::delta_reference(en, ref, index) && ref)
            std::printf("  (instructions predicted from %s)", p.entries[index].path.c_str());
        std::printf("\n");
    }
    if (verbose) {
        kv::DeltaStats st;
        for (const kv::Entry& en : p.entries)
            if (en.codec == kv::Codec::Delta && !kv::delta_stats(en, p.file, st))
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

int run_line(std::string line) {
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
