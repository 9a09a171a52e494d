// The callback the engine reports through while it runs: message lines, progress bars and,
// in list mode, the names of the files that a patch touches.
#include "engine/Callback.h"

#include "engine/logic/MessageSplit.h"

const fw::ListBox* g_pMessageList = nullptr;
const fw::ProgressCtrl* g_pProgressFile = nullptr;
const fw::ProgressCtrl* g_pProgressTotal = nullptr;
TextList* g_pFileList = nullptr;
HWND g_hDialog = nullptr;
BOOL g_bListMode = FALSE;

namespace {

// The answer to every report. Writable, should an engine write into what it gets back.
char g_szEmptyAnswer[1] = "";

// Hands up to ten pending window messages of this thread to their windows, so the dialog
// repaints and scrolls while the engine holds the thread.
void PumpPendingMessages() {
    MSG msg;
    for (int i = 0; i < 10; ++i) {
        if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            return;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

void NotifyMessagesAdded() {
    if (g_hDialog != nullptr) {
        ::PostMessageA(g_hDialog, WM_MESSAGES_ADDED, 0, 0);
    }
}

// Inserts after the last line: the list box has the sort style, so adding would sort.
void AppendLine(const std::string& line) {
    g_pMessageList->InsertString(-1, line);
}

void HandleReport(UINT id, void* parm) {
    if (parm == nullptr) {
        return; // every report carries its text or number; one without has nothing to show
    }
    switch (id) {
    case 1:
    case 2:
    case 3:
    case 4:
        // A list run shows nothing: the engine's texts are of no use to the space count.
        if (g_bListMode || g_pMessageList == nullptr) {
            return;
        }
        for (const std::string& line : SplitMessageText(static_cast<const char*>(parm))) {
            AppendLine(line);
        }
        NotifyMessagesAdded();
        return;
    case 5:
        if (!g_bListMode && g_pProgressFile != nullptr) {
            g_pProgressFile->SetPos(static_cast<int>(*static_cast<const UINT*>(parm)));
        }
        return;
    case 6:
        if (!g_bListMode && g_pProgressTotal != nullptr) {
            g_pProgressTotal->SetRange32(0, static_cast<int>(*static_cast<const UINT*>(parm)));
            g_pProgressTotal->SetStep(1);
        }
        return;
    case 7:
        if (g_bListMode) {
            if (g_pFileList != nullptr) {
                g_pFileList->push_back(static_cast<const char*>(parm));
            }
            return;
        }
        if (g_pMessageList != nullptr) {
            AppendLine("Processing: " + std::string(static_cast<const char*>(parm)));
        }
        if (g_pProgressTotal != nullptr) {
            g_pProgressTotal->StepIt();
        }
        NotifyMessagesAdded();
        return;
    default:
        return;
    }
}

} // namespace

void* WINAPI PatchCallback(UINT id, void* parm) {
    PumpPendingMessages();
    HandleReport(id, parm);
    PumpPendingMessages();
    return g_szEmptyAnswer;
}

void ClearCallbackState() {
    g_pMessageList = nullptr;
    g_pProgressFile = nullptr;
    g_pProgressTotal = nullptr;
    g_pFileList = nullptr;
    g_hDialog = nullptr;
    g_bListMode = FALSE;
}
