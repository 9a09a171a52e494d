// Runs of the patch engine: apply mode over the chosen patch or the whole queue, and list
// mode, which asks the engine for the files that a patch touches.
#include "app/KelvaneDlg.h"

#include "engine/Callback.h"
#include "engine/logic/CommandLine.h"

#include <vector>

namespace {

PatchApplyProc g_pfnPatchApply = nullptr;
bool g_bPatchEntryLookedUp = false;

const char kEngineMissing[] =
    "Unable to find patchw32.dll. \n Please place this executable in the same directory as "
    "patchw32.dll !";

// Runs the engine on its own writable copy of the command line; the wait flag is always 1.
int CallEngine(PatchApplyProc entry, const std::string& commandLine) {
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    return CallEngineOnItsThread(entry, buffer.data());
}

void ResetProgressBars(const CKelvaneDlg& dlg) {
    dlg.m_ctrlProgressFile.SetRange32(0, 0x8000);
    dlg.m_ctrlProgressFile.SetPos(0);
    dlg.m_ctrlProgressTotal.SetPos(0);
}

void SetApplyTargets(const CKelvaneDlg& dlg) {
    g_pMessageList = &dlg.m_ctrlMessages;
    g_pProgressFile = &dlg.m_ctrlProgressFile;
    g_pProgressTotal = &dlg.m_ctrlProgressTotal;
    g_hDialog = dlg.m_hWnd;
}

} // namespace

PatchApplyProc GetPatchEntry(HMODULE engine) {
    if (!g_bPatchEntryLookedUp) {
        g_bPatchEntryLookedUp = true;
        g_pfnPatchApply = reinterpret_cast<PatchApplyProc>(
            reinterpret_cast<void*>(::GetProcAddress(engine, kPatchEntryName)));
    }
    return g_pfnPatchApply;
}

void ResetPatchEntry() {
    g_pfnPatchApply = nullptr;
    g_bPatchEntryLookedUp = false;
}

int CKelvaneDlg::RunPatchEngine(std::string patchPath, std::string tempDir) {
    int result = RunNothingQueued;
    m_ctrlMessages.ResetContent();
    m_listEngineListing.clear();
    g_bListMode = FALSE;

    const std::string prefix = ApplyOptionPrefix(m_bValidateOnly, m_bIgnoreMissing);
    const std::string tempPiece = TempDirPiece(tempDir);
    const PatchApplyProc entry = GetPatchEntry(m_hEngine);

    if (!m_bUseQueue) {
        const std::string commandLine =
            ApplyCommandLine(prefix, tempPiece, m_strGameDir, patchPath);
        if (entry == nullptr) {
            MessageBox(kEngineMissing, "Error", MB_ICONERROR | MB_OK);
            result = RunFailed;
        } else {
            ResetProgressBars(*this);
            SetApplyTargets(*this);
            m_ctrlMessages.InsertString(-1, SingleApplyingLine(patchPath));
            result = CallEngine(entry, commandLine);
        }
    } else if (entry == nullptr) {
        MessageBox(kEngineMissing, "Error", MB_ICONERROR | MB_OK);
        result = RunFailed;
    } else {
        SetApplyTargets(*this);
        // The run works on its own copy of the queue: the messages pumped during an engine
        // call must not be able to pull an entry from under the loop.
        const TextList queue = m_listQueue;
        const int count = static_cast<int>(queue.size());
        int index = 1;
        for (const std::string& path : queue) {
            ResetProgressBars(*this);
            m_ctrlMessages.InsertString(-1, QueueApplyingLine(path));
            const std::string commandLine = ApplyCommandLine(prefix, tempPiece, m_strGameDir, path);
            SetStatusText(QueueStatusText(index, count));
            if (CallEngine(entry, commandLine) != RunSucceeded) {
                result = RunFailed;
                break;
            }
            result = RunSucceeded;
            ++index;
        }
    }

    SetStatusText("");
    ClearCallbackState();
    return result;
}

int CKelvaneDlg::ListPatchFiles() {
    m_listEngineListing.clear();
    g_bListMode = TRUE;
    const std::string commandLine = ListCommandLine(m_strGameDir, m_strPatchPath);
    const PatchApplyProc entry = GetPatchEntry(m_hEngine);
    int result;
    if (entry == nullptr) {
        MessageBox(kEngineMissing, "Error", MB_ICONERROR | MB_OK);
        result = RunFailed;
    } else {
        g_pFileList = &m_listEngineListing;
        g_hDialog = m_hWnd;
        result = CallEngine(entry, commandLine);
    }
    g_bListMode = FALSE;
    return result;
}
