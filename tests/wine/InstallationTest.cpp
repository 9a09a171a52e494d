// The game's registry entry, the version of its executable (real programs with version
// resources) and the drives, read through the real (Wine) system.
#include "environment/Environment.h"
#include "tests/wine/Harness.h"

namespace kt {
namespace {

TEST(Installation, RegistryValuesAreReadExactlyOrNotAtAll) {
    struct Row {
        std::optional<std::string> location, version;
        DWORD type;
        const char *wantLocation, *wantVersion;
    };
    const std::string big(256, 'x'), fits(255, 'y'), raw(256, 'v');
    const Row rows[] = {
        {"C:\\Games\\Tarrow Moor\\", "1.22", REG_SZ, "C:\\Games\\Tarrow Moor\\", "1.22"},
        {std::nullopt, std::nullopt, REG_SZ, "erR", "erR"}, // no key
        {"C:\\Games", std::nullopt, REG_SZ, "C:\\Games", "erR"},
        {"C:\\Games", "", REG_SZ, "C:\\Games", ""},
        {big, std::nullopt, REG_SZ, "erR", "erR"},           // 257 bytes: a failure, not cut
        {fits, std::nullopt, REG_SZ, fits.c_str(), "erR"},   // 256 bytes fit
        {std::nullopt, raw, REG_BINARY, "erR", raw.c_str()}, // no terminator, buffer full
    };
    for (const Row& r : rows) {
        DeleteGameRegistry();
        if (r.location || r.version) {
            SetGameRegistry(std::nullopt);
        }
        if (r.location) {
            SetGameRegistryRaw("Location", *r.location + '\0');
        }
        if (r.version) {
            SetGameRegistryRaw("Version", *r.version + (r.type == REG_SZ ? "\0" : ""), r.type);
        }
        EXPECT_EQ(ReadInstallLocation(), r.wantLocation);
        EXPECT_EQ(ReadRegistryVersion(), r.wantVersion);
    }
    DeleteGameRegistry();
}

std::string VersionProgram(const std::string& name) {
    return BuildFile("tests\\versions\\" + name + ".exe");
}

TEST(Installation, ExecutableVersion) {
    const std::pair<const char*, const char*> rows[] = {
        {"ver_2_0_5_1_pb1234", "2.05.1234"}, {"ver_1_0_12_0_pb1549", "1.12.1549"},
        {"ver_1_3_12_0_pb7", "1.12.7"},      {"ver_1_0_23_0_nopb", "1.23."},
        {"ver_1_0_23_0_notrans", "1.23."},   {"ver_none", "erR"},
        {"no_such_program", "erR"},
    };
    for (const auto& [program, version] : rows) {
        EXPECT_EQ(ReadExecutableVersion(VersionProgram(program)), version) << program;
    }
}

using GameVersionTest = DialogTest;

// Pane 1 shows the installed version; the fallback for the undo script is kept up to its
// last dot; an unreadable version leaves both alone. A location with a trailing backslash
// is used unchanged. The pane shows its whole text in the bar's font, taking more than the
// usual 200 pixels only for what a long text needs.
TEST_F(GameVersionTest, PaneOneFollowsTheExecutable) {
    auto expectPaneFits = [&](bool wider) {
        const fw::StatusBar& bar = dlg->m_wndStatusBar;
        RECT client{}, pane{};
        ::GetClientRect(dlg->m_hWnd, &client);
        ::SendMessageA(bar.m_hWnd, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&pane));
        // The control draws the text 3 pixels in from the pane's sunken edge (2 pixels).
        const int room = pane.right - pane.left - 2 * 2 - 3,
                  text = bar.TextWidth(bar.GetPaneText(1));
        EXPECT_GE(room, text) << "text width " << text;
        int edges[2] = {};
        ::SendMessageA(bar.m_hWnd, SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges));
        EXPECT_TRUE(wider ? edges[0] < client.right - 200 && room - text <= 16
                          : edges[0] == client.right - 200)
            << "pane from " << edges[0] << ", " << room - text << " pixels beyond the text";
    };
    SetGameRegistry(gameDir + "\\", std::string("1.22"));
    CopyFileOrDie(VersionProgram("ver_1_0_23_0_nopb"), gameDir + "\\tarrowmain.exe");
    OpenDialog();
    EXPECT_EQ(dlg->m_strGameExe, gameDir + "\\\\tarrowmain.exe");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 1.23.");
    EXPECT_EQ(dlg->m_strGameVersion, "1");
    expectPaneFits(false);
    for (const char* program : {"ver_2_0_5_1_pb1234", "ver_none"}) {
        CopyFileOrDie(VersionProgram(program), gameDir + "\\tarrowmain.exe");
        dlg->ShowGameVersion();
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 2.05.1234");
        EXPECT_EQ(dlg->m_strGameVersion, "2.05.");
        expectPaneFits(true);
    }
}

// The roomiest fixed drive (ties to the earlier letter, all 26 considered), else none; free
// space texts, with a volume that cannot be queried counting as 0.
TEST(Installation, Drives) {
    ScriptedSeam seam;
    seam.drives = {{{"A:\\", DRIVE_REMOVABLE},
                    {"C:\\", DRIVE_FIXED},
                    {"D:\\", DRIVE_FIXED},
                    {"E:\\", DRIVE_REMOTE},
                    {"F:\\", DRIVE_CDROM}}};
    seam.freeByDrive = {{"A:\\", 900}, {"C:\\", 500}, {"D:\\", 500}, {"E:\\", 900}, {"F:\\", 900}};
    EXPECT_EQ(FindRoomiestFixedDrive(), "C:\\");
    seam.freeByDrive["D:\\"] = 501;
    EXPECT_EQ(FindRoomiestFixedDrive(), "D:\\");
    seam.freeByDrive["C:\\"] = seam.freeByDrive["D:\\"] = -1;
    EXPECT_EQ(FindRoomiestFixedDrive(), "");
    seam.drives->clear();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        seam.drives->push_back({std::string(1, letter) + ":\\", DRIVE_FIXED});
    }
    seam.freeByDrive["Z:\\"] = 13421772800LL;
    EXPECT_EQ(FindRoomiestFixedDrive(), "Z:\\");
    seam.freeByDrive["D:\\"] = 0;
    EXPECT_EQ(FreeSpaceText("z:\\Games"), "12.50 GB");
    EXPECT_EQ(FreeSpaceText("D:\\"), "no space");
    EXPECT_EQ(FreeSpaceText("C:\\gone"), "0");
    EXPECT_EQ(GetFreeBytes("C:\\gone"), 0);
    seam.drives.reset();
    seam.freeByDrive.clear();
    // The real system: Wine lists C: (the prefix); an unknown volume cannot be queried.
    EXPECT_NE(seam.LogicalDriveStrings().find(std::string("C:\\\0", 4)), std::string::npos);
    EXPECT_FALSE(FindRoomiestFixedDrive().empty());
    EXPECT_EQ(FreeSpaceText("Q:\\no\\such\\volume"), "0");
    EXPECT_GT(GetFreeBytes("C:\\"), 0);
}

} // namespace
} // namespace kt
