#include "framework/Framework.h"

#include <commdlg.h>
#include <shlobj.h>

#include <vector>

namespace fw {

int Seam::MessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
    return ::MessageBoxA(owner, text.c_str(), caption.c_str(), type);
}

INT_PTR Seam::OpenFile(const OpenFileRequest& request, std::string& path) {
    // The framework's filter form separates with '|'; the system's with NUL bytes.
    std::string filter = request.filter;
    for (char& c : filter) {
        if (c == '|') {
            c = '\0';
        }
    }
    filter.push_back('\0');
    std::vector<char> file(MAX_PATH * 4, '\0');
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = request.owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = request.title.empty() ? nullptr : request.title.c_str();
    ofn.Flags = request.flags | OFN_EXPLORER | OFN_ENABLESIZING;
    if (!::GetOpenFileNameA(&ofn)) {
        return IDCANCEL;
    }
    path = file.data();
    return IDOK;
}

std::string Seam::BrowseFolder(HWND owner, const std::string& title) {
    IMalloc* shellMalloc = nullptr;
    if (FAILED(::SHGetMalloc(&shellMalloc)) || shellMalloc == nullptr) {
        return std::string();
    }
    BROWSEINFOA info{};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    std::string result;
    LPITEMIDLIST items = ::SHBrowseForFolderA(&info);
    if (items != nullptr) {
        char buffer[MAX_PATH] = {};
        if (::SHGetPathFromIDListA(items, buffer)) {
            result = buffer;
        }
        shellMalloc->Free(items);
    }
    shellMalloc->Release();
    return result;
}

bool Seam::FreeBytes(const std::string& path, int64_t& freeBytes) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr)) {
        freeBytes = 0;
        return false;
    }
    freeBytes = static_cast<int64_t>(available.QuadPart);
    return true;
}

std::string Seam::LogicalDriveStrings() {
    // Sized by the system's own answer, so any number of drives fits.
    DWORD needed = ::GetLogicalDriveStringsA(0, nullptr);
    if (needed == 0) {
        return std::string();
    }
    std::vector<char> buffer(needed + 1, '\0');
    DWORD got = ::GetLogicalDriveStringsA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (got == 0 || got > buffer.size()) {
        return std::string();
    }
    return std::string(buffer.data(), got);
}

UINT Seam::DriveType(const std::string& root) {
    return ::GetDriveTypeA(root.c_str());
}

namespace {
Seam g_realSeam;
Seam* g_seam = &g_realSeam;
} // namespace

Seam& seam() {
    return *g_seam;
}

void SetSeam(Seam* replacement) {
    g_seam = replacement != nullptr ? replacement : &g_realSeam;
}

} // namespace fw
