// The callback the engine reports through while it runs: message lines, progress bars and,
// in list mode, the names of the files that a patch touches.
#include "engine/Callback.h"

#include "engine/logic/MessageSplit.h"

#include <algorithm>

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

// Reports of one file (its name and progress) come far faster than a screen can show them.
// They are gathered into batches: within one the list takes every line without redrawing
// and the bars keep still, and only when this long has passed since the last pump are the
// bars moved, the list drawn and scrolled and the window's messages dispatched.
// The window's own work is kept to about a tenth of the run: when drawing and dispatching took
// long (a slow or busy machine), the next batch is longer, up to a quarter of a second.
const DWORD kPumpIntervalMs = 40;
const DWORD kLongestPumpIntervalMs = 250;
DWORD g_dwPumpInterval = kPumpIntervalMs;

DWORD g_dwLastPump = 0;       // tick count of the last pump
bool g_bPumpedYet = false;    // false until the first pump of an engine call
bool g_bBatchOpen = false;    // the message list is not redrawing, the bars wait
bool g_bLinesUnscrolled = false; // lines added since the last scroll notification was posted
int g_nFilePosDue = -1;       // the file bar's position at the end of the batch, if reported
int g_nStepsDue = 0;          // files of the batch, not yet stepped on the total bar

// Hands up to ten pending window messages of this thread to their windows, so the dialog
// repaints and scrolls while the engine holds the thread.
void PumpPendingMessages() {
    MSG msg;
    for (int i = 0; i < 10; ++i) {
        if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            break;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    g_dwLastPump = ::GetTickCount();
    g_bPumpedYet = true;
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
        const int high = static_cast<int>(
            ::SendMessageA(g_pProgressTotal->m_hWnd, PBM_GETRANGE, FALSE, 0));
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

// Within a batch the list does not redraw and the bars are not moved at all.
void OpenBatch() {
    if (!g_bBatchOpen && !g_bListMode) {
        SetListRedraw(false);
        g_bBatchOpen = true;
    }
}

void CloseBatch() {
    if (g_bBatchOpen) {
        g_bBatchOpen = false;
        ApplyDueProgress();
        SetListRedraw(true);
    }
}

// Posts the scroll notification, unless one is still waiting to be handled: that one
// scrolls to the last line as it is by then.
void NotifyMessagesAdded() {
    g_bLinesUnscrolled = true;
    if (g_hDialog != nullptr && !g_bMessagesAddedPending) {
        g_bMessagesAddedPending = TRUE;
        g_bLinesUnscrolled = false;
        ::PostMessageA(g_hDialog, WM_MESSAGES_ADDED, 0, 0);
    }
}

// Inserts after the last line: the list box has the sort style, so adding would sort.
void AppendLine(const std::string& line) {
    g_pMessageList->InsertString(-1, line);
}

void HandleReport(CallbackId id, void* parm, bool batched) {
    if (parm == nullptr) {
        return; // every report carries its text or number; one without has nothing to show
    }
    switch (id) {
    case CallbackId::Info:
    case CallbackId::Warning:
    case CallbackId::Error:
    case CallbackId::Summary:
        // A list run shows nothing: the engine's texts are of no use to the space count.
        if (g_bListMode || g_pMessageList == nullptr) {
            return;
        }
        for (const std::string& line : SplitMessageText(static_cast<const char*>(parm))) {
            AppendLine(line);
        }
        NotifyMessagesAdded();
        return;
    case CallbackId::Progress:
        if (g_bListMode || g_pProgressFile == nullptr) {
            return;
        }
        if (batched) {
            g_nFilePosDue = static_cast<int>(*static_cast<const UINT*>(parm));
        } else {
            g_pProgressFile->SetPos(static_cast<int>(*static_cast<const UINT*>(parm)));
        }
        return;
    case CallbackId::FileCount:
        if (!g_bListMode && g_pProgressTotal != nullptr) {
            ApplyDueProgress(); // the steps so far belong to the range before
            g_pProgressTotal->SetRange32(0, static_cast<int>(*static_cast<const UINT*>(parm)));
            g_pProgressTotal->SetStep(1);
        }
        return;
    case CallbackId::FileName:
        if (g_bListMode) {
            if (g_pFileList != nullptr) {
                g_pFileList->push_back(static_cast<const char*>(parm));
            }
            return;
        }
        if (g_pMessageList != nullptr) {
            AppendLine("Processing: " + std::string(static_cast<const char*>(parm)));
        }
        if (batched) {
            ++g_nStepsDue;
        } else if (g_pProgressTotal != nullptr) {
            g_pProgressTotal->StepIt();
        }
        if (batched) {
            g_bLinesUnscrolled = true; // scrolled at the end of the batch
        } else {
            NotifyMessagesAdded();
        }
        return;
    default:
        return;
    }
}

} // namespace

void* WINAPI PatchCallback(UINT number, void* parm) {
    const auto id = static_cast<CallbackId>(number);
    // The reports of each file join the running batch until it is time to pump. Every other
    // report (texts, unknown ids) ends the batch and is handled with a pump before and after.
    const bool perFile = id == CallbackId::Progress || id == CallbackId::FileCount ||
                         id == CallbackId::FileName;
    if (perFile && g_bPumpedYet && ::GetTickCount() - g_dwLastPump < g_dwPumpInterval) {
        OpenBatch();
        HandleReport(id, parm, true);
        return g_szEmptyAnswer;
    }
    const DWORD start = ::GetTickCount();
    CloseBatch();
    PumpPendingMessages();
    HandleReport(id, parm, false);
    if (g_bLinesUnscrolled) {
        NotifyMessagesAdded();
    }
    PumpPendingMessages();
    g_dwPumpInterval = std::clamp<DWORD>((g_dwLastPump - start) * 9, kPumpIntervalMs,
                                         kLongestPumpIntervalMs);
    return g_szEmptyAnswer;
}

void EndCallbackBatch() {
    CloseBatch();
    if (g_bLinesUnscrolled && !g_bListMode) {
        NotifyMessagesAdded();
    }
    g_bPumpedYet = false;
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
    g_bLinesUnscrolled = false;
    g_nFilePosDue = -1;
    g_nStepsDue = 0;
}
