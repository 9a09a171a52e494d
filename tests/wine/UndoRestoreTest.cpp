// The undo script really restores the game: a patch built by the publisher's tool is
// applied by our engine through the Patch command with undo on, then the generated
// undo_patch.bat is run by the system's own command interpreter from another folder, and
// the game and its recorded version must be exactly as before.
#include "tests/wine/Harness.h"

#include <map>
#include <string>

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;
const char kGameKey[] = "SOFTWARE\\Brackwater\\Tarrowsaga\\Moorgate";

// The paths whose bytes differ between two trees, or that only one of them holds.
std::string Differences(const Tree& actual, const Tree& expected) {
    std::string out;
    for (const auto& [rel, bytes] : actual) {
        auto other = expected.find(rel);
        if (other == expected.end()) {
            out += "unexpected: " + rel + "\n";
        } else if (other->second != bytes) {
            out += "different: " + rel + "\n";
        }
    }
    for (const auto& [rel, bytes] : expected) {
        if (actual.find(rel) == actual.end()) {
            out += "missing: " + rel + "\n";
        }
    }
    return out;
}

std::string RegistryVersion() {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGameKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "(no key)";
    }
    char value[256] = {};
    DWORD size = sizeof value - 1;
    const LONG status =
        ::RegQueryValueExA(key, "Version", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(value) : "(no value)";
}

class UndoRestoreTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        const std::string engineDll = BuildFile("patchw32\\patchw32.dll");
        const std::string tool = BuildFile("tools\\rtptool.exe");
        ASSERT_TRUE(PathExists(engineDll)) << "build the patchw32 target first: " << engineDll;
        ASSERT_TRUE(PathExists(tool)) << "build the rtptool target first: " << tool;

        // Version 1.22 and version 1.23 of the game. 1.23 changes data and the program,
        // adds files (one in a subfolder, one whose name holds "&" and "%") and drops one.
        v1 = {{"tarrowmain.exe",
               ReadFileBytes(BuildFile("tests\\versions\\ver_1_0_12_0_pb1549.exe"))},
              {"data\\map01.dat", GameData(300000, 1)},
              {"data\\keep.dat", GameData(5000, 2)},
              {"data\\sub\\deep.dat", GameData(4000, 6)},
              {"sounds\\gone.wav", GameData(7000, 3)},
              {"readme.txt", "Tarrowmoor 1.22\r\n"}};
        ASSERT_GT(v1["tarrowmain.exe"].size(), 0u);
        v2 = v1;
        v2["tarrowmain.exe"] = ReadFileBytes(BuildFile("tests\\versions\\ver_2_0_5_1_pb1234.exe"));
        v2["data\\map01.dat"] = GameData(300000, 1, 150000, 'x');
        v2["data\\sub\\deep.dat"] = GameData(4000, 6, 100, 'z');
        v2["data\\new.dat"] = GameData(12000, 5);
        v2["sounds\\r&d 100%.dat"] = "added with an awkward name";
        v2.erase("sounds\\gone.wav");
        v2["readme.txt"] = "Tarrowmoor 1.23\r\n";

        const std::string trees = *scratch / "trees";
        WriteTree(trees + "\\v1", v1);
        WriteTree(trees + "\\v2", v2);
        v1Snapshot = Snapshot(trees + "\\v1");
        v2Snapshot = Snapshot(trees + "\\v2");
        MakeDirs(*scratch / "Patch Files");
        patch = *scratch / "Patch Files\\tarrow_1.23_from_1.22.rtp";
        const std::string build =
            "\"" + tool + "\" build \"" + trees + "\\v1\" \"" + trees + "\\v2\" \"" + patch + "\"";
        ASSERT_EQ(RunProgram(build, "", *scratch / "rtptool.log"), 0)
            << ReadFileBytes(*scratch / "rtptool.log");

        WriteTree(gameDir, v1);
        CopyFileOrDie(engineDll, gameDir + "\\patchw32.dll");
        // Files beside the game that a removal line must never reach.
        outside = {{"Games\\Tarrow", "a file named like the first word of the game folder"},
                   {"Games\\new.dat", "same name as an added file, one folder up"},
                   {"Games\\Other Game\\new.dat", "same name, another game"},
                   {"new.dat", "same name, two folders up"}};
        for (const auto& [rel, bytes] : outside) {
            WriteFileBytes(*scratch / rel, bytes);
        }
        SetGameRegistry(gameDir, std::string("1.22"));

        prompts->drives = std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 10 * kGiB;
        tempDir = *scratch / "Temp Files";
        backupRoot = *scratch / "My Backups";
        MakeDirs(tempDir);
        MakeDirs(backupRoot);
        MakeDirs(*scratch / "Somewhere Else");
    }

    void ExpectOutsideUntouched() {
        for (const auto& [rel, bytes] : outside) {
            EXPECT_EQ(ReadFileBytes(*scratch / rel), bytes) << rel;
        }
    }

    Tree v1, v2, v1Snapshot, v2Snapshot, outside;
    std::string patch, tempDir, backupRoot;
};

TEST_F(UndoRestoreTest, UndoScriptRestoresTheGameAndItsVersion) {
    OpenDialog();
    ASSERT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 1.12.1549");

    // The temp directory, the patch and the backup destination, as the user picks them.
    prompts->browseAnswers.push_back(tempDir);
    Click(IDC_SELECT_TEMP_DIR);
    ASSERT_EQ(dlg->m_strTempDir, tempDir);
    prompts->openAnswers.push_back(patch);
    Click(IDC_SELECT_PATCH);
    ASSERT_EQ(dlg->m_strPatchPath, patch);
    ASSERT_GT(dlg->m_llRequiredSpace, 0);
    ASSERT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    prompts->browseAnswers.push_back(backupRoot);
    Click(IDC_ENABLE_UNDO);
    ASSERT_TRUE(dlg->m_bUndo);
    const std::string backupDir = dlg->m_strBackupDir + dlg->m_strBackupFolder;
    ASSERT_EQ(backupDir.rfind(backupRoot + "\\", 0), 0u);

    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].text, "Patch successful!\nBackup is located in " + backupDir +
                                          ".\nRun undo_patch.bat to undo patching.");
    EXPECT_EQ(prompts->boxes[0].caption, "Success");
    ASSERT_EQ(Differences(GameFiles(gameDir), v2Snapshot), "");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 2.05.1234");
    // The game's own updater records the new version.
    SetGameRegistryRaw("Version", std::string("1.23") + '\0');
    ASSERT_EQ(RegistryVersion(), "1.23");
    CloseDialog();

    // The player runs the undo script, from wherever the shell happens to stand.
    const std::string log = *scratch / "undo.log";
    const int code = RunProgram("cmd.exe /c \"" + backupDir + "\\undo_patch.bat\"",
                                *scratch / "Somewhere Else", log);
    EXPECT_EQ(code, 0) << ReadFileBytes(log);

    EXPECT_EQ(Differences(GameFiles(gameDir), v1Snapshot), "")
        << ReadFileBytes(backupDir + "\\undo_patch.bat") << "\n---\n"
        << ReadFileBytes(log);
    EXPECT_EQ(RegistryVersion(), "1.22");
    ExpectOutsideUntouched();
    // The backup itself stays where it is.
    EXPECT_TRUE(PathExists(backupDir + "\\undo_patch.bat"));
    EXPECT_TRUE(PathExists(backupDir + "\\undo_patch.reg"));
}

} // namespace
} // namespace kt
