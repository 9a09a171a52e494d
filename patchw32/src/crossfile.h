// Entries built from another file of the old tree: a moved or renamed file, a file split out
// of a larger one, a copy. Such an entry is an ordinary delta entry whose old file is not the
// one at its own path but the one its source names (FORMAT.md, "Sources").
//
// The patch lists the sources in its "srcs" section (format version 3). The builder chooses a
// source for each added file by the content it shares with the old files; the engine reads a
// source through the same checks as a game file, verifies its hash first, and reads it before
// the commit changes anything, so a source that the patch itself modifies or deletes is read
// in its old state. A source may also be the new file of an earlier entry of the same patch (a
// copy of another new file): the engine keeps that file in memory from its decode until the
// last entry that reads it, or reads it from the game when it is already new.
#pragma once

#include "format.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kv {

// The first format version that may carry sources.
constexpr uint16_t kCrossFileVersion = 3;
// How many bytes of the "srcs" section the builder allows itself, leaving room for the other
// sections within their common limit.
constexpr uint64_t kMaxSourceSectionBytes = 60u << 10;
// The engine keeps in memory the new files that later entries of the same patch read, from
// their decode until the last such entry: together at most this many bytes.
constexpr uint64_t kMaxNewSourceBytes = 16u << 20;

// Reads the body of a "srcs" section and sets the `source` of the entries it names. Every
// count, index and size is checked against the entries and the limits before it is used;
// anything out of place refuses the patch (Corrupt), an unsafe source path too (Hostile).
DecodeResult read_sources(const uint8_t* body, size_t size, std::vector<Entry>& entries);

// The whole "srcs" section (tag, length, body) for the entries that have a source; empty when
// none has. A source that is the old file of a modify or delete entry is written as that
// entry's index, any other with its path, size and hash.
std::vector<uint8_t> encode_sources_section(const std::vector<Entry>& entries);

// The largest number of bytes a source's record can take: `old_path` names the old file;
// `is_entry` when the patch modifies or deletes that file, so that it is written as an index.
uint64_t source_record_bound(const std::string& old_path, bool is_entry);

// One file of a tree: relative path ('/'-separated), full path, size.
struct TreeFile {
    std::string rel, full;
    uint64_t size = 0;
};

// For every file of `wanted` (added or modified files, in directory order), the index into
// `olds` of the old file it shares the most content with, or, for an added file,
// olds.size() + j for an earlier wanted file j (of at most kMaxNewSourceBytes) that shares
// more, or -1 when none shares enough to be worth trying. `own`
// gives the index of each wanted file's own old file (-1 for an added one): another old file
// is only chosen when it shares more than twice as much. Content is compared by a consistent
// sample of content-defined anchors (a rolling hash over the last 64 bytes), so that a file
// split out of a larger one is found as well as a moved one; the cost is one read of every
// file and memory for at most kMaxAnchors anchors of the old tree.
constexpr size_t kMaxAnchors = size_t{1} << 21;
os::Status choose_sources(const std::vector<TreeFile>& olds, const std::vector<TreeFile>& wanted,
                          const std::vector<int64_t>& own, std::vector<int64_t>& chosen);

// What the engine finds at a source, and (unless Ready) what is wrong with it ("is missing").
enum class SourceState { Ready, Missing, Differs, Unsafe };
struct SourceFinding {
    SourceState state = SourceState::Ready;
    std::string why;
};

// Opens the source of an entry at `full` (a path in the game directory whose parent folders
// the caller has checked) for reading: not a link, a file of the recorded size and hash. The
// hash is computed through the handle that is returned, so the bytes decoded are the bytes
// checked.
SourceFinding open_source(const std::string& full, const Entry::Source& src, os::File& out);

} // namespace kv
