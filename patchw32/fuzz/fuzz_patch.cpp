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

// Files outside the game directory that a link may point at.
void reset_victim() {
    fs::remove_all(g_root + "/victim");
    fs::create_directories(g_root + "/victim/sub");
    fs::create_directories(g_root + "/victim/.kelvane-journal");
    write(g_root + "/victim/precious.txt", "mine", 4);
    write(g_root + "/victim/sub/deep.txt", "also mine", 9);
    write(g_root + "/victim/.kelvane-journal/o0", "not the engine's", 16);
}

bool victim_intact() {
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(g_root + "/victim")) {
        (void)e;
        ++n;
    }
    auto size = [](const std::string& p) {
        std::error_code ec;
        return fs::file_size(p, ec);
    };
    return n == 5 && size(g_root + "/victim/precious.txt") == 4 &&
           size(g_root + "/victim/sub/deep.txt") == 9 &&
           size(g_root + "/victim/.kelvane-journal/o0") == 16;
}

void link_to_victim(const std::string& rel) {
    fs::create_directory_symlink(g_root + "/victim", g_root + "/game/" + rel);
}

// The game directory's layout for this input.
void arrange_game(size_t variant) {
    const std::string game = g_root + "/game/";
    switch (variant) {
    case 0:
        fs::create_directories(game + "Tarrowmoor");
        link_to_victim("Tarrowmoor/.kelvane-journal");
        break;
    case 1:
        link_to_victim("Tarrowmoor");
        break;
    case 2:
        link_to_victim("Tarrowmoor.kelvane-tmp");
        break;
    case 3:
        fs::create_directories(game + "Tarrowmoor.kelvane-tmp");
        link_to_victim("Tarrowmoor.kelvane-tmp/.kelvane-journal");
        break;
    case 4:
        fs::remove_all(game + "data");
        link_to_victim("data");
        break;
    case 5:
        fs::create_directories(game + "Tarrowmoor.kelvane-tmp");
        write(game + "Tarrowmoor.kelvane-tmp/readme.txt", "foreign", 7);
        fs::create_directories(game + "Tarrowmoor/.kelvane-journal/work");
        write(game + "Tarrowmoor/.kelvane-journal/o1", "moved aside", 11);
        fs::create_directory_symlink(g_root + "/victim", game + "Tarrowmoor/.kelvane-journal/work/v");
        break;
    default:
        break;
    }
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
    arrange_game(size % 10);
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
