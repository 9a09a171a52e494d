#include "entry_caller.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kvtest {

namespace {

Recorder g_calls; // the reports of the last call
char g_empty[1] = {0};

void* KV_STDCALL record(unsigned id, void* parm) {
    Event e{id, "", 0};
    if (id == 5 || id == 6)
        e.value = *static_cast<uint32_t*>(parm);
    else if (id >= 1 && id <= 7)
        e.text = static_cast<const char*>(parm);
    g_calls.events.push_back(e);
    return g_empty;
}

} // namespace

EntryFn entry() {
#ifdef _WIN32
    static EntryFn fn = [] {
        char exe[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
        std::string dir(exe, n);
        dir = dir.substr(0, dir.find_last_of('\\'));
        HMODULE h = LoadLibraryA((dir + "\\patchw32.dll").c_str());
        if (!h)
            return static_cast<EntryFn>(nullptr);
        // FARPROC to the entry's real type, through a plain pointer as the Win32 idiom goes.
        return reinterpret_cast<EntryFn>(
            reinterpret_cast<void*>(GetProcAddress(h, "RTPatchApply32@12")));
    }();
    return fn;
#else
    return &kv_patch_apply;
#endif
}

int call(const std::string& line) {
    g_calls.events.clear();
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    return entry()(buf.data(), &record, 1);
}

std::vector<Event>& events() {
    return g_calls.events;
}

std::vector<std::string> texts(unsigned id) {
    return g_calls.texts(id);
}

std::string all_text() {
    return g_calls.all_text();
}

} // namespace kvtest
