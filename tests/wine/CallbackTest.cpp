// The engine's callback against the real message list and progress bars: message lines and
// their splitting, progress, thousands of files in batches (list mode: EngineRunTest.ListRun).
#include "tests/wine/Harness.h"

#include "engine/Callback.h"

#include <commctrl.h>

#include <thread>

namespace kt {
namespace {

using Texts = std::vector<std::string>;

int RangeHigh(const fw::ProgressCtrl& bar) {
    return static_cast<int>(::SendMessageA(bar.m_hWnd, PBM_GETRANGE, FALSE, 0));
}

class CallbackTest : public DialogTest {
  protected:
    void TearDown() override {
        ClearCallbackState(); // no test leaves targets behind for the next dialog
        DialogTest::TearDown();
    }
    int Apply(const std::string& script) {
        engine->Script(script);
        return dlg->RunPatchEngine("C:\\p.rtp", "C:\\");
    }
    // The lines after the run's own "--- Applying: " line.
    Texts EngineLines() const {
        Texts lines;
        for (int i = 1; i < dlg->m_ctrlMessages.GetCount(); ++i) {
            lines.push_back(dlg->m_ctrlMessages.GetText(i));
        }
        return lines;
    }
    void PointAtDialog() {
        g_pMessageList = &dlg->m_ctrlMessages;
        g_pProgressFile = &dlg->m_ctrlProgressFile;
        g_pProgressTotal = &dlg->m_ctrlProgressTotal;
        g_hDialog = dlg->m_hWnd;
    }
};

// Every report, known or not, with or without its parameter, is answered with an empty
// text; a report without its parameter changes nothing.
TEST_F(CallbackTest, EveryReportIsAnswered) {
    OpenDialog();
    PointAtDialog();
    unsigned number = 3;
    char text[] = "a text";
    for (bool withParm : {false, true}) {
        for (UINT id : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 99u, 0xFFFFFFFFu}) {
            void* parm = !withParm              ? nullptr
                         : (id == 5 || id == 6) ? static_cast<void*>(&number)
                                                : static_cast<void*>(text);
            const void* answer = PatchCallback(id, parm);
            ASSERT_NE(answer, nullptr) << id;
            EXPECT_STREQ(static_cast<const char*>(answer), "") << id;
        }
        if (!withParm) {
            EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), 0);
            EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 0);
        }
    }
}

TEST_F(CallbackTest, TextsBecomeLinesInArrivalOrder) {
    OpenDialog();
    std::string longText;
    for (int i = 0; i < 150; ++i) {
        longText += static_cast<char>('A' + i % 26) + std::to_string(i % 10);
    }
    const std::string longName = "data\\" + std::string(300, 'f') + "\\file with a long name.dat";
    EXPECT_EQ(Apply("4 zz fourth id\n3 yy third id\n2 bb second id\n1 aa first id\n"
                    "1 " +
                    std::string(80, 'a') + "b\n" +       // split (the cuts: MessageSplit)
                    "1 Patching\\nfile  done.\\r\\n\n" + // LF removed, CR LF trimmed
                    "0 zero\n8 eight\n" +                // not reports: no lines
                    "1 " + longText + "\n7 " + longName + "\n7  padded name.dat \n"),
              0);
    EXPECT_EQ(EngineLines(), (Texts{"zz fourth id", "yy third id", "bb second id", "aa first id",
                                    std::string(80, 'a'), "b", "Patchingfile  done.", longText,
                                    "Processing: " + longName, "Processing:  padded name.dat "}));
}

// Id 6 sets the total bar's range, each file name (id 7) moves it one step, id 5 sets the
// file bar on its scale of 32768; ids 0 and 8 move nothing.
TEST_F(CallbackTest, ProgressBarsFollowTheReports) {
    OpenDialog();
    EXPECT_EQ(Apply("6 100\n5 8192\n7 a.dat\n7 b.dat\n5 32768\n7 c.dat\n0 x\n8 5\n"), 0);
    EXPECT_EQ(::SendMessageA(dlg->m_ctrlProgressFile.m_hWnd, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressFile), 32768);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 32768);
    EXPECT_EQ(::SendMessageA(dlg->m_ctrlProgressTotal.m_hWnd, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressTotal), 100);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 3);
    EXPECT_EQ(Apply("5 16384\n0 zero\n8 eight\n"), 0);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 16384);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 0);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressTotal), 100);
    EXPECT_EQ(EngineLines(), Texts{});
}

// Thousands of files: the reports are gathered in batches, and still every line arrives in
// order, the list ends scrolled to its last line and drawn again, and both bars are full.
TEST_F(CallbackTest, ThousandsOfFilesShowEveryLineAndEndScrolledWithBothBarsFull) {
    OpenDialog();
    std::string script = "6 3000\n";
    Texts expected;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "area" + std::to_string(i % 7) + "_f" + std::to_string(i) + ".dat";
        script += "7 " + name + "\n5 0\n5 32768\n";
        expected.push_back("Processing: " + name);
    }
    EXPECT_EQ(Apply(script), 0);
    PumpMessages();
    EXPECT_EQ(EngineLines(), expected);
    HWND list = dlg->m_ctrlMessages.m_hWnd;
    RECT client{}, last{};
    ::GetClientRect(list, &client);
    ASSERT_NE(
        ::SendMessageA(list, LB_GETITEMRECT, expected.size(), reinterpret_cast<LPARAM>(&last)),
        LB_ERR);
    EXPECT_GE(last.top, client.top);
    EXPECT_LE(last.bottom, client.bottom);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 3000);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 32768);
    // The list does not redraw between pumps; after the run its scroll bar knows every line.
    SCROLLINFO scroll{sizeof scroll, SIF_RANGE, 0, 0, 0, 0, 0};
    ::GetScrollInfo(list, SB_VERT, &scroll);
    EXPECT_EQ(scroll.nMax, static_cast<int>(expected.size()));
}

// The engine runs on a thread of its own: what is sent to the window while the engine waits
// without reporting anything is handled at once (else the engine's wait runs out: 79).
TEST_F(CallbackTest, TheWindowAnswersWhileTheEngineIsSilent) {
    OpenDialog();
    HANDLE answered = ::CreateEventA(nullptr, TRUE, FALSE, "KelvaneWindowAnswered");
    {
        DuringRun probe(
            dlg->m_hWnd, [&] { ::SetEvent(answered); }, WM_APP + 7);
        std::thread asker([this] {
            ::SendMessageTimeoutA(dlg->m_hWnd, WM_APP + 7, 0, 0, SMTO_NORMAL, 10000, nullptr);
        });
        EXPECT_EQ(Apply("await KelvaneWindowAnswered\n1 after\n"), 0);
        asker.join();
    }
    ::CloseHandle(answered);
    EXPECT_EQ(EngineLines(), Texts{"after"});
}

} // namespace
} // namespace kt
