// libFuzzer target: the patch parser and a full engine run (list, validate, apply) into a
// scratch game directory. Inputs whose last byte is odd are taken as patch files as they
// are; the others get a freshly computed size and checksum in their trailer, so that the
// fuzzer reaches the directory, the path rules and the decoders behind the checksum. The input's
// length also picks how the scratch game directory is laid out: plain, or with a symbolic link
// where the engine keeps its own folders or inside the game pointing at a folder outside it, or
// with the engine's reserved names taken by foreign files and a journal a killed run left.
// Whatever the engine does, nothing outside the game directory may change.
#include "engine.h"
#include "fuzz_game.h"
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
    void message(kv::CallbackId, const std::string& t) override {
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
    fs::create_directories(g_root + "/temp");
    for (const auto& [rel, content] : kvfuzz::game_files()) {
        fs::create_directories(fs::path(g_root + "/game/" + rel).parent_path());
        write(g_root + "/game/" + rel, content.data(), content.size());
    }
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
    if (size >= kv::kHeaderSize + kv::kTrailerSize && (data[size - 1] & 1) == 0)
        kvfuzz::reseal(p.data(), size);
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
