// The patch queue dialog: rows show the queued patches' file names in queue order.
#include "queue/KelvaneQueue.h"

#include "environment/Environment.h"

CKelvaneQueue::CKelvaneQueue(std::list<std::string>& queue, HWND owner)
    : fw::Dialog(IDD_QUEUE_DIALOG, owner), m_pQueue(queue) {}

CKelvaneQueue::~CKelvaneQueue() = default;

void CKelvaneQueue::DoDataExchange() {
    fw::DDX_Control(*this, IDC_QUEUE_LIST, m_ctrlQueue);
}

BOOL CKelvaneQueue::OnInitDialog() {
    fw::Dialog::OnInitDialog();
    for (const std::string& entry : m_pQueue) {
        m_ctrlQueue.AddString(FileNameOf(entry));
    }
    if (m_pQueue.empty()) {
        EnableItem(IDC_QUEUE_REMOVE, false);
    }
    UpdateData(FALSE);
    return TRUE;
}

bool CKelvaneQueue::OnCommand(WORD id, WORD code) {
    if (code == BN_CLICKED) {
        switch (id) {
        case IDC_QUEUE_ADD:
            OnAddToQueue();
            return true;
        case IDC_QUEUE_REMOVE:
            OnRemoveFromQueue();
            return true;
        default:
            break;
        }
    }
    return fw::Dialog::OnCommand(id, code);
}

void CKelvaneQueue::OnAddToQueue() {
    std::string path;
    if (fw::seam().OpenFile(PatchFileRequest(m_hWnd), path) != IDOK) {
        return;
    }

    // A file name may be queued once only, compared exactly (Patch.rtp and patch.rtp differ).
    const std::string name = FileNameOf(path);
    bool add = true;
    for (const std::string& entry : m_pQueue) {
        if (FileNameOf(entry) == name) {
            add = false;
        }
    }
    if (add) {
        m_ctrlQueue.AddString(name);
        m_pQueue.push_back(path);
    }

    EnableItem(IDC_QUEUE_REMOVE, !m_pQueue.empty());
    UpdateData(FALSE);
}

void CKelvaneQueue::OnRemoveFromQueue() {
    const int sel = m_ctrlQueue.GetCurSel();
    const int count = m_ctrlQueue.GetCount();
    if (sel != LB_ERR && count > 0) {
        const std::string text = m_ctrlQueue.GetText(sel);
        m_ctrlQueue.DeleteString(sel);
        // Every entry with that file name goes; the walk starts again after each removal.
        bool removed = true;
        while (removed) {
            removed = false;
            for (auto it = m_pQueue.begin(); it != m_pQueue.end(); ++it) {
                if (FileNameOf(*it) == text) {
                    const std::string fullPath = *it;
                    m_pQueue.remove(fullPath);
                    removed = true;
                    break;
                }
            }
        }
    }
    if (m_pQueue.empty()) {
        EnableItem(IDC_QUEUE_REMOVE, false);
    }
    UpdateData(FALSE);
}
