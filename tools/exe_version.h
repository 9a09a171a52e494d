// The file version of a Windows executable, read from its version resource on any system.
#pragma once

#include <cstdint>
#include <string>

namespace rtp {

// The version as the game shows it: file version 1.0.23.0 is "1.23", 1.0.6.0 is "1.06",
// 2.0.5.1 is "2.05".
std::string version_text(uint32_t version_ms, uint32_t version_ls);

// The version of the executable at `path`; empty when it has no version resource or is not
// a Windows executable.
std::string read_exe_version(const std::string& path);

// The version of the file `name` (letters in any case) directly in `dir`; empty when it is
// missing or has no version.
std::string tree_exe_version(const std::string& dir, const std::string& name);

} // namespace rtp
