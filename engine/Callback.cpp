// The callback the engine reports through while it runs: message lines, progress bars and,
// in list mode, the names of the files that a patch touches.
#include "engine/Callback.h"

#include "engine/logic/MessageSplit.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

const fw::ListBox* g_pMessageList = nullptr;
const fw::ProgressCtrl* g_pProgressFile = nullptr;
const fw::ProgressCtrl* g_pProgressTotal = nullptr;
TextList* g_pFileList = nullptr;
HWND g_hDialog = nullptr;
BOOL g_bListMode = FALSE;
BOOL g_bMessagesAddedPending = FALSE;

namespace {

// The answer to every report. Writable, should an engine write into what it gets back.
char g_szEmptyAnswer[1] = "";

// The engine runs on a thread of its own, and its reports come far faster than a screen can
// show them. The callback only copies each report into a queue; the dialog's thread waits for
// the engine while it handles its window's messages, and now and then shows what has queued:
// the list takes every line without redrawing, then the bars move, the list is drawn and
// scrolled. So the window answers at once whatever the engine is doing, and the engine never
// waits for a drawing.
// The window's own work is kept to about a tenth of the run: when showing a batch took long
// (a slow or busy machine), the next batch waits longer, up to a quarter of a second.
const DWORD kShowIntervalMs = 100;
const DWORD kLongestShowIntervalMs = 250;

struct Report {
    CallbackId id;
    UINT number; // Progress and FileCount
    std::string text;
};

std::mutex g_queueLock;
std::vector<Report> g_queue; // reports of the engine's thread, not shown yet
DWORD g_dwEngineThread = 0;  // the thread the engine runs on; 0 between runs

int g_nFilePosDue = -1; // the file bar's position at the end of the batch, if reported
int g_nStepsDue = 0;    // files of the batch, not yet stepped on the total bar

// Hands the pending messages of this thread to their windows (a bounded number, should a
// window keep posting to itself).
void PumpPendingMessages() {
    MSG msg;
    for (int i = 0; i < 100 && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

// Switches redrawing of the message list off or on; switched on, it is drawn anew with
// every line it took meanwhile.
void SetListRedraw(bool on) {
    if (g_pMessageList == nullptr || g_pMessageList->m_hWnd == nullptr) {
        return;
    }
    ::SendMessageA(g_pMessageList->m_hWnd, WM_SETREDRAW, on ? TRUE : FALSE, 0);
    if (on) {
        ::InvalidateRect(g_pMessageList->m_hWnd, nullptr, TRUE);
    }
}

// Moves the bars to where the batch's reports have taken them: the file bar to the last
// position reported, the total bar on by one step per file.
void ApplyDueProgress() {
    if (g_nFilePosDue >= 0 && g_pProgressFile != nullptr) {
        g_pProgressFile->SetPos(g_nFilePosDue);
    }
    g_nFilePosDue = -1;
    if (g_nStepsDue > 0 && g_pProgressTotal != nullptr) {
        const int pos = g_pProgressTotal->GetPos();
        const int high =
            static_cast<int>(::SendMessageA(g_pProgressTotal->m_hWnd, PBM_GETRANGE, FALSE, 0));
        if (pos <= high - g_nStepsDue) {
            g_pProgressTotal->SetPos(pos + g_nStepsDue);
        } else {
            for (int i = 0; i < g_nStepsDue; ++i) {
                g_pProgressTotal->StepIt(); // past the end: the bar's own wrapping
            }
        }
    }
    g_nStepsDue = 0;
}

// Posts the scroll notification, unless one is still waiting to be handled: that one
// scrolls to the last line as it is by then.
void NotifyMessagesAdded() {
    if (g_hDialog != nullptr && !g_bMessagesAddedPending) {
        g_bMessagesAddedPending = TRUE;
        ::PostMessageA(g_hDialog, WM_MESSAGES_ADDED, 0, 0);
    }
}

// Inserts after the last line: the list box has the sort style, so adding would sort.
void AppendLine(const std::string& line) {
    g_pMessageList->InsertString(-1, line);
}

// Shows one report; true when it added lines to the message list.
bool ShowReport(const Report& r) {
    switch (r.id) {
    case CallbackId::Info:
    case CallbackId::Warning:
    case CallbackId::Error:
    case CallbackId::Summary:
        // A list run shows nothing: the engine's texts are of no use to the space count.
        if (g_bListMode || g_pMessageList == nullptr) {
            return false;
        }
        for (const std::string& line : SplitMessageText(r.text.c_str())) {
            AppendLine(line);
        }
        return true;
    case CallbackId::Progress:
        if (!g_bListMode) {
            g_nFilePosDue = static_cast<int>(r.number);
        }
        return false;
    case CallbackId::FileCount:
        if (!g_bListMode && g_pProgressTotal != nullptr) {
            ApplyDueProgress(); // the steps so far belong to the range before
            g_pProgressTotal->SetRange32(0, static_cast<int>(r.number));
            g_pProgressTotal->SetStep(1);
        }
        return false;
    case CallbackId::FileName:
        if (g_bListMode) {
            if (g_pFileList != nullptr) {
                g_pFileList->push_back(r.text);
            }
            return false;
        }
        ++g_nStepsDue;
        if (g_pMessageList != nullptr) {
            AppendLine("Processing: " + r.text);
            return true;
        }
        return false;
    }
    return false;
}

// Shows queued reports, at most `most` of them, as one batch; false when none was queued.
bool ShowQueuedReports(size_t most = SIZE_MAX) {
    std::vector<Report> batch;
    {
        const std::lock_guard<std::mutex> hold(g_queueLock);
        if (g_queue.size() <= most) {
            batch.swap(g_queue);
        } else {
            batch.assign(std::make_move_iterator(g_queue.begin()),
                         std::make_move_iterator(g_queue.begin() + static_cast<ptrdiff_t>(most)));
            g_queue.erase(g_queue.begin(), g_queue.begin() + static_cast<ptrdiff_t>(most));
        }
    }
    if (batch.empty()) {
        return false;
    }
    const bool quiet = !g_bListMode && batch.size() > 1;
    if (quiet) {
        SetListRedraw(false);
    }
    bool linesAdded = false;
    for (const Report& r : batch) {
        linesAdded = ShowReport(r) || linesAdded;
    }
    ApplyDueProgress();
    if (quiet) {
        if (linesAdded) {
            // Scrolled to the last line while it does not redraw, the list is drawn once, in
            // its new place; the notification's scroll then finds it there already.
            g_pMessageList->SetTopIndex(g_pMessageList->GetCount() - 1);
        }
        SetListRedraw(true);
    }
    if (linesAdded) {
        NotifyMessagesAdded();
    }
    return true;
}

} // namespace

void* WINAPI PatchCallback(UINT number, void* parm) {
    const auto id = static_cast<CallbackId>(number);
    // Ids this program does not know, and reports without their text or number, show nothing.
    if (parm == nullptr || number < static_cast<UINT>(CallbackId::Info) ||
        number > static_cast<UINT>(CallbackId::FileName)) {
        return g_szEmptyAnswer;
    }
    Report r{id, 0, std::string()};
    if (id == CallbackId::Progress || id == CallbackId::FileCount) {
        r.number = *static_cast<const UINT*>(parm);
    } else {
        r.text = static_cast<const char*>(parm);
    }
    // Between runs on the engine's thread the caller is the window's own thread.
    const bool showNow = g_dwEngineThread == 0;
    {
        const std::lock_guard<std::mutex> hold(g_queueLock);
        if (id == CallbackId::Progress && !g_queue.empty() &&
            g_queue.back().id == CallbackId::Progress) {
            g_queue.back().number = r.number; // only the latest position is ever shown
        } else {
            g_queue.push_back(std::move(r));
        }
    }
    if (showNow) {
        ShowQueuedReports();
    }
    return g_szEmptyAnswer;
}

namespace {

struct EngineCall {
    PatchApplyProc entry;
    char* commandLine;
    int result;
};

DWORD WINAPI RunEngineCall(void* param) {
    auto* call = static_cast<EngineCall*>(param);
    call->result = call->entry(call->commandLine, &PatchCallback, 1);
    return 0;
}

} // namespace

int CallEngineOnItsThread(PatchApplyProc entry, char* commandLine) {
    EngineCall call{entry, commandLine, 0};
    DWORD threadId = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, &RunEngineCall, &call, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        // No thread to be had: the engine runs on this one, and the window waits for it.
        call.result = entry(commandLine, &PatchCallback, 1);
        EndCallbackBatch();
        return call.result;
    }
    g_dwEngineThread = threadId;
    ::ResumeThread(thread);
    // What waits for the window already is handled during the run, as its first report would.
    PumpPendingMessages();
    DWORD interval = kShowIntervalMs;
    DWORD lastShown = ::GetTickCount();
    bool openingShown = false;
    bool done = false;
    while (!done) {
        const DWORD elapsed = ::GetTickCount() - lastShown;
        const DWORD wait = elapsed < interval ? interval - elapsed : 0;
        done = ::MsgWaitForMultipleObjectsEx(1, &thread, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
               WAIT_OBJECT_0;
        if (done || ::GetTickCount() - lastShown >= interval) {
            const DWORD start = ::GetTickCount();
            // The call's first report (its opening line, on the bars as the call found them)
            // is shown and dispatched by itself; the rest follow in batches.
            if (!openingShown && ShowQueuedReports(1)) {
                openingShown = true;
                PumpPendingMessages();
            }
            ShowQueuedReports();
            lastShown = ::GetTickCount();
            interval =
                std::clamp<DWORD>((lastShown - start) * 9, kShowIntervalMs, kLongestShowIntervalMs);
        }
        PumpPendingMessages();
    }
    ::CloseHandle(thread);
    g_dwEngineThread = 0;
    EndCallbackBatch();
    return call.result;
}

void EndCallbackBatch() {
    ShowQueuedReports();
}

void ClearCallbackState() {
    EndCallbackBatch();
    g_pMessageList = nullptr;
    g_pProgressFile = nullptr;
    g_pProgressTotal = nullptr;
    g_pFileList = nullptr;
    g_hDialog = nullptr;
    g_bListMode = FALSE;
    g_bMessagesAddedPending = FALSE;
    g_nFilePosDue = -1;
    g_nStepsDue = 0;
}
