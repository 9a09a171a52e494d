// A patch of thousands of files: the callback gathers the reports of each file into batches,
// and the player still sees every line in order, the list at its end and both bars full.
#include "tests/wine/Harness.h"

#include <commctrl.h>

namespace kt {
namespace {

using CallbackBatchTest = DialogTest; // each apply run clears the callback's state itself

TEST_F(CallbackBatchTest, ThousandsOfFilesShowEveryLineAndEndScrolledWithBothBarsDrawn) {
    OpenDialog();
    const int files = 3000;
    std::string script = "6 " + std::to_string(files) + "\n";
    std::vector<std::string> expected{"--- Applying:  \"C:\\p.rtp\" ---"};
    for (int i = 0; i < files; ++i) {
        const std::string name = "area" + std::to_string(i % 7) + "_f" + std::to_string(i) + ".dat";
        script += "7 " + name + "\n5 0\n5 32768\n";
        expected.push_back("Processing: " + name);
    }
    engine->Script(script);
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    PumpMessages();

    const fw::ListBox& list = dlg->m_ctrlMessages;
    std::vector<std::string> lines;
    for (int i = 0; i < list.GetCount(); ++i) {
        lines.push_back(list.GetText(i));
    }
    EXPECT_EQ(lines, expected);
    RECT client{};
    RECT last{};
    ::GetClientRect(list.m_hWnd, &client);
    ASSERT_NE(::SendMessageA(list.m_hWnd, LB_GETITEMRECT, static_cast<WPARAM>(lines.size() - 1),
                             reinterpret_cast<LPARAM>(&last)),
              LB_ERR);
    EXPECT_GE(last.top, client.top);
    EXPECT_LE(last.bottom, client.bottom);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), files);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 32768);
    // Between pumps the list does not redraw; after the run every control shows and draws.
    for (HWND control : {list.m_hWnd, dlg->m_ctrlProgressFile.m_hWnd, dlg->m_ctrlProgressTotal.m_hWnd}) {
        EXPECT_TRUE(::IsWindowVisible(control));
    }
}

} // namespace
} // namespace kt
