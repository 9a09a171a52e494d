// The engine bridge's module state: the callback that the engine reports through, the
// targets it works on during a run, and the cached entry point of the engine library.
#pragma once

#include "app/KelvaneDlg.h"
#include "framework/Framework.h"

// The ids of the engine's reports, as its callback contract numbers them. The parameter is a
// text for the first four (shown in the message list), a pointer to an unsigned 32-bit number
// for Progress (the current file's, 0 to 32768) and FileCount (the files of the run), and a
// file name for FileName (the file begun when applying; a file the patch touches when listing).
enum class CallbackId : UINT {
    Info = 1,
    Warning = 2,
    Error = 3,
    Summary = 4,
    Progress = 5,
    FileCount = 6,
    FileName = 7,
};

// What the engine calls with each report: a message id (a CallbackId, or one this program
// does not know) and its parameter. It answers every id with the same static empty text,
// never a null pointer.
using PatchCallbackProc = void*(WINAPI*)(UINT id, void* parm);
void* WINAPI PatchCallback(UINT id, void* parm);

// The engine's one entry point, RTPatchApply32@12: command line, callback, wait flag.
using PatchApplyProc = int(WINAPI*)(char* commandLine, PatchCallbackProc callback, int wait);
inline constexpr const char* kPatchEntryName = "RTPatchApply32@12";

// Targets of the callback, set by the runs just before each engine call.
extern const fw::ListBox* g_pMessageList;        // apply run: the message list
extern const fw::ProgressCtrl* g_pProgressFile;  // apply run: progress of the current file
extern const fw::ProgressCtrl* g_pProgressTotal; // apply run: files done of all files
extern TextList* g_pFileList;                    // list run: where the file names go
extern HWND g_hDialog;                           // both runs: receives WM_MESSAGES_ADDED
extern BOOL g_bListMode;                         // on only during a list run
// A WM_MESSAGES_ADDED is posted and not handled yet; the dialog's handler clears it. While it
// is set the callback posts no other: the one waiting scrolls to the last line of its time.
extern BOOL g_bMessagesAddedPending;

// Calls the engine on a thread of its own and waits for it, handling the window's messages
// and showing the engine's reports in batches meanwhile; returns the engine's value. Every
// report is shown when it returns. Should no thread be had, the engine runs on this one.
int CallEngineOnItsThread(PatchApplyProc entry, char* commandLine);

// Shows the reports not shown yet: the message list and the bars draw again, and new lines
// get their scroll notification.
void EndCallbackBatch();

// Empties every callback target and switches list mode off.
void ClearCallbackState();

// The engine's entry point from the library, looked up on first use and kept for the rest
// of the program's run; a failed lookup is kept as well (null) and not tried again.
PatchApplyProc GetPatchEntry(HMODULE engine);
// Forgets the cached entry point, so the next run looks it up again. Each dialog of the
// program's run loads its own library; tests that open many dialogs call this before each.
void ResetPatchEntry();
