// Start-up as a user meets it: the real dialog created in this process, and the real
// kelvane.exe started in its own process for the fatal errors and the main window's template.
#include "tests/wine/Automation.h"
#include "tests/wine/Harness.h"

#include <commctrl.h>

namespace kt {
namespace {

using StartupTest = DialogTest;

// A registered game opens idle, with or without the engine's entry point, with the About item
// in its system menu.
TEST_F(StartupTest, RegisteredGameOpensIdle) {
    for (bool entry : {true, false}) {
        Restart();
        if (!entry) {
            CopyFileOrDie(ScriptedEngine::NoEntryLibraryPath(), gameDir + "\\patchw32.dll");
        }
        OpenDialog();
        EXPECT_EQ(dlg->m_strGameDir, gameDir);
        EXPECT_NE(dlg->m_hEngine, nullptr);
        EXPECT_TRUE(prompts->boxes.empty());
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), ""); // no tarrowmain.exe in the game folder
        EXPECT_FALSE(dlg->m_bIgnoreMissing || dlg->m_bValidateOnly || dlg->m_bUndo ||
                     dlg->m_bUseQueue || dlg->m_bBusy);
        EXPECT_EQ(dlg->m_llRequiredSpace, 0);
        EXPECT_EQ(Controls(), "--- q..vi.s. 0P");
        HMENU menu = ::GetSystemMenu(dlg->m_hWnd, FALSE);
        const int last = ::GetMenuItemCount(menu) - 1;
        char text[64] = {};
        ::GetMenuStringA(menu, static_cast<UINT>(last), text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, "&About Kelvane...");
        EXPECT_EQ(::GetMenuItemID(menu, last), static_cast<UINT>(IDM_ABOUTBOX));
        EXPECT_TRUE(::GetMenuState(menu, static_cast<UINT>(last - 1), MF_BYPOSITION) &
                    MF_SEPARATOR);
    }
}

// Without a fixed drive the temp directory is the game directory (the roomiest fixed drive:
// Installation.Drives).
TEST_F(StartupTest, TempDirectoryFallsBackToTheGameDirectory) {
    prompts->drives = std::vector<std::pair<std::string, UINT>>{{"E:\\", DRIVE_REMOTE}};
    prompts->freeByDrive = {{"E:\\", 99999999999LL}};
    prompts->freeByPath = {{gameDir, 2048}};
    OpenDialog();
    EXPECT_EQ(dlg->m_strTempDir, gameDir);
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), gameDir);
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 2.00 kb free).");
}

// The real program in its own process.
class StartupProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = std::make_unique<ScratchDir>("startup");
        program = *scratch / "Program Dir";
        game = *scratch / "Games\\Tarrow Moor";
        MakeDirs(game);
        CopyFileOrDie(BuildFile("kelvane.exe"), program + "\\kelvane.exe");
        DeleteGameRegistry();
    }
    void TearDown() override {
        DeleteGameRegistry();
        process.reset();
        scratch.reset();
    }
    HWND Start(bool expectMain) {
        process = std::make_unique<Process>();
        EXPECT_TRUE(Launch(*process, program + "\\kelvane.exe", program));
        return WaitForWindow(process->pid(), expectMain ? "Kelvane" : "Error", 30000);
    }

    std::unique_ptr<ScratchDir> scratch;
    std::string program, game;
    std::unique_ptr<Process> process;
};

// A fatal start-up error: the box alone, no main window, and the program ends with 0.
TEST_F(StartupProcessTest, FatalErrors) {
    struct Row {
        bool registered;
        const char* engineIn;
        const char* engine;
        const char* text;
    };
    // clang-format off
    const Row rows[] = {
        // A copy beside the program does not count when the game is registered.
        {true, "program", "scripted", "Patchw32.dll file not found in Tarrowmoor directory, unable to proceed."},
        {false, "", "", "Patchw32.dll file not found in current directory, unable to proceed."},
        {true, "game", "junk", "Unable to find patchw32.dll. \n Please place this executable in the same directory as patchw32.dll !"},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        TearDown();
        SetUp();
        if (r.registered) {
            SetGameRegistry(game, std::string("1.22"));
        }
        const std::string dll =
            (r.engineIn == std::string("game") ? game : program) + "\\patchw32.dll";
        if (r.engine == std::string("scripted")) {
            CopyFileOrDie(ScriptedEngine::LibraryPath(), dll);
        } else if (r.engine == std::string("junk")) {
            WriteFileBytes(dll, "this is not a library");
        }
        HWND box = Start(false);
        ASSERT_NE(box, nullptr) << "no error box";
        EXPECT_EQ(MessageBoxText(box), r.text);
        EXPECT_EQ(WaitForWindow(process->pid(), "Kelvane", 0), nullptr);
        PressButton(box, IDOK);
        EXPECT_EQ(process->WaitExit(30000), std::optional<DWORD>(0));
    }
}

// The main window as a player sees it, for a registered game and for a game found in the
// current directory: the temp directory and its free space, the version of the game's own
// executable, the About box. (The controls' states at start-up: the in-process tests.)
TEST_F(StartupProcessTest, MainWindowShowsTheTempDirectoryAndTheGamesVersion) {
    for (bool registered : {true, false}) {
        SCOPED_TRACE(registered);
        TearDown();
        SetUp();
        const std::string dir = registered ? game : program;
        if (registered) {
            SetGameRegistry(game, std::string("1.22"));
        }
        CopyFileOrDie(ScriptedEngine::LibraryPath(), dir + "\\patchw32.dll");
        CopyFileOrDie(BuildFile(registered ? "tests\\versions\\ver_1_0_12_0_pb1549.exe"
                                           : "tests\\versions\\ver_2_0_5_1_pb1234.exe"),
                      dir + "\\tarrowmain.exe");
        HWND main = Start(true);
        ASSERT_NE(main, nullptr);
        const std::string label = WindowText(::GetDlgItem(main, 1018));
        EXPECT_EQ(label.rfind("Select a temp directory: (current has ", 0), 0u) << label;
        EXPECT_EQ(label.substr(label.size() - 7), " free).");
        EXPECT_EQ(WindowText(::GetDlgItem(main, 1001)).size(), 3u); // a drive root such as C:\ .
        HWND status = ::FindWindowExA(main, nullptr, STATUSCLASSNAMEA, nullptr);
        EXPECT_EQ(StatusPaneText(status, 0), "");
        EXPECT_EQ(StatusPaneText(status, 1), std::string("Current Tarrow version is: ") +
                                                 (registered ? "1.12.1549" : "2.05.1234"));

        // The About box from the system menu.
        ::PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        HWND about = WaitForWindow(process->pid(), "About Kelvane", 30000);
        ASSERT_NE(about, nullptr);
        EXPECT_TRUE(PressAndWaitGone(about, IDOK));
        PressButton(main, IDCANCEL); // Exit
        EXPECT_EQ(process->WaitExit(30000), std::optional<DWORD>(0));
    }
}

} // namespace
} // namespace kt
