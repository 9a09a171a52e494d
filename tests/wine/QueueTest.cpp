// The patch queue: the queue dialog's rows and buttons, and the main dialog's Use Queue and
// Clear Queue buttons, driven through the real controls.
#include "tests/wine/Harness.h"

#include "queue/KelvaneQueue.h"

#include <functional>

namespace kt {
namespace {

const char kRtpFilter[] = "RTP files (*.rtp)|*.rtp||";
const char kOpenTitle[] = "Please select the patch (*.rtp) to apply!";

// Rows of a list box, top to bottom.
std::vector<std::string> Rows(HWND list) {
    std::vector<std::string> rows;
    const int count = static_cast<int>(::SendMessageA(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        const LRESULT length = ::SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        std::string text(static_cast<size_t>(length) + 1, '\0');
        ::SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i),
                       reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(length));
        rows.push_back(text);
    }
    return rows;
}

void ClickIn(HWND dialog, int id) {
    ::SendMessageA(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

bool ItemEnabled(HWND dialog, int id) {
    return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != 0;
}

// ---------------------------------------------------------------------------
// Works the modal queue dialog that Use Queue opens: a thread timer fires inside the
// dialog's own message loop, finds the window by its caption, lets the test act on it
// and then presses "&Close".
struct ModalDriver {
    std::function<void(HWND)> action;
    HWND seen = nullptr;
    HWND owner = nullptr;
    int ticks = 0;
    UINT_PTR timer = 0;
};
ModalDriver* g_driver = nullptr;

BOOL CALLBACK FindQueueWindow(HWND hwnd, LPARAM found) {
    char caption[64] = {};
    char cls[32] = {};
    ::GetWindowTextA(hwnd, caption, sizeof caption);
    ::GetClassNameA(hwnd, cls, sizeof cls);
    if (std::string(caption) == "Patch Queue" && std::string(cls) == "#32770" &&
        ::IsWindowVisible(hwnd)) {
        *reinterpret_cast<HWND*>(found) = hwnd;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK DriveQueueDialog(HWND, UINT, UINT_PTR, DWORD) {
    ModalDriver* driver = g_driver;
    if (driver == nullptr) {
        return;
    }
    HWND queueWindow = nullptr;
    ::EnumThreadWindows(::GetCurrentThreadId(), &FindQueueWindow,
                        reinterpret_cast<LPARAM>(&queueWindow));
    if (queueWindow == nullptr) {
        if (++driver->ticks > 200) {
            ::KillTimer(nullptr, driver->timer); // never appeared; the test will say so
        }
        return;
    }
    ::KillTimer(nullptr, driver->timer);
    driver->seen = queueWindow;
    driver->owner = ::GetWindow(queueWindow, GW_OWNER);
    if (driver->action) {
        driver->action(queueWindow);
    }
    ClickIn(queueWindow, IDCANCEL);
}

class QueueTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        if (!HasFatalFailure()) {
            OpenDialog();
        }
    }

    // Presses "&Use Queue" and works the queue dialog with `action` before closing it.
    void UseQueue(std::function<void(HWND)> action) {
        ModalDriver driver;
        driver.action = std::move(action);
        g_driver = &driver;
        driver.timer = ::SetTimer(nullptr, 0, 20, &DriveQueueDialog);
        Click(IDC_USE_QUEUE);
        g_driver = nullptr;
        ::KillTimer(nullptr, driver.timer);
        ASSERT_NE(driver.seen, nullptr) << "the queue dialog did not open";
        EXPECT_EQ(driver.owner, dlg->m_hWnd);
        EXPECT_FALSE(::IsWindow(driver.seen)) << "the queue dialog is still open";
    }

    // Queues these files through the queue dialog's "&Add to Queue".
    void UseQueueAdding(const std::vector<std::string>& paths) {
        UseQueue([&](HWND queue) {
            for (const std::string& path : paths) {
                prompts->openAnswers.push_back(path);
                ClickIn(queue, IDC_QUEUE_ADD);
            }
        });
    }

    // An existing patch file below the scratch folder.
    std::string PatchFile(const std::string& rel) {
        const std::string path = *scratch / rel;
        WriteFileBytes(path, "RTP");
        return path;
    }

    // A queue dialog created without a modal loop, owned by the main dialog.
    std::unique_ptr<CKelvaneQueue> OpenQueueDialog() {
        auto queue = std::make_unique<CKelvaneQueue>(dlg->m_listQueue, dlg->m_hWnd);
        EXPECT_TRUE(queue->Create());
        ::ShowWindow(queue->m_hWnd, SW_SHOW);
        PumpMessages();
        return queue;
    }

    std::vector<std::string> QueueRows(const CKelvaneQueue& queue) {
        return Rows(queue.GetDlgItem(IDC_QUEUE_LIST));
    }
};

// ---------------------------------------------------------------------------
// The queue dialog on its own.

TEST_F(QueueTest, DialogShowsFileNamesOfTheQueueWithNoRowSelected) {
    dlg->m_listQueue = {"C:\\Downloads\\tm_122_123.rtp", "D:\\patches\\more\\tm_123_124.rtp",
                        "bare.rtp"};
    auto queue = OpenQueueDialog();
    EXPECT_EQ(QueueRows(*queue),
              (std::vector<std::string>{"tm_122_123.rtp", "tm_123_124.rtp", "bare.rtp"}));
    EXPECT_EQ(::SendMessageA(queue->GetDlgItem(IDC_QUEUE_LIST), LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_ADD));
    EXPECT_EQ(queue->m_ctrlQueue.m_hWnd, queue->GetDlgItem(IDC_QUEUE_LIST));
    EXPECT_STREQ(CKelvaneQueue::GetRuntimeClassName(), "CKelvaneQueue");
}

TEST_F(QueueTest, DialogOnEmptyQueueDisablesRemove) {
    auto queue = OpenQueueDialog();
    EXPECT_TRUE(QueueRows(*queue).empty());
    EXPECT_FALSE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_ADD));
    EXPECT_TRUE(queue->IsItemEnabled(IDCANCEL));
}

TEST_F(QueueTest, AddAsksForOnePatchFileOwnedByTheQueueDialog) {
    auto queue = OpenQueueDialog();
    const std::string first = PatchFile("a\\tm_122_123.rtp");
    prompts->openAnswers = {first};
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_ADD), BM_CLICK, 0, 0);
    PumpMessages();

    ASSERT_EQ(prompts->openRequests.size(), 1u);
    const fw::OpenFileRequest& request = prompts->openRequests[0];
    EXPECT_EQ(request.owner, queue->m_hWnd);
    EXPECT_EQ(request.filter, kRtpFilter);
    EXPECT_EQ(request.title, kOpenTitle);
    EXPECT_EQ(request.flags, static_cast<DWORD>(0x1001));
    EXPECT_EQ(dlg->m_listQueue, (TextList{first}));
    EXPECT_EQ(QueueRows(*queue), (std::vector<std::string>{"tm_122_123.rtp"}));
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));
    EXPECT_TRUE(prompts->boxes.empty());
}

TEST_F(QueueTest, AddCancelledChangesNothing) {
    dlg->m_listQueue = {"C:\\p\\one.rtp"};
    auto queue = OpenQueueDialog();
    prompts->openAnswers = {""};
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_ADD), BM_CLICK, 0, 0);
    PumpMessages();
    EXPECT_EQ(prompts->openRequests.size(), 1u);
    EXPECT_EQ(dlg->m_listQueue, (TextList{"C:\\p\\one.rtp"}));
    EXPECT_EQ(QueueRows(*queue), (std::vector<std::string>{"one.rtp"}));
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));
}

TEST_F(QueueTest, AddRefusesAQueuedFileNameButKeepsOtherCase) {
    auto queue = OpenQueueDialog();
    prompts->openAnswers = {"C:\\a\\patch.rtp", "D:\\b\\patch.rtp", "E:\\c\\Patch.rtp",
                            "C:\\a\\patch.rtp"};
    for (int i = 0; i < 4; ++i) {
        ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_ADD), BM_CLICK, 0, 0);
        PumpMessages();
    }
    EXPECT_EQ(prompts->openRequests.size(), 4u);
    EXPECT_EQ(dlg->m_listQueue, (TextList{"C:\\a\\patch.rtp", "E:\\c\\Patch.rtp"}));
    EXPECT_EQ(QueueRows(*queue), (std::vector<std::string>{"patch.rtp", "Patch.rtp"}));
    EXPECT_TRUE(prompts->boxes.empty()) << "a refused file is not reported";
}

TEST_F(QueueTest, RemoveDeletesTheSelectedRowAndKeepsTheOrder) {
    dlg->m_listQueue = {"C:\\p\\one.rtp", "C:\\q\\two.rtp", "C:\\r\\three.rtp", "C:\\s\\Two.rtp"};
    auto queue = OpenQueueDialog();
    HWND list = queue->GetDlgItem(IDC_QUEUE_LIST);
    ::SendMessageA(list, LB_SETCURSEL, 1, 0);
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_REMOVE), BM_CLICK, 0, 0);
    PumpMessages();
    EXPECT_EQ(dlg->m_listQueue, (TextList{"C:\\p\\one.rtp", "C:\\r\\three.rtp", "C:\\s\\Two.rtp"}));
    EXPECT_EQ(QueueRows(*queue), (std::vector<std::string>{"one.rtp", "three.rtp", "Two.rtp"}));
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));

    ::SendMessageA(list, LB_SETCURSEL, 2, 0);
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_REMOVE), BM_CLICK, 0, 0);
    PumpMessages();
    EXPECT_EQ(dlg->m_listQueue, (TextList{"C:\\p\\one.rtp", "C:\\r\\three.rtp"}));
    EXPECT_EQ(QueueRows(*queue), (std::vector<std::string>{"one.rtp", "three.rtp"}));
}

TEST_F(QueueTest, RemoveWithoutSelectionRemovesNothing) {
    dlg->m_listQueue = {"C:\\p\\one.rtp", "C:\\q\\two.rtp"};
    auto queue = OpenQueueDialog();
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_REMOVE), BM_CLICK, 0, 0);
    PumpMessages();
    EXPECT_EQ(dlg->m_listQueue, (TextList{"C:\\p\\one.rtp", "C:\\q\\two.rtp"}));
    EXPECT_EQ(QueueRows(*queue), (std::vector<std::string>{"one.rtp", "two.rtp"}));
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));
}

TEST_F(QueueTest, RemovingTheLastRowDisablesRemoveAndAddEnablesItAgain) {
    dlg->m_listQueue = {"C:\\p\\one.rtp"};
    auto queue = OpenQueueDialog();
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_LIST), LB_SETCURSEL, 0, 0);
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_REMOVE), BM_CLICK, 0, 0);
    PumpMessages();
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_TRUE(QueueRows(*queue).empty());
    EXPECT_FALSE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));

    // The same name can be queued again once it was removed.
    prompts->openAnswers = {"D:\\other\\one.rtp"};
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_ADD), BM_CLICK, 0, 0);
    PumpMessages();
    EXPECT_EQ(dlg->m_listQueue, (TextList{"D:\\other\\one.rtp"}));
    EXPECT_EQ(QueueRows(*queue), (std::vector<std::string>{"one.rtp"}));
    EXPECT_TRUE(queue->IsItemEnabled(IDC_QUEUE_REMOVE));
}

TEST_F(QueueTest, CloseEndsTheDialogAndTheQueueStays) {
    auto queue = OpenQueueDialog();
    prompts->openAnswers = {"C:\\p\\one.rtp"};
    ::SendMessageA(queue->GetDlgItem(IDC_QUEUE_ADD), BM_CLICK, 0, 0);
    HWND window = queue->m_hWnd;
    ::SendMessageA(queue->GetDlgItem(IDCANCEL), BM_CLICK, 0, 0);
    PumpMessages();
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(dlg->m_listQueue, (TextList{"C:\\p\\one.rtp"}));
}

// ---------------------------------------------------------------------------
// Use Queue and Clear Queue on the main dialog.

TEST_F(QueueTest, UseQueueOpensTheQueueDialogOnTheQueue) {
    std::vector<std::string> rowsSeen;
    bool removeEnabled = true;
    UseQueue([&](HWND queue) {
        rowsSeen = Rows(::GetDlgItem(queue, IDC_QUEUE_LIST));
        removeEnabled = ItemEnabled(queue, IDC_QUEUE_REMOVE);
    });
    EXPECT_TRUE(rowsSeen.empty());
    EXPECT_FALSE(removeEnabled);
}

TEST_F(QueueTest, UseQueueClosedEmptyKeepsTheChosenPatch) {
    // A single patch had been chosen through a queue of one.
    const std::string patch = PatchFile("downloads\\tm_122_123.rtp");
    engine->Script("ret 3\n");
    UseQueueAdding({patch});
    ASSERT_EQ(dlg->m_strPatchPath, patch);
    ASSERT_TRUE(dlg->IsItemEnabled(IDOK));
    const std::string label = dlg->GetItemText(IDC_PATCH_FILE_LABEL);
    const size_t calls = engine->Calls().size();

    UseQueue(nullptr);
    EXPECT_EQ(dlg->m_strPatchPath, patch);
    EXPECT_EQ(dlg->m_strPatchFile, "tm_122_123.rtp");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "tm_122_123.rtp");
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), label);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_EQ(dlg->m_bUseQueue, FALSE);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(engine->Calls().size(), calls) << "no space calculation for an empty queue";
}

TEST_F(QueueTest, UseQueueClosedEmptyOnStartLeavesPatchDisabled) {
    UseQueue(nullptr);
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_EQ(dlg->m_strPatchFile, "");
    EXPECT_TRUE(engine->Calls().empty());
}

TEST_F(QueueTest, UseQueueWithOneEntryMakesItTheChosenPatch) {
    WriteFileBytes(gameDir + "\\data\\maps.pak", std::string(1024, 'm'));
    WriteFileBytes(gameDir + "\\tarrow.dat", std::string(2048, 't'));
    WriteFileBytes(gameDir + "\\readme.txt", "unchanged");
    engine->Script("7 maps.pak\n7 TARROW.DAT\n7 new.dat\n");
    const std::string patch = PatchFile("my patches\\tm_122_123.rtp");

    UseQueueAdding({patch});

    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_EQ(dlg->m_strPatchPath, patch);
    EXPECT_EQ(dlg->m_strPatchFile, "tm_122_123.rtp");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "tm_122_123.rtp");
    EXPECT_EQ(dlg->m_bUseQueue, FALSE);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    // The space calculation ran in list mode over the chosen patch.
    EXPECT_EQ(engine->Calls(),
              (std::vector<std::string>{"-l  \"" + gameDir + "\" \"" + patch + "\""}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 3072);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
              "Select Patch File: (requires min. 3.00 kb temp space)");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO),
              "Enable patch undo. (requires 3.00 kb additional space.)");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));

    // Opening the queue again shows it empty.
    std::vector<std::string> rowsSeen{"?"};
    bool removeEnabled = true;
    UseQueue([&](HWND queue) {
        rowsSeen = Rows(::GetDlgItem(queue, IDC_QUEUE_LIST));
        removeEnabled = ItemEnabled(queue, IDC_QUEUE_REMOVE);
    });
    EXPECT_TRUE(rowsSeen.empty());
    EXPECT_FALSE(removeEnabled);
}

TEST_F(QueueTest, UseQueueWithOneEntryWhoseListingFailsStillChoosesIt) {
    WriteFileBytes(gameDir + "\\tarrow.dat", std::string(2048, 't'));
    engine->Script("1 Patch file is damaged.\nret 11\n");
    const std::string patch = PatchFile("tm_broken.rtp");

    UseQueueAdding({patch});

    EXPECT_EQ(dlg->m_strPatchPath, patch);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "tm_broken.rtp");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_TRUE(dlg->m_listQueue.empty());
}

TEST_F(QueueTest, UseQueueWithTwoEntriesEntersQueueMode) {
    WriteFileBytes(gameDir + "\\tarrow.dat", std::string(2048, 't'));
    engine->Script("7 tarrow.dat\n");
    // A single patch chosen first, with its requirement shown.
    const std::string single = PatchFile("single\\tm_121_122.rtp");
    UseQueueAdding({single});
    ASSERT_EQ(dlg->m_strPatchPath, single);

    const std::string first = PatchFile("q\\tm_122_123.rtp");
    const std::string second = PatchFile("q\\tm_123_124.rtp");
    const size_t calls = engine->Calls().size();
    UseQueueAdding({first, second});

    EXPECT_EQ(dlg->m_listQueue, (TextList{first, second}));
    EXPECT_EQ(dlg->m_bUseQueue, TRUE);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "2 patch(es) in queue.");
    EXPECT_EQ(dlg->m_strPatchFile, "");
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");
    for (int id : {IDC_VALIDATE_ONLY, IDC_IGNORE_MISSING, IDC_ENABLE_UNDO}) {
        EXPECT_FALSE(dlg->IsItemEnabled(id)) << id;
        EXPECT_EQ(dlg->GetCheck(id), BST_UNCHECKED) << id;
    }
    EXPECT_EQ(dlg->m_bValidateOnly, FALSE);
    EXPECT_EQ(dlg->m_bIgnoreMissing, FALSE);
    EXPECT_EQ(dlg->m_bUndo, FALSE);
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Patch");
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_EQ(engine->Calls().size(), calls) << "no space calculation for a queue";
}

TEST_F(QueueTest, QueueModeCanBeEditedAndCountedAgain) {
    const std::string a = PatchFile("q\\a.rtp");
    const std::string b = PatchFile("q\\b.rtp");
    const std::string c = PatchFile("q\\c.rtp");
    UseQueueAdding({a, b});
    std::vector<std::string> rowsSeen;
    UseQueue([&](HWND queue) {
        rowsSeen = Rows(::GetDlgItem(queue, IDC_QUEUE_LIST));
        prompts->openAnswers.push_back(c);
        ClickIn(queue, IDC_QUEUE_ADD);
    });
    EXPECT_EQ(rowsSeen, (std::vector<std::string>{"a.rtp", "b.rtp"}));
    EXPECT_EQ(dlg->m_listQueue, (TextList{a, b, c}));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "3 patch(es) in queue.");
    EXPECT_EQ(dlg->m_bUseQueue, TRUE);
}

TEST_F(QueueTest, EmptyingTheQueueInQueueModeLeavesQueueModeOnly) {
    const std::string a = PatchFile("q\\a.rtp");
    const std::string b = PatchFile("q\\b.rtp");
    UseQueueAdding({a, b});
    ASSERT_EQ(dlg->m_bUseQueue, TRUE);

    UseQueue([&](HWND queue) {
        HWND list = ::GetDlgItem(queue, IDC_QUEUE_LIST);
        for (int i = 0; i < 2; ++i) {
            ::SendMessageA(list, LB_SETCURSEL, 0, 0);
            ClickIn(queue, IDC_QUEUE_REMOVE);
        }
    });

    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_EQ(dlg->m_bUseQueue, FALSE);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    // Nothing else changes: no patch is chosen, Patch stays enabled, options stay off.
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_IGNORE_MISSING));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
}

TEST_F(QueueTest, ClearQueueLeavesQueueModeWithNothingChosen) {
    const std::string a = PatchFile("q\\a.rtp");
    const std::string b = PatchFile("q\\b.rtp");
    UseQueueAdding({a, b});
    ASSERT_EQ(dlg->m_bUseQueue, TRUE);
    ASSERT_TRUE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));

    Click(IDC_CLEAR_QUEUE);

    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_EQ(dlg->m_bUseQueue, FALSE);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_IGNORE_MISSING));
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");

    // The queue dialog now opens empty.
    std::vector<std::string> rowsSeen{"?"};
    UseQueue([&](HWND queue) { rowsSeen = Rows(::GetDlgItem(queue, IDC_QUEUE_LIST)); });
    EXPECT_TRUE(rowsSeen.empty());
}

} // namespace
} // namespace kt
