// The game's installation, its version, and the disks: registry and version reads,
// free space and drive choice, the folder browser and file names.
#pragma once

#include "environment/logic/FileName.h"
#include "environment/logic/SizeFormat.h"
#include "framework/Framework.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// Failure marker of the registry reads and the version reader; never shown.
inline constexpr const char* kReadFailed = "erR";

std::string ReadInstallLocation();
std::string ReadRegistryVersion();
std::string ReadExecutableVersion(const std::string& path);

int64_t GetFreeBytes(const std::string& path);
std::string FreeSpaceText(const std::string& path);
std::string FindRoomiestFixedDrive();

std::string BrowseForFolder(HWND owner, const std::string& title);
// The open-file dialog that asks for one ".rtp" patch file.
fw::OpenFileRequest PatchFileRequest(HWND owner);
// Whether a byte starts a double-byte character in the system's ANSI code page.
bool IsAnsiLeadByte(unsigned char c);
// The comparison key of a name: its characters in the ANSI code page, upper-cased as the
// system maps letters (double-byte characters included), written in UTF-8. Text that is
// not valid in the code page is compared byte for byte, behind a byte that UTF-8 never
// holds, so it never equals a valid name's key.
std::string NameKey(std::string_view name);
// The text after the last backslash, searched character by character in the ANSI code page.
std::string FileNameOf(const std::string& path);
