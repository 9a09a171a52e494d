// Free space, the roomiest fixed drive, the folder browser and file names.
#include "environment/Environment.h"
#include "framework/Framework.h"

#include <mbctype.h>

#include <array>

int64_t GetFreeBytes(const std::string& path) {
    int64_t free = 0;
    if (!fw::seam().FreeBytes(path, free)) {
        return 0;
    }
    return free;
}

std::string FreeSpaceText(const std::string& path) {
    int64_t free = 0;
    if (!fw::seam().FreeBytes(path, free)) {
        return "0";
    }
    return FormatSize(free);
}

std::string FindRoomiestFixedDrive() {
    int64_t best = 0;
    std::string chosen;
    const std::string roots = fw::seam().LogicalDriveStrings();
    size_t start = 0;
    while (start < roots.size() && roots[start] != '\0') {
        size_t end = roots.find('\0', start);
        if (end == std::string::npos) {
            end = roots.size();
        }
        const std::string root = roots.substr(start, end - start);
        start = end + 1;
        if (fw::seam().DriveType(root) != DRIVE_FIXED) {
            continue;
        }
        int64_t free = 0;
        if (!fw::seam().FreeBytes(root, free)) {
            free = 0;
        }
        if (free > best) {
            best = free;
            chosen = root;
        }
    }
    return chosen;
}

std::string BrowseForFolder(HWND owner, const std::string& title) {
    return fw::seam().BrowseFolder(owner, title);
}

bool IsAnsiLeadByte(unsigned char c) {
    // Asked of the system once per byte value: the scan of a large game directory asks often.
    static const auto table = [] {
        std::array<bool, 256> leads{};
        for (int b = 0; b < 256; ++b) {
            leads[static_cast<size_t>(b)] = ::IsDBCSLeadByte(static_cast<BYTE>(b)) != FALSE;
        }
        return leads;
    }();
    return table[c];
}

std::string NameKey(std::string_view name) {
    // Plain ASCII, the usual case, means the same characters in every ANSI code page.
    bool ascii = true;
    for (const char ch : name) {
        ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
    }
    if (ascii) {
        std::string key(name);
        for (char& c : key) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return key;
    }
    const int length = static_cast<int>(name.size());
    const int count =
        ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), length, nullptr, 0);
    if (count <= 0) {
        std::string raw(1, '\xFF');
        raw.append(name);
        return raw;
    }
    std::wstring wide(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), length, wide.data(), count);
    ::CharUpperBuffW(wide.data(), static_cast<DWORD>(count));
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
    std::string key(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, key.data(), bytes, nullptr, nullptr);
    }
    return key;
}

std::string FileNameOf(const std::string& path) {
    return FileNameOfPath(path, &IsAnsiLeadByte);
}
