// Kelvane's small layer over raw Win32: exactly what the dialogs need.
// Text is 8-bit ANSI throughout; every call is the -A variant.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

namespace fw {

// ---------------------------------------------------------------------------
// Dialog base: runs a template modally (or modelessly for tests) and dispatches
// its messages to virtual handlers.
class Dialog {
  public:
    Dialog(UINT templateId, HWND parent);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    INT_PTR DoModal();
    // Creates the dialog without a modal loop (used by tests that drive it).
    bool Create();
    void DestroyWindow();
    void EndDialog(INT_PTR result);

    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    void EnableItem(int id, bool enable) const;
    bool IsItemEnabled(int id) const;
    void SetItemText(int id, const std::string& text) const;
    std::string GetItemText(int id) const;
    void SetCheck(int id, int state) const;
    int GetCheck(int id) const;

    // Pushes the bound members to the controls; the one direction the program uses.
    void UpdateData(BOOL saveAndValidate = FALSE);

    // A message box owned by this dialog, through the prompt seam.
    int MessageBox(const std::string& text, const std::string& caption, UINT type) const;

    HWND m_hWnd = nullptr;

  protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void DoDataExchange() {}
    // Command from a control or menu; returns true when handled.
    virtual bool OnCommand(WORD id, WORD code);
    // Any other message; returns true when handled, with its result in `result`.
    virtual bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
    virtual void OnCancel() { EndDialog(IDCANCEL); }

    UINT m_templateId;
    HWND m_hParent;

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    bool m_modal = false;
};

// ---------------------------------------------------------------------------
// Thin control objects bound to a dialog's child windows.
class ListBox {
  public:
    HWND m_hWnd = nullptr;
    int InsertString(int index, const std::string& text) const;
    int AddString(const std::string& text) const;
    void ResetContent() const;
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int index) const;
    std::string GetText(int index) const;
    int DeleteString(int index) const;
    int SetTopIndex(int index) const;
    int GetTopIndex() const;
};

class ProgressCtrl {
  public:
    HWND m_hWnd = nullptr;
    void SetRange32(int low, int high) const;
    int SetPos(int pos) const;
    int GetPos() const;
    int SetStep(int step) const;
    int StepIt() const;
};

class Button {
  public:
    HWND m_hWnd = nullptr;
    int GetCheck() const;
    void SetCheck(int state) const;
};

// Binds a control object to the dialog's child with that id.
template <class Control> void DDX_Control(const Dialog& dlg, int id, Control& control) {
    if (control.m_hWnd == nullptr) {
        control.m_hWnd = dlg.GetDlgItem(id);
    }
}
void DDX_Text(const Dialog& dlg, int id, const std::string& value);
// Writes the list index to the list box: sets its current selection.
void DDX_LBIndex(const Dialog& dlg, int id, int index);

// ---------------------------------------------------------------------------
// Status bar with panes; pane i is identified by indicator ids[i].
class StatusBar {
  public:
    HWND m_hWnd = nullptr;
    bool Create(HWND parent, UINT id);
    // Loads the indicators' strings as initial pane texts.
    void SetIndicators(const UINT* ids, int count);
    // width < 0 stretches the pane over the rest of the bar.
    void SetPaneInfo(int index, int width);
    void RepositionAtBottom();
    void SetPaneText(int index, const std::string& text, bool update = true);
    std::string GetPaneText(int index) const;
    // Width in pixels of text drawn in the bar's font.
    int TextWidth(const std::string& text) const;
    // Width in pixels a pane needs to show text whole: the text, the pane's sunken edges,
    // the gap before it and the control's inner margins.
    int PaneWidthFor(const std::string& text) const;

  private:
    int m_widths[8] = {};
    int m_count = 0;
};

// ---------------------------------------------------------------------------
// Directory search, as the file finder of the framework behaves: FindFile starts,
// each FindNextFile steps to the next entry and tells whether another follows.
class FileFind {
  public:
    FileFind() = default;
    ~FileFind() { Close(); }
    FileFind(const FileFind&) = delete;
    FileFind& operator=(const FileFind&) = delete;

    bool FindFile(const std::string& pattern);
    bool FindNextFile();
    void Close();
    bool IsDots() const;
    bool IsDirectory() const;
    std::string GetFileName() const;
    std::string GetFilePath() const;
    uint64_t GetLength() const;
    DWORD GetAttributes() const;

  private:
    HANDLE m_hFind = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA m_next{};    // entry that the next FindNextFile steps to
    WIN32_FIND_DATAA m_current{}; // the entry being looked at
    bool m_hasNext = false;
    std::string m_root; // folder part of the pattern, with trailing backslash
};

// ---------------------------------------------------------------------------
// A file written from start to end; every failure is reported by result, never thrown.
class File {
  public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates the file anew, replacing any file of that name.
    bool OpenForWrite(const std::string& path);
    bool Write(const std::string& bytes);
    // Flushes and closes; false when the data may not have reached the disk.
    bool Close();
    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE; }

  private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
    bool m_failed = false;
};

// ---------------------------------------------------------------------------
// The seam between the tool and the modal prompts and disk queries that a test
// answers with a script. The shipped program uses the real implementation only.
struct OpenFileRequest {
    HWND owner = nullptr;
    std::string filter; // framework form: "RTP files (*.rtp)|*.rtp||"
    std::string title;
    DWORD flags = 0;
};

class Seam {
  public:
    virtual ~Seam() = default;
    virtual int MessageBox(HWND owner, const std::string& text, const std::string& caption,
                           UINT type);
    // Returns IDOK with the chosen full path, or IDCANCEL.
    virtual INT_PTR OpenFile(const OpenFileRequest& request, std::string& path);
    // The shell folder browser; the chosen folder's path or the empty text.
    virtual std::string BrowseFolder(HWND owner, const std::string& title);
    // Free bytes available to the caller on the path's volume; false when it cannot be queried.
    virtual bool FreeBytes(const std::string& path, int64_t& freeBytes);
    // The drive roots as GetLogicalDriveStringsA lists them, each ended by a zero byte.
    virtual std::string LogicalDriveStrings();
    virtual UINT DriveType(const std::string& root);
};

Seam& seam();
// Replaces the seam (tests); nullptr restores the real one.
void SetSeam(Seam* replacement);

} // namespace fw
