// The undo script really restores the game: a patch built by the publisher's tool is
// applied by our engine through the Patch command with undo on, then the generated
// undo_patch.bat is run by the system's own command interpreter from another folder, with
// delayed expansion on, and the game and its recorded version must be exactly as before.
#include "tests/wine/Harness.h"

#include <string>

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;
const char kGameKey[] = "SOFTWARE\\Brackwater\\Tarrowsaga\\Moorgate";
// A recorded version that a .reg file must escape.
const char kOldVersion[] = "1.22 \"Moor\\Gate\"\\";

// The paths whose bytes differ between two trees, or that only one of them holds.
std::string Differences(const Tree& actual, const Tree& expected) {
    std::string out;
    for (const auto& [rel, bytes] : actual) {
        auto other = expected.find(rel);
        out += other == expected.end()  ? "unexpected: " + rel + "\n"
               : other->second != bytes ? "different: " + rel + "\n"
                                        : "";
    }
    for (const auto& [rel, bytes] : expected) {
        out += actual.count(rel) == 0 ? "missing: " + rel + "\n" : "";
    }
    return out;
}

class UndoRestoreTest : public DialogTest {};

TEST_F(UndoRestoreTest, UndoScriptRestoresTheGameAndItsVersion) {
    const std::string engineDll = BuildFile("patchw32\\patchw32.dll");
    const std::string tool = BuildFile("tools\\rtptool.exe");
    ASSERT_TRUE(PathExists(engineDll) && PathExists(tool)) << "build patchw32 and rtptool first";

    // Version 1.22 and 1.23 of the game, with accented names (all of them in the console's
    // code page too) and names that cmd would take apart.
    Tree v1 = {
        {"tarrowmain.exe", ReadFileBytes(BuildFile("tests\\versions\\ver_1_0_12_0_pb1549.exe"))},
        {"Donn\351es\\carte.dat", GameData(300000, 1)},
        {"data\\keep.dat", GameData(5000, 2)},
        {"data\\bang!.dat", GameData(4000, 6)},
        {"sounds\\gone.wav", GameData(7000, 3)},
        {"Docs\\notes.txt", "the manual's notes"},
        {"Saves\\slot1.sav", "a saved game"},
        {"readme.txt", "Tarrowmoor 1.22\r\n"}};
    Tree v2 = v1;
    v2["tarrowmain.exe"] = ReadFileBytes(BuildFile("tests\\versions\\ver_2_0_5_1_pb1234.exe"));
    v2["Donn\351es\\carte.dat"] = GameData(300000, 1, 150000, 'x');
    v2["data\\bang!.dat"] = GameData(4000, 6, 100, 'z');
    v2["readme.txt"] = "Tarrowmoor 1.23\r\n";
    v2.erase("sounds\\gone.wav");
    v2["caf\xE9.dat"] = GameData(12000, 5);         // a bare name found nowhere before
    v2["notes.txt"] = "new notes at the top";       // a bare name that Docs holds too
    v2["Saves\\readme.txt"] = "how to load a game"; // a path whose name is at the top
    v2["Nouveau dossier\\\361and\372!.dat"] = "in a folder the patch makes";
    v2["sounds\\r&d 100%.dat"] = "added with an awkward name";
    const std::string trees = *scratch / "trees";
    WriteTree(trees + "\\v1", v1);
    WriteTree(trees + "\\v2", v2);
    const Tree v1Snapshot = Snapshot(trees + "\\v1");
    const Tree v2Snapshot = Snapshot(trees + "\\v2");
    MakeDirs(*scratch / "Patch Files");
    const std::string patch = *scratch / "Patch Files\\tarrow_1.23_from_1.22.rtp";
    ASSERT_EQ(RunProgram("\"" + tool + "\" build \"" + trees + "\\v1\" \"" + trees + "\\v2\" \"" +
                             patch + "\"",
                         "", *scratch / "rtptool.log"),
              0)
        << ReadFileBytes(*scratch / "rtptool.log");

    WriteTree(gameDir, v1);
    CopyFileOrDie(engineDll, gameDir + "\\patchw32.dll");
    // Files beside the game that a removal must never reach.
    const Tree outside = {{"Games\\caf\xE9.dat", "same name as an added file, one folder up"},
                          {"Games\\Other Game\\notes.txt", "same name, another game"}};
    for (const auto& [rel, bytes] : outside) {
        WriteFileBytes(*scratch / rel, bytes);
    }
    SetGameRegistry(gameDir, std::string(kOldVersion));
    prompts->drives = std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}};
    prompts->freeByDrive["C:\\"] = 10 * kGiB;
    const std::string backupRoot = *scratch / "Copies de s\351curit\351";
    MakeDirs(backupRoot);
    MakeDirs(*scratch / "Temp Files");
    MakeDirs(*scratch / "Somewhere Else");

    // The player picks the temp directory, the patch and the backup destination, and patches.
    OpenDialog();
    prompts->browseAnswers.push_back(*scratch / "Temp Files");
    Click(IDC_SELECT_TEMP_DIR);
    prompts->openAnswers.push_back(patch);
    Click(IDC_SELECT_PATCH);
    ASSERT_EQ(dlg->m_strPatchPath, patch);
    prompts->browseAnswers.push_back(backupRoot);
    Click(IDC_ENABLE_UNDO);
    ASSERT_TRUE(dlg->m_bUndo);
    const std::string backupDir = backupRoot + "\\undo_from_1.22";
    ASSERT_EQ(dlg->m_strBackupDir + dlg->m_strBackupFolder, backupDir);
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].text, "Patch successful!\nBackup is located in " + backupDir +
                                          ".\nRun undo_patch.bat to undo patching.");
    ASSERT_EQ(Differences(GameFiles(gameDir), v2Snapshot), "");
    CloseDialog();

    // Afterwards: the game's updater records the new version, an added file is made
    // read-only, and the player keeps a file of an added file's name elsewhere.
    ASSERT_EQ(
        RunProgram("reg add \"HKLM\\" + std::string(kGameKey) + "\" /v Version /d 1.23 /f", "", ""),
        0);
    ASSERT_EQ(ReadGameRegistry("Version"), "1.23");
    ASSERT_TRUE(::SetFileAttributesA((gameDir + "\\caf\xE9.dat").c_str(),
                                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    WriteFileBytes(gameDir + "\\Saves\\caf\xE9.dat", "the player's own file");

    // The player runs the undo script from wherever the shell stands.
    const std::string log = *scratch / "undo.log";
    EXPECT_EQ(RunProgram("cmd.exe /v:on /c \"" + backupDir + "\\undo_patch.bat\"",
                         *scratch / "Somewhere Else", log),
              0)
        << ReadFileBytes(log);
    Tree expected = v1Snapshot;
    expected["Saves\\caf\xE9.dat"] = "the player's own file";
    EXPECT_EQ(Differences(GameFiles(gameDir), expected), "")
        << ReadFileBytes(backupDir + "\\undo_patch.bat") << "\n---\n"
        << ReadFileBytes(log);
    EXPECT_EQ(ReadGameRegistry("Version"), kOldVersion);
    for (const auto& [rel, bytes] : outside) {
        EXPECT_EQ(ReadFileBytes(*scratch / rel), bytes) << rel;
    }
    EXPECT_TRUE(PathExists(backupDir + "\\undo_patch.reg"));
}

} // namespace
} // namespace kt
