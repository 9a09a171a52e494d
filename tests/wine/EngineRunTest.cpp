// Engine runs through the real dialog: apply runs over one patch and over the queue, list
// runs, the missing entry point and the cached entry point, with a stand-in engine library
// that replays scripted reports and records the command lines it was given.
#include "tests/wine/Harness.h"

#include "engine/Callback.h"

#include <commctrl.h>

#include <algorithm>
#include <map>

namespace kt {
namespace {

const char kEngineMissing[] = "Unable to find patchw32.dll. \n Please place this executable in "
                              "the same directory as patchw32.dll !";

std::vector<std::string> Lines(const fw::ListBox& list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list.GetCount(); ++i) {
        lines.push_back(list.GetText(i));
    }
    return lines;
}

std::vector<std::string> Listing(const TextList& list) {
    return {list.begin(), list.end()};
}

int RangeHigh(const fw::ProgressCtrl& bar) {
    return static_cast<int>(::SendMessageA(bar.m_hWnd, PBM_GETRANGE, FALSE, 0));
}

// What the dialog showed each time it was told that engine lines were added, that is,
// in the middle of an engine call.
struct DuringCall {
    std::string status;
    int lines;
    int filePos;
    int fileHigh;
    int totalPos;
};

// Watches WM_MESSAGES_ADDED arriving at the dialog and records what it showed then.
class NotificationWatch {
  public:
    explicit NotificationWatch(CKelvaneDlg& dlg) : m_dlg(dlg) {
        s_self = this;
        m_original = reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(
            dlg.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NotificationWatch::Proc)));
    }
    ~NotificationWatch() {
        ::SetWindowLongPtrA(m_dlg.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_original));
        s_self = nullptr;
    }
    std::vector<DuringCall> seen;

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        NotificationWatch* self = s_self;
        if (msg == WM_MESSAGES_ADDED) {
            self->seen.push_back(
                {self->m_dlg.m_wndStatusBar.GetPaneText(0), self->m_dlg.m_ctrlMessages.GetCount(),
                 self->m_dlg.m_ctrlProgressFile.GetPos(), RangeHigh(self->m_dlg.m_ctrlProgressFile),
                 self->m_dlg.m_ctrlProgressTotal.GetPos()});
        }
        return ::CallWindowProcA(self->m_original, hwnd, msg, wParam, lParam);
    }
    static inline NotificationWatch* s_self = nullptr;
    CKelvaneDlg& m_dlg;
    WNDPROC m_original = nullptr;
};

class EngineRunTest : public DialogTest {
  protected:
    // Opens the dialog with the library at `library` as the game's patchw32.dll.
    void OpenWithEngine(const std::string& library) {
        CopyFileOrDie(library, gameDir + "\\patchw32.dll");
        OpenDialog();
    }
    std::string Quoted(const std::string& path) const { return "\"" + path + "\""; }
};

// --- single run -------------------------------------------------------------------------

TEST_F(EngineRunTest, SingleRunShowsLinesInArrivalOrderAndPassesTheCommandLine) {
    OpenDialog();
    engine->Script("1 Zeta comes first.\n"
                   "3   Alpha comes second  \\r\\n\n"
                   "7 data\\maps\\moor 01.dat\n"
                   "2 Middle line\n");
    const std::string patch = "C:\\Patch Files\\update 1.30.rtp";
    EXPECT_EQ(dlg->RunPatchEngine(patch, "D:\\"), 0);

    ASSERT_EQ(engine->Calls().size(), 1u);
    EXPECT_EQ(engine->Calls()[0],
              "-u \"-otempdir:D:\\\" " + Quoted(gameDir) + " \"C:\\Patch Files\\update 1.30.rtp\"");
    EXPECT_EQ(Lines(dlg->m_ctrlMessages),
              (std::vector<std::string>{"--- Applying:  \"C:\\Patch Files\\update 1.30.rtp\" ---",
                                        "Zeta comes first.", "Alpha comes second",
                                        "Processing: data\\maps\\moor 01.dat", "Middle line"}));
    EXPECT_TRUE(prompts->boxes.empty());
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(EngineRunTest, SingleRunWithBothOptionsAndNoGameDirectory) {
    OpenDialog();
    dlg->m_bValidateOnly = TRUE;
    dlg->m_bIgnoreMissing = TRUE;
    dlg->m_strGameDir.clear();
    EXPECT_EQ(dlg->RunPatchEngine("E:\\p.rtp", ""), 0);
    ASSERT_EQ(engine->Calls().size(), 1u);
    EXPECT_EQ(engine->Calls()[0], "-u -j -i \"-otempdir:\" \"E:\\p.rtp\"");
}

TEST_F(EngineRunTest, SingleRunUsesTheArgumentsNotTheMembers) {
    OpenDialog();
    dlg->m_strPatchPath = "C:\\not this.rtp";
    dlg->m_strTempDir = "C:\\not\\this";
    dlg->m_bValidateOnly = TRUE;
    EXPECT_EQ(dlg->RunPatchEngine("C:\\this.rtp", "C:\\Temp"), 0);
    ASSERT_EQ(engine->Calls().size(), 1u);
    EXPECT_EQ(engine->Calls()[0],
              "-u -j \"-otempdir:C:\\Temp\" " + Quoted(gameDir) + " \"C:\\this.rtp\"");
}

TEST_F(EngineRunTest, SingleRunPassesTheEnginesFailureValueUnchanged) {
    OpenDialog();
    engine->Script("1 Wrong version of file: tarrowmain.exe\nret 7\n---\nret -12\n");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 7);
    EXPECT_EQ(Lines(dlg->m_ctrlMessages),
              (std::vector<std::string>{"--- Applying:  \"C:\\p.rtp\" ---",
                                        "Wrong version of file: tarrowmain.exe"}));
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), -12);
    EXPECT_TRUE(prompts->boxes.empty());
}

TEST_F(EngineRunTest, ApplyRunStartsWithEmptyMessagesAndListingAndFreshProgress) {
    OpenDialog();
    dlg->m_ctrlMessages.InsertString(-1, "line of an earlier run");
    dlg->m_listEngineListing = {"left\\over.dat"};
    dlg->m_ctrlProgressFile.SetRange32(0, 10);
    dlg->m_ctrlProgressFile.SetPos(7);
    dlg->m_ctrlProgressTotal.SetRange32(0, 10);
    dlg->m_ctrlProgressTotal.SetPos(9);
    engine->Script("1 first report\n");
    NotificationWatch watch(*dlg);
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    EXPECT_EQ(Lines(dlg->m_ctrlMessages),
              (std::vector<std::string>{"--- Applying:  \"C:\\p.rtp\" ---", "first report"}));
    EXPECT_TRUE(dlg->m_listEngineListing.empty());
    ASSERT_EQ(watch.seen.size(), 1u);
    EXPECT_EQ(watch.seen[0].filePos, 0);
    EXPECT_EQ(watch.seen[0].fileHigh, 32768);
    EXPECT_EQ(watch.seen[0].totalPos, 0);
    EXPECT_EQ(watch.seen[0].status, ""); // a single run shows no queue text
}

TEST_F(EngineRunTest, ApplyRunAfterAListRunShowsFileNamesAsLines) {
    OpenDialog();
    dlg->m_strPatchPath = "C:\\p.rtp";
    engine->Script("7 a.dat\n");
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    EXPECT_EQ(Listing(dlg->m_listEngineListing), std::vector<std::string>{"a.dat"});
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    EXPECT_EQ(Lines(dlg->m_ctrlMessages),
              (std::vector<std::string>{"--- Applying:  \"C:\\p.rtp\" ---", "Processing: a.dat"}));
    EXPECT_TRUE(dlg->m_listEngineListing.empty());
}

TEST_F(EngineRunTest, ApplyRunClearsTheCallbackStateWhenItEnds) {
    OpenDialog();
    engine->Script("1 x\nret 3\n");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 3);
    EXPECT_EQ(g_pMessageList, nullptr);
    EXPECT_EQ(g_pProgressFile, nullptr);
    EXPECT_EQ(g_pProgressTotal, nullptr);
    EXPECT_EQ(g_pFileList, nullptr);
    EXPECT_EQ(g_hDialog, nullptr);
    EXPECT_EQ(g_bListMode, FALSE);
}

// --- queue run --------------------------------------------------------------------------

TEST_F(EngineRunTest, QueueOfThreeWhoseSecondFailsStopsThere) {
    OpenDialog();
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {"C:\\q\\first.rtp", "C:\\q\\second patch.rtp", "C:\\q\\third.rtp"};
    engine->Script("1 first applied\n"
                   "---\n"
                   "1 second broke\n"
                   "ret 4\n"
                   "---\n"
                   "1 third must not run\n");
    NotificationWatch watch(*dlg);
    EXPECT_EQ(dlg->RunPatchEngine("C:\\ignored.rtp", "D:\\Temp"), 2);

    const auto calls = engine->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "-u \"-otempdir:D:\\Temp\" " + Quoted(gameDir) + " \"C:\\q\\first.rtp\"");
    EXPECT_EQ(calls[1],
              "-u \"-otempdir:D:\\Temp\" " + Quoted(gameDir) + " \"C:\\q\\second patch.rtp\"");
    EXPECT_EQ(
        Lines(dlg->m_ctrlMessages),
        (std::vector<std::string>{"--- Applying: C:\\q\\first.rtp ---", "first applied",
                                  "--- Applying: C:\\q\\second patch.rtp ---", "second broke"}));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_TRUE(prompts->boxes.empty());
    ASSERT_EQ(watch.seen.size(), 2u);
    EXPECT_EQ(watch.seen[0].status, "Processing patch 1 of 3 from queue.");
    EXPECT_EQ(watch.seen[1].status, "Processing patch 2 of 3 from queue.");
}

TEST_F(EngineRunTest, QueueOfTwoThatBothSucceed) {
    OpenDialog();
    dlg->m_bUseQueue = TRUE;
    dlg->m_bIgnoreMissing = TRUE;
    dlg->m_listQueue = {"C:\\q\\a.rtp", "C:\\q\\b.rtp"};
    engine->Script("1 a applied\n6 3\n7 x\n5 900\n"
                   "---\n"
                   "1 b applied\n");
    NotificationWatch watch(*dlg);
    EXPECT_EQ(dlg->RunPatchEngine("", "C:\\Temp"), 0);

    const auto calls = engine->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "-u -i \"-otempdir:C:\\Temp\" " + Quoted(gameDir) + " \"C:\\q\\a.rtp\"");
    EXPECT_EQ(calls[1], "-u -i \"-otempdir:C:\\Temp\" " + Quoted(gameDir) + " \"C:\\q\\b.rtp\"");
    EXPECT_EQ(
        Lines(dlg->m_ctrlMessages),
        (std::vector<std::string>{"--- Applying: C:\\q\\a.rtp ---", "a applied", "Processing: x",
                                  "--- Applying: C:\\q\\b.rtp ---", "b applied"}));
    ASSERT_EQ(watch.seen.size(), 3u);
    EXPECT_EQ(watch.seen[0].status, "Processing patch 1 of 2 from queue.");
    EXPECT_EQ(watch.seen[2].status, "Processing patch 2 of 2 from queue.");
    // The second patch starts on fresh progress bars.
    EXPECT_EQ(watch.seen[2].filePos, 0);
    EXPECT_EQ(watch.seen[2].fileHigh, 32768);
    EXPECT_EQ(watch.seen[2].totalPos, 0);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(EngineRunTest, QueueWithoutGameDirectory) {
    OpenDialog();
    dlg->m_strGameDir.clear();
    dlg->m_bUseQueue = TRUE;
    dlg->m_bValidateOnly = TRUE;
    dlg->m_listQueue = {"C:\\a.rtp", "C:\\b.rtp"};
    EXPECT_EQ(dlg->RunPatchEngine("", "D:\\"), 0);
    EXPECT_EQ(engine->Calls(),
              (std::vector<std::string>{"-u -j \"-otempdir:D:\\\" \"C:\\a.rtp\"",
                                        "-u -j \"-otempdir:D:\\\" \"C:\\b.rtp\""}));
}

TEST_F(EngineRunTest, QueueWhoseLastFailsGivesTwo) {
    OpenDialog();
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {"C:\\a.rtp", "C:\\b.rtp"};
    engine->Script("ret 0\n---\nret 1\n");
    EXPECT_EQ(dlg->RunPatchEngine("", "C:\\"), 2);
    EXPECT_EQ(engine->Calls().size(), 2u);
}

TEST_F(EngineRunTest, QueueWhoseFirstFailsRunsNothingMore) {
    OpenDialog();
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {"C:\\a.rtp", "C:\\b.rtp", "C:\\c.rtp"};
    engine->Script("ret 9\n---\nret 0\n");
    EXPECT_EQ(dlg->RunPatchEngine("", "C:\\"), 2);
    EXPECT_EQ(engine->Calls().size(), 1u);
    EXPECT_EQ(Lines(dlg->m_ctrlMessages), std::vector<std::string>{"--- Applying: C:\\a.rtp ---"});
}

TEST_F(EngineRunTest, EmptyQueueRunsNothingAndGivesNinetyNine) {
    OpenDialog();
    dlg->m_ctrlMessages.InsertString(-1, "line of an earlier run");
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue.clear();
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 99);
    EXPECT_TRUE(engine->Calls().empty());
    EXPECT_TRUE(prompts->boxes.empty());
    EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), 0);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

// --- list run ---------------------------------------------------------------------------

TEST_F(EngineRunTest, ListRunCommandLineHasTwoBlanksAfterTheSwitch) {
    OpenDialog();
    dlg->m_strPatchPath = "C:\\Downloads\\update 2.rtp";
    dlg->m_strTempDir = "D:\\Temp";
    dlg->m_bValidateOnly = TRUE;
    dlg->m_bIgnoreMissing = TRUE;
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    dlg->m_strGameDir.clear();
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    EXPECT_EQ(engine->Calls(), (std::vector<std::string>{"-l  " + Quoted(gameDir) +
                                                             " \"C:\\Downloads\\update 2.rtp\"",
                                                         "-l  \"C:\\Downloads\\update 2.rtp\""}));
}

TEST_F(EngineRunTest, ListRunPassesTheEnginesValueAndKeepsTheNamesItGot) {
    OpenDialog();
    dlg->m_strPatchPath = "C:\\p.rtp";
    dlg->m_listEngineListing = {"stale.dat"};
    engine->Script("7 one.dat\nret 5\n");
    EXPECT_EQ(dlg->ListPatchFiles(), 5);
    EXPECT_EQ(Listing(dlg->m_listEngineListing), std::vector<std::string>{"one.dat"});
    EXPECT_EQ(g_bListMode, FALSE);
}

TEST_F(EngineRunTest, ListRunLeavesTheMessagesOfTheLastApplyRun) {
    OpenDialog();
    engine->Script("1 applied\n---\n7 f.dat\n");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    dlg->m_strPatchPath = "C:\\p.rtp";
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    EXPECT_EQ(Lines(dlg->m_ctrlMessages),
              (std::vector<std::string>{"--- Applying:  \"C:\\p.rtp\" ---", "applied"}));
    EXPECT_EQ(Listing(dlg->m_listEngineListing), std::vector<std::string>{"f.dat"});
}

// --- missing entry point ----------------------------------------------------------------

TEST_F(EngineRunTest, MissingEntryPointSingleRun) {
    OpenWithEngine(ScriptedEngine::NoEntryLibraryPath());
    dlg->m_ctrlMessages.InsertString(-1, "line of an earlier run");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 2);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].text, kEngineMissing);
    EXPECT_EQ(prompts->boxes[0].caption, "Error");
    EXPECT_EQ(prompts->boxes[0].type, static_cast<UINT>(MB_ICONERROR | MB_OK));
    EXPECT_EQ(prompts->boxes[0].owner, dlg->m_hWnd);
    EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), 0); // no "--- Applying: " line either
    EXPECT_TRUE(engine->Calls().empty());
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(EngineRunTest, MissingEntryPointQueueRun) {
    OpenWithEngine(ScriptedEngine::NoEntryLibraryPath());
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {"C:\\a.rtp", "C:\\b.rtp"};
    EXPECT_EQ(dlg->RunPatchEngine("", "C:\\"), 2);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].text, kEngineMissing);
    EXPECT_EQ(prompts->boxes[0].caption, "Error");
    EXPECT_EQ(prompts->boxes[0].type, static_cast<UINT>(MB_ICONERROR | MB_OK));
    EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), 0);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(EngineRunTest, MissingEntryPointEvenWithAnEmptyQueueShowsTheBox) {
    OpenWithEngine(ScriptedEngine::NoEntryLibraryPath());
    dlg->m_bUseQueue = TRUE;
    EXPECT_EQ(dlg->RunPatchEngine("", "C:\\"), 2);
    EXPECT_EQ(prompts->boxes.size(), 1u);
}

TEST_F(EngineRunTest, MissingEntryPointListRun) {
    OpenWithEngine(ScriptedEngine::NoEntryLibraryPath());
    dlg->m_strPatchPath = "C:\\p.rtp";
    dlg->m_listEngineListing = {"stale.dat"};
    EXPECT_EQ(dlg->ListPatchFiles(), 2);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].text, kEngineMissing);
    EXPECT_EQ(prompts->boxes[0].caption, "Error");
    EXPECT_EQ(prompts->boxes[0].type, static_cast<UINT>(MB_ICONERROR | MB_OK));
    EXPECT_TRUE(dlg->m_listEngineListing.empty());
    EXPECT_EQ(g_bListMode, FALSE);
}

// --- the entry point is looked up once ---------------------------------------------------

TEST_F(EngineRunTest, FoundEntryPointIsKeptForLaterRuns) {
    OpenDialog();
    EXPECT_EQ(dlg->RunPatchEngine("C:\\one.rtp", "C:\\"), 0);
    // Another lookup would now find nothing; the cached entry still runs the engine.
    HMODULE original = dlg->m_hEngine;
    HMODULE noEntry = ::LoadLibraryA(ScriptedEngine::NoEntryLibraryPath().c_str());
    ASSERT_NE(noEntry, nullptr);
    dlg->m_hEngine = noEntry;
    EXPECT_EQ(dlg->RunPatchEngine("C:\\two.rtp", "C:\\"), 0);
    dlg->m_strPatchPath = "C:\\three.rtp";
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    dlg->m_hEngine = original;
    ::FreeLibrary(noEntry);
    EXPECT_TRUE(prompts->boxes.empty());
    const auto calls = engine->Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_NE(calls[1].find("two.rtp"), std::string::npos);
    EXPECT_NE(calls[2].find("three.rtp"), std::string::npos);
}

TEST_F(EngineRunTest, EntryPointFoundByAListRunServesTheApplyRun) {
    OpenDialog();
    dlg->m_strPatchPath = "C:\\p.rtp";
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    HMODULE original = dlg->m_hEngine;
    HMODULE noEntry = ::LoadLibraryA(ScriptedEngine::NoEntryLibraryPath().c_str());
    ASSERT_NE(noEntry, nullptr);
    dlg->m_hEngine = noEntry;
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    dlg->m_hEngine = original;
    ::FreeLibrary(noEntry);
    EXPECT_EQ(engine->Calls().size(), 2u);
    EXPECT_TRUE(prompts->boxes.empty());
}

TEST_F(EngineRunTest, FailedLookupIsRememberedAndNotTriedAgain) {
    OpenWithEngine(ScriptedEngine::NoEntryLibraryPath());
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 2);
    // A library with the entry point now stands behind the handle; no new lookup is made.
    HMODULE original = dlg->m_hEngine;
    HMODULE scripted = ::LoadLibraryA(ScriptedEngine::LibraryPath().c_str());
    ASSERT_NE(scripted, nullptr);
    dlg->m_hEngine = scripted;
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 2);
    dlg->m_strPatchPath = "C:\\p.rtp";
    EXPECT_EQ(dlg->ListPatchFiles(), 2);
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {"C:\\a.rtp", "C:\\b.rtp"};
    EXPECT_EQ(dlg->RunPatchEngine("", "C:\\"), 2);
    dlg->m_hEngine = original;
    ::FreeLibrary(scripted);
    EXPECT_TRUE(engine->Calls().empty());
    EXPECT_EQ(prompts->boxes.size(), 4u);
}

// --- the real engine ----------------------------------------------------------------------

// Runs the patch builder that ships beside the engine; its exit code.
int RunRtptool(const std::string& arguments) {
    // Its progress report goes nowhere: the test output stays readable.
    return RunProgram("\"" + BuildFile("tools\\rtptool.exe") + "\" " + arguments, "", "");
}

// The game's files at three versions, and patches between them built by the publisher's
// tool, installed at version 1 with the real engine as the game's patchw32.dll.
class RealEngineRunTest : public EngineRunTest {
  protected:
    void SetUp() override {
        EngineRunTest::SetUp();
        const std::string engineDll = BuildFile("patchw32\\patchw32.dll");
        const std::string tool = BuildFile("tools\\rtptool.exe");
        ASSERT_TRUE(PathExists(engineDll)) << "build the patchw32 target first: " << engineDll;
        ASSERT_TRUE(PathExists(tool)) << "build the rtptool target first: " << tool;

        v1 = {{"data\\map01.dat", GameData(300000, 1)},
              {"data\\keep.dat", GameData(5000, 2)},
              {"sounds\\gone.wav", GameData(7000, 3)},
              {"sounds\\stay.wav", GameData(9000, 4)},
              {"readme.txt", "Tarrowmoor 1.0\r\n"}};
        v2 = v1;
        v2["data\\map01.dat"] = GameData(300000, 1, 150000, 'x');
        v2["data\\new.dat"] = GameData(12000, 5);
        v2.erase("sounds\\gone.wav");
        v2["readme.txt"] = "Tarrowmoor 1.1\r\n";
        v3 = v2;
        v3["data\\map01.dat"] = GameData(300000, 1, 200000, 'y');
        v3["data\\extra.dat"] = "extra";

        const std::string trees = *scratch / "trees";
        WriteTree(trees + "\\v1", v1);
        WriteTree(trees + "\\v2", v2);
        WriteTree(trees + "\\v3", v3);
        v1Snapshot = Snapshot(trees + "\\v1");
        v2Snapshot = Snapshot(trees + "\\v2");
        v3Snapshot = Snapshot(trees + "\\v3");
        MakeDirs(*scratch / "patch files");
        patch12 = *scratch / "patch files\\update 1.0 to 1.1.rtp";
        patch23 = *scratch / "patch files\\update 1.1 to 1.2.rtp";
        patch13 = *scratch / "patch files\\update 1.0 to 1.2.rtp";
        ASSERT_EQ(
            RunRtptool("build \"" + trees + "\\v1\" \"" + trees + "\\v2\" \"" + patch12 + "\""), 0);
        ASSERT_EQ(
            RunRtptool("build \"" + trees + "\\v2\" \"" + trees + "\\v3\" \"" + patch23 + "\""), 0);
        ASSERT_EQ(
            RunRtptool("build \"" + trees + "\\v1\" \"" + trees + "\\v3\" \"" + patch13 + "\""), 0);

        WriteTree(gameDir, v1);
        CopyFileOrDie(engineDll, gameDir + "\\patchw32.dll");
        tempDir = *scratch / "temp";
        MakeDirs(tempDir);
        OpenDialog();
    }

    Tree v1, v2, v3;
    Tree v1Snapshot, v2Snapshot, v3Snapshot;
    std::string patch12, patch23, patch13, tempDir;
};

TEST_F(RealEngineRunTest, ListRunNamesTheFilesThePatchTouches) {
    dlg->m_strPatchPath = patch12;
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    std::vector<std::string> names = Listing(dlg->m_listEngineListing);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"gone.wav", "map01.dat", "new.dat", "readme.txt"}));
    EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), 0);
    EXPECT_EQ(GameFiles(gameDir), v1Snapshot); // listing changes nothing
    EXPECT_TRUE(prompts->boxes.empty());
}

TEST_F(RealEngineRunTest, SingleApplyRunUpdatesTheGame) {
    EXPECT_EQ(dlg->RunPatchEngine(patch12, tempDir), 0);
    EXPECT_EQ(GameFiles(gameDir), v2Snapshot);
    const std::vector<std::string> lines = Lines(dlg->m_ctrlMessages);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines.front(), "--- Applying:  \"" + patch12 + "\" ---");
    for (const char* name :
         {"data\\map01.dat", "data\\new.dat", "sounds\\gone.wav", "readme.txt"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), std::string("Processing: ") + name),
                  lines.end())
            << name;
    }
    EXPECT_EQ(lines.back().rfind("Patch applied: ", 0), 0u) << lines.back();
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 32768);
    EXPECT_GT(RangeHigh(dlg->m_ctrlProgressTotal), 0);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), RangeHigh(dlg->m_ctrlProgressTotal));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_TRUE(prompts->boxes.empty());
}

TEST_F(RealEngineRunTest, SingleRunOfAPatchForAnotherVersionReturnsTheEnginesCode) {
    const int result = dlg->RunPatchEngine(patch23, tempDir);
    EXPECT_EQ(result, 7); // the installation is not the version the patch updates
    EXPECT_EQ(GameFiles(gameDir), v1Snapshot);
    EXPECT_GE(dlg->m_ctrlMessages.GetCount(), 2);
}

TEST_F(RealEngineRunTest, ValidateOnlyChangesNothing) {
    dlg->m_bValidateOnly = TRUE;
    EXPECT_EQ(dlg->RunPatchEngine(patch12, tempDir), 0);
    EXPECT_EQ(GameFiles(gameDir), v1Snapshot);
    EXPECT_EQ(Lines(dlg->m_ctrlMessages).back().rfind("Validation passed: ", 0), 0u);
}

TEST_F(RealEngineRunTest, QueueAppliesEachPatchInTurn) {
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {patch12, patch23};
    EXPECT_EQ(dlg->RunPatchEngine("", tempDir), 0);
    EXPECT_EQ(GameFiles(gameDir), v3Snapshot);
    const std::vector<std::string> lines = Lines(dlg->m_ctrlMessages);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--- Applying: " + patch12 + " ---"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--- Applying: " + patch23 + " ---"), 1);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(RealEngineRunTest, QueueStopsAtThePatchThatDoesNotFit) {
    // After the first patch the game is at 1.1, which the second patch does not update; the
    // third would update 1.1 to 1.2, but a queue that failed goes no further.
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {patch12, patch13, patch23};
    EXPECT_EQ(dlg->RunPatchEngine("", tempDir), 2);
    EXPECT_EQ(GameFiles(gameDir), v2Snapshot);
    const std::vector<std::string> lines = Lines(dlg->m_ctrlMessages);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--- Applying: " + patch13 + " ---"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--- Applying: " + patch23 + " ---"), 0);
}

} // namespace
} // namespace kt
