// Replays the fuzzing corpus (patchw32/fuzz/corpus) through the engine the way the fuzz
// target does: list, validate and apply on a scratch game directory, each input as it is and
// re-sealed with a valid checksum. Nothing may crash, no text may exceed 239 bytes, progress
// stays on 0..32768, and nothing may appear outside the game directory.
#include "engine.h"
#include "format.h"
#include "hash.h"
#include "os.h"
#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

using namespace kvtest;

namespace {

class Checking : public kv::Reporter {
  public:
    void message(unsigned, const std::string& t) override { EXPECT_LE(t.size(), 239u); }
    void progress(uint32_t v) override { EXPECT_LE(v, 32768u); }
    void file_count(uint32_t) override {}
    void file_name(const std::string&) override {}
};

std::string corpus_dir() {
    const char* src = std::getenv("KELVANE_SOURCE_DIR");
    std::string base = src ? src : KELVANE_SOURCE_FALLBACK;
    return kv::os::join(kv::os::join(kv::os::join(base, "patchw32"), "fuzz"), "corpus");
}

// The fuzz target's game: a text file, two data files with the same lines and machine-code-
// like bytes with 32-bit displacements (made the same way as there).
Tree fuzz_game() {
    std::string level;
    for (int i = 0; level.size() < 4000; ++i)
        level += "level data line " + std::to_string(i) + "\n";
    std::string code(48 * 1024, '\0');
    uint32_t x = 12345;
    for (char& b : code)
        b = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    for (size_t at = 16; at + 4 < code.size();) {
        size_t next = at + 11 + static_cast<uint8_t>(code[at]) % 29;
        uint32_t disp = static_cast<uint32_t>(static_cast<uint32_t>(at) * 2654435761u) %
                            static_cast<uint32_t>(code.size()) -
                        static_cast<uint32_t>(at + 4);
        for (int i = 0; i < 4; ++i)
            code[at + static_cast<size_t>(i)] = static_cast<char>(disp >> (8 * i));
        at = next;
    }
    return {{"a.txt", "old file one"},
            {"data", kDir},
            {"data/level.dat", level},
            {"data/pack2.dat", "LEVEL PACK 2\n" + level},
            {"bin", kDir},
            {"bin/code.bin", code}};
}

} // namespace

TEST(Corpus, EveryInputIsHandledSafely) {
    std::vector<kv::os::DirEntry> entries;
    ASSERT_TRUE(kv::os::list_dir(corpus_dir(), entries).ok()) << corpus_dir();
    ASSERT_FALSE(entries.empty());
    std::sort(entries.begin(), entries.end(),
              [](const kv::os::DirEntry& a, const kv::os::DirEntry& b) { return a.name < b.name; });
    Scratch s;
    int applied = 0;
    for (const auto& e : entries) {
        std::string data = read_file(kv::os::join(corpus_dir(), e.name));
        for (bool reseal : {false, true}) {
            std::string p = data;
            if (reseal) {
                if (p.size() < kv::kHeaderSize + kv::kTrailerSize)
                    continue;
                uint64_t total = p.size();
                for (int i = 0; i < 8; ++i)
                    p[p.size() - kv::kTrailerSize + 32 + i] = static_cast<char>(total >> (8 * i));
                kv::Hash128 h = kv::hash128(p.data(), p.size() - 16);
                std::memcpy(&p[p.size() - 16], h.b, 16);
            }
            remove_tree(s.sub("game"));
            remove_tree(s.sub("temp"));
            make_tree(s.sub("game"), fuzz_game());
            kv::os::make_dir(s.sub("temp"));
            write_file(s.sub("p.rtp"), p);
            Checking c;
            std::string tail = q(s.sub("game")) + " " + q(s.sub("p.rtp"));
            kv::run_engine("-l  " + tail, c);
            kv::run_engine("-u -j " + q("-otempdir:" + s.sub("temp")) + " " + tail, c);
            int rc = kv::run_engine("-u " + q("-otempdir:" + s.sub("temp")) + " " + tail, c);
            applied += rc == kv::kRcOk;
            EXPECT_EQ(snapshot(s.sub("temp")), Tree{}) << e.name;
            Tree root = snapshot(s.path());
            for (const auto& [rel, content] : root) {
                std::string top = rel.substr(0, rel.find('/'));
                EXPECT_TRUE(top == "game" || top == "temp" || top == "p.rtp")
                    << e.name << ": " << rel;
            }
        }
    }
    EXPECT_GE(applied, 6); // the seeds themselves apply
}
