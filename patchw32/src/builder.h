// Builds a patch from an old and a new directory tree.
#pragma once

#include "delta.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kv {

struct BuildOptions {
    DeltaOptions delta = default_delta_options();
    int level = 9;
};

struct BuildStats {
    uint64_t modified = 0, added = 0, deleted = 0, unchanged = 0, dirs = 0;
    uint64_t new_bytes = 0;   // sizes of the new versions of changed and added files
    uint64_t patch_bytes = 0; // size of the patch file
};

using BuildLog = std::function<void(const std::string&)>;

// Returns an empty string on success, otherwise the reason for failing. The patch is
// written to OUT.partial and renamed to OUT only when complete.
std::string build_patch(const std::string& old_dir, const std::string& new_dir,
                        const std::string& out_path, const BuildOptions& opt, const BuildLog& log,
                        BuildStats& stats);

} // namespace kv
