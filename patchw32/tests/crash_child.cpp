// Helper of the crash tests: applies a patch and terminates itself abruptly, like a killed
// process, at the N-th file-system operation of the run.
// usage: patchw32_crash_child N GAME_DIR PATCH TEMP_DIR
#include "engine.h"
#include "os.h"

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {
class Silent : public kv::Reporter {
    void message(kv::CallbackId, const std::string&) override {}
    void progress(uint32_t) override {}
    void file_count(uint32_t) override {}
    void file_name(const std::string&) override {}
};
} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        return 64;
    long target = std::atol(argv[1]);
    long calls = 0;
    kv::os::set_fault_hook([&](const char*, const std::string&) {
        if (++calls == target) {
#ifdef _WIN32
            TerminateProcess(GetCurrentProcess(), 99);
#else
            _exit(99);
#endif
        }
        return true;
    });
    Silent s;
    std::string line =
        std::string("-u \"-otempdir:") + argv[4] + "\" \"" + argv[2] + "\" \"" + argv[3] + "\"";
    return kv::run_engine(line, s);
}
