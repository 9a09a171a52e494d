// The engine on a volume that really runs out of space, through its entry point. On Windows
// KELVANE_SMALL_VOLUME names, as a Windows path, a folder on a small shared volume (for
// instance a tmpfs of 64 KiB seen through Z:); natively the test mounts a tmpfs of 64 KiB of
// its own (as root). The tests skip without one. Everything created on the volume is removed.
#include "engine.h"
#include "entry_caller.h"
#include "format.h"
#include "journal.h"
#include "os.h"
#include "paths.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <sys/statvfs.h>
#endif

using namespace kvtest;

namespace {

// The system's text for a full disk as the engine quotes it, without its final period.
std::string disk_full_text() {
#ifdef _WIN32
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_DISK_FULL, 0, buf, sizeof buf, nullptr);
    std::string s(buf, n);
#else
    std::string s = std::strerror(ENOSPC);
#endif
    while (!s.empty() && std::strchr("\r\n .", s.back()))
        s.pop_back();
    return s;
}

uint64_t free_bytes(const std::string& dir) {
#ifdef _WIN32
    ULARGE_INTEGER avail{}, total{}, free{};
    return GetDiskFreeSpaceExA((dir + "\\").c_str(), &avail, &total, &free) ? avail.QuadPart : 0;
#else
    struct statvfs v;
    return statvfs(dir.c_str(), &v) == 0 ? uint64_t(v.f_bavail) * v.f_frsize : 0;
#endif
}

class FullVolume : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        const char* volume = std::getenv("KELVANE_SMALL_VOLUME");
        if (volume == nullptr || *volume == '\0')
            GTEST_SKIP() << "KELVANE_SMALL_VOLUME names no small volume";
        volume_ = volume;
#else
        volume_ = disk_.sub("small volume");
        kv::os::make_dir(volume_);
        std::string mount = "mount -t tmpfs -o size=64k kelvane-test '" + volume_ + "' 2>/dev/null";
        if (std::system(mount.c_str()) != 0)
            GTEST_SKIP() << "cannot mount a small file system here";
        mounted_ = true;
#endif
        ASSERT_NE(entry(), nullptr);
        disk_full_ = disk_full_text();
        ASSERT_FALSE(disk_full_.empty());
        volume_before_ = snapshot(volume_);
        room_ = free_bytes(volume_);
        ASSERT_LE(room_, 4u * 1024 * 1024) << "the volume is not small";
        ASSERT_GE(room_, 40u * 1024) << "the volume is too full for these tests";
        root_ = kv::os::join(volume_, "fullvolume-" + std::to_string(kv::os::process_id()));
        ASSERT_TRUE(kv::os::make_dir(root_).ok()) << root_;
        // A small game whose patch adds one file larger than all the room the volume had; the
        // new file comes last in the patch, after two changed files.
        std::string level = random_bytes(11, 6000);
        before_ = {{"data", kDir},
                   {"data/level.dat", level},
                   {"old", kDir},
                   {"old/gone.dat", random_bytes(12, 3000)},
                   {"readme.txt", "Welcome to Tarrowmoor\n"}};
        level.replace(2000, 7, "PATCHED");
        after_ = {{"data", kDir},
                  {"data/level.dat", level + random_bytes(13, 500)},
                  {"readme.txt", "Welcome back to Tarrowmoor\n"},
                  {"video.dat", random_bytes(14, static_cast<size_t>(room_) + 8192)}};
        kv::os::make_dir(disk_.sub("temp"));
        make_tree(disk_.sub("old"), before_);
        make_tree(disk_.sub("new"), after_);
        patch_ = disk_.sub("update.rtp");
        build(disk_.sub("old"), disk_.sub("new"), patch_);
        // The engine names its work files after the entry's index in the patch.
        kv::Patch p;
        kv::DecodeResult opened = kv::open_patch(patch_, p);
        ASSERT_TRUE(opened) << opened.message;
        for (size_t i = 0; i < p.entries.size(); ++i)
            if (p.entries[i].path == "video.dat") {
                video_index_ = std::to_string(i);
                video_bucket_ = kv::bucket_name(static_cast<uint32_t>(i)) + kv::os::separator();
            }
    }

    void TearDown() override {
        if (!root_.empty()) {
            remove_tree(root_);
            // Nothing of this run is left on the volume, and all its room is back.
            EXPECT_EQ(describe_difference(snapshot(volume_), volume_before_), "");
            EXPECT_EQ(free_bytes(volume_), room_);
        }
        if (mounted_) {
            EXPECT_EQ(std::system(("umount '" + volume_ + "'").c_str()), 0);
        }
    }

    Scratch disk_;
    bool mounted_ = false;
    std::string volume_, root_, patch_, video_index_, video_bucket_, disk_full_;
    Tree volume_before_, before_, after_;
    uint64_t room_ = 0;
};

} // namespace

// The new files do not fit where the engine builds them, or where it brings them for the
// commit: the run stops before the commit, says where and why, and leaves the game and the temp
// directory as they were; the installation still validates.
TEST_F(FullVolume, NewFilesThatDoNotFitChangeNothing) {
    const std::string journal = std::string(kv::kReservedTop) + kv::os::separator() +
                                kv::kJournalName + kv::os::separator();
    const char sep = kv::os::separator();
    enum { TempFull, GameFull, GameFullDefaultWork };
    for (int row : {TempFull, GameFull, GameFullDefaultWork}) {
        SCOPED_TRACE(row);
        std::string game = kv::os::join(row == TempFull ? disk_.path() : root_, "game");
        std::string temp = row == GameFullDefaultWork ? ""
                           : row == TempFull          ? kv::os::join(root_, "temp")
                                                      : disk_.sub("temp");
        remove_tree(game);
        make_tree(game, before_);
        if (row == TempFull) {
            ASSERT_TRUE(kv::os::make_dir(temp).ok());
        }
        const std::string expected[] = {
            "Not enough space in the temp directory for the new files: cannot write " + temp + sep +
                "kelvane-" + std::to_string(kv::os::process_id()) + sep + video_bucket_ + "n" +
                video_index_,
            "Not enough space on the game's drive for the new video.dat: cannot write " + game +
                sep + journal + "plan" + sep + video_bucket_ + "n" + video_index_,
            "Not enough space on the game's drive for the new files: cannot write " + game + sep +
                journal + "work" + sep + video_bucket_ + "n" + video_index_};

        EXPECT_EQ(call(run_line("-u ", temp, game, patch_)), kv::kRcTempDir) << all_text();
        EXPECT_EQ(texts(3), std::vector<std::string>{expected[row] + ": " + disk_full_ + "."});
        EXPECT_TRUE(texts(2).empty()) << all_text(); // no rollback to report
        EXPECT_EQ(texts(4),
                  std::vector<std::string>{"The patch was not applied; nothing was changed."});
        EXPECT_EQ(describe_difference(snapshot(game), before_), "");
        if (!temp.empty()) {
            EXPECT_EQ(snapshot(temp), Tree{});
        }
        EXPECT_EQ(call(run_line("-u -j ", disk_.sub("temp"), game, patch_)), kv::kRcOk)
            << all_text();
        EXPECT_EQ(texts(4),
                  std::vector<std::string>{"Validation passed: 4 files are ready to patch."});
        if (row == TempFull)
            remove_tree(temp);
    }
    // With a temp directory that has room, the same patch applies.
    std::string game = disk_.sub("game");
    ASSERT_EQ(call(run_line("-u ", disk_.sub("temp"), game, patch_)), kv::kRcOk) << all_text();
    EXPECT_EQ(describe_difference(snapshot(game), after_), "");
    EXPECT_EQ(snapshot(disk_.sub("temp")), Tree{});
}
