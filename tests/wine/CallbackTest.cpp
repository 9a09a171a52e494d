// The engine's callback against the real message list and progress bars: message lines,
// their splitting, the scroll notifications, progress, list mode and the message pumps.
#include "tests/wine/Harness.h"

#include "engine/Callback.h"

#include <commctrl.h>

namespace kt {
namespace {

std::vector<std::string> Lines(const fw::ListBox& list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list.GetCount(); ++i) {
        lines.push_back(list.GetText(i));
    }
    return lines;
}

int RangeLow(const fw::ProgressCtrl& bar) {
    return static_cast<int>(::SendMessageA(bar.m_hWnd, PBM_GETRANGE, TRUE, 0));
}
int RangeHigh(const fw::ProgressCtrl& bar) {
    return static_cast<int>(::SendMessageA(bar.m_hWnd, PBM_GETRANGE, FALSE, 0));
}

// Counts WM_MESSAGES_ADDED for one window: those taken from the thread's queue (posted)
// and those handed over directly (sent).
class NotificationCounter {
  public:
    explicit NotificationCounter(HWND target) {
        s_target = target;
        s_posted = 0;
        s_sent = 0;
        s_badParams = 0;
        const DWORD thread = ::GetCurrentThreadId();
        m_get = ::SetWindowsHookExA(WH_GETMESSAGE, &GetProc, nullptr, thread);
        m_call = ::SetWindowsHookExA(WH_CALLWNDPROC, &CallProc, nullptr, thread);
    }
    ~NotificationCounter() {
        ::UnhookWindowsHookEx(m_get);
        ::UnhookWindowsHookEx(m_call);
    }
    bool Installed() const { return m_get != nullptr && m_call != nullptr; }
    int Posted() const { return s_posted; }
    int Sent() const { return s_sent; }
    int BadParams() const { return s_badParams; }

  private:
    static LRESULT CALLBACK GetProc(int code, WPARAM wParam, LPARAM lParam) {
        const MSG* msg = reinterpret_cast<const MSG*>(lParam);
        if (code == HC_ACTION && wParam == PM_REMOVE && msg->hwnd == s_target &&
            msg->message == WM_MESSAGES_ADDED) {
            ++s_posted;
            if (msg->wParam != 0 || msg->lParam != 0) {
                ++s_badParams;
            }
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static LRESULT CALLBACK CallProc(int code, WPARAM wParam, LPARAM lParam) {
        const CWPSTRUCT* msg = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && msg->hwnd == s_target && msg->message == WM_MESSAGES_ADDED) {
            ++s_sent;
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline HWND s_target = nullptr;
    static inline int s_posted = 0;
    static inline int s_sent = 0;
    static inline int s_badParams = 0;
    HHOOK m_get = nullptr;
    HHOOK m_call = nullptr;
};

// A hidden window that counts the messages it is given.
class CountingWindow {
  public:
    static constexpr UINT kMessage = WM_APP + 0x31;
    CountingWindow() {
        WNDCLASSA cls{};
        cls.lpfnWndProc = &Proc;
        cls.hInstance = ::GetModuleHandleA(nullptr);
        cls.lpszClassName = "KelvaneCountingWindow";
        ::RegisterClassA(&cls); // a second registration fails harmlessly
        m_hWnd = ::CreateWindowExA(0, "KelvaneCountingWindow", "", WS_POPUP, 0, 0, 1, 1, nullptr,
                                   nullptr, ::GetModuleHandleA(nullptr), nullptr);
        s_count = 0;
    }
    ~CountingWindow() { ::DestroyWindow(m_hWnd); }
    void Post(int n) const {
        for (int i = 0; i < n; ++i) {
            ::PostMessageA(m_hWnd, kMessage, 0, 0);
        }
    }
    int Count() const { return s_count; }
    HWND m_hWnd = nullptr;

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == kMessage) {
            ++s_count;
            return 0;
        }
        return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    static inline int s_count = 0;
};

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
    std::vector<std::string> EngineLines() const {
        std::vector<std::string> lines = Lines(dlg->m_ctrlMessages);
        if (!lines.empty() && lines[0] == "--- Applying:  \"C:\\p.rtp\" ---") {
            lines.erase(lines.begin());
        }
        return lines;
    }
};

// --- the answer ---------------------------------------------------------------------------

TEST_F(CallbackTest, EveryIdIsAnsweredWithTheSameStaticEmptyText) {
    OpenDialog();
    unsigned number = 3;
    char text[] = "a text";
    const void* first = PatchCallback(0, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(static_cast<const char*>(first), "");
    for (UINT id : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 99u, 0xFFFFFFFFu}) {
        void* parm = (id == 5 || id == 6) ? static_cast<void*>(&number) : text;
        const void* answer = PatchCallback(id, parm);
        EXPECT_EQ(answer, first) << "id " << id;
        EXPECT_STREQ(static_cast<const char*>(answer), "") << "id " << id;
    }
}

TEST_F(CallbackTest, ReportWithoutItsParameterChangesNothingAndIsStillAnswered) {
    OpenDialog();
    g_pMessageList = &dlg->m_ctrlMessages;
    g_pProgressFile = &dlg->m_ctrlProgressFile;
    g_pProgressTotal = &dlg->m_ctrlProgressTotal;
    g_hDialog = dlg->m_hWnd;
    for (UINT id = 1; id <= 7; ++id) {
        const void* answer = PatchCallback(id, nullptr);
        ASSERT_NE(answer, nullptr);
        EXPECT_STREQ(static_cast<const char*>(answer), "");
    }
    EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), 0);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 0);
}

// --- message lines ------------------------------------------------------------------------

TEST_F(CallbackTest, TextIdsOneToFourAddLinesAfterTheLastLine) {
    OpenDialog();
    EXPECT_EQ(Apply("4 zz fourth id\n3 yy third id\n2 bb second id\n1 aa first id\n"), 0);
    EXPECT_EQ(EngineLines(), (std::vector<std::string>{"zz fourth id", "yy third id",
                                                       "bb second id", "aa first id"}));
}

TEST_F(CallbackTest, TextsAreSplitAndTrimmedIntoLines) {
    OpenDialog();
    const std::string eightyOne = std::string(80, 'a') + "b";
    const std::string oneSixty = std::string(80, 'c') + std::string(80, 'd');
    const std::string twoForty(240, 'e');
    EXPECT_EQ(Apply("1 " + eightyOne + "\n" +            // two lines
                    "2 " + oneSixty + "\n" +             // two lines and an empty third
                    "3 " + twoForty + "\n" +             // one whole line
                    "4  \\r\\n \n" +                     // only white space: one empty line
                    "1 Patching\\nfile  done.\\r\\n\n"), // line feed removed, CR LF trimmed
              0);
    EXPECT_EQ(EngineLines(), (std::vector<std::string>{std::string(80, 'a'), "b",
                                                       std::string(80, 'c'), std::string(80, 'd'),
                                                       "", twoForty, "", "Patchingfile  done."}));
}

TEST_F(CallbackTest, LongTextsAndFileNamesAreTakenWhole) {
    OpenDialog();
    std::string longText;
    for (int i = 0; i < 150; ++i) {
        longText += static_cast<char>('A' + i % 26);
        longText += std::to_string(i % 10);
    }
    longText += " end of a long text";
    std::string longName = "data";
    for (int i = 0; i < 40; ++i) {
        longName += "\\folder" + std::to_string(i);
    }
    longName += "\\file with a long name.dat";
    ASSERT_GT(longName.size(), 300u);
    EXPECT_EQ(Apply("1 " + longText + "\n7 " + longName + "\n"), 0);
    EXPECT_EQ(EngineLines(), (std::vector<std::string>{longText, "Processing: " + longName}));
}

TEST_F(CallbackTest, FileNameLineIsNotTrimmed) {
    OpenDialog();
    EXPECT_EQ(Apply("7  padded name.dat \n"), 0);
    EXPECT_EQ(EngineLines(), std::vector<std::string>{"Processing:  padded name.dat "});
}

// --- scroll notifications -------------------------------------------------------------------

TEST_F(CallbackTest, TwoTextMessagesPostTwoNotifications) {
    OpenDialog();
    PumpMessages();
    NotificationCounter counter(dlg->m_hWnd);
    ASSERT_TRUE(counter.Installed());
    // The first text gives three lines and still one notification.
    EXPECT_EQ(Apply("1 " + std::string(200, 'x') + "\n2 second\n"), 0);
    PumpMessages();
    EXPECT_EQ(counter.Posted(), 2);
    EXPECT_EQ(counter.Sent(), 0);
    EXPECT_EQ(counter.BadParams(), 0);
    EXPECT_EQ(EngineLines().size(), 4u);
}

TEST_F(CallbackTest, EachFileNamePostsOneNotification) {
    OpenDialog();
    PumpMessages();
    NotificationCounter counter(dlg->m_hWnd);
    ASSERT_TRUE(counter.Installed());
    EXPECT_EQ(Apply("7 a.dat\n5 100\n6 2\n7 b.dat\n"), 0);
    PumpMessages();
    EXPECT_EQ(counter.Posted(), 2);
    EXPECT_EQ(counter.Sent(), 0);
}

TEST_F(CallbackTest, ListEndsScrolledToItsLastLine) {
    OpenDialog();
    std::string script;
    for (int i = 0; i < 60; ++i) {
        script += "1 message line " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(Apply(script), 0);
    // The notifications were dispatched by the callback's own pumps, within the run.
    const HWND list = dlg->m_ctrlMessages.m_hWnd;
    const int count = dlg->m_ctrlMessages.GetCount();
    ASSERT_EQ(count, 61);
    EXPECT_EQ(dlg->m_ctrlMessages.GetText(count - 1), "message line 59");
    EXPECT_GT(dlg->m_ctrlMessages.GetTopIndex(), 0);
    RECT client{};
    RECT last{};
    ::GetClientRect(list, &client);
    ASSERT_NE(::SendMessageA(list, LB_GETITEMRECT, static_cast<WPARAM>(count - 1),
                             reinterpret_cast<LPARAM>(&last)),
              LB_ERR);
    EXPECT_GE(last.top, client.top);
    EXPECT_LE(last.bottom, client.bottom);
}

// --- ids that are not reports ---------------------------------------------------------------

TEST_F(CallbackTest, IdsZeroAndEightChangeNothing) {
    OpenDialog();
    engine->Script("6 50\n5 1000\n7 a.dat\n---\n0 zero\n8 eight\n0 \n8 5\n");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    // Second run: its own fresh start, then only ids 0 and 8.
    dlg->m_ctrlProgressTotal.SetRange32(0, 50);
    dlg->m_ctrlProgressTotal.SetPos(17);
    PumpMessages();
    NotificationCounter counter(dlg->m_hWnd);
    ASSERT_TRUE(counter.Installed());
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    PumpMessages();
    EXPECT_EQ(EngineLines(), std::vector<std::string>{});
    EXPECT_EQ(dlg->m_ctrlMessages.GetCount(), 1); // the "--- Applying: " line only
    EXPECT_EQ(counter.Posted(), 0);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 0);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressFile), 32768);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressTotal), 50);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 0); // reset by the run, not moved by 0 or 8
    EXPECT_EQ(engine->Calls().size(), 2u); // the engine got its answers and ran to its end
}

// --- progress -------------------------------------------------------------------------------

TEST_F(CallbackTest, ProgressBarsFollowIdsFiveSixAndSeven) {
    OpenDialog();
    EXPECT_EQ(Apply("6 100\n5 8192\n7 a.dat\n7 b.dat\n5 20000\n7 c.dat\n"), 0);
    EXPECT_EQ(RangeLow(dlg->m_ctrlProgressFile), 0);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressFile), 32768);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 20000);
    EXPECT_EQ(RangeLow(dlg->m_ctrlProgressTotal), 0);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressTotal), 100);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 3); // one step per file, not the usual ten
}

TEST_F(CallbackTest, FileProgressUsesTheWholeScale) {
    OpenDialog();
    EXPECT_EQ(Apply("5 32768\n"), 0);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 32768);
    EXPECT_EQ(Apply("5 16384\n"), 0);
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 16384);
}

// --- list mode ------------------------------------------------------------------------------

TEST_F(CallbackTest, ListModeCollectsNamesInArrivalOrderAndTouchesNoControl) {
    OpenDialog();
    dlg->m_ctrlMessages.InsertString(-1, "kept line");
    dlg->m_ctrlProgressFile.SetRange32(0, 200);
    dlg->m_ctrlProgressFile.SetPos(33);
    dlg->m_ctrlProgressTotal.SetRange32(0, 40);
    dlg->m_ctrlProgressTotal.SetPos(11);
    dlg->m_strPatchPath = "C:\\p.rtp";
    PumpMessages();
    NotificationCounter counter(dlg->m_hWnd);
    ASSERT_TRUE(counter.Installed());
    engine->Script("6 9\n"
                   "7 zeta\\z.dat\n"
                   "1 an engine text\n"
                   "7 alpha.dat\n"
                   "5 30000\n"
                   "2 another text\n"
                   "7 zeta\\z.dat\n"
                   "3 third\n4 fourth\n"
                   "7  blank edged.dat \n");
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    PumpMessages();
    EXPECT_EQ(
        std::vector<std::string>(dlg->m_listEngineListing.begin(), dlg->m_listEngineListing.end()),
        (std::vector<std::string>{"zeta\\z.dat", "alpha.dat", "zeta\\z.dat", " blank edged.dat "}));
    EXPECT_EQ(Lines(dlg->m_ctrlMessages), std::vector<std::string>{"kept line"});
    EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 33);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressFile), 200);
    EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 11);
    EXPECT_EQ(RangeHigh(dlg->m_ctrlProgressTotal), 40);
    EXPECT_EQ(counter.Posted(), 0);
    EXPECT_EQ(counter.Sent(), 0);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(CallbackTest, ListModeTakesLongNamesWhole) {
    OpenDialog();
    const std::string name = "maps\\" + std::string(400, 'm') + ".dat";
    dlg->m_strPatchPath = "C:\\p.rtp";
    engine->Script("7 " + name + "\n");
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    ASSERT_EQ(dlg->m_listEngineListing.size(), 1u);
    EXPECT_EQ(dlg->m_listEngineListing.front(), name);
}

TEST_F(CallbackTest, ListRunWithNoNamesLeavesTheListingEmpty) {
    OpenDialog();
    dlg->m_strPatchPath = "C:\\p.rtp";
    dlg->m_listEngineListing = {"stale.dat"};
    engine->Script("1 nothing to list\n");
    EXPECT_EQ(dlg->ListPatchFiles(), 0);
    EXPECT_TRUE(dlg->m_listEngineListing.empty());
}

// --- message pumps --------------------------------------------------------------------------

TEST_F(CallbackTest, EachReportDispatchesUpToTenPendingMessagesBeforeAndAfter) {
    OpenDialog();
    PumpMessages();
    CountingWindow window;
    ASSERT_NE(window.m_hWnd, nullptr);
    PumpMessages();
    window.Post(50);
    engine->Script("0 one report\n");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    EXPECT_EQ(window.Count(), 20);
    engine->Script("0 one\n0 two\n");
    EXPECT_EQ(dlg->RunPatchEngine("C:\\p.rtp", "C:\\"), 0);
    EXPECT_EQ(window.Count(), 50); // 30 were left: 10 + 10 + 10
    PumpMessages();
    EXPECT_EQ(window.Count(), 50);
}

TEST_F(CallbackTest, PumpStopsWhenNothingIsPending) {
    OpenDialog();
    PumpMessages();
    CountingWindow window;
    PumpMessages();
    window.Post(3);
    EXPECT_EQ(Apply("0 x\n"), 0);
    EXPECT_EQ(window.Count(), 3);
}

TEST_F(CallbackTest, NotificationPostedByOneReportIsDispatchedByItsOwnSecondPump) {
    OpenDialog();
    PumpMessages();
    NotificationCounter counter(dlg->m_hWnd);
    ASSERT_TRUE(counter.Installed());
    g_pMessageList = &dlg->m_ctrlMessages;
    g_pProgressFile = &dlg->m_ctrlProgressFile;
    g_pProgressTotal = &dlg->m_ctrlProgressTotal;
    g_hDialog = dlg->m_hWnd;
    char text[] = "direct report";
    PatchCallback(1, text);
    EXPECT_EQ(counter.Posted(), 1);
    EXPECT_EQ(Lines(dlg->m_ctrlMessages), std::vector<std::string>{"direct report"});
    MSG msg;
    EXPECT_FALSE(
        ::PeekMessageA(&msg, dlg->m_hWnd, WM_MESSAGES_ADDED, WM_MESSAGES_ADDED, PM_NOREMOVE));
}

} // namespace
} // namespace kt
