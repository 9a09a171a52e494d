#include "api.h"

#include "engine.h"
#include "os.h"

#include <cstring>
#include <vector>

namespace {

class CallbackReporter : public kv::Reporter {
  public:
    explicit CallbackReporter(KvPatchCallback cb) : cb_(cb) {}
    void message(kv::CallbackId id, const std::string& text) override { send_text(id, text); }
    void progress(uint32_t value) override {
        if (cb_) {
            uint32_t v = value;
            send(kv::CallbackId::Progress, &v);
        }
    }
    void file_count(uint32_t n) override {
        if (cb_) {
            uint32_t v = n;
            send(kv::CallbackId::FileCount, &v);
        }
    }
    void file_name(const std::string& name) override { send_text(kv::CallbackId::FileName, name); }

  private:
    void send(kv::CallbackId id, void* parm) { cb_(static_cast<unsigned>(id), parm); }
    void send_text(kv::CallbackId id, const std::string& text) {
        if (!cb_)
            return;
        // The engine works in UTF-8; its callers read the ANSI code page. A private, writable
        // copy: the receiver may keep or modify its buffer.
        std::string shown = kv::os::to_ansi(text);
        std::vector<char> buf(shown.begin(), shown.end());
        buf.push_back('\0');
        send(id, buf.data());
    }
    KvPatchCallback cb_;
};

} // namespace

extern "C" int kv_patch_apply(char* cmdline, KvPatchCallback callback, int /*wait*/) {
    CallbackReporter rep(callback);
    try {
        // The command line comes in the ANSI code page; the engine works in UTF-8.
        std::string line = kv::os::from_ansi(cmdline ? std::string(cmdline) : std::string());
        return kv::run_engine(line, rep);
    } catch (...) {
        return kv::kRcInternal;
    }
}
