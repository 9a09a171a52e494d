// libFuzzer target: the patch parser and a full engine run (list, validate, apply) into a
// scratch game directory. Inputs whose last byte is odd are taken as patch files as they
// are; the others get a freshly computed size and checksum in their trailer, so that the
// fuzzer reaches the directory, the path rules and the decoders behind the checksum. The input's
// length also picks how the scratch game directory is laid out: plain, or with a symbolic link
// where the engine keeps its own folders or inside the game pointing at a folder outside it, or
// with the engine's reserved names taken by foreign files and a journal a killed run left.
// Whatever the engine does, nothing outside the game directory may change.
#include "engine.h"
#include "format.h"
#include "hash.h"
#include "os.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class Quiet : public kv::Reporter {
  public:
    void message(unsigned, const std::string& t) override {
        if (t.size() > 239)
            __builtin_trap(); // the engine promises short texts
    }
    void progress(uint32_t v) override {
        if (v > 32768)
            __builtin_trap();
    }
    void file_count(uint32_t) override {}
    void file_name(const std::string&) override {}
};

std::string g_root;

namespace fs = std::filesystem;

void write(const std::string& path, const void* data, size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        __builtin_trap();
    if (n)
        std::fwrite(data, 1, n, f);
    std::fclose(f);
}

void reset_game() {
    fs::remove_all(g_root + "/game");
    fs::create_directories(g_root + "/game/data");
    fs::create_directories(g_root + "/temp");
    write(g_root + "/game/a.txt", "old file one", 12);
    std::string level;
    for (int i = 0; level.size() < 4000; ++i)
        level += "level data line " + std::to_string(i) + "\n";
    write(g_root + "/game/data/level.dat", level.data(), level.size());
    // The same lines after a header: patches that edit both refer from one to the other.
    std::string pack = "LEVEL PACK 2\n" + level;
    write(g_root + "/game/data/pack2.dat", pack.data(), pack.size());
    // Machine-code-like bytes with 32-bit displacements, for the second difference model.
    fs::create_directories(g_root + "/game/bin");
    std::vector<uint8_t> code(48 * 1024);
    uint32_t x = 12345;
    for (uint8_t& b : code)
        b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    for (size_t at = 16; at + 4 < code.size();) {
        size_t next = at + 11 + code[at] % 29;
        uint32_t disp = static_cast<uint32_t>(static_cast<uint32_t>(at) * 2654435761u) %
                            static_cast<uint32_t>(code.size()) -
                        static_cast<uint32_t>(at + 4);
        std::memcpy(&code[at], &disp, 4);
        at = next;
    }
    write(g_root + "/game/bin/code.bin", code.data(), code.size());
}

// Files outside the game directory that a link may point at; after every run they must be
// exactly these.
const char* const kVictim[][2] = {
    {"precious.txt", "mine"}, {"sub/deep.txt", "also mine"}, {".kelvane-journal/o0", "not ours"}};

void reset_victim() {
    fs::remove_all(g_root + "/victim");
    for (const auto& [rel, text] : kVictim) {
        fs::create_directories(fs::path(g_root + "/victim/" + rel).parent_path());
        write(g_root + "/victim/" + rel, text, std::strlen(text));
    }
}

bool victim_intact() {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(g_root + "/victim"); it != fs::end(it); ++it)
        n += it->is_regular_file() ? 1 : 0;
    for (const auto& [rel, text] : kVictim)
        if (fs::file_size(g_root + "/victim/" + rel, ec) != std::strlen(text))
            return false;
    return n == 3;
}

// The game's layout for this input: a folder to make, then a link to the victim (or to
// nothing), then a foreign file or a journal a killed run left with a file moved aside.
void arrange_game(size_t variant) {
    static const char* const layouts[][3] = {
        {"Tarrowmoor", "Tarrowmoor/.kelvane-journal", ""},
        {"", "Tarrowmoor", ""},
        {"", "Tarrowmoor.kelvane-tmp", ""},
        {"Tarrowmoor.kelvane-tmp", "Tarrowmoor.kelvane-tmp/.kelvane-journal", ""},
        {"", "bin", ""},
        {"Tarrowmoor.kelvane-tmp", "", "Tarrowmoor.kelvane-tmp/readme.txt"},
        {"Tarrowmoor/.kelvane-journal/work", "Tarrowmoor/.kelvane-journal/work/v",
         "Tarrowmoor/.kelvane-journal/o1"},
    };
    if (variant >= std::size(layouts))
        return;
    const std::string game = g_root + "/game/";
    const auto& [dir, link, file] = layouts[variant];
    if (*dir)
        fs::create_directories(game + dir);
    if (*link) {
        fs::remove_all(game + link);
        fs::create_directory_symlink(g_root + "/victim", game + link);
    }
    if (*file)
        write(game + file, "foreign", 7);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/kvfuzz-XXXXXX";
    if (!mkdtemp(tmpl))
        __builtin_trap();
    g_root = tmpl;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> p(data, data + size);
    if (size >= kv::kHeaderSize + kv::kTrailerSize && (data[size - 1] & 1) == 0) {
        uint64_t total = size;
        std::memcpy(p.data() + size - kv::kTrailerSize + 32, &total, 8); // little-endian hosts
        kv::Hash128 h = kv::hash128(p.data(), size - 16);
        std::memcpy(p.data() + size - 16, h.b, 16);
    }
    std::string patch = g_root + "/p.rtp";
    write(patch, p.data(), p.size());
    reset_game();
    reset_victim();
    arrange_game(size % 12);
    Quiet q;
    std::string game = "\"" + g_root + "/game\" \"" + patch + "\"";
    kv::run_engine("-l  " + game, q);
    kv::run_engine("-u -j \"-otempdir:" + g_root + "/temp\" " + game, q);
    int rc = kv::run_engine("-u \"-otempdir:" + g_root + "/temp\" " + game, q);
    (void)rc;
    // Nothing may ever appear outside the game directory, and no temp file may stay.
    if (!fs::is_empty(g_root + "/temp") || !victim_intact())
        __builtin_trap();
    for (const auto& e : fs::directory_iterator(g_root)) {
        std::string n = e.path().filename().string();
        if (n != "game" && n != "temp" && n != "p.rtp" && n != "victim")
            __builtin_trap();
    }
    return 0;
}
