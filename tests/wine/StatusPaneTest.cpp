// The version pane of the status bar shows the whole version text in the bar's own font; the
// status pane gives up only what a long text needs beyond the usual 200 pixels.
#include "tests/wine/Harness.h"

namespace kt {
namespace {

using StatusPaneTest = DialogTest;

TEST_F(StatusPaneTest, VersionPaneFitsItsTextAndTakesNoMoreThanItNeeds) {
    const struct {
        const char* program;
        const char* text;
        bool wider; // needs more than 200 pixels in the default font
    } cases[] = {
        {"ver_2_0_5_1_pb1234", "Current Tarrow version is: 2.05.1234", true},
        {"ver_1_0_23_0_nopb", "Current Tarrow version is: 1.23.", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CopyFileOrDie(BuildFile(std::string("tests\\versions\\") + c.program + ".exe"),
                      gameDir + "\\tarrowmain.exe");
        OpenDialog();
        const fw::StatusBar& bar = dlg->m_wndStatusBar;
        ASSERT_EQ(bar.GetPaneText(1), c.text);
        RECT client{}, pane{};
        ::GetClientRect(dlg->m_hWnd, &client);
        ::SendMessageA(bar.m_hWnd, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&pane));
        // The control draws the text 3 pixels in from the pane's sunken edge (2 pixels).
        const int room = pane.right - pane.left - 2 * 2 - 3;
        const int text = bar.TextWidth(c.text);
        EXPECT_GE(room, text) << "text width " << text;
        int edges[2] = {};
        ::SendMessageA(bar.m_hWnd, SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges));
        if (c.wider) {
            EXPECT_LT(edges[0], client.right - 200);
            EXPECT_LE(room - text, 16) << "the version pane is wider than its text needs";
        } else {
            EXPECT_EQ(edges[0], client.right - 200);
        }
        CloseDialog();
    }
}

} // namespace
} // namespace kt
