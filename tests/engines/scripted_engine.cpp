// A stand-in engine library for the tool's tests. It exports RTPatchApply32@12, records
// every command line it receives and replays a scripted sequence of callbacks.
//
// The test names a folder in the environment variable KELVANE_TEST_ENGINE_DIR. There:
//   script.txt  blocks separated by lines "---"; engine call k replays block k (the last
//               block again when there are fewer). Lines of a block:
//                 <id> <text>   callback with a text (ids 1-4, 7, and any other id)
//                 5 <n> / 6 <n> callback with a pointer to the number n
//                 ret <n>       the value this call returns (default 0)
//   calls.txt   one line per call: the command line exactly as received.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Callback = void*(__stdcall*)(unsigned, void*);

std::string EngineDir() {
    char buffer[MAX_PATH * 2] = {};
    DWORD n = ::GetEnvironmentVariableA("KELVANE_TEST_ENGINE_DIR", buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return lines;
    }
    std::string line;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    std::fclose(f);
    return lines;
}

int CountCalls(const std::string& path) { return static_cast<int>(ReadLines(path).size()); }

} // namespace

extern "C" __declspec(dllexport) int __stdcall RTPatchApply32(char* commandLine, Callback callback,
                                                              int wait) {
    (void)wait;
    const std::string dir = EngineDir();
    if (dir.empty()) {
        return 77;
    }
    const std::string callsPath = dir + "\\calls.txt";
    const int callIndex = CountCalls(callsPath);
    if (FILE* f = std::fopen(callsPath.c_str(), "ab")) {
        std::fprintf(f, "%s\n", commandLine != nullptr ? commandLine : "(null)");
        std::fclose(f);
    }
    // Split the script into blocks.
    std::vector<std::vector<std::string>> blocks(1);
    for (const std::string& line : ReadLines(dir + "\\script.txt")) {
        if (line == "---") {
            blocks.emplace_back();
        } else {
            blocks.back().push_back(line);
        }
    }
    const auto& block = blocks[static_cast<size_t>(callIndex) < blocks.size()
                                   ? static_cast<size_t>(callIndex)
                                   : blocks.size() - 1];
    int result = 0;
    for (const std::string& line : block) {
        const size_t blank = line.find(' ');
        const std::string head = line.substr(0, blank);
        const std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (head == "ret") {
            result = std::atoi(rest.c_str());
            continue;
        }
        const unsigned id = static_cast<unsigned>(std::strtoul(head.c_str(), nullptr, 10));
        if (id == 5 || id == 6) {
            unsigned long value = std::strtoul(rest.c_str(), nullptr, 10);
            unsigned number = static_cast<unsigned>(value);
            void* answer = callback(id, &number);
            if (answer == nullptr) {
                return 78; // the tool must always answer with a text
            }
        } else {
            // Texts go out in a buffer of their own, so later writes cannot alias them.
            std::vector<char> text(rest.begin(), rest.end());
            // Escapes for bytes a script line cannot hold: \n line feed, \r carriage return.
            std::vector<char> unescaped;
            for (size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'r')) {
                    unescaped.push_back(text[i + 1] == 'n' ? '\n' : '\r');
                    ++i;
                } else {
                    unescaped.push_back(text[i]);
                }
            }
            unescaped.push_back('\0');
            void* answer = callback(id, unescaped.data());
            if (answer == nullptr) {
                return 78;
            }
        }
    }
    return result;
}
