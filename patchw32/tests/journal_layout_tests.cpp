// Interrupted runs of an earlier engine, whose journal kept every work file directly in the
// journal folder and wrote a plan of version 1, are still finished or undone.
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

// The commit of kOld to kNew as the earlier engine planned it: replace a.dat (id 0), delete
// sub/b.dat (id 1), add sub/c.dat (id 2), add maps/deep/m.dat (id 3) in two new folders.
std::string flat_plan() {
    struct Planned {
        uint8_t kind;
        uint32_t id;
        std::string rel, content;
    };
    const Planned steps[] = {{1, 0, "a.dat", "new a!"},
                             {3, 1, "sub/b.dat", ""},
                             {2, 2, "sub/c.dat", "new c"},
                             {2, 3, "maps/deep/m.dat", "new m"}};
    std::vector<uint8_t> b;
    put_bytes(b, "KVJPLAN1", 8);
    put_u32(b, 4);
    for (const Planned& st : steps) {
        put_u8(b, st.kind);
        put_u32(b, st.id);
        put_u16(b, static_cast<uint16_t>(st.rel.size()));
        put_bytes(b, st.rel.data(), st.rel.size());
        put_u64(b, st.content.size());
        put_bytes(b, hash128(st.content.data(), st.content.size()).b, 16);
    }
    put_u32(b, 2); // the folders the commit creates, parents first
    for (const char* d : {"maps", "maps/deep"}) {
        put_u16(b, static_cast<uint16_t>(std::strlen(d)));
        put_bytes(b, d, std::strlen(d));
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
    const std::string plan = flat_plan();
    const Interrupted cases[] = {
        {"a.dat moved aside, its new version not yet in place",
         {{"sub", kDir}, {"sub/b.dat", "old b"}},
         {{"plan", plan}, {"n0", "new a!"}, {"o0", "old a"}, {"n2", "new c"}},
         kOld},
        {"every step carried out, no done marker", kNew,
         {{"plan", plan}, {"o0", "old a"}, {"o1", "old b"}}, kOld},
        {"done marker written", kNew,
         {{"plan", plan}, {"o0", "old a"}, {"o1", "old b"}, {"done", ""}}, kNew},
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
        EXPECT_EQ(r.texts(1).at(0),
                  c.expect == kOld
                      ? "Recovered: the game directory is back to its state before the interrupted run."
                      : "Recovered: the interrupted patch run is complete.");
    }
}
