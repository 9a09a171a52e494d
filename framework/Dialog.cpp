#include "framework/Framework.h"

namespace fw {

Dialog::Dialog(UINT templateId, HWND parent) : m_templateId(templateId), m_hParent(parent) {}

Dialog::~Dialog() {
    if (m_hWnd != nullptr && !m_modal) {
        DestroyWindow();
    }
}

INT_PTR Dialog::DoModal() {
    m_modal = true;
    INT_PTR result =
        ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId), m_hParent,
                          &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return result;
}

bool Dialog::Create() {
    m_modal = false;
    HWND h = ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId),
                                  m_hParent, &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
    return h != nullptr;
}

void Dialog::DestroyWindow() {
    if (m_hWnd != nullptr) {
        HWND h = m_hWnd;
        ::SetWindowLongPtrA(h, DWLP_USER, 0);
        m_hWnd = nullptr;
        ::DestroyWindow(h);
    }
}

void Dialog::EndDialog(INT_PTR result) {
    if (m_modal) {
        ::EndDialog(m_hWnd, result);
    } else {
        DestroyWindow();
    }
}

void Dialog::EnableItem(int id, bool enable) const {
    ::EnableWindow(GetDlgItem(id), enable ? TRUE : FALSE);
}

bool Dialog::IsItemEnabled(int id) const {
    return ::IsWindowEnabled(GetDlgItem(id)) != FALSE;
}

void Dialog::SetItemText(int id, const std::string& text) const {
    ::SetDlgItemTextA(m_hWnd, id, text.c_str());
}

std::string Dialog::GetItemText(int id) const {
    HWND item = GetDlgItem(id);
    int length = ::GetWindowTextLengthA(item);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    int got = ::GetWindowTextA(item, text.data(), length + 1);
    text.resize(static_cast<size_t>(got < 0 ? 0 : got));
    return text;
}

void Dialog::SetCheck(int id, int state) const {
    ::SendDlgItemMessageA(m_hWnd, id, BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

int Dialog::GetCheck(int id) const {
    return static_cast<int>(::SendDlgItemMessageA(m_hWnd, id, BM_GETCHECK, 0, 0));
}

void Dialog::UpdateData(BOOL saveAndValidate) {
    // Members are only ever pushed to the controls; the controls are never read back.
    if (!saveAndValidate && m_hWnd != nullptr) {
        DoDataExchange();
    }
}

int Dialog::MessageBox(const std::string& text, const std::string& caption, UINT type) const {
    return seam().MessageBox(m_hWnd, text, caption, type);
}

bool Dialog::OnCommand(WORD id, WORD code) {
    if (code == BN_CLICKED && id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

bool Dialog::OnMessage(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Dialog* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        self->m_hWnd = hwnd;
        self->DoDataExchange(); // binds the controls, as the framework's initial exchange does
        return self->OnInitDialog();
    }
    self = reinterpret_cast<Dialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    if (msg == WM_COMMAND) {
        if (self->OnCommand(LOWORD(wParam), HIWORD(wParam))) {
            return TRUE;
        }
        return FALSE;
    }
    LRESULT result = 0;
    if (self->OnMessage(msg, wParam, lParam, result)) {
        // Messages whose result is the dialog procedure's own return value.
        switch (msg) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return static_cast<INT_PTR>(result);
        default:
            ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace fw
