#include "exe_version.h"

#include "os.h"
#include "paths.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace rtp {

namespace {

uint32_t le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | b[at + i];
    return v;
}

bool read_at(kv::os::File& f, uint64_t off, size_t n, std::vector<uint8_t>& out) {
    out.resize(n);
    return n == 0 || static_cast<bool>(f.read_exact_at(off, out.data(), n));
}

} // namespace

std::string version_text(uint32_t ms, uint32_t ls) {
    // The game's own way: 1.0.23.0 is "1.23", 1.0.6.0 is "1.06"; a third number of two or
    // more digits stands for the minor one.
    unsigned major = ms >> 16, minor = ms & 0xFFFF, third = ls >> 16;
    std::string c = std::to_string(third);
    return std::to_string(major) + "." + (c.size() + 1 > 2 ? c : std::to_string(minor) + c);
}

// The PE headers lead to the resource section; its directory to the first RT_VERSION
// resource, whose VS_FIXEDFILEINFO (signature 0xFEEF04BD) holds the file version.
std::string read_exe_version(const std::string& path) {
    kv::os::File f;
    if (!kv::os::File::open_read(path, f))
        return {};
    uint64_t size = 0;
    f.size(size);
    std::vector<uint8_t> b;
    if (size < 0x40 || !read_at(f, 0, 0x40, b) || b[0] != 'M' || b[1] != 'Z')
        return {};
    uint32_t pe = le(b, 0x3C, 4);
    if (pe > size || size - pe < 24 + 112 + 8 * 3 || !read_at(f, pe, 24 + 240, b) ||
        std::memcmp(b.data(), "PE\0\0", 4) != 0)
        return {};
    unsigned sections = le(b, 6, 2), opt_size = le(b, 20, 2), magic = le(b, 24, 2);
    size_t dirs = magic == 0x20B ? 24 + 112 : 24 + 96;
    if (magic != 0x10B && magic != 0x20B)
        return {};
    if (le(b, dirs - 4, 4) < 3)
        return {};
    uint32_t rsrc_rva = le(b, dirs + 16, 4);
    std::vector<uint8_t> table;
    if (sections > 96 || !read_at(f, pe + 24 + opt_size, sections * 40u, table))
        return {};
    for (unsigned i = 0; i < sections; ++i) {
        uint32_t va = le(table, i * 40 + 12, 4), raw = le(table, i * 40 + 16, 4);
        uint32_t ptr = le(table, i * 40 + 20, 4);
        if (rsrc_rva < va || rsrc_rva >= va + raw || raw > (16u << 20) || ptr > size ||
            raw > size - ptr)
            continue;
        std::vector<uint8_t> r;
        if (!read_at(f, ptr, raw, r))
            return {};
        size_t base = rsrc_rva - va;
        // Three levels: type, name, language; the first entry of the lower two.
        size_t node = base;
        for (int level = 0; level < 3; ++level) {
            if (node + 16 > r.size())
                return {};
            unsigned count = le(r, node + 12, 2) + le(r, node + 14, 2);
            size_t next = 0;
            for (unsigned k = 0; k < count && node + 16 + k * 8 + 8 <= r.size(); ++k) {
                size_t e = node + 16 + k * 8;
                if (level > 0 || le(r, e, 4) == 16) {
                    next = base + (le(r, e + 4, 4) & 0x7FFFFFFF);
                    break;
                }
            }
            if (!next)
                return {};
            node = next;
        }
        if (node + 8 > r.size())
            return {};
        uint32_t data_rva = le(r, node, 4), data_size = le(r, node + 4, 4);
        if (data_rva < va || data_rva - va > r.size() || data_size > r.size() - (data_rva - va))
            return {};
        const uint8_t* p = r.data() + (data_rva - va);
        const uint8_t sig[4] = {0xBD, 0x04, 0xEF, 0xFE};
        const uint8_t* hit = std::search(p, p + data_size, sig, sig + 4);
        if (hit + 16 > p + data_size)
            return {};
        std::vector<uint8_t> fixed(hit, hit + 16);
        return version_text(le(fixed, 8, 4), le(fixed, 12, 4));
    }
    return {};
}

std::string tree_exe_version(const std::string& dir, const std::string& name) {
    std::vector<kv::os::DirEntry> entries;
    if (!kv::os::list_dir(dir, entries))
        return {};
    for (const kv::os::DirEntry& e : entries)
        if (!e.is_dir && !e.is_link && kv::fold_case(e.name) == kv::fold_case(name))
            return read_exe_version(kv::os::join(dir, e.name));
    return {};
}

} // namespace rtp
