// Where the game is installed and which version it is.
#include "app/KelvaneDlg.h"
#include "environment/Environment.h"
#include "environment/logic/VersionText.h"

#include <cstdio>

namespace {

const char kGameKey[] = "SOFTWARE\\Brackwater\\Tarrowsaga\\Moorgate";

std::string ReadGameValue(const char* name) {
    char buffer[256] = {};
    HKEY key = nullptr;
    LONG status = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGameKey, 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = sizeof buffer;
        status =
            ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
        ::RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        return kReadFailed;
    }
    // Whatever bytes the value holds are taken as text, up to the first zero byte.
    size_t length = 0;
    while (length < sizeof buffer && buffer[length] != '\0') {
        ++length;
    }
    return std::string(buffer, length);
}

} // namespace

std::string ReadInstallLocation() {
    return ReadGameValue("Location");
}

std::string ReadRegistryVersion() {
    return ReadGameValue("Version");
}

std::string ReadExecutableVersion(const std::string& path) {
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) {
        return kReadFailed;
    }
    void* block = ::GlobalAlloc(GPTR, size);
    if (block == nullptr) {
        return std::string();
    }
    if (!::GetFileVersionInfoA(path.c_str(), 0, size, block)) {
        // Nothing could be read: the same as a file without version information.
        ::GlobalFree(block);
        return kReadFailed;
    }
    std::string version;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (::VerQueryValueA(block, "\\", reinterpret_cast<void**>(&fixed), &length) &&
        fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
        version = VersionPrefix(HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                HIWORD(fixed->dwFileVersionLS));
    }
    WORD* translation = nullptr;
    if (::VerQueryValueA(block, "\\VarFileInfo\\Translation",
                         reinterpret_cast<void**>(&translation), &length) &&
        translation != nullptr && length >= 4) {
        char query[64];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\PrivateBuild",
                      translation[0], translation[1]);
        char* text = nullptr;
        if (::VerQueryValueA(block, query, reinterpret_cast<void**>(&text), &length) &&
            text != nullptr) {
            version += text;
        }
    }
    // Without a translation entry there is no string table to ask: nothing is appended.
    ::GlobalFree(block);
    return version;
}

void CKelvaneDlg::ShowGameVersion() {
    if (m_strGameExe.empty()) {
        return;
    }
    const std::string version = ReadExecutableVersion(m_strGameExe);
    if (version == kReadFailed) {
        return;
    }
    SetVersionPaneText("Current Tarrow version is: " + version);
    m_strGameVersion = FallbackVersionOf(version);
}
