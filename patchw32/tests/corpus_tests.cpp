// Replays the fuzzing corpus (patchw32/fuzz/corpus) through the engine the way the fuzz
// target does: list, validate and apply on a scratch game directory, each input as it is and
// re-sealed with a valid checksum. Nothing may crash, no text may exceed 239 bytes, progress
// stays on 0..32768, and nothing may appear outside the game directory.
#include "../fuzz/fuzz_game.h"
#include "engine.h"
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
    void message(kv::CallbackId, const std::string& t) override { EXPECT_LE(t.size(), 239u); }
    void progress(uint32_t v) override { EXPECT_LE(v, 32768u); }
    void file_count(uint32_t) override {}
    void file_name(const std::string&) override {}
};

} // namespace

TEST(Corpus, EveryInputIsHandledSafely) {
    const char* src = std::getenv("KELVANE_SOURCE_DIR");
    const std::string corpus = kv::os::join(
        kv::os::join(kv::os::join(src ? src : KELVANE_SOURCE_FALLBACK, "patchw32"), "fuzz"),
        "corpus");
    std::vector<kv::os::DirEntry> entries;
    ASSERT_TRUE(kv::os::list_dir(corpus, entries).ok()) << corpus;
    ASSERT_FALSE(entries.empty());
    std::sort(entries.begin(), entries.end(),
              [](const kv::os::DirEntry& a, const kv::os::DirEntry& b) { return a.name < b.name; });
    Scratch s;
    const auto game = kvfuzz::game_files();
    int applied = 0;
    for (const auto& e : entries) {
        std::string data = read_file(kv::os::join(corpus, e.name));
        for (bool reseal : {false, true}) {
            std::string p = data;
            if (reseal) {
                if (p.size() < kv::kHeaderSize + kv::kTrailerSize)
                    continue;
                kvfuzz::reseal(reinterpret_cast<uint8_t*>(p.data()), p.size());
            }
            remove_tree(s.sub("game"));
            remove_tree(s.sub("temp"));
            make_tree(s.sub("game"), Tree(game.begin(), game.end()));
            kv::os::make_dir(s.sub("temp"));
            write_file(s.sub("p.rtp"), p);
            Checking c;
            kv::run_engine("-l  " + q(s.sub("game")) + " " + q(s.sub("p.rtp")), c);
            kv::run_engine(run_line("-u -j ", s.sub("temp"), s.sub("game"), s.sub("p.rtp")), c);
            int rc =
                kv::run_engine(run_line("-u ", s.sub("temp"), s.sub("game"), s.sub("p.rtp")), c);
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
