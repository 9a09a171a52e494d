// Start-up as a user meets it: the real kelvane.exe started in its own process, and the
// real dialog created in this one.
#include "tests/wine/Automation.h"
#include "tests/wine/Harness.h"

#include <commctrl.h>

namespace kt {
namespace {

using StartupTest = DialogTest;

TEST_F(StartupTest, RegisteredGameOpensWithIdleControls) {
    OpenDialog();
    EXPECT_EQ(dlg->m_strGameDir, gameDir);
    EXPECT_NE(dlg->m_hEngine, nullptr);
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_UNCHECKED);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDCANCEL));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), ""); // no tarrowmain.exe in the game folder
    EXPECT_EQ(dlg->m_bIgnoreMissing, FALSE);
    EXPECT_EQ(dlg->m_bValidateOnly, FALSE);
    EXPECT_EQ(dlg->m_bUndo, FALSE);
    EXPECT_EQ(dlg->m_bUseQueue, FALSE);
    EXPECT_EQ(dlg->m_llRequiredSpace, 0);
}

TEST_F(StartupTest, TempDirectoryIsTheRoomiestFixedDrive) {
    prompts->drives = {{{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED}, {"E:\\", DRIVE_REMOVABLE}}};
    prompts->freeByDrive = {{"C:\\", 1000}, {"D:\\", 13421772800LL}, {"E:\\", 99999999999LL}};
    OpenDialog();
    EXPECT_EQ(dlg->m_strTempDir, "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 12.50 GB free).");
}

TEST_F(StartupTest, WithoutFixedDrivesTheTempDirectoryIsTheGameDirectory) {
    prompts->drives = {{{"E:\\", DRIVE_REMOTE}}};
    prompts->freeByPath = {{gameDir, 2048}};
    OpenDialog();
    EXPECT_EQ(dlg->m_strTempDir, gameDir);
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 2.00 kb free).");
}

TEST_F(StartupTest, LibraryWithoutEntryPointStillStarts) {
    CopyFileOrDie(ScriptedEngine::NoEntryLibraryPath(), gameDir + "\\patchw32.dll");
    OpenDialog();
    EXPECT_NE(dlg->m_hEngine, nullptr);
    EXPECT_TRUE(prompts->boxes.empty());
}

TEST_F(StartupTest, SystemMenuEndsWithSeparatorAndAboutItem) {
    OpenDialog();
    HMENU menu = ::GetSystemMenu(dlg->m_hWnd, FALSE);
    const int count = ::GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    char text[64] = {};
    ::GetMenuStringA(menu, static_cast<UINT>(count - 1), text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&About Kelvane...");
    EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    MENUITEMINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE;
    ::GetMenuItemInfoA(menu, static_cast<UINT>(count - 2), TRUE, &info);
    EXPECT_TRUE(info.fType & MFT_SEPARATOR);
}

TEST_F(StartupTest, WaitCursorOnlyWhileBusy) {
    OpenDialog();
    LRESULT idle = ::SendMessageA(dlg->m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(dlg->m_hWnd),
                                  MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    (void)idle;
    ::SetCursor(::LoadCursorA(nullptr, IDC_ARROW));
    dlg->m_bBusy = TRUE;
    ::SendMessageA(dlg->m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(dlg->m_hWnd),
                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(::GetCursor(), ::LoadCursorA(nullptr, IDC_WAIT));
    dlg->m_bBusy = FALSE;
}

TEST_F(StartupTest, MessagesAddedScrollsToTheLastLine) {
    OpenDialog();
    for (int i = 0; i < 60; ++i) {
        dlg->m_ctrlMessages.InsertString(-1, "line " + std::to_string(i));
    }
    ::PostMessageA(dlg->m_hWnd, WM_MESSAGES_ADDED, 0, 0);
    PumpMessages();
    EXPECT_GT(dlg->m_ctrlMessages.GetTopIndex(), 0);
    EXPECT_EQ(dlg->m_nMessageIndex, 0);
    // The lines stay in arrival order although the list box sorts added lines.
    EXPECT_EQ(dlg->m_ctrlMessages.GetText(10), "line 10");
}

// ---------------------------------------------------------------------------
// The real program in its own process.
class StartupProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = std::make_unique<ScratchDir>("startup");
        program = *scratch / "Program Dir";
        game = *scratch / "Games\\Tarrow Moor";
        MakeDirs(program);
        MakeDirs(game);
        CopyFileOrDie(BuildFile("kelvane.exe"), program + "\\kelvane.exe");
        DeleteGameRegistry();
    }
    void TearDown() override {
        DeleteGameRegistry();
        process.reset();
        scratch.reset();
    }
    void Start(const std::string& currentDir) {
        process = std::make_unique<Process>();
        ASSERT_TRUE(Launch(*process, program + "\\kelvane.exe", "", currentDir));
    }
    // Expects the fatal error box with this text; confirms it; the program ends with 0.
    void ExpectFatal(const std::string& text) {
        HWND box = WaitForWindow(process->pid(), "Error", 30000);
        ASSERT_NE(box, nullptr) << "no error box";
        EXPECT_EQ(MessageBoxText(box), text);
        EXPECT_EQ(WaitForWindow(process->pid(), "Kelvane", 0), nullptr);
        PressButton(box, IDOK);
        EXPECT_EQ(process->WaitExit(30000), 0u);
    }

    std::unique_ptr<ScratchDir> scratch;
    std::string program;
    std::string game;
    std::unique_ptr<Process> process;
};

TEST_F(StartupProcessTest, RegisteredGameWithoutEngineEndsEvenWithACopyBesideTheProgram) {
    SetGameRegistry(game, std::string("1.22"));
    CopyFileOrDie(ScriptedEngine::LibraryPath(), program + "\\patchw32.dll");
    Start(program);
    ExpectFatal("Patchw32.dll file not found in Tarrowmoor directory, unable to proceed.");
}

TEST_F(StartupProcessTest, NoRegistryEntryAndNoEngineInTheCurrentDirectory) {
    Start(program);
    ExpectFatal("Patchw32.dll file not found in current directory, unable to proceed.");
}

TEST_F(StartupProcessTest, EngineThatCannotBeLoaded) {
    SetGameRegistry(game, std::string("1.22"));
    WriteFileBytes(game + "\\patchw32.dll", "this is not a library");
    Start(program);
    ExpectFatal("Unable to find patchw32.dll. \n Please place this executable in the same "
                "directory as patchw32.dll !");
}

TEST_F(StartupProcessTest, NoRegistryEntryWithEngineAndGameInTheCurrentDirectory) {
    CopyFileOrDie(ScriptedEngine::LibraryPath(), program + "\\patchw32.dll");
    CopyFileOrDie(BuildFile("tests\\versions\\ver_2_0_5_1_pb1234.exe"),
                  program + "\\tarrowmain.exe");
    Start(program);
    HWND main = WaitForWindow(process->pid(), "Kelvane", 30000);
    ASSERT_NE(main, nullptr);
    HWND status = ::FindWindowExA(main, nullptr, STATUSCLASSNAMEA, nullptr);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(StatusPaneText(status, 1), "Current Tarrow version is: 2.05.1234");
    EXPECT_EQ(StatusPaneText(status, 0), "");
    ::PostMessageA(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(process->WaitExit(30000), 0u);
}

// The main window as a player sees it: every control with its id, class and text.
TEST_F(StartupProcessTest, SmokeMainWindowMatchesItsTemplate) {
    SetGameRegistry(game, std::string("1.22"));
    CopyFileOrDie(ScriptedEngine::LibraryPath(), game + "\\patchw32.dll");
    CopyFileOrDie(BuildFile("tests\\versions\\ver_1_0_12_0_pb1549.exe"), game + "\\tarrowmain.exe");
    Start(program);
    HWND main = WaitForWindow(process->pid(), "Kelvane", 30000);
    ASSERT_NE(main, nullptr);
    struct Expected {
        int id;
        const char* cls;
        const char* text;
        bool enabled;
    };
    const Expected controls[] = {
        {1021, "Static", "Select Patch File:", true},
        {1000, "Edit", "", true},
        {1002, "Button", "&Select Patch", true},
        {1014, "Button", "&Use Queue", true},
        {1015, "Button", "&Clear Queue", false},
        {1003, "Button", "Select &Temp Dir", true},
        {1005, "ListBox", "", true},
        {1006, "msctls_progress32", "", true},
        {1007, "msctls_progress32", "", true},
        {1009, "Button", "Ignore Missing Files.", true},
        {1010, "Button", "Validate install only.", true},
        {1, "Button", "&Patch", false},
        {2, "Button", "E&xit", true},
        {1019, "Button", "Enable patch undo.", false},
        {1020, "Static", "", false},
    };
    for (const Expected& e : controls) {
        HWND item = ::GetDlgItem(main, e.id);
        ASSERT_NE(item, nullptr) << e.id;
        char cls[64] = {};
        ::GetClassNameA(item, cls, sizeof cls);
        EXPECT_STRCASEEQ(cls, e.cls) << e.id;
        if (e.id != 1005) {
            EXPECT_EQ(WindowText(item), e.text) << e.id;
        }
        EXPECT_EQ(::IsWindowEnabled(item) != FALSE, e.enabled) << e.id;
    }
    const std::string label = WindowText(::GetDlgItem(main, 1018));
    EXPECT_EQ(label.rfind("Select a temp directory: (current has ", 0), 0u) << label;
    EXPECT_EQ(label.substr(label.size() - 7), " free).");
    const std::string temp = WindowText(::GetDlgItem(main, 1001));
    EXPECT_EQ(temp.size(), 3u) << temp; // a drive root such as C:\ .
    EXPECT_EQ(WindowText(main), "Kelvane");
    HWND status = ::FindWindowExA(main, nullptr, STATUSCLASSNAMEA, nullptr);
    EXPECT_EQ(StatusPaneText(status, 1), "Current Tarrow version is: 1.12.1549");
    ::Sleep(500);
    EXPECT_TRUE(SaveWindowImage(main, ArtifactsDir() + "\\main_dialog_startup.bmp"));

    // The About box from the system menu.
    ::PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND about = WaitForWindow(process->pid(), "About Kelvane", 30000);
    ASSERT_NE(about, nullptr);
    PressButton(about, IDOK);
    for (int i = 0; i < 100 && ::IsWindow(about); ++i) {
        ::Sleep(50);
    }
    EXPECT_FALSE(::IsWindow(about));
    PressButton(main, IDCANCEL); // Exit
    EXPECT_EQ(process->WaitExit(30000), 0u);
}

} // namespace
} // namespace kt
