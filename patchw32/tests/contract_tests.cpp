// The engine through its public entry point, as the tool calls it: on Windows the real
// patchw32.dll, loaded with LoadLibraryA and called through GetProcAddress("RTPatchApply32@12")
// with a stdcall callback; natively the same C entry linked in.
#include "api.h"
#include "engine.h"
#include "entry_caller.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace kvtest;

namespace {

struct Install {
    Scratch s;
    std::string game, temp, patch;
    Tree before, after;
    Install() {
        make_tree(s.sub("old"), old_game_tree());
        make_tree(s.sub("new"), new_game_tree());
        make_tree(s.sub("game"), old_game_tree());
        kv::os::make_dir(s.sub("temp"));
        game = s.sub("game");
        temp = s.sub("temp");
        patch = s.sub("update.rtp");
        build(s.sub("old"), s.sub("new"), patch);
        before = snapshot(s.sub("old"));
        after = snapshot(s.sub("new"));
    }
    // Exactly as the tool builds its command lines.
    std::string apply_line(bool validate, bool ignore, const std::string& tempdir) const {
        std::string line = "-u ";
        if (validate)
            line += "-j ";
        if (ignore)
            line += "-i ";
        return line + "\"-otempdir:" + tempdir + "\"" + " \"" + game + "\"" + " \"" + patch + "\"";
    }
    std::string list_line() const { return "-l  \"" + game + "\" \"" + patch + "\""; }
};

} // namespace

TEST(Contract, EntryPointIsExported) {
    ASSERT_NE(entry(), nullptr);
}

TEST(Contract, ApplyRoundTripAndCallbackSequence) {
    Install t;
    ASSERT_EQ(call(t.apply_line(false, false, t.temp)), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
    EXPECT_EQ(snapshot(t.temp), Tree{});
    int n6 = 0, n7 = 0, first6 = -1, first7 = -1;
    for (size_t i = 0; i < events().size(); ++i) {
        const Event& e = events()[i];
        if (e.id == 6 && n6++ == 0)
            first6 = static_cast<int>(i);
        if (e.id == 7 && n7++ == 0)
            first7 = static_cast<int>(i);
        if (e.id == 5) {
            EXPECT_LE(e.value, 32768u);
        }
    }
    EXPECT_EQ(n6, 1);
    EXPECT_GE(first6, 0);
    EXPECT_LT(first6, first7);
    EXPECT_EQ(n7, 10);
    EXPECT_EQ(texts(7).at(0), native("data/levels/three new.lvl"));
    EXPECT_EQ(texts(4).back(), "Patch applied: 5 files updated, 3 files added, 2 files deleted.");

    ASSERT_EQ(call(t.apply_line(false, false, t.temp)), 0);
    EXPECT_EQ(texts(4).back(), "This patch is already applied; nothing was changed.");
}

TEST(Contract, TempDirectoryEmptyOrWithTrailingSeparator) {
    Install t;
    ASSERT_EQ(call(t.apply_line(false, false, "")), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
    Install u;
    std::string root_like = u.temp + kv::os::separator();
    ASSERT_EQ(call(u.apply_line(false, false, root_like)), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(u.game), u.after), "");
    EXPECT_EQ(snapshot(u.temp), Tree{});
}

TEST(Contract, ListModeRelativePathsInOrderAndNoTexts) {
    Install t;
    Tree start = snapshot(t.s.path());
    ASSERT_EQ(call(t.list_line()), 0);
    std::vector<std::string> names;
    for (const Event& e : events()) {
        ASSERT_EQ(e.id, 7u);
        names.push_back(e.text);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{
                  native("data/levels/three new.lvl"), native("data/levels/two.lvl"),
                  native("data/old stuff/also gone.txt"), native("data/old stuff/gone.dat"),
                  native("data/script.txt"), "empty.cfg", native("new folder/deep/empty new"),
                  native("new folder/deep/nested file.txt"), "readme with blanks.txt",
                  "tarrowmain.exe"}));
    EXPECT_EQ(snapshot(t.s.path()), start);
}

TEST(Contract, ValidateOnGoodAndDamagedInstallChangesNothing) {
    Install t;
    Tree start = snapshot(t.s.path());
    EXPECT_EQ(call(t.apply_line(true, false, t.temp)), 0) << all_text();
    EXPECT_EQ(texts(4).back(), "Validation passed: 10 files are ready to patch.");
    EXPECT_EQ(snapshot(t.s.path()), start);
    write_file(kv::os::join(t.game, native("data/script.txt")), "damaged");
    Tree damaged = snapshot(t.s.path());
    EXPECT_EQ(call(t.apply_line(true, false, t.temp)), kv::kRcMismatch);
    EXPECT_EQ(texts(3).at(0), "Cannot patch " + native("data/script.txt") +
                                  ": the file differs from the version this patch updates.");
    EXPECT_EQ(snapshot(t.s.path()), damaged);
}

TEST(Contract, IgnoreMissingSkipsAndAppliesTheRest) {
    Install t;
    kv::os::remove_file(kv::os::join(t.game, native("tarrowmain.exe")));
    ASSERT_EQ(call(t.apply_line(false, true, t.temp)), 0) << all_text();
    Tree expect = t.after;
    expect.erase("tarrowmain.exe");
    EXPECT_EQ(describe_difference(snapshot(t.game), expect), "");
    EXPECT_EQ(texts(2), std::vector<std::string>{"Skipped tarrowmain.exe: the file is missing."});
}

TEST(Contract, HostilePatchRefusedWithNothingWritten) {
    Install t;
    for (const char* bad : {"../escape.txt", "nul.txt", "data/x.txt:ads", "C:/abs.txt", "Com1"}) {
        craft_patch(t.patch, {add_entry("fine.txt", "ok"), add_entry(bad, "evil")});
        Tree start = snapshot(t.s.path());
        EXPECT_EQ(call(t.apply_line(false, false, t.temp)), kv::kRcPatchHostile) << bad;
        EXPECT_EQ(snapshot(t.s.path()), start) << bad;
        EXPECT_EQ(texts(3).size(), 1u);
    }
    craft_patch(t.patch, {add_entry("Same.txt", "1"), add_entry("SAME.TXT", "2")});
    EXPECT_EQ(call(t.apply_line(false, false, t.temp)), kv::kRcPatchHostile);
    EXPECT_EQ(call(t.list_line()), kv::kRcPatchHostile);
    EXPECT_TRUE(events().empty());
}

TEST(Contract, TruncatedAndBitFlippedPatchesRefused) {
    Install t;
    std::string good = read_file(t.patch);
    Tree start = snapshot(t.game);
    for (size_t cut : {size_t(0), size_t(40), good.size() / 3, good.size() - 1}) {
        write_file(t.patch, good.substr(0, cut));
        EXPECT_EQ(call(t.apply_line(false, false, t.temp)), kv::kRcPatchCorrupt) << cut;
        EXPECT_EQ(snapshot(t.game), start);
    }
    for (size_t pos : {size_t(20), good.size() / 2, good.size() - 70, good.size() - 3}) {
        std::string bad = good;
        bad[pos] = static_cast<char>(bad[pos] ^ 4);
        write_file(t.patch, bad);
        EXPECT_EQ(call(t.apply_line(false, false, t.temp)), kv::kRcPatchCorrupt) << pos;
        EXPECT_EQ(texts(3).at(0),
                  "The patch is damaged: its checksum does not match its contents.");
        EXPECT_EQ(snapshot(t.game), start);
        EXPECT_EQ(snapshot(t.temp), Tree{});
    }
}

TEST(Contract, MalformedLineGetsAMessageAndANonzeroReturn) {
    Install t;
    Tree start = snapshot(t.s.path());
    EXPECT_EQ(call("-u -q \"" + t.game + "\" \"" + t.patch + "\""), kv::kRcUsage);
    EXPECT_EQ(texts(3).size(), 1u);
    EXPECT_EQ(call("-u \"-otempdir:" + t.temp + " \"" + t.game), kv::kRcUsage);
    EXPECT_EQ(snapshot(t.s.path()), start);
}

// A commit that fails half-way (a game file that cannot be replaced) is rolled back.
TEST(Contract, CommitFailureIsRolledBack) {
    Install t;
    Tree start = snapshot(t.game);
    std::string locked = kv::os::join(t.game, "tarrowmain.exe"); // the last file of the patch
#ifdef _WIN32
    // Held open by another program that lets others read it but not move or delete it.
    HANDLE h = CreateFileA(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int rc = call(t.apply_line(false, false, t.temp));
    CloseHandle(h);
#else
    kv::os::set_fault_hook([&](const char* op, const std::string& path) {
        return !(std::string(op) == "rename" && path == locked);
    });
    int rc = call(t.apply_line(false, false, t.temp));
    kv::os::set_fault_hook(nullptr);
#endif
    EXPECT_EQ(rc, kv::kRcRolledBack) << all_text();
    EXPECT_EQ(describe_difference(snapshot(t.game), start), "");
    EXPECT_EQ(snapshot(t.temp), Tree{});
    std::vector<std::string> w = texts(2);
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back(), "Rolling back: restoring every file this run had changed.");
    EXPECT_EQ(texts(1).back(),
              "Rollback complete: the game directory is exactly as it was before this run.");
    // Once the file is free, the same patch applies.
    ASSERT_EQ(call(t.apply_line(false, false, t.temp)), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
}

#ifdef _WIN32
// The tool may hand over a drive root such as "C:\" as the temp directory.
TEST(Contract, TempDirectoryMayBeADriveRoot) {
    Install t;
    std::string root = t.s.path().substr(0, 3); // "C:\"
    ASSERT_EQ(root[1], ':');
    ASSERT_EQ(call(t.apply_line(false, false, root)), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
    std::vector<kv::os::DirEntry> top;
    ASSERT_TRUE(kv::os::list_dir(root, top).ok());
    std::string ours =
        "kelvane-" + std::to_string(kv::os::process_id()); // the engine's work folder
    for (const auto& e : top)
        EXPECT_NE(e.name.rfind(ours, 0), 0u) << "left behind: " << e.name;
}
#endif
