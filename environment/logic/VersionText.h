// The game's version text, built from the executable's file version and PrivateBuild.
#pragma once

#include <cstdint>
#include <string>

// Dotted prefix from the file version's major, minor and third numbers:
// 1.0.23 gives "1.23.", 1.0.6 gives "1.06.", 1.3.12 gives "1.12.".
std::string VersionPrefix(uint16_t major, uint16_t minor, uint16_t third);

// The fallback version kept for the undo script: the version text up to and including
// its last dot; the whole text when it has none.
std::string FallbackVersionOf(const std::string& versionText);
