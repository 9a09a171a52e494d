// The space calculation through the real dialog: real game directories on the Wine C:
// drive, the stand-in engine reporting file names in list mode, and the busy state on the
// dialog's real controls.
#include "tests/wine/Harness.h"

#include "environment/Environment.h"

#include <algorithm>
#include <set>

namespace kt {
namespace {

const char kEngineMissing[] = "Unable to find patchw32.dll. \n Please place this executable in "
                              "the same directory as patchw32.dll !";
const char kCalculating[] = "Please wait, calculating patch space requirements...";

// The busy state's controls, in the order it handles them.
const std::vector<int> kBusyIds = {1000, 1002, 1003, 1001, 1014, 1015, 1005, 1007,
                                   1006, 1009, 1010, 1019, 1020, 2,    1};

using Texts = std::vector<std::string>;

Texts ToTexts(const TextList& list) {
    return {list.begin(), list.end()};
}

std::string Sized(size_t n) {
    return std::string(n, 'k');
}

// The directory search written out plainly: depth first, entries in the order the system
// gives them, the one child "Tarrowmoor" of the game directory left out (compared by the
// system's own case-insensitive comparison).
void WalkLikeTheScan(const std::string& gameDir, const std::string& dir,
                     std::vector<GameFileEntry>& out) {
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA((dir + "\\*.*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = dir + "\\" + name;
        if (::lstrcmpiA(path.c_str(), (gameDir + "\\Tarrowmoor").c_str()) == 0) {
            continue;
        }
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            WalkLikeTheScan(gameDir, path, out);
        } else {
            out.push_back({path, (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
        }
    } while (::FindNextFileA(h, &data));
    ::FindClose(h);
}

std::vector<std::pair<std::string, uint64_t>> Pairs(const std::vector<GameFileEntry>& files) {
    std::vector<std::pair<std::string, uint64_t>> pairs;
    for (const GameFileEntry& e : files) {
        pairs.emplace_back(e.path, e.size);
    }
    return pairs;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                        wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(n));
    return wide;
}

class SpaceCalcTest : public DialogTest {
  protected:
    // A game directory of its own, without the engine library in it and without blanks in
    // its path, made the dialog's game directory.
    std::string UseGameDir() {
        const std::string dir = *scratch / "Install\\Tarrowmoor";
        MakeDirs(dir);
        dlg->m_strGameDir = dir;
        dlg->m_strPatchPath = *scratch / "update.rtp";
        return dir;
    }

    std::vector<bool> EnabledStates() const {
        std::vector<bool> states;
        for (int id : kBusyIds) {
            states.push_back(dlg->IsItemEnabled(id));
        }
        return states;
    }

    // Entries of the inventory whose file name is `name` (compared without regard to case
    // by the system), in inventory order.
    Texts InventoryPathsNamed(const std::string& name) const {
        Texts paths;
        for (const GameFileEntry& e : dlg->m_listGameFiles) {
            if (::lstrcmpiA(FileNameOf(e.path).c_str(), name.c_str()) == 0) {
                paths.push_back(e.path);
            }
        }
        return paths;
    }
};

TEST_F(SpaceCalcTest, NamesThatDifferOnlyInCaseCountOnce) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\a.dat", Sized(10));
    WriteFileBytes(gd + "\\b.dat", Sized(20));
    WriteFileBytes(gd + "\\c.dat", Sized(40));
    engine->Script("7 a.dat\n7 A.DAT\n7 b.dat\n");

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(ToTexts(dlg->m_listEngineListing), (Texts{"a.dat", "A.DAT", "b.dat"}));
    EXPECT_EQ(ToTexts(dlg->m_listPatchTargets), (Texts{"a.dat", "b.dat"}));
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp), (Texts{gd + "\\a.dat", gd + "\\b.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 30);
    EXPECT_EQ(engine->Calls(), (Texts{"-l  \"" + gd + "\" \"" + *scratch / "update.rtp\""}));
}

TEST_F(SpaceCalcTest, NameFoundTwiceGivesBothEntriesAndBothSizes) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\main.zip", Sized(100));
    WriteFileBytes(gd + "\\Data\\MAIN.ZIP", Sized(50));
    WriteFileBytes(gd + "\\Data\\other.zip", Sized(7));
    engine->Script("7 Main.zip\n");

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    const Texts expected = InventoryPathsNamed("main.zip");
    EXPECT_EQ(std::set<std::string>(expected.begin(), expected.end()),
              (std::set<std::string>{gd + "\\main.zip", gd + "\\Data\\MAIN.ZIP"}));
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp), expected); // in inventory order
    EXPECT_EQ(dlg->m_llRequiredSpace, 150);
}

TEST_F(SpaceCalcTest, TargetFoundNowhereGivesTheRemovalLine) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\old.dat", Sized(3));
    engine->Script("7 new.dat\n7 old.dat\n7 Data\\old.dat\n");

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp),
              (Texts{"del /s " + gd + "\\.\\new.dat", gd + "\\old.dat",
                     "del /s " + gd + "\\.\\Data\\old.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 3);
}

TEST_F(SpaceCalcTest, RemovalLineNamesTheGameDirectoryAsHeld) {
    // The registered installation "...\Games\Tarrow Moor" holds a blank and the engine.
    OpenDialog();
    engine->Script("7 new.dat\n7 PATCHW32.DLL\n");
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp),
              (Texts{"del /s " + gameDir + "\\.\\new.dat", gameDir + "\\patchw32.dll"}));
    EXPECT_EQ(dlg->m_llRequiredSpace,
              static_cast<int64_t>(ReadFileBytes(gameDir + "\\patchw32.dll").size()));
}

TEST_F(SpaceCalcTest, InventoryIsDepthFirstInTheSystemsOrderWithoutTheTarrowmoorFolder) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\top1.dat", Sized(1));
    WriteFileBytes(gd + "\\Alpha\\a1.dat", Sized(2));
    WriteFileBytes(gd + "\\Alpha\\a2.dat", Sized(3));
    WriteFileBytes(gd + "\\Beta\\b1.dat", Sized(4));
    WriteFileBytes(gd + "\\Beta\\Gamma\\g1.dat", Sized(5));
    WriteFileBytes(gd + "\\Beta\\Gamma\\Delta\\d1.dat", Sized(6));
    WriteFileBytes(gd + "\\top2.dat", Sized(7));
    WriteFileBytes(gd + "\\noextension", Sized(8));
    MakeDirs(gd + "\\EmptyFolder");
    // The skipped child, spelt in another case; and folders of that name further down.
    WriteFileBytes(gd + "\\tarrowMOOR\\only-here.dat", Sized(9));
    WriteFileBytes(gd + "\\tarrowMOOR\\Sub\\deeper.dat", Sized(10));
    WriteFileBytes(gd + "\\Beta\\Tarrowmoor\\kept.dat", Sized(11));
    WriteFileBytes(gd + "\\Tarrowmoor.dat", Sized(12));
    engine->Script("7 only-here.dat\n7 kept.dat\n");

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    std::vector<GameFileEntry> expected;
    WalkLikeTheScan(gd, gd, expected);
    EXPECT_EQ(expected.size(), 10u);
    EXPECT_EQ(Pairs(dlg->m_listGameFiles), Pairs(expected));
    for (const GameFileEntry& e : dlg->m_listGameFiles) {
        EXPECT_EQ(e.path.find("\\tarrowMOOR\\"), std::string::npos) << e.path;
    }
    // Each folder's files stand together, right after one another (depth first).
    std::vector<std::string> folders;
    for (const GameFileEntry& e : dlg->m_listGameFiles) {
        folders.push_back(e.path.substr(0, e.path.find_last_of('\\')));
    }
    for (size_t i = 0; i < folders.size(); ++i) {
        for (size_t j = i + 2; j < folders.size(); ++j) {
            if (folders[i] == folders[j]) {
                for (size_t k = i + 1; k < j; ++k) {
                    EXPECT_TRUE(folders[k] == folders[i] ||
                                folders[k].rfind(folders[i] + "\\", 0) == 0)
                        << folders[k] << " interrupts " << folders[i];
                }
            }
        }
    }
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp),
              (Texts{"del /s " + gd + "\\.\\only-here.dat", gd + "\\Beta\\Tarrowmoor\\kept.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 11);
}

TEST_F(SpaceCalcTest, AFileNamedTarrowmoorIsLeftOutToo) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\TARROWMOOR", Sized(5));
    WriteFileBytes(gd + "\\x.dat", Sized(6));
    engine->Script("7 Tarrowmoor\n");
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(Pairs(dlg->m_listGameFiles),
              (std::vector<std::pair<std::string, uint64_t>>{{gd + "\\x.dat", 6}}));
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp), (Texts{"del /s " + gd + "\\.\\Tarrowmoor"}));
}

TEST_F(SpaceCalcTest, HiddenSystemAndReadOnlyFilesCount) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\hidden.dat", Sized(13));
    WriteFileBytes(gd + "\\Sys\\system.dat", Sized(17));
    ASSERT_TRUE(::SetFileAttributesA((gd + "\\hidden.dat").c_str(),
                                     FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(::SetFileAttributesA((gd + "\\Sys\\system.dat").c_str(),
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(::SetFileAttributesA((gd + "\\Sys").c_str(), FILE_ATTRIBUTE_HIDDEN));
    engine->Script("7 HIDDEN.DAT\n7 system.dat\n");
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp),
              (Texts{gd + "\\hidden.dat", gd + "\\Sys\\system.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 30);
}

TEST_F(SpaceCalcTest, FolderThatCannotBeSearchedIsPassedOver) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\a.dat", Sized(1));
    WriteFileBytes(gd + "\\z.dat", Sized(2));
    // A folder whose search pattern is longer than an ANSI path may be.
    const std::string outer = gd + "\\deep\\" + std::string(100, 'o');
    const std::string inner = outer + "\\" + std::string(150, 'i');
    MakeDirs(outer);
    const std::wstring innerW = L"\\\\?\\" + Widen(inner);
    const std::wstring fileW = innerW + L"\\lost.dat";
    struct LongPathCleanup {
        const std::wstring& dir;
        const std::wstring& file;
        ~LongPathCleanup() {
            ::DeleteFileW(file.c_str());
            ::RemoveDirectoryW(dir.c_str());
        }
    } cleanup{innerW, fileW};
    ASSERT_TRUE(::CreateDirectoryW(innerW.c_str(), nullptr));
    HANDLE h = ::CreateFileW(fileW.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(h, "lost", 4, &written, nullptr);
    ::CloseHandle(h);
    WriteFileBytes(outer + "\\beside.dat", Sized(3));
    engine->Script("7 lost.dat\n7 beside.dat\n7 a.dat\n7 z.dat\n");

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    std::set<std::string> found;
    for (const GameFileEntry& e : dlg->m_listGameFiles) {
        found.insert(e.path);
    }
    EXPECT_EQ(found,
              (std::set<std::string>{gd + "\\a.dat", gd + "\\z.dat", outer + "\\beside.dat"}));
    EXPECT_EQ(dlg->m_listFilesToBackUp.front(), "del /s " + gd + "\\.\\lost.dat");
    EXPECT_EQ(dlg->m_llRequiredSpace, 6);
}

TEST_F(SpaceCalcTest, CaseFoldingFollowsTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "needs code page 1252, this system has " << ::GetACP();
    }
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\caf\xE9.dat", Sized(5));     // cafe with e acute
    WriteFileBytes(gd + "\\Sub\\\xC6ON.DAT", Sized(7)); // AE ligature, upper case
    WriteFileBytes(gd + "\\caf\xE8.dat", Sized(11));    // e grave: another letter
    engine->Script("7 CAF\xC9.DAT\n7 caf\xE9.DAT\n7 \xE6on.dat\n7 cafe.dat\n");

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(ToTexts(dlg->m_listPatchTargets), (Texts{"CAF\xC9.DAT", "\xE6on.dat", "cafe.dat"}));
    EXPECT_EQ(
        ToTexts(dlg->m_listFilesToBackUp),
        (Texts{gd + "\\caf\xE9.dat", gd + "\\Sub\\\xC6ON.DAT", "del /s " + gd + "\\.\\cafe.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 12);
}

TEST_F(SpaceCalcTest, PatchThatOnlyAddsFilesNeedsNoSpace) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\old.dat", Sized(100));
    engine->Script("7 new1.dat\n7 Data\\extra.dat\n");
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp),
              (Texts{"del /s " + gd + "\\.\\new1.dat", "del /s " + gd + "\\.\\Data\\extra.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 0);
}

TEST_F(SpaceCalcTest, EmptyListingReplacesEarlierResultsWithNothing) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\old.dat", Sized(100));
    engine->Script("7 old.dat\n---\n1 Listing nothing\n");
    ASSERT_EQ(dlg->CalcSpaceRequirements(), 0);
    ASSERT_EQ(dlg->m_llRequiredSpace, 100);

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_TRUE(dlg->m_listEngineListing.empty());
    EXPECT_TRUE(dlg->m_listPatchTargets.empty());
    EXPECT_TRUE(dlg->m_listFilesToBackUp.empty());
    EXPECT_EQ(dlg->m_llRequiredSpace, 0);
}

TEST_F(SpaceCalcTest, SecondCalculationReusesTheInventory) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\old.dat", Sized(100));
    engine->Script("7 old.dat\n7 late.dat\n");
    ASSERT_EQ(dlg->CalcSpaceRequirements(), 0);
    ASSERT_EQ(dlg->m_listGameFiles.size(), 1u);

    WriteFileBytes(gd + "\\late.dat", Sized(20)); // added after the scan: not seen
    ::DeleteFileA((gd + "\\old.dat").c_str());    // removed after the scan: still counted
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(dlg->m_listGameFiles.size(), 1u);
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp),
              (Texts{gd + "\\old.dat", "del /s " + gd + "\\.\\late.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 100);
    EXPECT_EQ(engine->Calls().size(), 2u);

    // Once the inventory is emptied (after a patch run) the next calculation scans anew.
    dlg->m_listGameFiles.clear();
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp),
              (Texts{"del /s " + gd + "\\.\\old.dat", gd + "\\late.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 20);
}

TEST_F(SpaceCalcTest, NoGameDirectoryChangesNothing) {
    OpenDialog();
    dlg->m_strGameDir.clear();
    dlg->SetStatusText("before");
    dlg->m_listDisabledControls = {4242};
    const std::vector<bool> before = EnabledStates();

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 1);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "before");
    EXPECT_EQ(dlg->m_listDisabledControls, (std::list<UINT>{4242}));
    EXPECT_EQ(EnabledStates(), before);
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_TRUE(dlg->m_listGameFiles.empty());
    EXPECT_TRUE(engine->Calls().empty());
}

TEST_F(SpaceCalcTest, GameDirectoryWithoutFilesGivesOneWithControlsRestored) {
    OpenDialog();
    const std::string gd = UseGameDir();
    MakeDirs(gd + "\\Empty\\Deeper");
    MakeDirs(gd + "\\Other");
    dlg->SetStatusText("before");
    dlg->m_llRequiredSpace = 77;
    const std::vector<bool> before = EnabledStates();

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 1);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(EnabledStates(), before);
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_EQ(dlg->m_llRequiredSpace, 77);
    EXPECT_TRUE(engine->Calls().empty());
}

TEST_F(SpaceCalcTest, FailingListRunKeepsThePreviousResults) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\a.dat", Sized(10));
    engine->Script("7 a.dat\n7 new.dat\n---\n7 b.dat\nret 4\n");
    ASSERT_EQ(dlg->CalcSpaceRequirements(), 0);
    const Texts entries = ToTexts(dlg->m_listFilesToBackUp);
    const Texts targets = ToTexts(dlg->m_listPatchTargets);
    ASSERT_EQ(entries, (Texts{gd + "\\a.dat", "del /s " + gd + "\\.\\new.dat"}));
    const std::vector<bool> before = EnabledStates();

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 4);
    EXPECT_EQ(ToTexts(dlg->m_listFilesToBackUp), entries);
    EXPECT_EQ(ToTexts(dlg->m_listPatchTargets), targets);
    EXPECT_EQ(dlg->m_llRequiredSpace, 10);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(EnabledStates(), before);
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_TRUE(prompts->boxes.empty()); // the calculation shows no box of its own
}

TEST_F(SpaceCalcTest, MissingEntryPointGivesTwoAfterTheEnginesBox) {
    CopyFileOrDie(ScriptedEngine::NoEntryLibraryPath(), gameDir + "\\patchw32.dll");
    OpenDialog();
    const std::vector<bool> before = EnabledStates();
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 2);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].text, kEngineMissing);
    EXPECT_EQ(prompts->boxes[0].caption, "Error");
    EXPECT_TRUE(dlg->m_listFilesToBackUp.empty());
    EXPECT_EQ(dlg->m_llRequiredSpace, 0);
    EXPECT_EQ(EnabledStates(), before);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

// ---------------------------------------------------------------------------
// The busy state.

TEST_F(SpaceCalcTest, BusyStateDisablesTheEnabledControlsInOrderAndRestoresExactlyThose) {
    OpenDialog();
    // After start-up 1015, 1019, 1020 and IDOK are disabled; disable 1009 as well.
    dlg->EnableItem(IDC_IGNORE_MISSING, false);
    const std::vector<bool> before = EnabledStates();
    ASSERT_EQ(before, (std::vector<bool>{true, true, true, true, true, false, true, true, true,
                                         false, true, false, false, true, false}));

    dlg->EnterBusyState();
    EXPECT_EQ(dlg->m_listDisabledControls,
              (std::list<UINT>{1000, 1002, 1003, 1001, 1014, 1005, 1007, 1006, 1010, 2}));
    EXPECT_EQ(EnabledStates(), std::vector<bool>(kBusyIds.size(), false));
    EXPECT_TRUE(dlg->m_bBusy);

    // Something enabled meanwhile is not part of what the busy state gives back.
    dlg->EnableItem(IDOK, true);
    dlg->LeaveBusyState();
    std::vector<bool> after = before;
    after.back() = true; // IDOK, enabled during the busy state
    EXPECT_EQ(EnabledStates(), after);
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_EQ(dlg->m_listDisabledControls.size(), 10u); // kept until the next busy state

    // A second round starts from an empty list.
    dlg->EnableItem(IDOK, false);
    dlg->EnableItem(IDC_TEMP_DIR, false);
    dlg->EnterBusyState();
    EXPECT_EQ(dlg->m_listDisabledControls,
              (std::list<UINT>{1000, 1002, 1003, 1014, 1005, 1007, 1006, 1010, 2}));
    dlg->LeaveBusyState();
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_TEMP_DIR));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
}

TEST_F(SpaceCalcTest, BusyStatePushesMembersToTheControls) {
    OpenDialog();
    dlg->m_strPatchFile = "pushed.rtp";
    dlg->EnterBusyState();
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "pushed.rtp");
    dlg->m_strTempDir = "Q:\\pushed";
    dlg->LeaveBusyState();
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), "Q:\\pushed");
}

// Records, when its message arrives, what the dialog shows at that moment.
class BusyProbe {
  public:
    explicit BusyProbe(CKelvaneDlg& dlg) : m_dlg(dlg) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &BusyProbe::Proc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "KelvaneBusyProbe";
        ::RegisterClassA(&wc);
        m_hWnd = ::CreateWindowA("KelvaneBusyProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 wc.hInstance, nullptr);
        s_self = this;
    }
    ~BusyProbe() {
        ::DestroyWindow(m_hWnd);
        s_self = nullptr;
    }
    void Arm() { ::PostMessageA(m_hWnd, WM_APP + 7, 0, 0); }

    bool fired = false;
    bool busy = false;
    std::string status;
    std::vector<bool> enabled;
    bool waitCursor = false;

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_APP + 7 && s_self != nullptr) {
            BusyProbe& p = *s_self;
            p.fired = true;
            p.busy = p.m_dlg.m_bBusy != FALSE;
            p.status = p.m_dlg.m_wndStatusBar.GetPaneText(0);
            for (int id : kBusyIds) {
                p.enabled.push_back(p.m_dlg.IsItemEnabled(id));
            }
            ::SetCursor(nullptr);
            ::SendMessageA(p.m_dlg.m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(p.m_dlg.m_hWnd),
                           MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
            p.waitCursor = ::GetCursor() == p.m_dlg.m_hWaitCursor;
            return 0;
        }
        return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    static inline BusyProbe* s_self = nullptr;
    CKelvaneDlg& m_dlg;
    HWND m_hWnd = nullptr;
};

TEST_F(SpaceCalcTest, DuringTheListRunTheDialogIsBusy) {
    OpenDialog();
    const std::string gd = UseGameDir();
    WriteFileBytes(gd + "\\a.dat", Sized(10));
    engine->Script("7 a.dat\n7 b.dat\n");
    const std::vector<bool> before = EnabledStates();
    BusyProbe probe(*dlg);
    probe.Arm(); // handled when the engine's callback lets pending messages through

    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    ASSERT_TRUE(probe.fired);
    EXPECT_TRUE(probe.busy);
    EXPECT_EQ(probe.status, kCalculating);
    EXPECT_EQ(probe.enabled, std::vector<bool>(kBusyIds.size(), false));
    EXPECT_TRUE(probe.waitCursor);
    EXPECT_EQ(EnabledStates(), before);
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

} // namespace
} // namespace kt
