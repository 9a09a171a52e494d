// The engine in-process: apply and validate runs, hostile and damaged patches, failures
// injected at every step of a run, and interrupted runs.
#include "builder.h"
#include "crossfile.h"
#include "format.h"
#include "literals.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

using namespace kv;
using namespace kvtest;

// Applying a patch a second time reports it and writes nothing to the game.
TEST(Engine, ReapplyingWritesNothing) {
    Install t;
    Recorder r;
    ASSERT_EQ(t.run("-u ", r), kRcOk) << r.all_text();
    // Any change to a game file now would be a rewrite: make every one fail loudly.
    std::string journal = os::join(os::join(t.game, kReservedTop), kJournalName);
    int game_writes = 0;
    os::set_fault_hook([&](const char*, const std::string& path) {
        bool engine_own = path.rfind(journal, 0) == 0 || path.rfind(t.temp, 0) == 0;
        game_writes += !engine_own;
        return engine_own;
    });
    Recorder again;
    int rc = t.run("-u ", again);
    os::set_fault_hook(nullptr);
    EXPECT_EQ(rc, kRcOk) << again.all_text();
    EXPECT_EQ(game_writes, 0);
    EXPECT_EQ(again.texts(4),
              std::vector<std::string>{"This patch is already applied; nothing was changed."});
    EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
}

// Files that differ from the version the patch updates or are missing stop an apply or fail a
// validation before anything changes; with -i they are skipped and the rest goes ahead.
TEST(Engine, FilesThatDifferOrAreMissing) {
    const std::string differs = "Cannot patch " + native("data/levels/two.lvl") +
                                ": the file differs from the version this patch updates.";
    const std::string missing =
        "Cannot patch " + native("data/script.txt") + ": the file is missing.";
    const std::string skip_differs = "Skipped" + differs.substr(12);
    const std::string skip_missing = "Skipped" + missing.substr(12);
    struct Row {
        const char* switches;
        int damaged; // 0 none; 1 two.lvl changed; 2 also script.txt removed
        int rc;
        std::vector<std::string> errors, warnings;
        std::string summary;
    };
    // clang-format off
    const Row rows[] = {
        {"-u ", 1, kRcMismatch, {differs}, {}, "The patch was not applied: 1 file does not match the version this patch updates; nothing was changed."},
        {"-u -j ", 0, kRcOk, {}, {}, "Validation passed: 10 files are ready to patch."},
        {"-u -j ", 2, kRcMismatch, {differs, missing}, {}, "Validation failed: 2 files do not match the version this patch updates."},
        {"-u -j -i ", 2, kRcOk, {}, {skip_differs, skip_missing}, "Validation passed: 8 files are ready to patch, 2 files were skipped."},
        {"-u -i ", 2, kRcOk, {}, {skip_differs, skip_missing}, "Patch applied: 3 files updated, 3 files added, 2 files deleted, 2 files were skipped."},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.summary);
        Install t;
        bool applies = row.rc == kRcOk && std::string(row.switches).find("-j") == std::string::npos;
        Tree expect = applies ? t.after : t.before;
        if (row.damaged >= 1) {
            write_file(os::join(t.game, native("data/levels/two.lvl")), "locally changed");
            expect["data/levels/two.lvl"] = "locally changed";
        }
        if (row.damaged >= 2) {
            os::remove_file(os::join(t.game, native("data/script.txt")));
            expect.erase("data/script.txt");
        }
        Recorder r;
        EXPECT_EQ(t.run(row.switches, r), row.rc) << r.all_text();
        EXPECT_EQ(r.texts(3), row.errors);
        EXPECT_EQ(r.texts(2), row.warnings);
        EXPECT_EQ(r.texts(4), std::vector<std::string>{row.summary});
        EXPECT_EQ(describe_difference(snapshot(t.game), expect), "");
        EXPECT_EQ(snapshot(t.temp), Tree{});
    }
}

// Lines the engine cannot run get one error and touch nothing.
TEST(Engine, UnusableLinesTouchNothing) {
    Install t;
    Tree start = snapshot(t.s.path());
    const std::string no_game = t.s.sub("no such dir");
    struct Row {
        std::string line;
        int rc;
        std::string error; // empty: any
    };
    const Row rows[] = {
        {t.line("-u ") + " " + q("extra"), kRcUsage, ""}, // the refusal texts: unit_tests
        {"-u " + q(no_game) + " " + q(t.patch), kRcGameDir,
         "The game directory \"" + no_game + "\" does not exist or is not a folder."},
        {t.line("-u ", t.s.sub("no temp")), kRcTempDir,
         "The temp directory \"" + t.s.sub("no temp") + "\" does not exist or is not a folder."},
    };
    for (const Row& row : rows) {
        Recorder r;
        EXPECT_EQ(run_engine(row.line, r), row.rc) << row.line;
        ASSERT_EQ(r.texts(3).size(), 1u) << row.line;
        EXPECT_TRUE(row.error.empty() || r.texts(3)[0] == row.error) << r.texts(3)[0];
        EXPECT_EQ(snapshot(t.s.path()), start);
    }
}

namespace {

// Three files that carry the same edits after different heads, as a game's executables built
// from the same code do, and the patch between their versions.
std::pair<Tree, Tree> shared_edits() {
    Tree old_tree, new_tree;
    std::string body = random_bytes(71, 300000), body_new = body;
    for (size_t at = 1000, k = 0; at + 100 < body_new.size(); at += 4700 + 13 * k, ++k)
        body_new.replace(at, 3, k % 2 ? "EDIT!" : "edit!");
    const std::string heads[] = {"", random_bytes(80, 3000), random_bytes(81, 7000)};
    for (int i = 0; i < 3; ++i) {
        std::string name = "bin/" + std::string(1, static_cast<char>('a' + i)) + ".exe";
        old_tree[name] = heads[i] + body;
        new_tree[name] = heads[i] + body_new;
    }
    old_tree["readme.txt"] = new_tree["readme.txt"] = "unchanged";
    old_tree["bin"] = new_tree["bin"] = kDir;
    return {old_tree, new_tree};
}

struct SharedEdits : Game {
    Tree old_tree, new_tree;
    explicit SharedEdits(const std::pair<Tree, Tree>& t = shared_edits())
        : Game(t.first, t.second), old_tree(t.first), new_tree(t.second) {}
    int apply(const Tree& tree, Recorder& r, const std::string& switches = "-u ") {
        remove_tree(game);
        make_tree(game, tree);
        return run(switches, r);
    }
};

} // namespace

// The builder codes the instructions of the later files against the first one's; each file
// still applies on its own, whether the first is missing, skipped or already new, because the
// engine reads the first one's instructions from the patch, never from the game. Damage in the
// instructions another entry refers to stops the run before anything changes, even when the
// damaged entry itself is skipped; codec parameters that name no proper entry are refused when
// the patch is opened.
TEST(Engine, FilesWithTheSameEditsReferToTheFirst) {
    SharedEdits t;
    Patch p;
    DecodeResult opened = open_patch(t.patch, p);
    ASSERT_TRUE(opened) << opened.message;
    ASSERT_EQ(p.entries.size(), 3u);
    EXPECT_TRUE(p.entries[0].extra.empty());
    for (size_t i : {1, 2}) {
        EXPECT_EQ(p.entries[i].extra, delta_reference_params(0)) << i;
        EXPECT_TRUE(p.entries[i].ref.present);
        EXPECT_EQ(p.entries[i].ref.offset, p.entries[0].payload_offset);
        // Against the first file's instructions the later ones cost a fraction.
        EXPECT_LT(p.entries[i].payload_size * 2, p.entries[0].payload_size) << i;
    }
    std::string bytes = read_file(t.patch);
    // Coded on three threads, the later files wait for the first one's instructions: the
    // same bytes.
    BuildOptions threaded;
    threaded.threads = 3;
    BuildStats stats;
    ASSERT_TRUE(build_patch(t.s.sub("old"), t.s.sub("new"), t.s.sub("j3.rtp"), threaded,
                            BuildCallbacks{}, stats));
    EXPECT_EQ(read_file(t.s.sub("j3.rtp")), bytes);
    std::vector<CraftEntry> es;
    for (const Entry& e : p.entries)
        es.push_back({e, bytes.substr(static_cast<size_t>(e.payload_offset),
                                      static_cast<size_t>(e.payload_size))});
    p.file.close();
    Tree missing = t.old_tree, first_new = t.old_tree, missing_after = t.new_tree;
    missing.erase("bin/a.exe");
    missing_after.erase("bin/a.exe");
    first_new["bin/a.exe"] = t.new_tree["bin/a.exe"];
    for (auto [game, switches, expect] : {std::tuple{&t.old_tree, "-u ", &t.new_tree},
                                          {&missing, "-u -i ", &missing_after},
                                          {&first_new, "-u ", &t.new_tree}}) {
        Recorder r;
        ASSERT_EQ(t.apply(*game, r, switches), kRcOk) << r.all_text();
        EXPECT_EQ(describe_difference(snapshot(t.s.sub("game")), *expect), "");
        if (game == &missing) {
            EXPECT_EQ(r.texts(2), std::vector<std::string>{"Skipped " + native("bin/a.exe") +
                                                           ": the file is missing."});
        }
    }

    auto attempt = [&](std::vector<CraftEntry> entries, const std::string& expect_error) {
        craft_patch(t.patch, entries, kDirCompactDeflate);
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
    auto improper = [](const char* name) {
        return "The patch is damaged: the codec parameters of \"" + std::string(name) +
               "\" are invalid.";
    };
    // To itself, to a later entry, to one that refers on (b refers to a), and 0 in a longer
    // form than its shortest.
    for (auto [at, extra] : {std::pair{1, delta_reference_params(1)},
                             {1, delta_reference_params(2)},
                             {2, delta_reference_params(1)},
                             {1, std::vector<uint8_t>{0x80, 0x00}}}) {
        std::vector<CraftEntry> bad = es;
        bad[at].entry.extra = extra;
        attempt(bad, improper(at == 1 ? "bin/b.exe" : "bin/c.exe"));
    }
    CraftEntry stored = add_entry("bin/d.exe", "new file");
    stored.entry.extra = delta_reference_params(0);
    es.push_back(stored);
    attempt(es, improper("bin/d.exe"));
}

// Files moved to another folder, split out of another or rewritten from another are built from
// that old file, read in its old state although the same patch deletes it; each entry applies
// on its own, whether
// its source is missing (skipped with -i) or the entry is already new. A damaged source list is
// refused before anything changes.
TEST(Engine, MovedAndSplitFilesAreBuiltFromAnotherOldFile) {
    std::string lib = random_bytes(7, 30000), part = random_bytes(8, 20000);
    Tree before = {{"src", kDir}, {"src/lib.js", lib + part}, {"main.js", random_bytes(9, 5000)}};
    Tree after = {{"dist", kDir},
                  {"dist/lib.js", lib + "tail"},
                  {"dist/part.js", part},
                  {"main.js", part.substr(0, 9000) + "mine"}};
    SharedEdits t({before, after});
    Patch p;
    DecodeResult opened = open_patch(t.patch, p);
    ASSERT_TRUE(opened) << opened.message;
    EXPECT_EQ(p.version, kCrossFileVersion);
    for (const Entry& e : p.entries)
        if (e.makes_new()) {
            EXPECT_EQ(e.source.path, "src/lib.js") << e.path;
            EXPECT_LT(e.payload_size, 1000u) << e.path;
        }
    p.file.close();
    Tree missing = before, skipped = {{"dist", kDir}, {"main.js", before["main.js"]}};
    missing.erase("src/lib.js");
    std::vector<std::string> errors, warnings;
    for (const char* f : {"dist/lib.js", "dist/part.js", "main.js"}) {
        std::string why = native(f) + ": its source " + native("src/lib.js") + " is missing.";
        errors.push_back("Cannot patch " + why), warnings.push_back("Skipped " + why);
    }
    for (auto [game, switches, rc, expect] : {std::tuple{&before, "-u ", kRcOk, &after},
                                              {&after, "-u ", kRcOk, &after},
                                              {&missing, "-u ", kRcMismatch, &missing},
                                              {&missing, "-u -i ", kRcOk, &skipped}}) {
        Recorder r;
        EXPECT_EQ(t.apply(*game, r, switches), rc) << r.all_text();
        EXPECT_EQ(describe_difference(snapshot(t.game), *expect), "");
        if (game == &missing)
            EXPECT_EQ(rc == kRcOk ? r.texts(2) : r.texts(3), rc == kRcOk ? warnings : errors);
    }
    std::string bytes = read_file(t.patch);
    bytes[bytes.rfind("srcs") + 8] = 0x7f; // more sources than entries
    Hash128 h = hash128(bytes.data(), bytes.size() - 16);
    std::copy(h.b, h.b + 16, bytes.end() - 16);
    write_file(t.patch, bytes);
    Recorder r;
    EXPECT_EQ(t.apply(before, r), kRcPatchCorrupt);
    EXPECT_EQ(r.texts(3),
              std::vector<std::string>{
                  "The patch is damaged: its list of sources has an impossible count."});
    EXPECT_EQ(describe_difference(snapshot(t.game), before), "");
}

// A copy of another new file is built from that file as this patch makes it: applied,
// validated, read from the game when already new, and skipped with -i when that file is.
TEST(Engine, CopiesOfNewFilesAreBuiltFromTheEarlierNewFile) {
    std::string fresh = random_bytes(10, 30000);
    Tree before = {{"a.js", random_bytes(11, 20000)}};
    Tree after = {{"a.js", before["a.js"].substr(0, 15000) + fresh}, {"b.js", fresh + "tail"}};
    SharedEdits t({before, after});
    Patch p;
    ASSERT_TRUE(open_patch(t.patch, p));
    ASSERT_EQ(p.entries.size(), 2u);
    EXPECT_EQ(std::tie(p.entries[1].source.new_content, p.entries[1].source.entry),
              std::make_tuple(true, 0u));
    EXPECT_LT(p.entries[1].payload_size, 1000u);
    p.file.close();
    Tree half = {{"a.js", after["a.js"]}}, none = {};
    for (auto [game, switches, expect] : {std::tuple{&before, "-u ", &after},
                                          {&before, "-u -j ", &before},
                                          {&half, "-u ", &after},
                                          {&none, "-u -i ", &none}}) {
        Recorder r;
        EXPECT_EQ(t.apply(*game, r, switches), kRcOk) << r.all_text();
        EXPECT_EQ(describe_difference(snapshot(t.game), *expect), "");
        if (game == &none)
            EXPECT_EQ(r.texts(2),
                      (std::vector<std::string>{
                          "Skipped a.js: the file is missing.",
                          "Skipped b.js: its source, the new a.js, was not produced."}));
    }
}

// Many small files that share boilerplate pay for it once, in one literal store, and the edits
// of the changed ones are coded in one instruction store; each applies on its own (another
// already new, its old file missing with -i; validating writes nothing). A file made of
// literals alone is its share, whose hash the patch does not store again: it reads back as
// the file's, also for a copy built from it. A store damaged under a valid checksum refuses the
// patch before anything changes.
TEST(Engine, ManySmallFilesShareOneLiteralStore) {
    const std::string head = "/* " + random_bytes(12, 600) + " */\n";
    Tree before = {{"lib", kDir}}, after = before;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "lib/m" + std::to_string(i) + ".js";
        before[name] = random_bytes(13 + i, 3000);
        after[name] = before[name].substr(0, 900) + "edit" + before[name].substr(1000);
    }
    for (int i = 0; i < 20; ++i)
        after["lib/f" + std::to_string(i) + ".js"] = head + random_bytes(100 + i, 200);
    after["lib/z.js"] = after["lib/f3.js"] + random_bytes(99, 300); // a copy, grown
    SharedEdits t({before, after});
    Patch p;
    ASSERT_TRUE(open_patch(t.patch, p) && p.version == kInstructionStoreVersion);
    uint64_t payloads = 0;
    for (const Entry& e : p.entries) {
        EXPECT_TRUE(e.codec == Codec::Delta && e.share.length > 0) << e.path;
        EXPECT_TRUE(e.op != Op::Modify || e.instr_share.length > 0) << e.path;
        EXPECT_EQ(e.flags, e.share.whole ? kFlagHashFromShare : 0) << e.path;
        EXPECT_EQ(e.new_hash, hash128(after[e.path].data(), after[e.path].size())) << e.path;
        payloads += e.payload_size;
    }
    const Entry::Source& z = p.entries.back().source; // f3, a whole share, already new in `half`
    EXPECT_TRUE(z.new_content && p.entries[z.entry].share.whole);
    EXPECT_EQ(std::tie(z.path, z.hash),
              std::make_tuple(std::string("lib/f3.js"), p.entries[z.entry].new_hash));
    // 20 x 200 + 300 unique bytes, one head and four edits, where one head per file alone would
    // be 12,600.
    EXPECT_LT(p.store.stored + p.instr_store.stored + payloads, 5700u);
    p.file.close();
    Tree half = before, missing = {{"lib", kDir}}, skipped = after;
    half["lib/f3.js"] = after["lib/f3.js"];
    half["lib/m1.js"] = after["lib/m1.js"];
    for (int i = 0; i < 4; ++i)
        skipped.erase("lib/m" + std::to_string(i) + ".js");
    for (auto [game, switches, expect] : {std::tuple{&before, "-u ", &after},
                                          {&before, "-u -j ", &before},
                                          {&half, "-u ", &after},
                                          {&missing, "-u -i ", &skipped}}) {
        Recorder r;
        EXPECT_EQ(t.apply(*game, r, switches), kRcOk) << r.all_text();
        EXPECT_EQ(describe_difference(snapshot(t.game), *expect), "");
    }
    const std::string bytes = read_file(t.patch);
    const size_t hash_at = bytes.find(std::string(p.store.hash.b, p.store.hash.b + 16));
    const size_t instrs_at = static_cast<size_t>(p.instr_store.offset);
    for (auto [at, why] : {std::pair{static_cast<size_t>(p.store.offset),
                                     "literal store is coded in an unknown way"},
                           {hash_at, "literal store does not match its hash"},
                           {instrs_at, "instruction store is coded in an unknown way"},
                           {instrs_at + 2, "instruction store cannot be decoded"}}) {
        std::string bad = bytes;
        bad[at] = static_cast<char>(bad[at] ^ 0x40);
        write_file(t.patch, resealed(bad));
        Recorder r;
        EXPECT_EQ(t.apply(before, r), kRcPatchCorrupt);
        EXPECT_EQ(r.texts(3),
                  std::vector<std::string>{"The patch is damaged: its " + std::string(why) + "."});
        EXPECT_EQ(describe_difference(snapshot(t.game), before), "");
    }
}

// Whatever the mode and however the directory is stored, a patch with one unsafe path is
// refused before anything is written, inside the game directory or outside it.
TEST(Engine, HostilePathsAreRefusedWithNothingWritten) {
    // Each kind of unsafe name once (the names themselves are checked in unit_tests), and the
    // clashes that only the whole directory shows.
    // clang-format off
    const std::vector<std::vector<std::string>> cases = {
        {"/tmp/kelvane-escape"}, {"C:/escape.txt"}, {"../escape.txt"}, {"data\\..\\..\\escape.txt"},
        {"x.txt:stream"}, {"nul.txt"},
        {"Data/Same.txt", "data/same.TXT"}, {"clash", "clash/inner.txt"}, {"clash/inner.txt", "clash"}};
    // clang-format on
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i][0]);
        std::vector<CraftEntry> es = {add_entry("benign.txt", "benign")};
        for (const std::string& p : cases[i])
            es.push_back(add_entry(p, "payload"));
        Game g(es, {{"data/keep.txt", "keep"}}, static_cast<uint32_t>(i % 4));
        make_tree(g.s.sub("outside"), {{"victim.txt", "victim"}});
        Tree start = snapshot(g.s.path());
        for (const char* sw : {"-u ", "-u -i ", "-u -j "}) {
            Recorder r;
            EXPECT_EQ(g.run(sw, r), kRcPatchHostile) << r.all_text();
            ASSERT_EQ(r.texts(3).size(), 1u);
            EXPECT_EQ(r.texts(3)[0].rfind("The patch is refused: ", 0), 0u) << r.texts(3)[0];
            EXPECT_EQ(snapshot(g.s.path()), start);
        }
        Recorder l;
        EXPECT_EQ(g.run("-l ", l), kRcPatchHostile);
        EXPECT_TRUE(l.events.empty());
    }
}

// Declared sizes, hashes and codecs are checked against the payload; damaged, cut or lengthened
// patch files and unknown format versions are refused before any change.
TEST(Engine, DamagedPatchesAreRefusedBeforeAnyChange) {
    Install t;
    const std::string good = read_file(t.patch);
    // Nothing changes; the code is expect_rc (any failure when 0).
    auto attempt = [&](const std::string& patch, int expect_rc, const char* error = nullptr) {
        write_file(t.patch, patch);
        Recorder r;
        int rc = t.run("-u ", r);
        EXPECT_TRUE(rc == expect_rc || (expect_rc == 0 && rc != kRcOk)) << rc << r.all_text();
        if (error) {
            EXPECT_EQ(r.texts(3), std::vector<std::string>{error});
        }
        EXPECT_EQ(describe_difference(snapshot(t.game), t.before), "");
        EXPECT_EQ(snapshot(t.temp), Tree{});
        return rc;
    };
    CraftEntry short_payload = add_entry("b.txt", "12345"), wrong_hash = short_payload,
               huge = add_entry("b.txt", "1"), codec = huge;
    short_payload.entry.new_size = 6;
    wrong_hash.entry.new_hash.b[0] ^= 1;
    huge.entry.new_size = ~0ull;
    codec.entry.codec = static_cast<Codec>(9);
    for (auto [c, rc] : {std::pair{short_payload, kRcPatchCorrupt},
                         {wrong_hash, kRcPatchCorrupt},
                         {huge, kRcPatchCorrupt},
                         {codec, kRcPatchUnsupported}}) {
        craft_patch(t.patch, {c});
        attempt(read_file(t.patch), rc);
    }
    for (size_t cut : {size_t(0), size_t(1), size_t(8), size_t(15), size_t(16), size_t(100),
                       good.size() / 2, good.size() - 64, good.size() - 17, good.size() - 1})
        attempt(good.substr(0, cut), kRcPatchCorrupt);
    attempt(good + "x", kRcPatchCorrupt);
    std::string flipped = good;
    flipped[good.size() / 2] ^= 4;
    attempt(flipped, kRcPatchCorrupt,
            "The patch is damaged: its checksum does not match its contents.");
    // Every byte of the head and the trailer flipped in turn, and bytes in between: refused as
    // damaged (a flipped version byte may be read as a newer version first).
    for (size_t pos = 0; pos < good.size();
         pos = pos < 16 || pos + 64 >= good.size()
                   ? pos + 1
                   : std::min(pos + good.size() / 97, good.size() - 64)) {
        std::string bad = good;
        bad[pos] = static_cast<char>(bad[pos] ^ 0x10);
        int rc = attempt(bad, 0);
        EXPECT_TRUE(rc == kRcPatchCorrupt || (pos >= 8 && pos < 10 && rc == kRcPatchUnsupported))
            << pos;
    }
    std::string newer = good;
    newer[8] = 6;
    attempt(newer, kRcPatchUnsupported,
            "The patch uses format version 6, but this engine reads only versions 1 to 5. "
            "A newer patchw32.dll is needed.");
    // A directory stored in a way this engine does not know, under a valid checksum.
    std::string unknown = good;
    unknown[unknown.size() - kTrailerSize + 40] = 7;
    attempt(resealed(unknown), kRcPatchUnsupported,
            "The patch needs a newer engine: its directory is stored in an unknown way.");
}

// A failure injected at every file-system operation of a run, one run per operation: the run
// ends rolled back or committed, and the next run (a validation) finds the directory exactly
// old or exactly new, with no work files left.
TEST(Engine, FailureAtEachStepIsRolledBackToAnIdenticalDirectory) {
    for (bool default_temp : {false, true}) {
        SCOPED_TRACE(default_temp);
        Install t(false);
        int rolled_back = 0, committed_steps = 0;
        for (int n = 1;; ++n) {
            t.reset_game();
            int calls = 0;
            bool fired = false;
            os::set_fault_hook([&](const char*, const std::string&) {
                fired |= ++calls == n;
                return calls != n;
            });
            Recorder r;
            int rc = run_engine(t.line("-u ", default_temp ? "" : t.temp), r);
            os::set_fault_hook(nullptr);
            if (!fired) {
                ASSERT_EQ(rc, kRcOk);
                EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
                break;
            }
            rolled_back += rc == kRcRolledBack;
            committed_steps += r.all_text().find("Rollback complete") != std::string::npos;
            Recorder again;
            int rc2 = t.run("-u -j ", again);
            EXPECT_EQ(rc2, kRcOk) << again.all_text();
            EXPECT_EQ(describe_difference(snapshot(t.game), rc == kRcOk ? t.after : t.before), "")
                << "step " << n << " rc " << rc << "\n"
                << r.all_text() << again.all_text();
            if (r.all_text().find("could not be removed") == std::string::npos) {
                EXPECT_EQ(snapshot(t.temp), Tree{}) << "step " << n << "\n" << r.all_text();
            }
            ASSERT_LT(n, 500);
        }
        EXPECT_GT(rolled_back, 10);
        EXPECT_GT(committed_steps, 10);
    }
}

namespace {

// Runs the crash helper (beside this program) as a separate process; returns its exit code.
int run_child(int n, const Install& t) {
#ifdef _WIN32
    char self[MAX_PATH];
    std::string exe(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    exe = exe.substr(0, exe.find_last_of('\\')) + "\\patchw32_crash_child.exe";
    // _spawnv joins the arguments with blanks, so each is quoted.
    std::string args[] = {q(exe), std::to_string(n), q(t.game), q(t.patch), q(t.temp)};
    const char* argv[] = {args[0].c_str(), args[1].c_str(), args[2].c_str(),
                          args[3].c_str(), args[4].c_str(), nullptr};
    return static_cast<int>(_spawnv(_P_WAIT, exe.c_str(), argv));
#else
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string exe(self, static_cast<size_t>(len > 0 ? len : 0));
    exe = exe.substr(0, exe.find_last_of('/')) + "/patchw32_crash_child";
    std::string ns = std::to_string(n), game = t.game, patch = t.patch, temp = t.temp;
    char* args[] = {exe.data(), ns.data(), game.data(), patch.data(), temp.data(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, args, environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

} // namespace

// A separate process terminated abruptly at each operation of its apply: the next run on the
// directory, whether it validates, lists or applies, finishes or undoes the interrupted commit.
TEST(Engine, TerminatedProcessIsRecoveredByTheNextRun) {
    Install t(false);
    int old_states = 0, new_states = 0, finished = 0;
    for (int n = 1;; ++n) {
        t.reset_game();
        int code = run_child(n, t);
        if (code == 0) {
            EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
            break;
        }
        ASSERT_EQ(code, 99) << "step " << n;
        int mode = n % 3; // validate, list, apply
        Recorder r;
        int rc = mode == 1 ? run_engine(t.list_line(), r) : t.run(mode ? "-u " : "-u -j ", r);
        EXPECT_EQ(rc, kRcOk) << "terminated at step " << n << "\n" << r.all_text();
        finished += r.all_text().find("Recovered: the interrupted patch run is complete.") !=
                    std::string::npos;
        Tree now = snapshot(t.game);
        if (mode == 2) {
            EXPECT_EQ(describe_difference(now, t.after), "") << "terminated at step " << n;
        } else if (now == t.after) {
            ++new_states;
        } else {
            EXPECT_EQ(describe_difference(now, t.before), "") << "terminated at step " << n << "\n"
                                                              << r.all_text();
            ++old_states;
        }
        EXPECT_EQ(snapshot(t.temp), Tree{}) << "terminated at step " << n;
        ASSERT_LT(n, 500);
    }
    EXPECT_GT(old_states, 5);
    EXPECT_GT(new_states, 0);
    EXPECT_GT(finished, 0); // runs killed after every file was in place are finished, not undone
}

// A read-only file: the new version carries the attribute, and a later patch replaces it
// (and could roll it back) all the same.
TEST(Engine, ReadOnlyFilesAreReplacedAndKeepTheirAttribute) {
    Scratch s;
    Tree v1 = {{"config/locked.ini", "v1"}, {"other.txt", "x"}};
    Tree v2 = {{"config", kDir}, {"config/locked.ini", "v2, read-only"}, {"other.txt", "x"}};
    Tree v3 = {{"config", kDir}, {"config/locked.ini", "v3"}, {"other.txt", "y"}};
    for (auto [dir, tree] : {std::pair{"v1", &v1}, {"v2", &v2}, {"v3", &v3}, {"game", &v1}})
        make_tree(s.sub(dir), *tree);
    kv::os::make_dir(s.sub("temp"));
    for (const char* f : {"v2/config/locked.ini", "v3/config/locked.ini"})
        ASSERT_TRUE(kv::os::set_attrs(s.sub(f), kv::os::kAttrReadOnly).ok());
    build(s.sub("v1"), s.sub("v2"), s.sub("p12.rtp"));
    build(s.sub("v2"), s.sub("v3"), s.sub("p23.rtp"));
    auto apply = [&](const char* patch, const Tree& expect, int expect_rc) {
        Recorder r;
        EXPECT_EQ(run_engine(run_line("-u ", s.sub("temp"), s.sub("game"), s.sub(patch)), r),
                  expect_rc)
            << r.all_text();
        EXPECT_EQ(describe_difference(snapshot(s.sub("game")), expect), "");
        kv::os::Stat st;
        kv::os::stat(s.sub("game/config/locked.ini"), st);
        EXPECT_TRUE(st.attrs & kv::os::kAttrReadOnly);
    };
    apply("p12.rtp", v2, kRcOk);
    // The second patch fails on its last step once, then succeeds.
    std::string last = s.sub("game/other.txt");
    os::set_fault_hook([&](const char* op, const std::string& path) {
        return !(std::string(op) == "rename" && path == last);
    });
    apply("p23.rtp", v2, kRcRolledBack);
    os::set_fault_hook(nullptr);
    apply("p23.rtp", v3, kRcOk);
}
