#include "framework/Framework.h"

#include <vector>

namespace fw {

int ListBox::InsertString(int index, const std::string& text) const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_INSERTSTRING, static_cast<WPARAM>(index),
                                           reinterpret_cast<LPARAM>(text.c_str())));
}

int ListBox::AddString(const std::string& text) const {
    return static_cast<int>(
        ::SendMessageA(m_hWnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void ListBox::ResetContent() const {
    ::SendMessageA(m_hWnd, LB_RESETCONTENT, 0, 0);
}

int ListBox::GetCount() const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_GETCOUNT, 0, 0));
}

int ListBox::GetCurSel() const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_GETCURSEL, 0, 0));
}

int ListBox::SetCurSel(int index) const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

std::string ListBox::GetText(int index) const {
    LRESULT length = ::SendMessageA(m_hWnd, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    ::SendMessageA(m_hWnd, LB_GETTEXT, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(buffer.data()));
    return std::string(buffer.data());
}

int ListBox::DeleteString(int index) const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_DELETESTRING, static_cast<WPARAM>(index), 0));
}

int ListBox::SetTopIndex(int index) const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0));
}

int ListBox::GetTopIndex() const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_GETTOPINDEX, 0, 0));
}

void ProgressCtrl::SetRange32(int low, int high) const {
    ::SendMessageA(m_hWnd, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

int ProgressCtrl::SetPos(int pos) const {
    return static_cast<int>(::SendMessageA(m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0));
}

int ProgressCtrl::GetPos() const {
    return static_cast<int>(::SendMessageA(m_hWnd, PBM_GETPOS, 0, 0));
}

int ProgressCtrl::SetStep(int step) const {
    return static_cast<int>(::SendMessageA(m_hWnd, PBM_SETSTEP, static_cast<WPARAM>(step), 0));
}

int ProgressCtrl::StepIt() const {
    return static_cast<int>(::SendMessageA(m_hWnd, PBM_STEPIT, 0, 0));
}

int Button::GetCheck() const {
    return static_cast<int>(::SendMessageA(m_hWnd, BM_GETCHECK, 0, 0));
}

void Button::SetCheck(int state) const {
    ::SendMessageA(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

void DDX_Text(const Dialog& dlg, int id, const std::string& value) {
    dlg.SetItemText(id, value);
}

void DDX_LBIndex(const Dialog& dlg, int id, int index) {
    ::SendMessageA(dlg.GetDlgItem(id), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

// ---------------------------------------------------------------------------
bool StatusBar::Create(HWND parent, UINT id) {
    m_hWnd = ::CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | CCS_BOTTOM, 0, 0, 0,
                               0, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                               ::GetModuleHandleA(nullptr), nullptr);
    return m_hWnd != nullptr;
}

void StatusBar::SetIndicators(const UINT* ids, int count) {
    m_count = count < 8 ? count : 8;
    for (int i = 0; i < m_count; ++i) {
        m_widths[i] = -1;
    }
    SetPaneInfo(0, -1);
    for (int i = 0; i < m_count; ++i) {
        char text[256] = {};
        ::LoadStringA(::GetModuleHandleA(nullptr), ids[i], text, sizeof text);
        SetPaneText(i, text, false);
    }
}

void StatusBar::SetPaneInfo(int index, int width) {
    if (index < 0 || index >= m_count) {
        return;
    }
    m_widths[index] = width;
    int edges[8];
    int right = 0;
    for (int i = 0; i < m_count; ++i) {
        if (m_widths[i] < 0 || i == m_count - 1) {
            edges[i] = -1; // stretches to the end of the bar
        } else {
            right += m_widths[i];
            edges[i] = right;
        }
    }
    ::SendMessageA(m_hWnd, SB_SETPARTS, static_cast<WPARAM>(m_count),
                   reinterpret_cast<LPARAM>(edges));
}

void StatusBar::RepositionAtBottom() {
    ::SendMessageA(m_hWnd, WM_SIZE, 0, 0);
}

void StatusBar::SetPaneText(int index, const std::string& text, bool update) {
    ::SendMessageA(m_hWnd, SB_SETTEXTA, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(text.c_str()));
    if (update) {
        ::UpdateWindow(m_hWnd);
    }
}

std::string StatusBar::GetPaneText(int index) const {
    LRESULT info = ::SendMessageA(m_hWnd, SB_GETTEXTLENGTHA, static_cast<WPARAM>(index), 0);
    std::vector<char> buffer(static_cast<size_t>(LOWORD(info)) + 1, '\0');
    ::SendMessageA(m_hWnd, SB_GETTEXTA, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(buffer.data()));
    return std::string(buffer.data());
}

int StatusBar::TextWidth(const std::string& text) const {
    HFONT font = reinterpret_cast<HFONT>(::SendMessageA(m_hWnd, WM_GETFONT, 0, 0));
    HFONT own = nullptr;
    if (font == nullptr) {
        // A bar without a font of its own draws in the system's status-bar font.
        NONCLIENTMETRICSA metrics{};
        metrics.cbSize = sizeof metrics;
        if (::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
            font = own = ::CreateFontIndirectA(&metrics.lfStatusFont);
        }
    }
    HDC dc = ::GetDC(m_hWnd);
    HGDIOBJ previous = font != nullptr ? ::SelectObject(dc, font) : nullptr;
    SIZE size{};
    ::GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
    if (previous != nullptr) {
        ::SelectObject(dc, previous);
    }
    ::ReleaseDC(m_hWnd, dc);
    if (own != nullptr) {
        ::DeleteObject(own);
    }
    return static_cast<int>(size.cx);
}

int StatusBar::PaneWidthFor(const std::string& text) const {
    int borders[3] = {}; // outer horizontal border, vertical border, gap between panes
    ::SendMessageA(m_hWnd, SB_GETBORDERS, 0, reinterpret_cast<LPARAM>(borders));
    const int kTextInset = 3; // the control keeps this much room on each side of the text
    return TextWidth(text) + borders[0] + borders[2] + 2 * ::GetSystemMetrics(SM_CXEDGE) +
           2 * kTextInset;
}

} // namespace fw
