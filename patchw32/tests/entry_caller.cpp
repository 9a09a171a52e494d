#include "entry_caller.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kvtest {

namespace {

std::vector<Event> g_events;
char g_empty[1] = {0};

void* KV_STDCALL record(unsigned id, void* parm) {
    Event e{id, "", 0};
    if (id == 5 || id == 6)
        e.value = *static_cast<uint32_t*>(parm);
    else if (id >= 1 && id <= 7)
        e.text = static_cast<const char*>(parm);
    g_events.push_back(e);
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
    g_events.clear();
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    return entry()(buf.data(), &record, 1);
}

std::vector<Event>& events() {
    return g_events;
}

std::vector<std::string> texts(unsigned id) {
    std::vector<std::string> r;
    for (const Event& e : g_events)
        if (e.id == id)
            r.push_back(e.text);
    return r;
}

std::string all_text() {
    std::string s;
    for (const Event& e : g_events)
        if (e.id >= 1 && e.id <= 4)
            s += std::to_string(e.id) + ": " + e.text + "\n";
    return s;
}

} // namespace kvtest
