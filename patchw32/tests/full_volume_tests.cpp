// The real patchw32.dll on a volume that runs out of space. KELVANE_SMALL_VOLUME names, as a
// Windows path, a folder on a small volume (for instance a tmpfs of 64 KiB seen through Z:);
// the tests put the temp directory or the game directory there and skip when it is unset.
// The volume is shared with other tests: everything created on it is removed again.
#include "api.h"
#include "engine.h"
#include "entry_caller.h"
#include "format.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <windows.h>

using namespace kvtest;

namespace {

// The system's text for a full disk, without its final period, as the engine quotes it
// ("There is not enough space on the disk" on Windows, "Disk full" under Wine).
std::string disk_full_text() {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_DISK_FULL, 0, buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() &&
           (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    return s;
}

std::string apply_line(const std::string& tempdir, const std::string& game,
                       const std::string& patch) {
    return "-u \"-otempdir:" + tempdir + "\" \"" + game + "\" \"" + patch + "\"";
}

uint64_t free_bytes(const std::string& dir) {
    ULARGE_INTEGER avail{}, total{}, free{};
    if (!GetDiskFreeSpaceExA((dir + "\\").c_str(), &avail, &total, &free))
        return 0;
    return avail.QuadPart;
}

// A small game whose patch adds one file larger than all the room the volume had; the new file
// comes last in the patch, after two changed files.
struct Game {
    Tree before, after;
    explicit Game(uint64_t room) {
        std::string level = random_bytes(11, 6000);
        before = {
            {"data", kDir},
            {"data/level.dat", level},
            {"old", kDir},
            {"old/gone.dat", random_bytes(12, 3000)},
            {"readme.txt", "Welcome to Tarrowmoor\n"},
        };
        level.replace(2000, 7, "PATCHED");
        level += random_bytes(13, 500);
        after = {
            {"data", kDir},
            {"data/level.dat", level},
            {"readme.txt", "Welcome back to Tarrowmoor\n"},
            {"video.dat", random_bytes(14, static_cast<size_t>(room) + 8192)},
        };
    }
};

// Index of an entry in a patch: the engine names its work files after it.
std::string entry_index(const std::string& patch, const std::string& rel) {
    kv::Patch p;
    std::string message;
    if (kv::open_patch(patch, p, message) != kv::PatchError::None)
        return "<" + message + ">";
    for (size_t i = 0; i < p.entries.size(); ++i)
        if (p.entries[i].path == rel)
            return std::to_string(i);
    return "<no entry " + rel + ">";
}

class FullVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* volume = std::getenv("KELVANE_SMALL_VOLUME");
        if (volume == nullptr || *volume == '\0')
            GTEST_SKIP() << "KELVANE_SMALL_VOLUME names no small volume";
        ASSERT_NE(entry(), nullptr);
        disk_full_ = disk_full_text();
        ASSERT_FALSE(disk_full_.empty());
        volume_ = volume;
        volume_before_ = snapshot(volume_);
        room_ = free_bytes(volume_);
        ASSERT_GT(room_, 0u) << "cannot query the free space of " << volume_;
        ASSERT_LE(room_, 4u * 1024 * 1024) << "the volume is not small";
        ASSERT_GE(room_, 40u * 1024) << "the volume is too full for these tests";
        root_ = volume_ + "\\fullvolume-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(kv::os::make_dir(root_).ok()) << root_;
    }

    void TearDown() override {
        if (root_.empty())
            return;
        remove_tree(root_);
        // Nothing of this run is left on the shared volume, and all its room is back.
        EXPECT_EQ(describe_difference(snapshot(volume_), volume_before_), "");
        EXPECT_EQ(free_bytes(volume_), room_);
    }

    // Builds the old and new trees and the patch on the system's drive.
    void build_patch(const Game& g) {
        make_tree(disk_.sub("old"), g.before);
        make_tree(disk_.sub("new"), g.after);
        patch_ = disk_.sub("update.rtp");
        build(disk_.sub("old"), disk_.sub("new"), patch_);
        video_index_ = entry_index(patch_, "video.dat");
    }

    Scratch disk_;
    std::string volume_, root_, patch_, video_index_, disk_full_;
    Tree volume_before_;
    uint64_t room_ = 0;
};

} // namespace

// The new files do not fit into the temp directory: the run stops before the commit, says so,
// and leaves the game and the temp directory as they were.
TEST_F(FullVolume, FullTempDirectoryIsReportedAndHarmless) {
    Game g(room_);
    build_patch(g);
    std::string game = disk_.sub("game");
    make_tree(game, g.before);
    std::string temp = root_ + "\\temp";
    ASSERT_TRUE(kv::os::make_dir(temp).ok());
    Tree start = snapshot(game);

    EXPECT_EQ(call(apply_line(temp, game, patch_)), kv::kRcTempDir) << all_text();
    std::string work = temp + "\\kelvane-" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(texts(3),
              std::vector<std::string>{"Not enough space in the temp directory for the new files: "
                                       "cannot write " +
                                       work + "\\" + video_index_ + ".new: " + disk_full_ + "."});
    EXPECT_EQ(texts(4),
              std::vector<std::string>{"The patch was not applied; nothing was changed."});
    EXPECT_EQ(describe_difference(snapshot(game), start), "");
    EXPECT_EQ(snapshot(temp), Tree{});

    // With a temp directory that has room, the same patch applies.
    kv::os::make_dir(disk_.sub("temp"));
    ASSERT_EQ(call(apply_line(disk_.sub("temp"), game, patch_)), kv::kRcOk) << all_text();
    EXPECT_EQ(describe_difference(snapshot(game), g.after), "");
    EXPECT_EQ(snapshot(disk_.sub("temp")), Tree{});
}

// The game's volume holds the old game but not the new files: bringing them over for the commit
// fails before any game file changes, and the run says so plainly.
TEST_F(FullVolume, FullGameVolumeForTheNewFilesChangesNothing) {
    Game g(room_);
    build_patch(g);
    std::string game = root_ + "\\game";
    make_tree(game, g.before);
    std::string temp = disk_.sub("temp");
    ASSERT_TRUE(kv::os::make_dir(temp).ok());
    Tree start = snapshot(game);
    ASSERT_EQ(start, g.before);

    EXPECT_EQ(call(apply_line(temp, game, patch_)), kv::kRcTempDir) << all_text();
    EXPECT_EQ(texts(3), std::vector<std::string>{
                            "Not enough space on the game's drive for the new video.dat: cannot "
                            "write " +
                            game + "\\" + kv::kReservedTop + "\\" + kv::kJournalName + "\\n" +
                            video_index_ + ": " + disk_full_ + "."});
    EXPECT_TRUE(texts(2).empty()) << all_text(); // no rollback to report
    EXPECT_EQ(texts(4),
              std::vector<std::string>{"The patch was not applied; nothing was changed."});
    EXPECT_EQ(describe_difference(snapshot(game), start), "");
    EXPECT_EQ(snapshot(temp), Tree{});

    // The installation is still exactly the version the patch updates.
    EXPECT_EQ(call("-u -j \"-otempdir:" + temp + "\" \"" + game + "\" \"" + patch_ + "\""),
              kv::kRcOk)
        << all_text();
    EXPECT_EQ(texts(4), std::vector<std::string>{"Validation passed: 4 files are ready to patch."});
}

// Without a temp directory the engine builds the new files on the game's drive, which is full:
// the run stops before the commit.
TEST_F(FullVolume, FullGameVolumeWithTheDefaultWorkFolder) {
    Game g(room_);
    build_patch(g);
    std::string game = root_ + "\\game";
    make_tree(game, g.before);
    Tree start = snapshot(game);

    EXPECT_EQ(call(apply_line("", game, patch_)), kv::kRcTempDir) << all_text();
    EXPECT_EQ(texts(3),
              std::vector<std::string>{"Not enough space on the game's drive for the new files: "
                                       "cannot write " +
                                       game + "\\" + kv::kReservedTop + "\\" + kv::kJournalName +
                                       "\\work\\" + video_index_ + ".new: " + disk_full_ + "."});
    EXPECT_EQ(texts(4),
              std::vector<std::string>{"The patch was not applied; nothing was changed."});
    EXPECT_EQ(describe_difference(snapshot(game), start), "");
}
