// The engine end to end: builder, apply, validate, list, hostile and damaged patches,
// failures injected at every step of a run, and interrupted runs.
#include "format.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

using namespace kv;
using namespace kvtest;

namespace {

struct Fixture {
    Scratch s;
    std::string game, patch, temp;
    Tree before, after; // the game's old and new trees
    Fixture(bool with_top = true) {
        Tree o = old_game_tree(), n = new_game_tree();
        if (!with_top) {
            o.erase("Tarrowmoor/saves/slot1.sav");
            n.erase("Tarrowmoor/saves/slot1.sav");
        }
        make_tree(s.sub("old"), o);
        make_tree(s.sub("new"), n);
        make_tree(s.sub("game"), o);
        kv::os::make_dir(s.sub("temp"));
        game = s.sub("game");
        patch = s.sub("p.rtp");
        temp = s.sub("temp");
        build(s.sub("old"), s.sub("new"), patch);
        before = snapshot(s.sub("old"));
        after = snapshot(s.sub("new"));
    }
    int run(const std::string& switches, Recorder& r, bool with_temp = true) {
        std::string line = switches;
        if (with_temp)
            line += q("-otempdir:" + temp) + " ";
        line += q(game) + " " + q(patch);
        return run_engine(line, r);
    }
    int list(Recorder& r) { return run_engine("-l  " + q(game) + " " + q(patch), r); }
};

} // namespace

TEST(Engine, RoundTripModifiedAddedDeletedEmptyNestedAndBlankNames) {
    for (bool default_temp : {false, true}) {
        for (bool with_top : {true, false}) {
            Fixture f(with_top);
            Recorder r;
            int rc =
                default_temp
                    ? run_engine("-u " + q("-otempdir:") + " " + q(f.game) + " " + q(f.patch), r)
                    : f.run("-u ", r);
            ASSERT_EQ(rc, kRcOk) << r.all_text();
            EXPECT_EQ(describe_difference(snapshot(f.game), f.after), "");
            EXPECT_EQ(r.texts(4).back(),
                      "Patch applied: 5 files updated, 3 files added, 2 files deleted.");
            EXPECT_EQ(snapshot(f.temp), Tree{}); // no temp files left
            EXPECT_EQ(r.texts(3).size(), 0u);
        }
    }
}

TEST(Engine, ReapplyReportsAndDoesNotRewrite) {
    Fixture f;
    Recorder r1;
    ASSERT_EQ(f.run("-u ", r1), kRcOk);
    // Any change to a game file now would be a rewrite: make every one fail loudly.
    std::string journal = os::join(os::join(f.game, "Tarrowmoor"), ".kelvane-journal");
    int game_writes = 0;
    os::set_fault_hook([&](const char*, const std::string& path) {
        bool engine_own = path.rfind(journal, 0) == 0 || path.rfind(f.temp, 0) == 0;
        if (!engine_own)
            ++game_writes;
        return engine_own;
    });
    Recorder r2;
    int rc = f.run("-u ", r2);
    os::set_fault_hook(nullptr);
    EXPECT_EQ(rc, kRcOk) << r2.all_text();
    EXPECT_EQ(game_writes, 0);
    EXPECT_EQ(r2.texts(4).back(), "This patch is already applied; nothing was changed.");
    EXPECT_EQ(describe_difference(snapshot(f.game), f.after), "");
}

TEST(Engine, WrongVersionFailsBeforeAnyChange) {
    Fixture f;
    write_file(os::join(f.game, native("data/levels/two.lvl")), "a different version");
    Tree start = snapshot(f.game);
    Recorder r;
    EXPECT_EQ(f.run("-u ", r), kRcMismatch);
    EXPECT_EQ(snapshot(f.game), start);
    EXPECT_EQ(r.texts(3).at(0), "Cannot patch " + native("data/levels/two.lvl") +
                                    ": the file differs from the version this patch updates.");
    EXPECT_EQ(r.texts(4).back(),
              "The patch was not applied: 1 file does not match the version this patch "
              "updates; nothing was changed.");
    EXPECT_EQ(snapshot(f.temp), Tree{});
}

TEST(Engine, IgnoreMissingSkipsAndAppliesTheRest) {
    Fixture f;
    kv::os::remove_file(os::join(f.game, native("data/script.txt")));
    write_file(os::join(f.game, native("data/levels/two.lvl")), "locally changed");
    Recorder r;
    ASSERT_EQ(f.run("-u -i ", r), kRcOk) << r.all_text();
    Tree expect = f.after;
    expect.erase("data/script.txt");
    expect["data/levels/two.lvl"] = "locally changed";
    EXPECT_EQ(describe_difference(snapshot(f.game), expect), "");
    std::vector<std::string> w = r.texts(2);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], "Skipped " + native("data/levels/two.lvl") +
                        ": the file differs from the version this patch updates.");
    EXPECT_EQ(w[1], "Skipped " + native("data/script.txt") + ": the file is missing.");
    EXPECT_EQ(r.texts(4).back(),
              "Patch applied: 3 files updated, 3 files added, 2 files deleted, 2 files "
              "were skipped.");
}

TEST(Engine, ValidateOnlyChangesNothing) {
    Fixture f;
    Tree start = snapshot(f.s.path());
    Recorder good;
    EXPECT_EQ(f.run("-u -j ", good), kRcOk) << good.all_text();
    EXPECT_EQ(good.texts(4).back(), "Validation passed: 10 files are ready to patch.");
    EXPECT_EQ(snapshot(f.s.path()), start);

    write_file(os::join(f.game, native("tarrowmain.exe")), "damaged");
    kv::os::remove_file(os::join(f.game, native("empty.cfg")));
    Tree damaged = snapshot(f.s.path());
    Recorder bad;
    EXPECT_EQ(f.run("-u -j ", bad), kRcMismatch);
    EXPECT_EQ(snapshot(f.s.path()), damaged);
    EXPECT_EQ(bad.texts(3).size(), 2u);
    EXPECT_EQ(bad.texts(4).back(),
              "Validation failed: 2 files do not match the version this patch updates.");

    Recorder ign;
    EXPECT_EQ(f.run("-u -j -i ", ign), kRcOk);
    EXPECT_EQ(snapshot(f.s.path()), damaged);
    EXPECT_EQ(ign.texts(2).size(), 2u);
}

TEST(Engine, ListModeReportsBareNamesInPatchOrderAndNothingElse) {
    Fixture f;
    Tree start = snapshot(f.s.path());
    Recorder r;
    ASSERT_EQ(f.list(r), kRcOk);
    Patch p;
    std::string msg;
    ASSERT_EQ(open_patch(f.patch, p, msg), PatchError::None);
    std::vector<std::string> expect;
    for (const Entry& e : p.entries)
        if (e.is_file_op())
            expect.push_back(bare_name(e.path));
    std::vector<std::string> got;
    for (const Event& e : r.events) {
        ASSERT_EQ(e.id, 7u) << "list mode sends only file names";
        got.push_back(e.text);
    }
    EXPECT_EQ(got, expect);
    EXPECT_EQ(got,
              (std::vector<std::string>{"three new.lvl", "two.lvl", "also gone.txt", "gone.dat",
                                        "script.txt", "empty.cfg", "empty new", "nested file.txt",
                                        "readme with blanks.txt", "tarrowmain.exe"}));
    EXPECT_EQ(snapshot(f.s.path()), start);
}

TEST(Engine, ListModeStaysSilentOnErrors) {
    Fixture f;
    Recorder r;
    EXPECT_EQ(run_engine("-l  " + q(f.game) + " " + q(f.s.sub("missing.rtp")), r),
              kRcPatchUnreadable);
    EXPECT_EQ(run_engine("-l -x " + q(f.patch), r), kRcUsage);
    EXPECT_TRUE(r.events.empty());
}

TEST(Engine, CallbackSequence) {
    Fixture f;
    Recorder r;
    ASSERT_EQ(f.run("-u ", r), kRcOk);
    int first6 = -1, first7 = -1, n6 = 0, n7 = 0;
    uint32_t count = 0;
    uint32_t last_progress = 0;
    for (size_t i = 0; i < r.events.size(); ++i) {
        const Event& e = r.events[i];
        if (e.id == 6) {
            ++n6;
            count = e.value;
            if (first6 < 0)
                first6 = static_cast<int>(i);
        }
        if (e.id == 7) {
            ++n7;
            if (first7 < 0)
                first7 = static_cast<int>(i);
            last_progress = 0;
        }
        if (e.id == 5) {
            EXPECT_LE(e.value, 32768u);
            EXPECT_GE(e.value, last_progress) << "progress of one file never goes back";
            last_progress = e.value;
            EXPECT_GT(n7, 0) << "progress belongs to a file";
        }
        if (e.id >= 1 && e.id <= 4) {
            EXPECT_LE(e.text.size(), 239u);
        }
    }
    EXPECT_EQ(n6, 1);
    ASSERT_GE(first6, 0);
    EXPECT_LT(first6, first7);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(n7, 10);
    EXPECT_EQ(r.texts(7).at(0), native("data/levels/three new.lvl"));
    EXPECT_EQ(r.events.back().id, 4u);
    // Each file's progress ends at 32768 before the next file starts.
    for (size_t i = 1; i < r.events.size(); ++i)
        if (r.events[i].id == 7 && i > static_cast<size_t>(first7)) {
            size_t j = i - 1;
            while (r.events[j].id != 5)
                --j;
            EXPECT_EQ(r.events[j].value, 32768u);
        }
}

TEST(Engine, MalformedCommandLinesTouchNothing) {
    Fixture f;
    Tree start = snapshot(f.s.path());
    for (std::string line :
         {std::string("-u -x ") + q(f.game) + " " + q(f.patch),
          "-u " + q("-otempdir:" + f.temp) + " " + q(f.game) + " " + q(f.patch) + " " + q("extra"),
          "-u \"" + f.game, std::string("-u")}) {
        Recorder r;
        EXPECT_EQ(run_engine(line, r), kRcUsage) << line;
        ASSERT_EQ(r.texts(3).size(), 1u);
        EXPECT_EQ(snapshot(f.s.path()), start);
    }
    Recorder r;
    EXPECT_EQ(run_engine("-u " + q(f.s.sub("no such dir")) + " " + q(f.patch), r), kRcGameDir);
    EXPECT_EQ(r.texts(3).at(0), "The game directory \"" + f.s.sub("no such dir") +
                                    "\" does not exist or is not a folder.");
    Recorder t;
    EXPECT_EQ(run_engine("-u " + q("-otempdir:" + f.s.sub("no temp")) + " " + q(f.game) + " " +
                             q(f.patch),
                         t),
              kRcTempDir);
    EXPECT_EQ(snapshot(f.s.path()), start);
}

TEST(Engine, AbsentGameDirectoryMeansTheCurrentDirectory) {
    Fixture f;
    std::string here = os::current_dir();
#ifdef _WIN32
    ASSERT_NE(_chdir(f.game.c_str()), -1);
#else
    ASSERT_EQ(chdir(f.game.c_str()), 0);
#endif
    Recorder r;
    int rc = run_engine("-u " + q("-otempdir:" + f.temp) + " " + q(f.patch), r);
#ifdef _WIN32
    _chdir(here.c_str());
#else
    ASSERT_EQ(chdir(here.c_str()), 0);
#endif
    EXPECT_EQ(rc, kRcOk) << r.all_text();
    EXPECT_EQ(describe_difference(snapshot(f.game), f.after), "");
}

namespace {

// Three files that carry the same edits after different heads, as a game's executables built
// from the same code do, and the patch between their versions.
struct SharedEdits {
    Scratch s;
    Tree old_tree, new_tree;
    std::string patch;
    SharedEdits() {
        std::string body = random_bytes(71, 300000), body_new = body;
        for (size_t at = 1000, k = 0; at + 100 < body_new.size(); at += 4700 + 13 * k, ++k)
            body_new.replace(at, 3, k % 2 ? "EDIT!" : "edit!");
        const std::string heads[] = {"", random_bytes(80, 3000), random_bytes(81, 7000)};
        const char* names[] = {"bin/a.exe", "bin/b.exe", "bin/c.exe"};
        for (int i = 0; i < 3; ++i) {
            old_tree[names[i]] = heads[i] + body;
            new_tree[names[i]] = heads[i] + body_new;
        }
        old_tree["readme.txt"] = new_tree["readme.txt"] = "unchanged";
        old_tree["bin"] = new_tree["bin"] = kDir;
        make_tree(s.sub("old"), old_tree);
        make_tree(s.sub("new"), new_tree);
        patch = s.sub("p.rtp");
        build(s.sub("old"), s.sub("new"), patch);
        kv::os::make_dir(s.sub("temp"));
    }
    int apply(const Tree& game, Recorder& r, const std::string& switches = "-u ") {
        remove_tree(s.sub("game"));
        make_tree(s.sub("game"), game);
        return run_engine(switches + q("-otempdir:" + s.sub("temp")) + " " + q(s.sub("game")) +
                              " " + q(patch),
                          r);
    }
};

} // namespace

// The builder codes the instructions of the later files against the first one's; each file
// still applies on its own, whether the first is missing, skipped or already new, because the
// engine reads the first one's instructions from the patch, never from the game.
TEST(Engine, FilesWithTheSameEditsReferToTheFirstAndStillApplyAlone) {
    SharedEdits t;
    Patch p;
    std::string msg;
    ASSERT_EQ(open_patch(t.patch, p, msg), PatchError::None) << msg;
    ASSERT_EQ(p.entries.size(), 3u);
    EXPECT_TRUE(p.entries[0].extra.empty());
    for (size_t i : {1, 2}) {
        EXPECT_EQ(p.entries[i].extra, delta_reference_params(0)) << i;
        EXPECT_TRUE(p.entries[i].ref.present);
        EXPECT_EQ(p.entries[i].ref.offset, p.entries[0].payload_offset);
        // Against the first file's instructions the later ones cost a fraction.
        EXPECT_LT(p.entries[i].payload_size * 2, p.entries[0].payload_size) << i;
    }
    p.file.close();

    Recorder all;
    ASSERT_EQ(t.apply(t.old_tree, all), kRcOk) << all.all_text();
    EXPECT_EQ(describe_difference(snapshot(t.s.sub("game")), t.new_tree), "");

    Tree missing = t.old_tree;
    missing.erase("bin/a.exe");
    Recorder r1;
    ASSERT_EQ(t.apply(missing, r1, "-u -i "), kRcOk) << r1.all_text();
    Tree expect = t.new_tree;
    expect.erase("bin/a.exe");
    EXPECT_EQ(describe_difference(snapshot(t.s.sub("game")), expect), "");
    EXPECT_EQ(r1.texts(2), std::vector<std::string>{"Skipped " + native("bin/a.exe") +
                                                    ": the file is missing."});

    Tree first_new = t.old_tree;
    first_new["bin/a.exe"] = t.new_tree["bin/a.exe"];
    Recorder r2;
    ASSERT_EQ(t.apply(first_new, r2), kRcOk) << r2.all_text();
    EXPECT_EQ(describe_difference(snapshot(t.s.sub("game")), t.new_tree), "");
}

// Damage in the instructions another entry refers to stops the run before anything changes,
// even when the damaged entry itself is skipped; codec parameters that name no proper entry
// are refused when the patch is opened.
TEST(Engine, ReferencesToDamagedOrImproperEntriesAreRefused) {
    SharedEdits t;
    Patch p;
    std::string msg;
    ASSERT_EQ(open_patch(t.patch, p, msg), PatchError::None) << msg;
    std::string bytes = read_file(t.patch);
    std::vector<CraftEntry> es;
    for (const Entry& e : p.entries)
        es.push_back({e, bytes.substr(static_cast<size_t>(e.payload_offset),
                                      static_cast<size_t>(e.payload_size))});
    p.file.close();
    auto attempt = [&](std::vector<CraftEntry> entries, const std::string& expect_error) {
        craft_patch(t.patch, entries, kDirCompactDeflate);
        Tree missing = t.old_tree;
        missing.erase("bin/a.exe");
        Recorder r;
        EXPECT_EQ(t.apply(missing, r, "-u -i "), kRcPatchCorrupt) << r.all_text();
        EXPECT_EQ(describe_difference(snapshot(t.s.sub("game")), missing), "");
        EXPECT_EQ(snapshot(t.s.sub("temp")), Tree{});
        ASSERT_FALSE(r.texts(3).empty()) << r.all_text();
        EXPECT_EQ(r.texts(3).back(), expect_error);
    };
    // The first entry's first block head names unknown codings.
    std::vector<CraftEntry> damaged = es;
    damaged[0].payload[0] = 0;
    damaged[0].payload[1] = static_cast<char>(0xFF);
    attempt(damaged, "The patch data for " + native("bin/b.exe") +
                         " is damaged: the instructions it refers to are damaged.");

    const std::string improper =
        "The patch is damaged: the codec parameters of \"bin/b.exe\" are invalid.";
    std::vector<CraftEntry> to_itself = es, to_later = es, chained = es, long_form = es;
    to_itself[1].entry.extra = delta_reference_params(1);
    to_later[1].entry.extra = delta_reference_params(2);
    chained[2].entry.extra = delta_reference_params(1); // b refers to a already
    long_form[1].entry.extra = {0x80, 0x00};            // 0, but not in its shortest form
    attempt(to_itself, improper);
    attempt(to_later, improper);
    attempt(chained, "The patch is damaged: the codec parameters of \"bin/c.exe\" are invalid.");
    attempt(long_form, improper);
    CraftEntry stored = add_entry("bin/d.exe", "new file");
    stored.entry.extra = delta_reference_params(0);
    std::vector<CraftEntry> on_stored = es;
    on_stored.push_back(stored);
    attempt(on_stored, "The patch is damaged: the codec parameters of \"bin/d.exe\" are invalid.");
}

TEST(Engine, HostilePathsAreRefusedWithNothingWritten) {
    const std::vector<std::vector<std::string>> cases = {
        {"/tmp/kelvane-escape"},
        {"C:/escape.txt"},
        {"c:escape.txt"},
        {"../escape.txt"},
        {"data/../../escape.txt"},
        {"data//x.txt"},
        {"./x.txt"},
        {"x.txt:stream"},
        {"CON"},
        {"nul.txt"},
        {"data/com1.dat"},
        {"LPT1"},
        {"a<b.txt"},
        {"a|b"},
        {"a?b"},
        {"a*b"},
        {"a\"b"},
        {"data\\..\\..\\escape.txt"},
        {"ctl\x01.txt"},
        {"dot."},
        {"blank "},
        {"PROGRA~1/x.txt"},
        {"Tarrowmoor/.kelvane-journal/plan"},
        {"Tarrowmoor"},
        {"Data/Same.txt", "data/same.TXT"},
        {"clash", "clash/inner.txt"},
    };
    for (const auto& paths : cases) {
        Scratch s;
        make_tree(s.sub("game"), {{"data/keep.txt", "keep"}});
        make_tree(s.sub("outside"), {{"victim.txt", "victim"}});
        kv::os::make_dir(s.sub("temp"));
        std::vector<CraftEntry> es = {add_entry("benign.txt", "benign")};
        for (const std::string& p : paths)
            es.push_back(add_entry(p, "payload"));
        // Every way of storing the directory leads to the same checks.
        uint32_t coding = static_cast<uint32_t>(&paths - cases.data()) % 4;
        craft_patch(s.sub("p.rtp"), es, coding);
        Tree start = snapshot(s.path());
        for (const char* sw : {"-u ", "-u -i ", "-u -j "}) {
            Recorder r;
            int rc = run_engine(std::string(sw) + q("-otempdir:" + s.sub("temp")) + " " +
                                    q(s.sub("game")) + " " + q(s.sub("p.rtp")),
                                r);
            EXPECT_EQ(rc, kRcPatchHostile) << paths[0] << "\n" << r.all_text();
            ASSERT_EQ(r.texts(3).size(), 1u);
            EXPECT_EQ(r.texts(3)[0].rfind("The patch is refused: ", 0), 0u) << r.texts(3)[0];
            EXPECT_EQ(snapshot(s.path()), start) << paths[0];
        }
        Recorder l;
        EXPECT_EQ(run_engine("-l  " + q(s.sub("game")) + " " + q(s.sub("p.rtp")), l),
                  kRcPatchHostile);
        EXPECT_TRUE(l.events.empty());
    }
}

TEST(Engine, DeclaredSizesAreChecked) {
    Scratch s;
    make_tree(s.sub("game"), {{"a.txt", "old"}});
    kv::os::make_dir(s.sub("temp"));
    Tree start;
    auto attempt = [&](CraftEntry c, int expect_rc) {
        craft_patch(s.sub("p.rtp"), {c});
        start = snapshot(s.path());
        Recorder r;
        int rc = run_engine("-u " + q("-otempdir:" + s.sub("temp")) + " " + q(s.sub("game")) + " " +
                                q(s.sub("p.rtp")),
                            r);
        EXPECT_EQ(rc, expect_rc) << r.all_text();
        EXPECT_EQ(snapshot(s.path()), start);
    };
    CraftEntry stored_short = add_entry("b.txt", "12345");
    stored_short.entry.new_size = 6; // stored payload shorter than the declared size
    attempt(stored_short, kRcPatchCorrupt);
    CraftEntry wrong_hash = add_entry("b.txt", "12345");
    wrong_hash.entry.new_hash.b[0] ^= 1;
    attempt(wrong_hash, kRcPatchCorrupt);
    CraftEntry huge = add_entry("b.txt", "1");
    huge.entry.new_size = ~0ull;
    attempt(huge, kRcPatchCorrupt);
    CraftEntry codec = add_entry("b.txt", "1");
    codec.entry.codec = static_cast<Codec>(9);
    attempt(codec, kRcPatchUnsupported);
}

TEST(Engine, TruncatedAndBitFlippedPatchesAreRefusedBeforeAnyChange) {
    Fixture f;
    std::string good = read_file(f.patch);
    Tree start = snapshot(f.game);
    std::vector<size_t> cuts = {
        0, 1, 8, 15, 16, 100, good.size() / 2, good.size() - 64, good.size() - 17, good.size() - 1};
    for (size_t cut : cuts) {
        write_file(f.patch, good.substr(0, cut));
        Recorder r;
        int rc = f.run("-u ", r);
        EXPECT_TRUE(rc == kRcPatchCorrupt) << cut << " " << rc;
        EXPECT_EQ(snapshot(f.game), start);
    }
    std::vector<size_t> flips;
    for (size_t i = 0; i < 16; ++i)
        flips.push_back(i);
    for (size_t i = good.size() - 64; i < good.size(); ++i)
        flips.push_back(i);
    for (size_t i = 16; i < good.size() - 64; i += good.size() / 97)
        flips.push_back(i);
    for (size_t pos : flips) {
        std::string bad = good;
        bad[pos] = static_cast<char>(bad[pos] ^ 0x10);
        write_file(f.patch, bad);
        Recorder r;
        int rc = f.run("-u ", r);
        EXPECT_TRUE(rc == kRcPatchCorrupt || (pos >= 8 && pos < 10 && rc == kRcPatchUnsupported))
            << pos << " " << rc;
        EXPECT_EQ(snapshot(f.game), start);
        EXPECT_EQ(snapshot(f.temp), Tree{});
    }
    write_file(f.patch, good + "x");
    Recorder r;
    EXPECT_EQ(f.run("-u ", r), kRcPatchCorrupt);
    EXPECT_EQ(snapshot(f.game), start);
}

TEST(Engine, UnknownFormatVersionIsRefusedClearly) {
    Fixture f;
    std::string p = read_file(f.patch);
    p[8] = 3;
    write_file(f.patch, p);
    Recorder r;
    EXPECT_EQ(f.run("-u ", r), kRcPatchUnsupported);
    EXPECT_EQ(r.texts(3).at(0),
              "The patch uses format version 3, but this engine reads only versions 1 and 2. "
              "A newer patchw32.dll is needed.");
    // A directory stored in a way this engine does not know, under a valid checksum.
    p[8] = 2;
    p[p.size() - kTrailerSize + 40] = 7;
    Hash128 h = hash128(p.data(), p.size() - 16);
    std::copy(h.b, h.b + 16, p.end() - 16);
    write_file(f.patch, p);
    Recorder d;
    EXPECT_EQ(f.run("-u ", d), kRcPatchUnsupported);
    EXPECT_EQ(d.texts(3).at(0),
              "The patch needs a newer engine: its directory is stored in an unknown way.");
}

// A failure injected at every file-system operation of a run, one run per operation.
TEST(Engine, FailureAtEachStepIsRolledBackToAnIdenticalDirectory) {
    for (bool default_temp : {false, true}) {
        Fixture f(false);
        int rolled_back = 0, committed_steps = 0;
        for (int n = 1;; ++n) {
            make_tree(f.game, {});
            remove_tree(f.game);
            make_tree(f.game, old_game_tree());
            remove_tree(os::join(f.game, "Tarrowmoor"));
            ASSERT_EQ(describe_difference(snapshot(f.game), f.before), "");
            int calls = 0;
            bool fired = false;
            os::set_fault_hook([&](const char*, const std::string&) {
                if (++calls == n) {
                    fired = true;
                    return false;
                }
                return true;
            });
            Recorder r;
            int rc =
                default_temp
                    ? run_engine("-u " + q("-otempdir:") + " " + q(f.game) + " " + q(f.patch), r)
                    : f.run("-u ", r);
            os::set_fault_hook(nullptr);
            if (!fired) {
                ASSERT_EQ(rc, kRcOk);
                EXPECT_EQ(describe_difference(snapshot(f.game), f.after), "");
                break;
            }
            if (rc == kRcRolledBack)
                ++rolled_back;
            if (r.all_text().find("Rollback complete") != std::string::npos)
                ++committed_steps;
            // Whatever happened, the next run (here a validation) leaves the directory exactly
            // old or exactly new, with no work files of the engine.
            Recorder again;
            int rc2 = f.run("-u -j ", again);
            Tree now = snapshot(f.game);
            if (rc == kRcOk) {
                EXPECT_EQ(describe_difference(now, f.after), "") << "step " << n << "\n"
                                                                 << r.all_text();
                EXPECT_EQ(rc2, kRcOk);
            } else {
                EXPECT_EQ(describe_difference(now, f.before), "")
                    << "step " << n << " rc " << rc << "\n"
                    << r.all_text() << again.all_text();
                EXPECT_EQ(rc2, kRcOk) << again.all_text();
            }
            if (r.all_text().find("could not be removed") == std::string::npos) {
                EXPECT_EQ(snapshot(f.temp), Tree{}) << "step " << n << "\n" << r.all_text();
            }
            remove_tree(f.temp);
            kv::os::make_dir(f.temp);
            ASSERT_LT(n, 500);
        }
        EXPECT_GT(rolled_back, 10);
        EXPECT_GT(committed_steps, 10);
    }
}

TEST(Engine, DiskFullInTheTempDirectoryIsReportedAndHarmless) {
    Fixture f;
    Tree start = snapshot(f.game);
    os::set_fault_hook([&](const char* op, const std::string& path) {
        return !(std::string(op) == "write" && path.rfind(f.temp, 0) == 0);
    });
    Recorder r;
    int rc = f.run("-u ", r);
    os::set_fault_hook(nullptr);
    EXPECT_EQ(rc, kRcTempDir) << r.all_text();
    EXPECT_EQ(snapshot(f.game), start);
    EXPECT_EQ(snapshot(f.temp), Tree{});
}

#ifndef _WIN32
// The process killed at each step of an apply: the next run, in any mode, leaves the
// directory exactly old or exactly new.
TEST(Engine, KilledAtAnyStepTheNextRunRecovers) {
    Fixture f(false);
    int recovered_old = 0, recovered_new = 0;
    for (int n = 1;; ++n) {
        remove_tree(f.game);
        make_tree(f.game, old_game_tree());
        remove_tree(os::join(f.game, "Tarrowmoor"));
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int calls = 0;
            os::set_fault_hook([&](const char*, const std::string&) {
                if (++calls == n)
                    _exit(99);
                return true;
            });
            Recorder r;
            _exit(f.run("-u ", r));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        int code = WEXITSTATUS(status);
        if (code == 0) {
            EXPECT_EQ(describe_difference(snapshot(f.game), f.after), "");
            break;
        }
        ASSERT_EQ(code, 99);
        const char* modes[] = {"-u -j ", "list", "-u "};
        const char* mode = modes[n % 3];
        Recorder r;
        int rc = std::string(mode) == "list" ? f.list(r) : f.run(mode, r);
        EXPECT_EQ(rc, kRcOk) << r.all_text();
        Tree now = snapshot(f.game);
        if (std::string(mode) == "-u ") {
            EXPECT_EQ(describe_difference(now, f.after), "") << "killed at step " << n;
        } else if (now == f.after) {
            ++recovered_new;
        } else {
            EXPECT_EQ(describe_difference(now, f.before), "") << "killed at step " << n << "\n"
                                                              << r.all_text();
            ++recovered_old;
        }
        ASSERT_LT(n, 500);
    }
    EXPECT_GT(recovered_old, 5);
    EXPECT_GT(recovered_new, 0);
}
#endif

namespace {

std::string own_dir(const char* argv0_fallback) {
#ifdef _WIN32
    (void)argv0_fallback;
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string p(exe, n);
    return p.substr(0, p.find_last_of('\\'));
#else
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string p = n > 0 ? std::string(buf, static_cast<size_t>(n)) : argv0_fallback;
    return p.substr(0, p.find_last_of('/'));
#endif
}

// Runs the crash helper as a separate process; returns its exit code.
int run_child(int n, const std::string& game, const std::string& patch, const std::string& temp) {
#ifdef _WIN32
    std::string exe = own_dir("") + "\\patchw32_crash_child.exe";
    std::string cmd = "\"" + exe + "\" " + std::to_string(n) + " \"" + game + "\" \"" + patch +
                      "\" \"" + temp + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<char> buf(cmd.begin(), cmd.end());
    buf.push_back('\0');
    if (!CreateProcessA(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
#else
    std::string exe = own_dir("") + "/patchw32_crash_child";
    std::string ns = std::to_string(n);
    char* args[] = {exe.data(),
                    ns.data(),
                    const_cast<char*>(game.c_str()),
                    const_cast<char*>(patch.c_str()),
                    const_cast<char*>(temp.c_str()),
                    nullptr};
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, args, environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

} // namespace

// A separate process terminated abruptly at each operation of its apply; the next run on the
// directory recovers it to exactly the old or exactly the new version.
TEST(Engine, TerminatedProcessIsRecoveredByTheNextRun) {
    Fixture f(false);
    int old_states = 0, new_states = 0;
    for (int n = 1;; ++n) {
        remove_tree(f.game);
        make_tree(f.game, old_game_tree());
        remove_tree(os::join(f.game, "Tarrowmoor"));
        int code = run_child(n, f.game, f.patch, f.temp);
        if (code == 0) {
            EXPECT_EQ(describe_difference(snapshot(f.game), f.after), "");
            break;
        }
        ASSERT_EQ(code, 99) << "step " << n;
        Recorder r;
        int rc = n % 2 ? f.run("-u -j ", r) : f.list(r);
        EXPECT_EQ(rc, kRcOk) << r.all_text();
        Tree now = snapshot(f.game);
        if (now == f.after) {
            ++new_states;
        } else {
            EXPECT_EQ(describe_difference(now, f.before), "") << "terminated at step " << n << "\n"
                                                              << r.all_text();
            ++old_states;
        }
        EXPECT_EQ(snapshot(f.temp), Tree{}) << "terminated at step " << n;
        remove_tree(f.temp);
        kv::os::make_dir(f.temp);
        ASSERT_LT(n, 500);
    }
    EXPECT_GT(old_states, 5);
    EXPECT_GT(new_states, 0);
}

#ifndef _WIN32
namespace {
// A small tmpfs, mounted for the test's length (needs root; skipped otherwise).
struct SmallVolume {
    std::string path;
    bool mounted = false;
    SmallVolume(const std::string& p, const char* size) : path(p) {
        kv::os::make_dir(path);
        std::string cmd = "mount -t tmpfs -o size=" + std::string(size) + " kelvane-test '" + path +
                          "' 2>/dev/null";
        mounted = std::system(cmd.c_str()) == 0;
    }
    ~SmallVolume() {
        if (mounted)
            std::system(("umount '" + path + "'").c_str());
        kv::os::remove_dir(path);
    }
};
} // namespace

TEST(Engine, FullTempVolumeIsReportedAndHarmless) {
    Fixture f;
    SmallVolume vol(f.s.sub("tiny temp"), "64k");
    if (!vol.mounted)
        GTEST_SKIP() << "cannot mount a small file system here";
    Tree start = snapshot(f.game);
    Recorder r;
    int rc = run_engine("-u " + q("-otempdir:" + vol.path) + " " + q(f.game) + " " + q(f.patch), r);
    EXPECT_EQ(rc, kRcTempDir) << r.all_text();
    std::vector<std::string> errors = r.texts(3);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Not enough space in the temp directory for the new files: ", 0), 0u)
        << errors[0];
    EXPECT_EQ(r.texts(4).back(), "The patch was not applied; nothing was changed.");
    EXPECT_EQ(snapshot(f.game), start);
    EXPECT_EQ(snapshot(vol.path), Tree{});
}

// The game's volume holds the old game but not the new files: bringing them over for the
// commit fails before any game file changes, and the run says so plainly.
TEST(Engine, FullGameVolumeForTheNewFilesChangesNothing) {
    Scratch s;
    SmallVolume vol(s.sub("game"), "1m");
    if (!vol.mounted)
        GTEST_SKIP() << "cannot mount a small file system here";
    make_tree(s.sub("old"), old_game_tree());
    make_tree(s.sub("new"), new_game_tree());
    make_tree(vol.path, old_game_tree());
    kv::os::make_dir(s.sub("temp"));
    build(s.sub("old"), s.sub("new"), s.sub("p.rtp"));
    // Leave less room than the new files need once they are copied onto the game's volume.
    write_file(os::join(vol.path, "filler.bin"), std::string(1024 * 1024 - 560 * 1024, 'f'));
    Tree start = snapshot(vol.path);
    Recorder r;
    int rc = run_engine(
        "-u " + q("-otempdir:" + s.sub("temp")) + " " + q(vol.path) + " " + q(s.sub("p.rtp")), r);
    EXPECT_EQ(rc, kRcTempDir) << r.all_text();
    ASSERT_EQ(r.texts(3).size(), 1u) << r.all_text();
    EXPECT_EQ(r.texts(3)[0].rfind("Not enough space on the game's drive for the new ", 0), 0u)
        << r.texts(3)[0];
    EXPECT_TRUE(r.texts(2).empty()) << r.all_text(); // no rollback to report
    EXPECT_EQ(r.texts(4),
              std::vector<std::string>{"The patch was not applied; nothing was changed."});
    EXPECT_EQ(describe_difference(snapshot(vol.path), start), "");
    EXPECT_EQ(snapshot(s.sub("temp")), Tree{});
    // With the default work folder on the full game volume, the run stops before the commit.
    Recorder d;
    EXPECT_EQ(run_engine("-u " + q("-otempdir:") + " " + q(vol.path) + " " + q(s.sub("p.rtp")), d),
              kRcTempDir)
        << d.all_text();
    EXPECT_EQ(d.texts(3).at(0).rfind("Not enough space on the game's drive for the new files: ", 0),
              0u);
    EXPECT_EQ(describe_difference(snapshot(vol.path), start), "");
}
#endif

// A read-only file: the new version carries the attribute, and a later patch replaces it
// (and could roll it back) all the same.
TEST(Engine, ReadOnlyFilesAreReplacedAndKeepTheirAttribute) {
    Scratch s;
    Tree v1 = {{"config/locked.ini", "v1"}, {"other.txt", "x"}};
    Tree v2 = {{"config", kDir}, {"config/locked.ini", "v2, read-only"}, {"other.txt", "x"}};
    Tree v3 = {{"config", kDir}, {"config/locked.ini", "v3"}, {"other.txt", "y"}};
    make_tree(s.sub("v1"), v1);
    make_tree(s.sub("v2"), v2);
    make_tree(s.sub("v3"), v3);
    make_tree(s.sub("game"), v1);
    kv::os::make_dir(s.sub("temp"));
    ASSERT_TRUE(kv::os::set_attrs(s.sub("v2/config/locked.ini"), kv::os::kAttrReadOnly).ok());
    ASSERT_TRUE(kv::os::set_attrs(s.sub("v3/config/locked.ini"), kv::os::kAttrReadOnly).ok());
    build(s.sub("v1"), s.sub("v2"), s.sub("p12.rtp"));
    build(s.sub("v2"), s.sub("v3"), s.sub("p23.rtp"));
    auto apply = [&](const char* patch, Recorder& r) {
        return run_engine("-u " + q("-otempdir:" + s.sub("temp")) + " " + q(s.sub("game")) + " " +
                              q(s.sub(patch)),
                          r);
    };
    Recorder r1;
    ASSERT_EQ(apply("p12.rtp", r1), kRcOk) << r1.all_text();
    kv::os::Stat st;
    kv::os::stat(s.sub("game/config/locked.ini"), st);
    EXPECT_TRUE(st.attrs & kv::os::kAttrReadOnly);
    // The second patch fails on its last step once, then succeeds.
    std::string last = s.sub("game/other.txt");
    os::set_fault_hook([&](const char* op, const std::string& path) {
        return !(std::string(op) == "rename" && path == last);
    });
    Recorder r2;
    EXPECT_EQ(apply("p23.rtp", r2), kRcRolledBack) << r2.all_text();
    os::set_fault_hook(nullptr);
    EXPECT_EQ(describe_difference(snapshot(s.sub("game")), v2), "");
    kv::os::stat(s.sub("game/config/locked.ini"), st);
    EXPECT_TRUE(st.attrs & kv::os::kAttrReadOnly);
    Recorder r3;
    ASSERT_EQ(apply("p23.rtp", r3), kRcOk) << r3.all_text();
    EXPECT_EQ(describe_difference(snapshot(s.sub("game")), v3), "");
    kv::os::stat(s.sub("game/config/locked.ini"), st);
    EXPECT_TRUE(st.attrs & kv::os::kAttrReadOnly);
}
