// Start-up as a user meets it: what the dialog shows after it opened.
#include "tests/wine/Harness.h"

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
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), ""); // no tarrowmain.exe in the game folder
}

} // namespace
} // namespace kt
