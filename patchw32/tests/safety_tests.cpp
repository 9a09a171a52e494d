// What a run may never do, whatever the patch or the game directory holds: follow a link, lose
// a moved-aside game file, take the engine's names, grow with a patch's claims, and so on.
#include "journal.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace kv;
using namespace kvtest;

namespace {

// A link at `link` to the folder `target`: natively a symbolic link; on Windows a directory
// symbolic link (the engine treats junctions and every other reparse point alike), or under
// Wine, whose CreateSymbolicLink does nothing and which cannot make junctions, a symbolic link
// of the host made by its ln, which Wine shows as a reparse point.
bool make_folder_link(const std::string& target, const std::string& link) {
#ifdef _WIN32
    auto is_link = [&] {
        DWORD a = GetFileAttributesA(link.c_str());
        return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
    };
    CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2);
    for (int i = 0; i < 300 && !is_link() && (i || start_on_host("/bin/ln -s", {target, link}));
         ++i)
        Sleep(20); // nothing says when the host's program ends
    return is_link();
#else
    return ::symlink(target.c_str(), link.c_str()) == 0;
#endif
}

const Tree kOld = {{"a.txt", "old"}, {"data/level.dat", "level one"}};
const Tree kNew = {{"a.txt", "new"}, {"data/level.dat", "level two"}};
const char* const kModes[] = {"-l ", "-u -j ", "-u "};

CraftEntry folder_entry(const std::string& rel) {
    CraftEntry c;
    c.entry.op = Op::MakeDir;
    c.entry.path = rel;
    return c;
}

} // namespace

// A link or junction where the engine keeps its own folders is refused in every mode, and
// nothing it points at is touched.
TEST(Safety, LinksWhereTheEngineKeepsItsFoldersAreNeverFollowed) {
    struct Case {
        const char* link;
        Tree game_extra;
    } cases[] = {
        {"Tarrowmoor/.kelvane-journal", {{"Tarrowmoor/saves/slot1.sav", "save"}}},
        {"Tarrowmoor", {}},
        {"Tarrowmoor.kelvane-tmp/.kelvane-journal", {{"Tarrowmoor.kelvane-tmp", kDir}}},
        {"Tarrowmoor.kelvane-tmp", {}},
    };
    const Tree victim = {{"precious.txt", "mine"},
                         {"sub/deep.txt", "also mine"},
                         {".kelvane-journal/n3", "not the engine's"}};
    for (const Case& c : cases) {
        for (const char* mode : kModes) {
            Game g(kOld, kNew);
            make_tree(g.game, c.game_extra);
            make_tree(g.s.sub("victim"), victim);
            Tree before = snapshot(g.s.sub("victim"));
            if (!make_folder_link(g.s.sub("victim"), g.at(c.link)))
                GTEST_SKIP() << "this system cannot make a folder link or junction";
            Recorder r;
            EXPECT_EQ(g.run(mode, r), kRcGameDir) << c.link << " " << mode << r.all_text();
            EXPECT_EQ(describe_difference(snapshot(g.s.sub("victim")), before), "") << c.link;
            EXPECT_EQ(read_file(g.at("a.txt")), "old");
            if (std::string(mode) != "-l ") {
                EXPECT_NE(r.all_text().find("is a link or junction to another place"),
                          std::string::npos);
            }
        }
    }
}

// Moved-aside game files stay unless a complete commit proves them unneeded; without such
// proof nothing changes, the journal stays, and the code says so.
TEST(Safety, RecoveryKeepsMovedAsideFilesItCannotAccountFor) {
    const std::string j = "Tarrowmoor/.kelvane-journal/";
    struct Case {
        const char* plan; // "none", or the bytes of a damaged one
        Tree left;
        bool kept;
    } cases[] = {
        {"none", {{j + "o0", "moved-aside game file"}}, true},
        {"none", {{j + "b1", kDir}, {j + "b1/o300", "moved-aside game file"}}, true},
        {"none", {{j + "plan/b1", kDir}, {j + "plan/b1/o300", "moved-aside game file"}}, true},
        {"KVJPLAN2 cut short", {{j + "o0", "moved-aside game file"}}, true},
        {"KVJPLAN2 cut short", {{j + "n0", "new file"}}, true},
        {"none", {{j + "o0", "old"}, {j + "done", ""}}, false}, // a finished commit
        {"none", {{j + "n0", "new file"}}, false},              // before the plan
    };
    for (const Case& c : cases) {
        for (const char* mode : kModes) {
            Game g(kOld, kNew);
            Tree left = c.left; // the journal of a killed run
            if (std::string(c.plan) != "none")
                left[j + "plan"] = c.plan;
            make_tree(g.game, left);
            // The journal goes or stays whole; the run then goes on (an apply applies).
            Tree want = snapshot(g.s.sub(!c.kept && std::string(mode) == "-u " ? "new" : "game"));
            if (!c.kept) {
                std::erase_if(
                    want, [](const auto& e) { return e.first.find("journal") != e.first.npos; });
                want["Tarrowmoor"] = kDir;
            }
            Recorder r;
            EXPECT_EQ(g.run(mode, r), c.kept ? kRcRecoveryUnproven : kRcOk) << mode << r.all_text();
            EXPECT_EQ(describe_difference(snapshot(g.game), want), "") << mode;
            if (c.kept && std::string(mode) != "-l ") {
                EXPECT_EQ(r.texts(3).back(), "Keep that folder: restore the game from a backup or "
                                             "by reinstalling it, then delete the folder.");
            }
        }
    }
}

// The largest plan a patch within the limits can produce is one the engine reads back.
TEST(Safety, APlanAtThePatchLimitsReadsBack) {
    Scratch s;
    make_tree(s.sub("game"), {{"Tarrowmoor", kDir}});
    Journal j(s.sub("game"));
    ASSERT_TRUE(j.lock().ok());
    ASSERT_TRUE(j.create().ok());
    Plan p;
    size_t each = kMaxPatchPathBytes / kMaxEntries;
    for (uint32_t i = 0; i < kMaxEntries; ++i) {
        std::string name = "f" + std::to_string(i) + "/";
        p.steps.push_back({.kind = StepKind::MakeDir,
                           .id = i,
                           .rel = name + std::string(each - name.size(), 'x'),
                           .new_hash = {},
                           .attrs = 0,
                           .made = 2});
    }
    ASSERT_TRUE(j.write_plan(p).ok());
    Plan back;
    EXPECT_EQ(j.read_plan(back), PlanState::Ok);
    EXPECT_EQ(back.steps.size(), p.steps.size());
    EXPECT_EQ(back.steps.back().rel, p.steps.back().rel);
}

// The engine's own names are refused in a patch at every level where the engine uses them,
// and a folder of that name that is not the engine's blocks no run.
TEST(Safety, TheEnginesOwnNamesAreReserved) {
    for (const char* rel : {"Tarrowmoor.kelvane-tmp/readme.txt", "TARROWMOOR.KELVANE-TMP",
                            "Tarrowmoor/.kelvane-journal/plan", "tarrowmoor"}) {
        Game g({add_entry(rel, "x")});
        Recorder r;
        EXPECT_EQ(g.run("-u ", r), kRcPatchHostile) << rel;
        EXPECT_NE(r.texts(3).at(0).find("names the engine's own work folder"), std::string::npos)
            << r.all_text();
    }
    Game g(kOld, kNew);
    make_tree(g.game, {{"Tarrowmoor.kelvane-tmp/readme.txt", "the player's own"}});
    for (const char* mode : {"-u ", "-u ", "-l "}) {
        Recorder r;
        EXPECT_EQ(g.run(mode, r), kRcOk) << r.all_text();
        EXPECT_FALSE(exists(g.at("Tarrowmoor"))) << r.all_text();
    }
    EXPECT_EQ(read_file(g.at("Tarrowmoor.kelvane-tmp/readme.txt")), "the player's own");
    EXPECT_EQ(read_file(g.at("a.txt")), "new");
}

// A directory that claims more than the limits is refused before anything is built from it,
// with a message that says which limit; so is a file size of exactly 2^60.
TEST(Safety, DirectoriesBeyondTheLimitsAreRefusedUpFront) {
    std::vector<CraftEntry> many, long_paths, huge = {add_entry("huge.bin", "")};
    huge[0].entry.codec = Codec::Deflate;
    huge[0].entry.new_size = kMaxFileSize;
    for (uint32_t i = 0; i <= kMaxEntries; ++i)
        many.push_back(folder_entry("d" + std::to_string(i)));
    for (uint32_t i = 0; i < 50000; ++i)
        long_paths.push_back(folder_entry("d" + std::to_string(i) + "/" + std::string(90, 'p')));
    struct Case {
        std::vector<CraftEntry>* entries;
        const char* text;
    } cases[] = {
        {&many,
         "The patch is refused: it has 65537 entries, more than this engine handles (65536)."},
        {&long_paths, "The patch is refused: its paths take more than 4 MiB together, more than "
                      "this engine handles."},
        {&huge, "The patch is damaged: an entry declares an impossible file size."},
    };
    for (const Case& c : cases) {
        Game g(*c.entries);
        for (const char* mode : kModes) {
            Recorder r;
            EXPECT_EQ(g.run(mode, r), kRcPatchCorrupt) << mode;
            if (std::string(mode) != "-l ") {
                EXPECT_EQ(r.texts(3).at(0), c.text);
            }
            EXPECT_EQ(snapshot(g.game), (Tree{{"a.txt", "old"}}));
        }
    }
}

// What a validation accepts, the apply carries out: a folder whose parent is missing too.
TEST(Safety, ValidationAgreesWithTheApply) {
    Game g({folder_entry("maps/north"), add_entry("music/theme/intro.ogg", "ogg")});
    Recorder v, a;
    EXPECT_EQ(g.run("-u -j ", v), kRcOk) << v.all_text();
    EXPECT_EQ(g.run("-u ", a), kRcOk) << a.all_text();
    EXPECT_EQ(snapshot(g.game), (Tree{{"a.txt", "old"},
                                      {"maps", kDir},
                                      {"maps/north", kDir},
                                      {"music", kDir},
                                      {"music/theme", kDir},
                                      {"music/theme/intro.ogg", "ogg"}}));
}

// While a run works on a game directory, every other run gets the busy code and changes
// nothing, whichever step the first one is at.
TEST(Safety, ConcurrentRunsGetTheBusyCode) {
    for (const char* step : {"mkdir", "rename", "syncdir", "rmdir"}) {
        Game g(kOld, kNew);
        std::mutex m;
        std::condition_variable cv;
        bool paused = false, go = false;
        static thread_local bool first_run = false;
        os::set_fault_hook([&](const char* op, const std::string&) {
            std::unique_lock<std::mutex> lk(m);
            if (first_run && !paused && std::string(op) == step) {
                paused = true;
                cv.notify_all();
                cv.wait(lk, [&] { return go; });
            }
            return true;
        });
        Recorder r1;
        int rc1 = -1;
        std::thread t([&] {
            first_run = true;
            rc1 = g.run("-u ", r1);
        });
        {
            std::unique_lock<std::mutex> lk(m);
            EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(60), [&] { return paused; })) << step;
        }
        for (const char* mode : kModes) {
            Recorder r;
            EXPECT_EQ(g.run(mode, r), kRcBusy) << step << " " << mode << r.all_text();
        }
        {
            std::lock_guard<std::mutex> lk(m);
            go = true;
        }
        cv.notify_all();
        t.join();
        os::set_fault_hook(nullptr);
        EXPECT_EQ(rc1, kRcOk) << r1.all_text();
        EXPECT_EQ(snapshot(g.game), snapshot(g.s.sub("new"))) << step;
    }
}

// Names from a patch are shown with their control characters visible: a line break cannot
// print a line of its own and a NUL cannot cut the text short.
TEST(Safety, NamesFromAPatchCannotForgeMessages) {
    struct Case {
        std::string rel, shown;
    } cases[] = {
        {"a\nsummary: Patch applied: 1 file updated.",
         "a\\x0Asummary: Patch applied: 1 file updated."},
        {std::string("b\0c.txt", 7), "b\\x00c.txt"},
    };
    for (const Case& c : cases) {
        Game g({add_entry(c.rel, "x")});
        Recorder r;
        EXPECT_EQ(g.run("-u ", r), kRcPatchHostile);
        EXPECT_EQ(r.texts(3).at(0), "The patch is refused: the entry \"" + c.shown +
                                        "\" is unsafe (it contains a control character).");
        EXPECT_EQ(r.texts(4),
                  std::vector<std::string>{"The patch was not applied; nothing was changed."});
    }
}

// Each refusal has its own code and reason.
TEST(Safety, CodesAndReasons) {
    // Only the plan does not fit on the game's drive: no room, nothing changed.
    {
        Game g(kOld, kNew);
        os::set_fault_kind(os::ErrKind::NoSpace);
        os::set_fault_hook([](const char* op, const std::string& path) {
            return !(std::string(op) == "write" && path.size() > 9 &&
                     path.compare(path.size() - 9, 9, "steps.tmp") == 0);
        });
        Recorder r;
        int rc = g.run("-u ", r);
        os::set_fault_hook(nullptr);
        os::set_fault_kind(os::ErrKind::Other);
        EXPECT_EQ(rc, kRcTempDir) << r.all_text();
        EXPECT_EQ(snapshot(g.game), snapshot(g.s.sub("old")));
    }
    // A path through a link in the game directory.
    {
        Game g(kOld, kNew);
        make_tree(g.s.sub("elsewhere"), {{"level.dat", "level one"}});
        remove_tree(g.at("data"));
        if (make_folder_link(g.s.sub("elsewhere"), g.at("data"))) {
            Recorder r;
            EXPECT_EQ(g.run("-u ", r), kRcPatchHostile);
            EXPECT_EQ(r.texts(4).back(),
                      "The patch was not applied: 1 path leads through a link or "
                      "is too long to reach safely; nothing was changed.");
            EXPECT_EQ(read_file(g.s.sub("elsewhere/level.dat")), "level one");
        }
    }
}

// New files are on disk before the plan names them: a flush each, or for more than 8 one of
// the whole drive where the system offers it. A failed flush changes nothing.
TEST(Safety, NewFilesAreFlushedBeforeThePlanNamesThem) {
    for (auto [files, fails] : {std::pair{2, false}, {2, true}, {12, false}, {12, true}}) {
        Tree old_tree, new_tree;
        for (int i = 0; i < files; ++i)
            old_tree["f" + std::to_string(i)] = "old", new_tree["f" + std::to_string(i)] = "new";
        Game g(old_tree, new_tree);
        const std::string flush = // of a work file or folder, in the temp directory
            (files > 8 && os::Folder::can_sync_volume() ? "syncvolume " : "sync ") + g.temp;
        std::string flushed; // the first flush, once asked for
        bool planned_before = false;
        os::set_fault_hook([&](const char* op, const std::string& path) {
            std::string o = std::string(op) + " " + path;
            planned_before |= flushed.empty() && path.find("plan") != std::string::npos;
            flushed = flushed.empty() && o.rfind(flush, 0) == 0 ? o : flushed;
            return !fails || o != flushed;
        });
        Recorder r;
        int rc = g.run("-u ", r);
        os::set_fault_hook(nullptr);
        EXPECT_FALSE(planned_before) << files << fails;
        EXPECT_EQ(rc, fails ? kRcTempDir : kRcOk) << r.all_text();
        EXPECT_EQ(snapshot(g.game), fails ? old_tree : new_tree) << files << fails;
        EXPECT_EQ(r.texts(3),
                  std::vector<std::string>(fails, "Cannot write in the temp directory for "
                                                  "the new files: " +
                                                      flushed + ": injected failure."));
    }
}

// Before "done" is written, every folder whose entries the commit changed is flushed after
// the change: the game root after the reserved folder is renamed into place, and the parent of
// each folder the commit creates.
TEST(Safety, TheCommitFlushesEveryChangedFolderBeforeDone) {
    Game g(kOld, {{"a.txt", "new"}, {"data/level.dat", "level one"}, {"new/deep/f.txt", "f"}});
    std::vector<std::string> ops;
    os::set_fault_hook([&](const char* op, const std::string& path) {
        ops.push_back(std::string(op) + " " + path);
        return true;
    });
    Recorder r;
    int rc = g.run("-u ", r);
    os::set_fault_hook(nullptr);
    ASSERT_EQ(rc, kRcOk) << r.all_text();
    auto at = [&](const std::string& what, size_t from = 0) {
        return static_cast<size_t>(std::find(ops.begin() + from, ops.end(), what) - ops.begin());
    };
    size_t done = at("create " + g.at("Tarrowmoor/.kelvane-journal/plan/done"));
    ASSERT_LT(done, ops.size());
    std::pair<std::string, std::string> changes[] = {
        {"rename " + g.at("Tarrowmoor.kelvane-tmp"), g.game},
        {"mkdir " + g.at("new"), g.game},
        {"mkdir " + g.at("new/deep"), g.at("new")},
    };
    for (const auto& [change, folder] : changes) {
        size_t when = at(change);
        ASSERT_LT(when, done) << change;
        EXPECT_LT(at("syncdir " + folder, when), done) << change;
    }
}

// Past a few changed folders, where the system flushes a whole drive in one call, that one
// flush after the last change stands for the folders' own; it failing rolls the commit back.
TEST(Safety, ManyChangedFoldersAreFlushedAtOnceBeforeDone) {
    if (!os::Folder::can_sync_volume())
        GTEST_SKIP() << "each folder is flushed on its own here";
    Tree new_tree = kOld;
    for (int i = 0; i < 12; ++i)
        new_tree["n" + std::to_string(i) + "/f.txt"] = "f";
    for (bool fails : {false, true}) {
        Game g(kOld, new_tree);
        const std::string flush = "syncvolume " + g.at("Tarrowmoor/.kelvane-journal/plan");
        std::vector<std::string> ops;
        os::set_fault_hook([&](const char* op, const std::string& path) {
            ops.push_back(std::string(op) + " " + path);
            return !fails || ops.back() != flush;
        });
        Recorder r;
        int rc = g.run("-u ", r);
        os::set_fault_hook(nullptr);
        auto last = [&](const std::string& prefix) {
            size_t i = ops.size();
            while (i > 0 && ops[i - 1].rfind(prefix, 0) != 0)
                --i;
            return i; // one past it; 0 when there is none
        };
        EXPECT_GT(last(flush), last("rename " + g.game + "/Tarrowmoor/.kelvane-journal/plan/b"));
        EXPECT_EQ(last("syncdir " + g.at("n")), 0u);
        EXPECT_EQ(last("create " + g.at("Tarrowmoor/.kelvane-journal/plan/done")) > 0, !fails);
        EXPECT_EQ(rc, fails ? kRcRolledBack : kRcOk) << r.all_text();
        EXPECT_EQ(snapshot(g.game), snapshot(g.s.sub(fails ? "old" : "new")));
    }
}
