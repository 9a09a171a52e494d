// Builds a patch from an old and a new directory tree.
#pragma once

#include "delta.h"
#include "format.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kv {

// Signs a patch as the builder writes it: hears every signed byte, in order, then gives the
// signature (r and s, big-endian) over them.
class PatchSigner {
  public:
    virtual ~PatchSigner() = default;
    virtual void update(const void* data, size_t n) = 0;
    // Fails, saying why, when no signature could be made.
    virtual os::Status finish(uint8_t value[64]) = 0;
    uint8_t key[64] = {}; // the public key (X and Y, big-endian)
};

struct BuildOptions {
    DeltaOptions delta = default_delta_options();
    int level = 9;
    // Paths left out of the patch on both sides (saves, logs, clutter); see path_excluded.
    // The new tree's ".rtpignore" adds its lines to these.
    std::vector<std::string> exclude;
    // The defaults keep the library's callers as they were; rtptool asks for the safe ones.
    bool allow_empty = true; // build a patch that changes nothing when the trees are equal
    bool overwrite = true;   // replace an existing output file
    bool verify = false;     // decode and hash-check every entry before the rename
    unsigned threads = 1;    // files coded at once; the patch is the same for any number
    PatchMeta meta;          // game and versions, stored when any is given
    PatchSigner* signer = nullptr;
};

struct BuildStats {
    uint64_t modified = 0, added = 0, deleted = 0, unchanged = 0, dirs = 0;
    uint64_t excluded = 0;    // files and folders left out by the ignore patterns
    uint64_t new_bytes = 0;   // sizes of the new versions of changed and added files
    uint64_t patch_bytes = 0; // size of the patch file
    bool verified = false;
};

// Why a build failed, for the tool's exit code.
enum class BuildFailure { None, Input, Output, Exists, Empty, Verify };

// A build's outcome: which kind of failure (None when the patch was written) and why. True
// when the patch was written.
struct BuildResult {
    BuildFailure failure = BuildFailure::None;
    std::string message;
    explicit operator bool() const { return failure == BuildFailure::None; }
};

// Where the build is. Stages: "scan", "diff" (hashing and coding the files), "index" (a
// suffix array of a large old file is being built; bytes do not move meanwhile), "write",
// "verify". Bytes count the new sizes of the changed and added files.
struct BuildProgress {
    const char* stage = "scan";
    uint64_t files_done = 0, files_total = 0;
    uint64_t bytes_done = 0, bytes_total = 0;
    std::string current; // the file being worked on
};

// One line per file: operation, path, sizes and the codec chosen.
struct BuildFileEvent {
    const char* op;
    std::string path;
    uint64_t new_size, payload;
    const char* codec;
};

struct BuildCallbacks {
    std::function<void(const BuildFileEvent&)> file;
    std::function<void(const BuildProgress&)> progress;
};

// Does a '/'-separated relative path match an ignore pattern? A pattern without '/' is
// matched against every name in the path (so "Thumbs.db" or "*.log" anywhere, and a folder
// name takes its whole subtree); one with '/' against the path from the root ("saves/*.sav",
// a leading '/' is optional). '*' matches within one name, '**' across folders, '?' one
// character; letters match in any case, as on Windows.
bool path_excluded(const std::string& rel, const std::vector<std::string>& patterns);

// Builds in stages: the tree diff, the payloads' coding, then the directory, sections and
// trailer. The patch is written to OUT.partial and renamed to OUT only when complete and,
// with `verify`, checked; a failed build leaves no OUT.partial behind.
BuildResult build_patch(const std::string& old_dir, const std::string& new_dir,
                        const std::string& out_path, const BuildOptions& opt,
                        const BuildCallbacks& cb, BuildStats& stats);

using BuildLog = std::function<void(const std::string&)>;

// The same with one log line per file ("op path: ...").
BuildResult build_patch(const std::string& old_dir, const std::string& new_dir,
                        const std::string& out_path, const BuildOptions& opt, const BuildLog& log,
                        BuildStats& stats);

} // namespace kv
