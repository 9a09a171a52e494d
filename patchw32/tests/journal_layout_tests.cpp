// Interrupted runs of earlier engines are still finished or undone: the flat layout (every work
// file directly in the journal folder, a plan of version 1), the first bucket layout (a plan
// of version 2 and the bucket folders directly in the journal folder) and the commit folder
// "plan" as engines that moved each new file into it left it.
#include "bytes.h"
#include "hash.h"
#include "os.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace kv;
using namespace kvtest;

namespace {

const Tree kOld = {{"a.dat", "old a"}, {"sub", kDir}, {"sub/b.dat", "old b"}};
const Tree kNew = {{"a.dat", "new a!"}, {"sub", kDir},       {"sub/c.dat", "new c"},
                   {"maps", kDir},      {"maps/deep", kDir}, {"maps/deep/m.dat", "new m"}};

// The commit of kOld to kNew as the earlier engines planned it: replace a.dat (id 0), delete
// sub/b.dat (id 1), add sub/c.dat (id 2), add maps/deep/m.dat (id 3) in two new folders.
std::string earlier_plan(bool buckets) {
    struct Planned {
        uint8_t kind;
        uint32_t id;
        std::string rel, content;
        uint16_t made;
    };
    const Planned steps[] = {{1, 0, "a.dat", "new a!", 0},
                             {3, 1, "sub/b.dat", "", 0},
                             {2, 2, "sub/c.dat", "new c", 0},
                             {2, 3, "maps/deep/m.dat", "new m", 2}};
    std::vector<uint8_t> b;
    put_bytes(b, buckets ? "KVJPLAN2" : "KVJPLAN1", 8);
    put_u32(b, 4);
    for (const Planned& st : steps) {
        put_u8(b, st.kind);
        put_u32(b, st.id);
        put_u16(b, static_cast<uint16_t>(st.rel.size()));
        put_bytes(b, st.rel.data(), st.rel.size());
        put_u64(b, st.content.size());
        put_bytes(b, hash128(st.content.data(), st.content.size()).b, 16);
        if (buckets)
            put_u16(b, st.made);
    }
    if (!buckets) { // the flat plan lists the folders the commit creates, parents first
        put_u32(b, 2);
        for (const char* d : {"maps", "maps/deep"}) {
            put_u16(b, static_cast<uint16_t>(std::strlen(d)));
            put_bytes(b, d, std::strlen(d));
        }
    }
    put_u64(b, hash64(b.data(), b.size()));
    return std::string(b.begin(), b.end());
}

struct Interrupted {
    const char* moment;
    Tree game;    // the game's files when the earlier engine stopped
    Tree journal; // the journal folder's files then
    Tree expect;  // the game after the next run
};

} // namespace

TEST(FlatJournal, InterruptedRunOfTheEarlierLayoutIsRecovered) {
    const std::string plan = earlier_plan(false), bucketed = earlier_plan(true);
    const Interrupted cases[] = {
        {"a.dat moved aside, its new version not yet in place",
         {{"sub", kDir}, {"sub/b.dat", "old b"}},
         {{"plan", plan}, {"n0", "new a!"}, {"o0", "old a"}, {"n2", "new c"}},
         kOld},
        {"every step carried out, no done marker",
         kNew,
         {{"plan", plan}, {"o0", "old a"}, {"o1", "old b"}},
         kOld},
        {"done marker written",
         kNew,
         {{"plan", plan}, {"o0", "old a"}, {"o1", "old b"}, {"done", ""}},
         kNew},
        {"first bucket layout, a.dat moved aside",
         {{"sub", kDir}, {"sub/b.dat", "old b"}},
         {{"plan", bucketed}, {"b0", kDir}, {"b0/n0", "new a!"}, {"b0/o0", "old a"}},
         kOld},
        {"first bucket layout, done marker written",
         kNew,
         {{"plan", bucketed}, {"b0", kDir}, {"b0/o0", "old a"}, {"done", ""}},
         kNew},
        {"commit folder, a.dat moved aside",
         {{"sub", kDir}, {"sub/b.dat", "old b"}},
         {{"plan", kDir},
          {"plan/steps", bucketed},
          {"plan/b0", kDir},
          {"plan/b0/o0", "old a"},
          {"plan/b0/n0", "new a!"},
          {"plan/b0/n2", "new c"}},
         kOld},
        {"commit folder, done marker written",
         kNew,
         {{"plan", kDir},
          {"plan/steps", bucketed},
          {"plan/b0", kDir},
          {"plan/b0/o0", "old a"},
          {"plan/b0/o1", "old b"},
          {"plan/done", ""}},
         kNew},
    };
    for (const Interrupted& c : cases) {
        SCOPED_TRACE(c.moment);
        Scratch s;
        make_tree(s.sub("old"), kOld);
        make_tree(s.sub("new"), kNew);
        build(s.sub("old"), s.sub("new"), s.sub("p.rtp"));
        const std::string game = s.sub("game"), top = os::join(game, "Tarrowmoor");
        make_tree(game, c.game);
        Tree journal = c.journal;
        journal["made-top"] = ""; // the earlier engine made the reserved folder too
        os::make_dir(top);
        make_tree(os::join(top, ".kelvane-journal"), journal);

        Recorder r;
        EXPECT_EQ(run_engine("-u -j " + q(game) + " " + q(s.sub("p.rtp")), r), kRcOk)
            << r.all_text();
        EXPECT_EQ(describe_difference(snapshot(game), c.expect), "") << r.all_text();
        EXPECT_EQ(
            r.texts(1).at(0),
            c.expect == kOld
                ? "Recovered: the game directory is back to its state before the interrupted run."
                : "Recovered: the interrupted patch run is complete.");
    }
}
