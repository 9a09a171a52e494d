// Relative paths inside a patch: '/'-separated, checked against everything that could
// reach outside the game directory or alias another file on Windows.
#pragma once

#include <string>
#include <vector>

namespace kv {

struct DecodeResult; // format.h

constexpr size_t kMaxPathBytes = 1024;
constexpr size_t kMaxComponentBytes = 255;
// The bytes of all paths of one patch together. With the entry limit this bounds the memory a
// patch's directory takes and the size of the commit plan.
constexpr size_t kMaxPatchPathBytes = 4u << 20;

// The folder directly below the game directory that a directory scan of the game skips;
// the engine keeps its journal inside it.
inline constexpr const char* kReservedTop = "Tarrowmoor";
inline constexpr const char* kJournalName = ".kelvane-journal";
// The name under which the engine builds the reserved folder before renaming it into place.
inline constexpr const char* kReservedTopTmp = "Tarrowmoor.kelvane-tmp";

// How a patch writes its names. Format version 1 stored them as the builder's system gave
// them (8-bit text in its code page); later versions store UTF-8.
enum class NameCoding { Native, Utf8 };

// Whether `rel` may stand in a patch: ok, or Hostile with why it is refused ("it is an
// absolute path"). Native checks byte by byte; Utf8 also requires valid UTF-8 and knows the
// UTF-8 forms of names.
DecodeResult check_rel_path(const std::string& rel, NameCoding coding = NameCoding::Native);

// Case folding as Windows compares names. Native: ASCII and the Western (1252) letters, byte
// by byte. Utf8: each character to its simple upper case for the Latin, Greek, Cyrillic and
// Armenian letters, Roman numerals, circled and fullwidth Latin letters (FORMAT.md lists the
// rule); other characters, and bytes that are not UTF-8, stay as they are.
std::string fold_case(const std::string& s, NameCoding coding = NameCoding::Utf8);

// Well-formed UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool is_valid_utf8(const std::string& s);
// `s` for a message: control characters and bytes that are not UTF-8 as \xHH.
std::string escape_name(const std::string& s);

// Is `rel` one of the engine's own names: the reserved top folder itself, the journal folder
// or anything inside it, or the top folder's temporary name or anything inside it?
bool is_reserved_path(const std::string& rel);

// Orders paths as Windows compares names, with the separator below every other character, so
// that everything inside a folder directly follows the folder's own path.
int compare_folded_paths(const std::string& a, const std::string& b,
                         NameCoding coding = NameCoding::Utf8);
// Does `inner` lie inside the folder `outer` (letter case folded)?
bool is_inside(const std::string& outer, const std::string& inner,
               NameCoding coding = NameCoding::Utf8);

std::vector<std::string> split_rel(const std::string& rel);
std::string bare_name(const std::string& rel);  // last component
std::string parent_rel(const std::string& rel); // "" at the top
// The folders on the way to `rel`, walked from the top down: `folder_depth` counts them
// ("a/b/c": 2) and `leading_folders(rel, d)` is the d-th of them ("a/b" for d = 2); a depth
// past the last gives `rel` itself.
size_t folder_depth(const std::string& rel);
std::string leading_folders(const std::string& rel, size_t depth);
std::string to_native(const std::string& rel); // '/' becomes the platform separator
std::string shorten_middle(const std::string& s, size_t max);
// A text from outside (a path in a patch) made safe to show: control characters and bytes
// that are not UTF-8 as \xNN, then shortened in the middle to at most `max` bytes.
std::string printable(const std::string& s, size_t max);
// A path of the patch as the engine's messages show it: native separators, made printable.
std::string shown(const std::string& rel);

} // namespace kv
