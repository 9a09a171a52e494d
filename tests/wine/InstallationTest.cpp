// The game's registry entry and the version of its executable, read from the real (Wine)
// registry and from real programs that carry version resources.
#include "environment/Environment.h"
#include "tests/wine/Harness.h"

namespace kt {
namespace {

class RegistryReadTest : public ::testing::Test {
  protected:
    void TearDown() override { DeleteGameRegistry(); }
};

TEST_F(RegistryReadTest, ValuesAreReturnedExactlyAsStored) {
    SetGameRegistry(std::string("C:\\Games\\Tarrow Moor\\"), std::string("1.22"));
    EXPECT_EQ(ReadInstallLocation(), "C:\\Games\\Tarrow Moor\\");
    EXPECT_EQ(ReadRegistryVersion(), "1.22");
}

TEST_F(RegistryReadTest, MissingKeyReadsAsFailureMarker) {
    DeleteGameRegistry();
    EXPECT_EQ(ReadInstallLocation(), "erR");
    EXPECT_EQ(ReadRegistryVersion(), "erR");
}

TEST_F(RegistryReadTest, MissingValueReadsAsFailureMarker) {
    SetGameRegistry(std::string("C:\\Games"), std::nullopt);
    EXPECT_EQ(ReadInstallLocation(), "C:\\Games");
    EXPECT_EQ(ReadRegistryVersion(), "erR");
}

TEST_F(RegistryReadTest, ValueLongerThan256BytesIsAFailureNotATruncation) {
    SetGameRegistry(std::nullopt);
    SetGameRegistryRaw("Location", std::string(256, 'x') + '\0'); // 257 bytes
    EXPECT_EQ(ReadInstallLocation(), "erR");
    SetGameRegistryRaw("Location", std::string(255, 'y') + '\0'); // 256 bytes fit
    EXPECT_EQ(ReadInstallLocation(), std::string(255, 'y'));
}

TEST_F(RegistryReadTest, EmptyVersionIsAnEmptyTextNotAFailure) {
    SetGameRegistry(std::string("C:\\Games"), std::string(""));
    EXPECT_EQ(ReadRegistryVersion(), "");
}

TEST_F(RegistryReadTest, ValueWithoutTerminatorFillingTheBufferIsTakenWhole) {
    SetGameRegistry(std::nullopt);
    SetGameRegistryRaw("Version", std::string(256, 'v'), REG_BINARY);
    EXPECT_EQ(ReadRegistryVersion(), std::string(256, 'v'));
}

std::string VersionProgram(const std::string& name) {
    return BuildFile("tests\\versions\\" + name + ".exe");
}

TEST(ExecutableVersion, PrefixAndPrivateBuild) {
    EXPECT_EQ(ReadExecutableVersion(VersionProgram("ver_2_0_5_1_pb1234")), "2.05.1234");
    EXPECT_EQ(ReadExecutableVersion(VersionProgram("ver_1_0_12_0_pb1549")), "1.12.1549");
    EXPECT_EQ(ReadExecutableVersion(VersionProgram("ver_1_3_12_0_pb7")), "1.12.7");
}

TEST(ExecutableVersion, WithoutPrivateBuildThePrefixKeepsItsDot) {
    EXPECT_EQ(ReadExecutableVersion(VersionProgram("ver_1_0_23_0_nopb")), "1.23.");
}

TEST(ExecutableVersion, WithoutTranslationNothingIsAppended) {
    EXPECT_EQ(ReadExecutableVersion(VersionProgram("ver_1_0_23_0_notrans")), "1.23.");
}

TEST(ExecutableVersion, NoVersionInformationOrNoFileIsTheFailureMarker) {
    EXPECT_EQ(ReadExecutableVersion(VersionProgram("ver_none")), "erR");
    EXPECT_EQ(ReadExecutableVersion("C:\\no\\such\\tarrowmain.exe"), "erR");
}

// ---------------------------------------------------------------------------
using GameVersionTest = DialogTest;

TEST_F(GameVersionTest, PaneOneShowsTheInstalledVersionAndKeepsTheFallback) {
    CopyFileOrDie(VersionProgram("ver_2_0_5_1_pb1234"), gameDir + "\\tarrowmain.exe");
    OpenDialog();
    EXPECT_EQ(dlg->m_strGameExe, gameDir + "\\tarrowmain.exe");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 2.05.1234");
    EXPECT_EQ(dlg->m_strGameVersion, "2.05.");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(GameVersionTest, RefreshAfterTheExecutableChanged) {
    CopyFileOrDie(VersionProgram("ver_1_0_23_0_nopb"), gameDir + "\\tarrowmain.exe");
    OpenDialog();
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 1.23.");
    EXPECT_EQ(dlg->m_strGameVersion, "1");
    CopyFileOrDie(VersionProgram("ver_1_0_12_0_pb1549"), gameDir + "\\tarrowmain.exe");
    dlg->ShowGameVersion();
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 1.12.1549");
    EXPECT_EQ(dlg->m_strGameVersion, "1.12.");
}

TEST_F(GameVersionTest, UnreadableVersionLeavesPaneAndFallbackAlone) {
    CopyFileOrDie(VersionProgram("ver_2_0_5_1_pb1234"), gameDir + "\\tarrowmain.exe");
    OpenDialog();
    CopyFileOrDie(VersionProgram("ver_none"), gameDir + "\\tarrowmain.exe");
    dlg->ShowGameVersion();
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 2.05.1234");
    EXPECT_EQ(dlg->m_strGameVersion, "2.05.");
}

TEST_F(GameVersionTest, RegistryLocationWithTrailingBackslashIsUsedUnchanged) {
    SetGameRegistry(gameDir + "\\", std::string("1.22"));
    CopyFileOrDie(VersionProgram("ver_2_0_5_1_pb1234"), gameDir + "\\tarrowmain.exe");
    OpenDialog();
    EXPECT_EQ(dlg->m_strGameDir, gameDir + "\\");
    EXPECT_EQ(dlg->m_strGameExe, gameDir + "\\\\tarrowmain.exe");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 2.05.1234");
}

// ---------------------------------------------------------------------------
class DisksTest : public ::testing::Test {
  protected:
    ScriptedSeam seam;
};

TEST_F(DisksTest, RoomiestFixedDriveWinsAndTiesGoToTheEarlierLetter) {
    seam.drives = {{{"A:\\", DRIVE_REMOVABLE}, {"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED},
                    {"E:\\", DRIVE_REMOTE}, {"F:\\", DRIVE_CDROM}}};
    seam.freeByDrive = {{"A:\\", 900}, {"C:\\", 500}, {"D:\\", 500}, {"E:\\", 900}, {"F:\\", 900}};
    EXPECT_EQ(FindRoomiestFixedDrive(), "C:\\");
    seam.freeByDrive["D:\\"] = 501;
    EXPECT_EQ(FindRoomiestFixedDrive(), "D:\\");
}

TEST_F(DisksTest, NoFixedDriveWithFreeBytesGivesEmptyText) {
    seam.drives = {{{"A:\\", DRIVE_REMOVABLE}, {"E:\\", DRIVE_REMOTE}}};
    seam.freeByDrive = {{"A:\\", 900}, {"E:\\", 900}};
    EXPECT_EQ(FindRoomiestFixedDrive(), "");
    seam.drives = {{{"C:\\", DRIVE_FIXED}}};
    seam.freeByDrive = {{"C:\\", -1}}; // cannot be queried: counts as 0
    EXPECT_EQ(FindRoomiestFixedDrive(), "");
}

TEST_F(DisksTest, MoreThanTwentyFourDrivesAreAllConsidered) {
    std::vector<std::pair<std::string, UINT>> drives;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        drives.push_back({std::string(1, letter) + ":\\", DRIVE_FIXED});
        seam.freeByDrive[std::string(1, letter) + ":\\"] = 100;
    }
    seam.drives = drives;
    seam.freeByDrive["Z:\\"] = 101;
    EXPECT_EQ(FindRoomiestFixedDrive(), "Z:\\");
}

TEST_F(DisksTest, RealDriveListOfThisMachine) {
    // Wine lists C: (the prefix) and Z: (the root file system) at least.
    const std::string roots = seam.LogicalDriveStrings();
    EXPECT_NE(roots.find(std::string("C:\\\0", 4)), std::string::npos);
    EXPECT_FALSE(FindRoomiestFixedDrive().empty());
}

TEST_F(DisksTest, FreeSpaceTexts) {
    seam.freeByDrive = {{"C:\\", 13421772800LL}, {"D:\\", 0}, {"Q:\\", -1}};
    EXPECT_EQ(FreeSpaceText("C:\\Games"), "12.50 GB");
    EXPECT_EQ(FreeSpaceText("D:\\"), "no space");
    EXPECT_EQ(FreeSpaceText("Q:\\gone"), "0");
    EXPECT_EQ(GetFreeBytes("Q:\\gone"), 0);
    EXPECT_EQ(GetFreeBytes("c:\\x"), 13421772800LL);
}

TEST(RealDisks, UnknownVolumeCannotBeQueried) {
    EXPECT_EQ(FreeSpaceText("Q:\\no\\such\\volume"), "0");
    EXPECT_EQ(GetFreeBytes("Q:\\no\\such\\volume"), 0);
    EXPECT_GT(GetFreeBytes("C:\\"), 0);
}

} // namespace
} // namespace kt
