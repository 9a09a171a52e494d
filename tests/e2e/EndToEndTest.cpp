// Kelvane as a player uses it: the real kelvane.exe with our real patchw32.dll, a game
// installed under "C:\kelvane-e2e\Games\Tarrow Moor" and registered as its installer does, real
// patches built by rtptool from generated releases, and only the program's windows to work
// with: buttons, the open-file dialog, the folder browser, the message boxes, the texts.
#include "tests/e2e/GameTrees.h"
#include "tests/e2e/Player.h"
#include "tests/wine/Host.h"

#include "environment/logic/SizeFormat.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

namespace e2e {
namespace {

const char kRoot[] = "C:\\kelvane-e2e";
const char kGameDir[] = "C:\\kelvane-e2e\\Games\\Tarrow Moor";
const char kDownloads[] = "C:\\kelvane-e2e\\My Downloads";
const char kBackupRoot[] = "C:\\kelvane-e2e\\Back ups";
const char kTempDir[] = "C:\\kelvane-e2e\\Temp Files";
const char kProgramDir[] = "C:\\kelvane-e2e\\Kelvane";
const char kOpenTitle[] = "Please select the patch (*.rtp) to apply!";

// Releases 1.22 .. 1.25, the game executable's version text and the patch between each pair.
const char* const kReleaseNames[] = {"1.22", "1.23", "1.24", "1.25"};
const char* const kExeVersions[] = {"1.22.1001", "1.23.1102", "1.24.1203", "1.25.1304"};

std::string PatchName(int from) {
    return std::string("tarrow_") + kReleaseNames[from + 1] + "_from_" + kReleaseNames[from] +
           ".rtp";
}
std::string PatchPath(int from) {
    return std::string(kDownloads) + "\\" + PatchName(from);
}

using kt::BuildFile;
using kt::PathExists;
using kt::ReadFileBytes;
using kt::WriteFileBytes;

// The files missing, differing or unexpected, for the failure message.
std::string Differences(const Tree& expected, const Tree& actual) {
    std::string out;
    for (const auto& [rel, bytes] : expected) {
        const auto it = actual.find(rel);
        out += it == actual.end()    ? " missing " + rel
               : it->second != bytes ? " differs " + rel
                                     : "";
    }
    for (const auto& [rel, bytes] : actual) {
        out += expected.count(rel) == 0 ? " unexpected " + rel : "";
    }
    return out;
}

// The releases, their patches and the program, made once per run.
struct World {
    std::vector<Tree> releases; // with tarrowmain.exe, without the engine library
    std::string engineBytes;
    std::string kelvaneExe;
    std::string problem; // why the world could not be made
};
World* g_world = nullptr;

class WorldSetup : public ::testing::Environment {
  public:
    void SetUp() override {
        g_world = new World;
        World& w = *g_world;
        const std::string engine = BuildFile("patchw32\\patchw32.dll");
        const std::string rtptool = BuildFile("tools\\rtptool.exe");
        const std::string kelvane = BuildFile("kelvane.exe");
        for (const std::string& needed : {engine, rtptool, kelvane}) {
            if (!PathExists(needed)) {
                w.problem = "not built: " + needed;
                return;
            }
        }
        w.engineBytes = ReadFileBytes(engine);
        kt::RemoveTree(kRoot);
        for (const char* dir : {kDownloads, kBackupRoot, kTempDir, kProgramDir}) {
            kt::MakeDirs(dir);
        }
        w.kelvaneExe = std::string(kProgramDir) + "\\kelvane.exe";
        kt::CopyFileOrDie(kelvane, w.kelvaneExe);
        w.releases = MakeReleases();
        for (size_t r = 0; r < w.releases.size(); ++r) {
            w.releases[r]["tarrowmain.exe"] = ReadFileBytes(
                BuildFile("tests\\e2e\\tarrowmain_v" + std::to_string(r + 1) + ".exe"));
            kt::WriteTree(std::string(kRoot) + "\\releases\\" + kReleaseNames[r], w.releases[r]);
        }
        // The publisher's side: one patch per release step, built by our builder.
        for (int from = 0; from + 1 < static_cast<int>(w.releases.size()); ++from) {
            const std::string releases = std::string(kRoot) + "\\releases\\";
            const int code = kt::RunProgram(
                "\"" + rtptool + "\" build \"" + releases + kReleaseNames[from] + "\" \"" +
                    releases + kReleaseNames[from + 1] + "\" \"" + PatchPath(from) + "\"",
                kRoot, kt::ArtifactsDir() + "\\e2e-rtptool-" + std::to_string(from + 1) + ".txt",
                600000);
            if (code != 0 || !PathExists(PatchPath(from))) {
                w.problem = "rtptool could not build " + PatchName(from);
                return;
            }
        }
    }
    void TearDown() override {
        kt::DeleteGameRegistry(); // the files stay for inspection
        delete g_world;
        g_world = nullptr;
    }
};

const ::testing::Environment* const g_setup = ::testing::AddGlobalTestEnvironment(new WorldSetup);

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(g_world, nullptr);
        ASSERT_EQ(g_world->problem, "");
        m_name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        Log("=== " + m_name);
    }

    void TearDown() override {
        if (m_kelvane) {
            if (HasFailure() && m_kelvane->Running()) {
                m_kelvane->Screenshot(m_name + "-at-failure");
                for (HWND popup : m_kelvane->Popups()) {
                    const Box box = ReadBox(popup);
                    Log("open at failure: \"" + box.caption + "\" " + box.text);
                }
            }
            m_kelvane->Exit();
            m_kelvane.reset();
        }
    }

    const Tree& Release(int r) const { return g_world->releases[static_cast<size_t>(r)]; }

    // A fresh installation of a release, registered as the game's installer does.
    void Install(int r, const Tree* override = nullptr) {
        kt::RemoveTree(kGameDir);
        kt::WriteTree(kGameDir, override != nullptr ? *override : Release(r));
        WriteFileBytes(std::string(kGameDir) + "\\patchw32.dll", g_world->engineBytes);
        kt::SetGameRegistry(std::string(kGameDir), std::string(kReleaseNames[r]));
    }

    // The game's files and their folders are exactly these.
    void ExpectGame(const Tree& files, const std::string& what) {
        const Tree expected = WithFolders(files), actual = kt::GameFiles(kGameDir);
        EXPECT_TRUE(actual == expected) << what << ":" << Differences(expected, actual);
    }

    void StartKelvane() {
        m_kelvane = std::make_unique<Kelvane>();
        ASSERT_TRUE(m_kelvane->Start(g_world->kelvaneExe, kProgramDir));
    }

    Kelvane& k() { return *m_kelvane; }

    // "Select Temp Dir" and a folder in the browser.
    void ChooseTempDir(const std::string& folder) {
        ASSERT_TRUE(k().Click(1003));
        HWND browser = k().WaitForBrowser();
        ASSERT_NE(browser, nullptr);
        ASSERT_TRUE(AnswerFolderBrowser(browser, folder));
        ASSERT_TRUE(k().WaitIdle());
        EXPECT_EQ(k().Text(1001), folder);
    }

    // "Select Patch" and the patch file in the open-file dialog.
    void ChoosePatch(const std::string& path) {
        ASSERT_TRUE(k().Click(1002));
        HWND open = k().WaitForPopup(kOpenTitle);
        ASSERT_NE(open, nullptr);
        EXPECT_EQ(::GetWindow(open, GW_OWNER), k().main());
        ASSERT_TRUE(AnswerOpenFile(open, path));
        ASSERT_TRUE(k().WaitIdle());
        EXPECT_EQ(k().Text(1000), NameOf(path));
        EXPECT_TRUE(k().Enabled(IDOK));
    }

    // The bytes a patch needs: the installed files it changes or removes (every file name is
    // unique in the releases, so these are the files the tool finds by name).
    int64_t RequiredSpace(int from) const {
        const TreeDiff diff = Diff(Release(from), Release(from + 1));
        int64_t sum = 0;
        for (const auto* list : {&diff.modified, &diff.removed}) {
            for (const std::string& rel : *list) {
                sum += static_cast<int64_t>(Release(from).at(rel).size());
            }
        }
        return sum;
    }

    // Presses the Patch button, waits for the outcome box, photographs it and confirms it.
    Box RunAndConfirm(const std::string& shotName) {
        if (!k().Click(IDOK)) {
            return Box{};
        }
        const Box outcome = k().WaitForBox(600000);
        if (!outcome) {
            ADD_FAILURE() << "no outcome box";
            return outcome;
        }
        k().Screenshot(shotName + "-outcome");
        EXPECT_TRUE(PressAndWaitGone(outcome.hwnd, IDOK));
        EXPECT_TRUE(k().WaitIdle());
        return outcome;
    }

    std::string m_name;
    std::unique_ptr<Kelvane> m_kelvane;
};

// Applies the patch from 1.22 with undo enabled, checks the game and the window, then runs
// undo_patch.bat as the player does and checks that the old release, its recorded version
// (one a .reg file must escape) and the files beside the game are back exactly. 1.22 to 1.23
// changes, adds and removes files (accented names and names cmd would take apart among them),
// adds folders and removes the folder Movies\Intro.
TEST_F(EndToEnd, PatchWithUndoAndTheUndoScriptRestoresTheOldRelease) {
    const int from = 0;
    const std::string oldVersion = "1.22 \"Moor\\Gate\"\\";
    Install(from);
    kt::SetGameRegistry(std::string(kGameDir), oldVersion);
    // Files beside the game, named as added files, that a removal must never reach.
    const Tree outside = {{"Games\\caf\xE9.dat", "one folder up"},
                          {"Games\\Other Game\\r&d 100%.dat", "another game"}};
    kt::WriteTree(kRoot, outside);
    StartKelvane();

    ChooseTempDir(kTempDir);
    ChoosePatch(PatchPath(from));
    const std::string size = FormatSize(RequiredSpace(from));
    EXPECT_EQ(k().Text(1021), "Select Patch File: (requires min. " + size + " temp space)");
    EXPECT_EQ(k().Text(1019), "Enable patch undo. (requires " + size + " additional space.)");
    ASSERT_TRUE(k().Enabled(1019));

    // Enable undo: the folder browser asks for the backup root.
    ASSERT_TRUE(k().Click(1019));
    HWND browser = k().WaitForBrowser();
    ASSERT_NE(browser, nullptr);
    EXPECT_EQ(BrowserPrompt(browser), "Please select a backup destination with min. " + size +
                                          " free space and press 'OK' (Do NOT choose your Tarrow "
                                          "directory).");
    ASSERT_TRUE(AnswerFolderBrowser(browser, kBackupRoot));
    ASSERT_TRUE(k().WaitIdle());
    const std::string backupDir = std::string(kBackupRoot) + "\\undo_from_" + kReleaseNames[from];
    EXPECT_EQ(k().Check(1019), BST_CHECKED);
    EXPECT_EQ(k().Text(1020), "Backing up to: " + backupDir);

    const Box outcome = RunAndConfirm("undo-" + std::string(kReleaseNames[from]));
    EXPECT_EQ(outcome.caption + ": " + outcome.text,
              "Success: Patch successful!\nBackup is located in " + backupDir +
                  ".\nRun undo_patch.bat to undo patching.");

    // The game is the new release, and the window says so.
    ExpectGame(Release(from + 1), "after the patch");
    EXPECT_EQ(k().Status(1), std::string("Current Tarrow version is: ") + kExeVersions[from + 1]);
    EXPECT_EQ(k().Text(1000), "");
    EXPECT_EQ(k().Exit(), std::optional<DWORD>(0));

    // Afterwards the game's updater records the new version, an added file is made read-only
    // and hidden, and the player keeps a file of an added file's name in another folder.
    kt::SetGameRegistry(std::string(kGameDir), std::string(kReleaseNames[from + 1]));
    ASSERT_TRUE(::SetFileAttributesA((std::string(kGameDir) + "\\caf\xE9.dat").c_str(),
                                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    Tree expected = Release(from);
    expected["Fonts\\caf\xE9.dat"] = "the player's own file";
    WriteFileBytes(std::string(kGameDir) + "\\Fonts\\caf\xE9.dat", "the player's own file");

    // The player runs undo_patch.bat from wherever the shell stands, delayed expansion on.
    EXPECT_EQ(kt::RunProgram("cmd.exe /v:on /c \"" + backupDir + "\\undo_patch.bat\"", kRoot,
                             kt::ArtifactsDir() + "\\e2e-undo-output.txt", 600000),
              0);
    // Every folder of the old release is back, and the folders the patch made are gone.
    ExpectGame(expected, "after undo_patch.bat");
    EXPECT_EQ(kt::ReadGameRegistry("Version"), oldVersion);
    for (const auto& [rel, bytes] : outside) {
        EXPECT_EQ(ReadFileBytes(std::string(kRoot) + "\\" + rel), bytes) << rel;
    }
}

TEST_F(EndToEnd, QueueOfThreePatchesAppliedTopDown) {
    Install(0);
    StartKelvane();
    ChooseTempDir(kTempDir);

    ASSERT_TRUE(k().Click(1014));
    HWND queue = k().WaitForPopup("Patch Queue");
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(::GetWindow(queue, GW_OWNER), k().main());
    // Three patches, then the second once more: refused without a word.
    for (int from : {0, 1, 2, 1}) {
        kt::PressButton(queue, 1012);
        HWND open = k().WaitForPopup(kOpenTitle);
        ASSERT_NE(open, nullptr);
        EXPECT_EQ(::GetWindow(open, GW_OWNER), queue);
        ASSERT_TRUE(AnswerOpenFile(open, PatchPath(from)));
        kt::Send(queue, WM_NULL, 0, 0); // answered once Add has returned (its dialog is destroyed)
    }
    EXPECT_EQ(kt::ListBoxLines(::GetDlgItem(queue, 1011)),
              (std::vector<std::string>{PatchName(0), PatchName(1), PatchName(2)}));
    ASSERT_TRUE(PressAndWaitGone(queue, IDCANCEL));
    ASSERT_TRUE(k().WaitIdle());

    EXPECT_EQ(k().Status(0), "3 patch(es) in queue.");

    const Box outcome = RunAndConfirm("queue");
    EXPECT_EQ(outcome.caption + ": " + outcome.text, "Success: Patch successful!");
    // (Top-down and once each, with their "--- Applying:" lines: EngineRunTest.QueueRun.)
    ExpectGame(Release(3), "after the queue");
    EXPECT_EQ(k().Status(1), std::string("Current Tarrow version is: ") + kExeVersions[3]);
    EXPECT_EQ(k().Status(0), "");
}

} // namespace
} // namespace e2e
