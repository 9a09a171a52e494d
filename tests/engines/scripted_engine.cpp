// A stand-in engine library for the tool's tests. It exports RTPatchApply32@12, records
// every command line it receives and replays a scripted sequence of callbacks.
//
// The test names a folder in the environment variable KELVANE_TEST_ENGINE_DIR. There:
//   script.txt  blocks separated by lines "---"; engine call k replays block k (the last
//               block again when there are fewer). Lines of a block:
//                 <id> <text>   callback with a text (ids 1-4, 7, and any other id); \n and
//                               \r in the text stand for line feed and carriage return
//                 5 <n> / 6 <n> callback with a pointer to the number n
//                 ret <n>       the value this call returns (default 0)
//                 await <e>     waits for the named event e (at most 10 s, else returns 79)
//   calls.txt   one line per call: the command line exactly as received.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Callback = void*(__stdcall*)(unsigned, void*);

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace

extern "C" __declspec(dllexport) int __stdcall RTPatchApply32(char* commandLine, Callback callback,
                                                              int) {
    char dir[MAX_PATH * 2] = {};
    const DWORD n = ::GetEnvironmentVariableA("KELVANE_TEST_ENGINE_DIR", dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) {
        return 77;
    }
    const std::string calls = std::string(dir) + "\\calls.txt";
    const size_t callIndex = ReadLines(calls).size();
    if (FILE* f = std::fopen(calls.c_str(), "ab")) {
        std::fprintf(f, "%s\n", commandLine != nullptr ? commandLine : "(null)");
        std::fclose(f);
    }
    std::vector<std::vector<std::string>> blocks(1);
    for (const std::string& line : ReadLines(std::string(dir) + "\\script.txt")) {
        if (line == "---") {
            blocks.emplace_back();
        } else {
            blocks.back().push_back(line);
        }
    }
    int result = 0;
    for (const std::string& line :
         blocks[callIndex < blocks.size() ? callIndex : blocks.size() - 1]) {
        const size_t blank = line.find(' ');
        const std::string head = line.substr(0, blank);
        const std::string rest =
            blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (head == "ret") {
            result = std::atoi(rest.c_str());
            continue;
        }
        if (head == "await") {
            HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, rest.c_str());
            const DWORD waited = ::WaitForSingleObject(event, 10000);
            ::CloseHandle(event);
            if (waited != WAIT_OBJECT_0) {
                return 79;
            }
            continue;
        }
        const unsigned id = static_cast<unsigned>(std::strtoul(head.c_str(), nullptr, 10));
        unsigned number = static_cast<unsigned>(std::strtoul(rest.c_str(), nullptr, 10));
        // Texts go out in a buffer of their own, so later writes cannot alias them.
        std::vector<char> text;
        for (size_t i = 0; i < rest.size(); ++i) {
            const bool escape = rest[i] == '\\' && i + 1 < rest.size() &&
                                (rest[i + 1] == 'n' || rest[i + 1] == 'r');
            text.push_back(!escape ? rest[i] : rest[++i] == 'n' ? '\n' : '\r');
        }
        text.push_back('\0');
        if (callback(id, id == 5 || id == 6 ? static_cast<void*>(&number) : text.data()) ==
            nullptr) {
            return 78; // the tool must always answer with a text
        }
    }
    return result;
}
