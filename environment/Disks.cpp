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

std::string FileNameOf(const std::string& path) {
    return FileNameOfPath(path, &IsAnsiLeadByte);
}
