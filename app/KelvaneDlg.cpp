// Main dialog: construction, start-up, data exchange, message dispatch and the small
// framework handlers (system menu, painting, cursor, message-list scrolling).
#include "app/KelvaneDlg.h"

#include "app/AboutDlg.h"
#include "engine/Callback.h"
#include "environment/Environment.h"

#include <algorithm>

namespace {

// The indicators of the status bar: pane 0 shows status texts, pane 1 the game version.
const UINT kIndicators[] = {ID_INDICATOR_STATUS, ID_INDICATOR_VERSION};

// The status bar's control id, as the framework numbers it.
const UINT kStatusBarId = 0xE801;

// The version pane's usual width in pixels; it grows when its text needs more (the status pane
// then gives up that much), but never beyond half the bar, so status texts keep their room.
const int kVersionPaneWidth = 200;

bool FileExists(const std::string& name) {
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA(name.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::FindClose(h);
    return true;
}

} // namespace

CKelvaneDlg::CKelvaneDlg(HWND parent) : fw::Dialog(IDD_MAIN_DIALOG, parent) {
    m_nMessageIndex = 0;
    m_hIcon = static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr),
                                              MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, 0, 0,
                                              LR_DEFAULTSIZE | LR_SHARED));
}

CKelvaneDlg::~CKelvaneDlg() {
    if (m_hEngine != nullptr) {
        ::FreeLibrary(m_hEngine);
        m_hEngine = nullptr;
    }
}

void CKelvaneDlg::DoDataExchange() {
    fw::DDX_Text(*this, IDC_PATCH_FILE, m_strPatchFile);
    fw::DDX_Text(*this, IDC_TEMP_DIR, m_strTempDir);
    fw::DDX_Control(*this, IDC_MESSAGES, m_ctrlMessages);
    fw::DDX_LBIndex(*this, IDC_MESSAGES, m_nMessageIndex);
    fw::DDX_Control(*this, IDC_PROGRESS_FILE, m_ctrlProgressFile);
    fw::DDX_Control(*this, IDC_PROGRESS_TOTAL, m_ctrlProgressTotal);
    fw::DDX_Control(*this, IDC_IGNORE_MISSING, m_ctrlIgnoreMissing);
    fw::DDX_Control(*this, IDC_VALIDATE_ONLY, m_ctrlValidateOnly);
    fw::DDX_Control(*this, IDC_ENABLE_UNDO, m_ctrlEnableUndo);
}

BOOL CKelvaneDlg::OnInitDialog() {
    fw::Dialog::OnInitDialog();

    // The About item at the end of the system menu.
    HMENU systemMenu = ::GetSystemMenu(m_hWnd, FALSE);
    if (systemMenu != nullptr) {
        char about[256] = {};
        ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about);
        if (about[0] != '\0') {
            ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    m_strPatchFile.clear();
    m_strPatchPath.clear();
    m_strTempDir.clear();
    m_strGameExe.clear();
    m_strGameDir.clear();

    m_bBusy = FALSE;
    m_hWaitCursor = ::LoadCursorA(nullptr, IDC_WAIT);

    SetCheck(IDC_IGNORE_MISSING, BST_UNCHECKED);
    m_bIgnoreMissing = FALSE;
    m_bValidateOnly = FALSE;

    m_listQueue.clear();
    m_listEngineListing.clear();
    m_strBackupDir.clear();
    m_bUndo = FALSE;
    m_llRequiredSpace = 0;
    m_strGameVersion.clear();

    EnableItem(IDC_BACKUP_LABEL, false);
    SetItemText(IDC_BACKUP_LABEL, "");
    EnableItem(IDC_ENABLE_UNDO, false);
    EnableItem(IDOK, false);
    m_bUseQueue = FALSE;
    EnableItem(IDC_CLEAR_QUEUE, false);

    // Status bar: pane 0 for status texts, pane 1 (stretching) for the game version.
    m_wndStatusBar.Create(m_hWnd, kStatusBarId);
    m_wndStatusBar.SetIndicators(kIndicators, 2);
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    m_wndStatusBar.SetPaneInfo(0, (client.right - client.left) - kVersionPaneWidth);
    m_wndStatusBar.SetPaneInfo(1, -1);
    m_wndStatusBar.RepositionAtBottom();
    m_wndStatusBar.SetPaneText(0, "");
    m_wndStatusBar.SetPaneText(1, "");

    FindGameAndEngine();

    m_hEngine = nullptr;
    if (!m_strGameDir.empty()) {
        m_hEngine = ::LoadLibraryA((m_strGameDir + "\\patchw32.dll").c_str());
    } else {
        m_hEngine = ::LoadLibraryA("patchw32.dll");
    }
    if (reinterpret_cast<UINT_PTR>(m_hEngine) < 32) {
        FatalStartupError("Unable to find patchw32.dll. \n Please place this executable in the "
                          "same directory as patchw32.dll !");
    }

    // The temp directory starts on the roomiest fixed drive, else the game directory.
    const std::string roomiest = FindRoomiestFixedDrive();
    if (!roomiest.empty()) {
        m_strTempDir = roomiest;
    }
    SetItemText(IDC_TEMP_DIR_LABEL,
                "Select a temp directory: (current has " + FreeSpaceText(m_strTempDir) + " free).");

    UpdateData(FALSE);
    return TRUE;
}

void CKelvaneDlg::FindGameAndEngine() {
    const std::string location = ReadInstallLocation();
    if (location == kReadFailed) {
        // No registry entry: the engine must be beside the program.
        if (!FileExists("patchw32.dll")) {
            FatalStartupError(
                "Patchw32.dll file not found in current directory, unable to proceed.");
        }
        if (FileExists("tarrowmain.exe")) {
            m_strGameExe = "tarrowmain.exe";
            ShowGameVersion();
        }
        return;
    }
    m_strTempDir = location;
    m_strGameDir = location;
    if (!FileExists(location + "\\patchw32.dll")) {
        FatalStartupError(
            "Patchw32.dll file not found in Tarrowmoor directory, unable to proceed.");
    }
    if (FileExists(location + "\\tarrowmain.exe")) {
        m_strGameExe = location + "\\tarrowmain.exe";
        ShowGameVersion();
    }
}

void CKelvaneDlg::FatalStartupError(const std::string& text) {
    MessageBox(text, "Error", MB_ICONERROR | MB_OK);
    ::SendMessageA(m_hWnd, WM_CLOSE, 0, 0);
    ::ExitProcess(0);
}

void CKelvaneDlg::SetStatusText(const std::string& text) {
    m_wndStatusBar.SetPaneText(0, text, true);
}

void CKelvaneDlg::SetVersionPaneText(const std::string& text) {
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    const int width = client.right - client.left;
    const int needed = std::min(m_wndStatusBar.PaneWidthFor(text), width / 2);
    m_wndStatusBar.SetPaneInfo(0, width - std::max(kVersionPaneWidth, needed));
    m_wndStatusBar.SetPaneText(1, text, true);
}

LRESULT CKelvaneDlg::OnMessagesAdded(WPARAM wParam, LPARAM) {
    g_bMessagesAddedPending = FALSE;
    m_nMessageIndex = static_cast<short>(LOWORD(wParam));
    // This comes many times a second during a run. Pushing members that the controls already
    // show would only redraw them, so they are pushed when one of them shows something else.
    // The message list takes no selection (LB_SETCURSEL fails there), so its missing one is
    // no difference.
    const bool selectable = (::GetWindowLongA(m_ctrlMessages.m_hWnd, GWL_STYLE) & LBS_NOSEL) == 0;
    if (GetItemText(IDC_PATCH_FILE) != m_strPatchFile ||
        GetItemText(IDC_TEMP_DIR) != m_strTempDir ||
        (selectable && m_ctrlMessages.GetCurSel() != m_nMessageIndex)) {
        UpdateData(FALSE);
    }
    const int count = m_ctrlMessages.GetCount();
    m_ctrlMessages.SetTopIndex(count - 1);
    return m_nMessageIndex;
}

void CKelvaneDlg::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(m_hWnd);
        about.DoModal();
    }
}

bool CKelvaneDlg::OnPaint() {
    if (!::IsIconic(m_hWnd)) {
        return false; // the dialog's own painting
    }
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    ::GetClientRect(m_hWnd, &rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
    return true;
}

HCURSOR CKelvaneDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

bool CKelvaneDlg::OnSetCursor(HWND, UINT, UINT) {
    if (m_bBusy) {
        ::SetCursor(m_hWaitCursor);
        return true;
    }
    return false;
}

bool CKelvaneDlg::OnCommand(WORD id, WORD code) {
    if (code != BN_CLICKED) {
        return false;
    }
    switch (id) {
    case IDC_SELECT_PATCH:
        OnSelectPatch();
        return true;
    case IDC_SELECT_TEMP_DIR:
        OnSelectTempDir();
        return true;
    case IDOK:
        OnPatch();
        return true;
    case IDC_IGNORE_MISSING:
        OnIgnoreMissing();
        return true;
    case IDC_VALIDATE_ONLY:
        OnValidateOnly();
        return true;
    case IDC_USE_QUEUE:
        OnUseQueue();
        return true;
    case IDC_CLEAR_QUEUE:
        OnClearQueue();
        return true;
    case IDC_ENABLE_UNDO:
        OnEnableUndo();
        return true;
    case IDCANCEL:
        // Exit is disabled while a run is in progress; Esc must not end a run either.
        if (m_bBusy) {
            return true;
        }
        break;
    default:
        break;
    }
    return fw::Dialog::OnCommand(id, code);
}

bool CKelvaneDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (msg) {
    case WM_SYSCOMMAND:
        if ((static_cast<UINT>(wParam) & 0xFFF0) == IDM_ABOUTBOX) {
            OnSysCommand(static_cast<UINT>(wParam), lParam);
            result = 0;
            return true;
        }
        return false; // the system's own handling
    case WM_PAINT:
        return OnPaint();
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<LRESULT>(OnQueryDragIcon());
        return true;
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam), HIWORD(lParam))) {
            result = FALSE;
            return true;
        }
        return false;
    case WM_MESSAGES_ADDED:
        result = OnMessagesAdded(wParam, lParam);
        return true;
    default:
        return false;
    }
}
