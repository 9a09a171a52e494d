// The engine through its public entry point, as the tool calls it: on Windows the real
// patchw32.dll, loaded with LoadLibraryA and called through GetProcAddress("RTPatchApply32@12")
// with a stdcall callback; natively the same C entry linked in. What a run does is tested in
// engine_tests; here only what crosses the entry: the export, the callback, the tool's lines.
#include "engine.h"
#include "entry_caller.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <filesystem>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace kvtest;

// Every temp directory the tool may hand over, and a line without a game directory (the
// current one), reach the engine intact, into a game with or without the reserved top folder.
// The reports come back through the callback: one file count before the first name, progress
// as a value within 0..32768 that ends each file at 32768, texts as strings, the summary last.
TEST(Contract, TheToolsLinesAndTheCallback) {
    ASSERT_NE(entry(), nullptr);
    struct Row {
        const char* switches;
        int temp; // 0 the temp folder, 1 with a trailing separator, 2 empty, 3 a drive root
        bool with_top, from_cwd;
    };
    std::vector<Row> rows = {{"-u ", 0, true, false},  {"-u -j -i ", 1, true, false},
                             {"-u ", 2, true, false},  {"-u ", 2, false, false},
                             {"-u ", 0, false, false}, {"-u ", 0, true, true}};
#ifdef _WIN32
    rows.push_back({"-u ", 3, true, false});
#endif
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << row.switches << row.temp << row.with_top << row.from_cwd);
        Install t(row.with_top);
        std::string temps[] = {t.temp, t.temp + kv::os::separator(), "",
                               t.s.path().substr(0, 3)}; // "C:\"
        bool validate = std::string(row.switches).find("-j") != std::string::npos;
        std::string here = kv::os::current_dir();
        if (row.from_cwd) {
            ASSERT_NO_THROW(std::filesystem::current_path(t.game));
            ASSERT_EQ(call(row.switches + q("-otempdir:" + t.temp) + " " + q(t.patch)), 0);
            ASSERT_NO_THROW(std::filesystem::current_path(here));
        } else {
            ASSERT_EQ(call(t.line(row.switches, temps[row.temp])), 0) << all_text();
        }
        EXPECT_EQ(texts(4), std::vector<std::string>{
                                validate ? "Validation passed: 10 files are ready to patch."
                                         : "Patch applied: 5 files updated, 3 files added, 2 "
                                           "files deleted."});
        EXPECT_TRUE(texts(3).empty());
        EXPECT_EQ(describe_difference(snapshot(t.game), validate ? t.before : t.after), "");
        EXPECT_EQ(snapshot(t.temp), Tree{});
        if (row.temp == 3) { // the engine's work folder is gone from the root
            std::vector<kv::os::DirEntry> top;
            ASSERT_TRUE(kv::os::list_dir(temps[3], top).ok());
            for (const auto& e : top)
                EXPECT_NE(e.name.rfind("kelvane-" + std::to_string(kv::os::process_id()), 0), 0u);
        }
        if (&row != &rows[0])
            continue;
        int n6 = 0, n7 = 0;
        uint32_t last = 0;
        bool fresh = false;
        for (const Event& e : events()) {
            if (e.id == 6) {
                EXPECT_EQ(e.value, 10u);
                EXPECT_EQ(n7, 0);
                ++n6;
            }
            if (e.id == 7) {
                EXPECT_EQ(last, n7 ? 32768u : 0u) << e.text;
                n7++, last = 0, fresh = true;
            }
            if (e.id >= 1 && e.id <= 4) {
                EXPECT_LE(e.text.size(), 239u);
            }
            if (e.id == 5) { // each file's progress starts at 0 and never goes back
                EXPECT_TRUE(fresh ? e.value == 0 : e.value >= last) << e.value << " after " << last;
                EXPECT_LE(e.value, 32768u);
                last = e.value, fresh = false;
            }
        }
        EXPECT_EQ(last, 32768u);
        EXPECT_EQ(n6, 1);
        EXPECT_EQ(n7, 10);
        EXPECT_EQ(texts(7).at(0), native("data/levels/three new.lvl"));
        EXPECT_EQ(events().back().id, 4u);
    }
}

// List mode sends the path relative to the game directory of every file in patch order and
// nothing else, changes nothing, and stays silent on errors.
TEST(Contract, ListModeSendsOnlyRelativePaths) {
    Install t;
    Tree start = snapshot(t.s.path());
    ASSERT_EQ(call(t.list_line()), 0);
    EXPECT_EQ(texts(7).size(), events().size()); // file names only
    EXPECT_EQ(texts(7),
              (std::vector<std::string>{
                  native("data/levels/three new.lvl"), native("data/levels/two.lvl"),
                  native("data/old stuff/also gone.txt"), native("data/old stuff/gone.dat"),
                  native("data/script.txt"), "empty.cfg", native("new folder/deep/empty new"),
                  native("new folder/deep/nested file.txt"), "readme with blanks.txt",
                  "tarrowmain.exe"}));
    EXPECT_EQ(snapshot(t.s.path()), start);
    EXPECT_EQ(call("-l  " + q(t.game) + " " + q(t.s.sub("missing.rtp"))), kv::kRcPatchUnreadable);
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(call("-l -x " + q(t.patch)), kv::kRcUsage);
    EXPECT_TRUE(events().empty());
}

// A commit that fails half-way (a game file that cannot be replaced) is rolled back.
TEST(Contract, CommitFailureIsRolledBack) {
    Install t;
    std::string locked = kv::os::join(t.game, "tarrowmain.exe"); // the last file of the patch
#ifdef _WIN32
    // Held open by another program that lets others read it but not move or delete it.
    HANDLE h = CreateFileA(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int rc = call(t.line("-u "));
    CloseHandle(h);
#else
    kv::os::set_fault_hook([&](const char* op, const std::string& path) {
        return !(std::string(op) == "rename" && path == locked);
    });
    int rc = call(t.line("-u "));
    kv::os::set_fault_hook(nullptr);
#endif
    EXPECT_EQ(rc, kv::kRcRolledBack) << all_text();
    EXPECT_EQ(describe_difference(snapshot(t.game), t.before), "");
    EXPECT_EQ(snapshot(t.temp), Tree{});
    ASSERT_FALSE(texts(2).empty());
    EXPECT_EQ(texts(2).back(), "Rolling back: restoring every file this run had changed.");
    EXPECT_EQ(texts(1).back(),
              "Rollback complete: the game directory is exactly as it was before this run.");
    // Once the file is free, the same patch applies.
    ASSERT_EQ(call(t.line("-u ")), 0) << all_text();
    EXPECT_EQ(describe_difference(snapshot(t.game), t.after), "");
}
