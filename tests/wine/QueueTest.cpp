// The patch queue: the queue dialog's rows and buttons, and the main dialog's Use Queue and
// Clear Queue buttons, driven through the real controls.
#include "tests/wine/Automation.h"
#include "tests/wine/Harness.h"

#include "environment/Environment.h"
#include "queue/KelvaneQueue.h"

#include <functional>
#include <sstream>

namespace kt {
namespace {

void ClickIn(HWND dialog, int id) {
    ::SendMessageA(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// Works the modal queue dialog that Use Queue opens: a thread timer fires inside the
// dialog's own message loop, finds the window by its caption, lets the test act on it and
// presses "&Close". When no such window shows within two seconds, the driver closes whatever
// modal window the main dialog has, so that the test fails at once instead of hanging.
struct ModalDriver {
    std::function<void(HWND)> action;
    HWND main = nullptr;
    HWND seen = nullptr;
    HWND owner = nullptr;
    int ticks = 0;
    UINT_PTR timer = 0;
};
ModalDriver* g_driver = nullptr;

BOOL CALLBACK CloseOwnedWindow(HWND hwnd, LPARAM main) {
    if (::GetWindow(hwnd, GW_OWNER) == reinterpret_cast<HWND>(main)) {
        ::PostMessageA(hwnd, WM_COMMAND, IDCANCEL, 0);
    }
    return TRUE;
}

void CALLBACK DriveQueueDialog(HWND, UINT, UINT_PTR, DWORD) {
    ModalDriver* driver = g_driver;
    if (driver == nullptr) {
        return;
    }
    HWND queue = ::FindWindowA(nullptr, "Patch Queue");
    if (queue == nullptr || !::IsWindowVisible(queue)) {
        if (++driver->ticks > 100) {
            ::KillTimer(nullptr, driver->timer);
            ::EnumThreadWindows(::GetCurrentThreadId(), &CloseOwnedWindow,
                                reinterpret_cast<LPARAM>(driver->main));
        }
        return;
    }
    ::KillTimer(nullptr, driver->timer);
    driver->seen = queue;
    driver->owner = ::GetWindow(queue, GW_OWNER);
    if (driver->action) {
        driver->action(queue);
    }
    ClickIn(queue, IDCANCEL);
}

class QueueTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        OpenDialog();
    }

    // Presses "&Use Queue" and works the queue dialog with `action` before closing it.
    void UseQueue(std::function<void(HWND)> action) {
        ModalDriver driver;
        driver.action = std::move(action);
        driver.main = dlg->m_hWnd;
        g_driver = &driver;
        driver.timer = ::SetTimer(nullptr, 0, 20, &DriveQueueDialog);
        Click(IDC_USE_QUEUE);
        g_driver = nullptr;
        ::KillTimer(nullptr, driver.timer);
        ASSERT_NE(driver.seen, nullptr) << "the queue dialog did not open";
        EXPECT_EQ(driver.owner, dlg->m_hWnd);
        EXPECT_FALSE(::IsWindow(driver.seen)) << "the queue dialog is still open";
    }

    // Queues existing patch files (below the scratch folder) through "&Add to Queue".
    std::vector<std::string> UseQueueAdding(const std::vector<std::string>& rels) {
        std::vector<std::string> paths;
        for (const std::string& rel : rels) {
            paths.push_back(*scratch / rel);
            WriteFileBytes(paths.back(), "RTP");
        }
        UseQueue([&](HWND queue) {
            for (const std::string& path : paths) {
                prompts->openAnswers.push_back(path);
                ClickIn(queue, IDC_QUEUE_ADD);
            }
        });
        return paths;
    }

    // What the queue dialog shows when it opens again: its rows, and "+" when Remove is
    // enabled.
    std::vector<std::string> QueueShown() {
        std::vector<std::string> shown;
        UseQueue([&](HWND queue) {
            shown = ListBoxLines(::GetDlgItem(queue, IDC_QUEUE_LIST));
            if (::IsWindowEnabled(::GetDlgItem(queue, IDC_QUEUE_REMOVE))) {
                shown.push_back("+");
            }
        });
        return shown;
    }
};

// The queue dialog on its own. Steps: "+path" Add answered with a path, "+" Add cancelled,
// "-n" row n selected and removed, "-" Remove without a selection.
TEST_F(QueueTest, QueueDialogEditsTheQueue) {
    struct Row {
        TextList start;
        const char* steps;
        TextList queue;
    };
    // clang-format off
    const Row rows[] = {
        {{"C:\\Downloads\\tm_122_123.rtp", "D:\\more\\tm_123_124.rtp", "bare.rtp"}, "", {"C:\\Downloads\\tm_122_123.rtp", "D:\\more\\tm_123_124.rtp", "bare.rtp"}},
        {{"C:\\p\\one.rtp"}, "+", {"C:\\p\\one.rtp"}},
        // A name already queued is refused without a word; another case is another name.
        {{}, "+C:\\a\\patch.rtp +D:\\b\\patch.rtp +E:\\c\\Patch.rtp +C:\\a\\patch.rtp", {"C:\\a\\patch.rtp", "E:\\c\\Patch.rtp"}},
        {{"C:\\p\\one.rtp", "C:\\q\\two.rtp", "C:\\r\\three.rtp", "C:\\s\\Two.rtp"}, "-1 -2", {"C:\\p\\one.rtp", "C:\\r\\three.rtp"}},
        {{"C:\\p\\one.rtp", "C:\\q\\two.rtp"}, "-", {"C:\\p\\one.rtp", "C:\\q\\two.rtp"}},
        {{"C:\\p\\one.rtp"}, "-0", {}},
        {{"C:\\p\\one.rtp"}, "-0 +D:\\other\\one.rtp", {"D:\\other\\one.rtp"}},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.steps);
        dlg->m_listQueue = r.start;
        prompts->openRequests.clear();
        CKelvaneQueue queue(dlg->m_listQueue, dlg->m_hWnd);
        ASSERT_TRUE(queue.Create());
        ::ShowWindow(queue.m_hWnd, SW_SHOW);
        PumpMessages();
        HWND list = queue.GetDlgItem(IDC_QUEUE_LIST);
        EXPECT_EQ(::SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
        std::istringstream in(r.steps);
        size_t adds = 0;
        for (std::string step; in >> step;) {
            if (step[0] == '+') {
                prompts->openAnswers.push_back(step.substr(1));
                ClickIn(queue.m_hWnd, IDC_QUEUE_ADD);
                ++adds;
            } else {
                if (step.size() > 1) {
                    ::SendMessageA(list, LB_SETCURSEL, std::stoi(step.substr(1)), 0);
                }
                ClickIn(queue.m_hWnd, IDC_QUEUE_REMOVE);
            }
            PumpMessages();
        }
        EXPECT_EQ(dlg->m_listQueue, r.queue);
        std::vector<std::string> names;
        for (const std::string& path : r.queue) {
            names.push_back(FileNameOf(path));
        }
        EXPECT_EQ(ListBoxLines(list), names);
        EXPECT_EQ(queue.IsItemEnabled(IDC_QUEUE_REMOVE), !r.queue.empty());
        EXPECT_TRUE(queue.IsItemEnabled(IDC_QUEUE_ADD));
        ASSERT_EQ(prompts->openRequests.size(), adds);
        for (const fw::OpenFileRequest& request : prompts->openRequests) {
            EXPECT_EQ(request.owner, queue.m_hWnd); // the request itself: ChoosersTest
        }
        EXPECT_TRUE(prompts->boxes.empty());
        // "&Close" ends the dialog; the queue stays as edited.
        HWND window = queue.m_hWnd;
        ClickIn(window, IDCANCEL);
        PumpMessages();
        EXPECT_FALSE(::IsWindow(window));
        EXPECT_EQ(dlg->m_listQueue, r.queue);
    }
}

// Use Queue and Clear Queue on the main dialog.

TEST_F(QueueTest, OneEntryBecomesTheChosenPatch) {
    WriteFileBytes(gameDir + "\\data\\maps.pak", std::string(1024, 'm'));
    WriteFileBytes(gameDir + "\\tarrow.dat", std::string(2048, 't'));
    WriteFileBytes(gameDir + "\\readme.txt", "unchanged");
    engine->Script("7 maps.pak\n7 TARROW.DAT\n7 new.dat\n");
    const std::string patch = UseQueueAdding({"my patches\\tm_122_123.rtp"})[0];
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Controls(), "--- q.uvios. 0P");
        EXPECT_EQ(dlg->m_strPatchPath, patch);
        EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "tm_122_123.rtp");
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
        EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
                  "Select Patch File: (requires min. 3.00 kb temp space)");
        EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO),
                  "Enable patch undo. (requires 3.00 kb additional space.)");
        // The space calculation ran once, in list mode, over the chosen patch.
        EXPECT_EQ(engine->Calls(),
                  (std::vector<std::string>{"-l  \"" + gameDir + "\" \"" + patch + "\""}));
        // Opened again the queue is empty; closed empty, the chosen patch stays.
        EXPECT_EQ(QueueShown(), std::vector<std::string>{});
    }
}

TEST_F(QueueTest, TwoEntriesEnterQueueModeUntilTheQueueIsCleared) {
    EXPECT_EQ(QueueShown(), std::vector<std::string>{}); // closed empty: nothing changes
    EXPECT_EQ(Controls(), "--- q..vi.s. 0P");
    EXPECT_TRUE(engine->Calls().empty());
    WriteFileBytes(gameDir + "\\tarrow.dat", std::string(2048, 't'));
    engine->Script("7 tarrow.dat\n");
    UseQueueAdding({"single\\tm_121_122.rtp"}); // a single patch chosen first
    ASSERT_EQ(Controls(), "--- q.uvios. 0P");
    const std::vector<std::string> q = UseQueueAdding({"q\\a.rtp", "q\\b.rtp"});
    EXPECT_EQ(dlg->m_listQueue, (TextList{q[0], q[1]}));
    // No option and no undo apply to a queue; nothing single is chosen.
    EXPECT_EQ(Controls(), "--- qc...o.. 2P");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "2 patch(es) in queue.");
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_EQ(engine->Calls().size(), 1u) << "no space calculation for a queue";
    // Edited in queue mode and counted again.
    const std::string c = UseQueueAdding({"q\\c.rtp"})[0];
    EXPECT_EQ(dlg->m_listQueue, (TextList{q[0], q[1], c}));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "3 patch(es) in queue.");
    Click(IDC_CLEAR_QUEUE);
    EXPECT_EQ(Controls(), "--- q..vi.s. 0P");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(QueueShown(), std::vector<std::string>{});
}

TEST_F(QueueTest, EmptyingTheQueueInQueueModeLeavesQueueModeOnly) {
    UseQueueAdding({"q\\a.rtp", "q\\b.rtp"});
    EXPECT_EQ(QueueShown(), (std::vector<std::string>{"a.rtp", "b.rtp", "+"}));
    UseQueue([&](HWND queue) {
        for (int i = 0; i < 2; ++i) {
            ::SendMessageA(::GetDlgItem(queue, IDC_QUEUE_LIST), LB_SETCURSEL, 0, 0);
            ClickIn(queue, IDC_QUEUE_REMOVE);
        }
    });
    // Nothing else changes: no patch is chosen, Patch stays enabled, options stay off.
    EXPECT_EQ(Controls(), "--- q....os. 0P");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(dlg->m_strPatchPath, "");
}

} // namespace
} // namespace kt
