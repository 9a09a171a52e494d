// File-name part of a Windows path, aware of double-byte code pages.
#pragma once

#include <string>

// Tells whether a byte starts a double-byte character in the code page in use.
using LeadBytePredicate = bool (*)(unsigned char);

// The text after the last backslash; the whole path without one; empty when the path
// ends with a backslash. A trail byte equal to a backslash is not a separator.
std::string FileNameOfPath(const std::string& path, LeadBytePredicate isLeadByte);
