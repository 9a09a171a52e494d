#include "paths.h"

#include "format.h"
#include "os.h"

#include <algorithm>
#include <cstdint>

namespace kv {

namespace {

unsigned char fold_char(unsigned char c) {
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned char>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<unsigned char>(c - 32);
    switch (c) {
    case 0x9A:
        return 0x8A; // s caron
    case 0x9C:
        return 0x8C; // oe
    case 0x9E:
        return 0x8E; // z caron
    case 0xFF:
        return 0x9F; // y diaeresis
    default:
        return c;
    }
}

// Lower-case letters and their upper case: the simple one-to-one mappings of Unicode for the
// scripts whose case Windows folds in file names and players are likely to use. `step` 2
// means the range alternates upper and lower case, and only the code points of the parity
// of `lo` are lower case.
struct FoldRange {
    uint32_t lo, hi;
    int32_t delta;
    uint8_t step;
};
constexpr FoldRange kFolds[] = {
    {0x0061, 0x007A, -32, 1},  {0x00E0, 0x00F6, -32, 1}, {0x00F8, 0x00FE, -32, 1},
    {0x00FF, 0x00FF, 0x79, 1}, {0x0101, 0x012F, -1, 2},  {0x0133, 0x0137, -1, 2},
    {0x013A, 0x0148, -1, 2},   {0x014B, 0x0177, -1, 2},  {0x017A, 0x017E, -1, 2},
    {0x03AC, 0x03AC, -38, 1},  {0x03AD, 0x03AF, -37, 1}, {0x03B1, 0x03C1, -32, 1},
    {0x03C2, 0x03C2, -31, 1},  {0x03C3, 0x03CB, -32, 1}, {0x03CC, 0x03CC, -64, 1},
    {0x03CD, 0x03CE, -63, 1},  {0x03D9, 0x03EF, -1, 2},  {0x0430, 0x044F, -32, 1},
    {0x0450, 0x045F, -80, 1},  {0x0461, 0x0481, -1, 2},  {0x048B, 0x04BF, -1, 2},
    {0x04C2, 0x04CE, -1, 2},   {0x04CF, 0x04CF, -15, 1}, {0x04D1, 0x052F, -1, 2},
    {0x0561, 0x0586, -48, 1},  {0x1E01, 0x1E95, -1, 2},  {0x1EA1, 0x1EFF, -1, 2},
    {0x2170, 0x217F, -16, 1},  {0x24D0, 0x24E9, -26, 1}, {0xFF41, 0xFF5A, -32, 1},
};

uint32_t upper_of(uint32_t cp) {
    for (const FoldRange& r : kFolds)
        if (cp >= r.lo && cp <= r.hi && (r.step == 1 || (cp - r.lo) % 2 == 0))
            return static_cast<uint32_t>(static_cast<int32_t>(cp) + r.delta);
    return cp;
}

// The next character of `s` at `i` for comparing paths as Windows compares names, advancing
// `i`: '/' as 0, below everything; letters folded; a byte that is not UTF-8 (in a Utf8 path)
// after every character.
uint32_t next_folded(const std::string& s, size_t& i, NameCoding coding) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '/') {
        ++i;
        return 0;
    }
    if (coding == NameCoding::Native) {
        ++i;
        return fold_char(c);
    }
    uint32_t cp = 0;
    size_t n = os::decode_utf8(s, i, cp);
    if (n == 0) {
        ++i;
        return 0x110000u + c;
    }
    i += n;
    return upper_of(cp);
}

bool ieq(const std::string& a, const char* b) {
    size_t n = 0;
    for (; b[n]; ++n) {
        if (n >= a.size() || fold_char(static_cast<unsigned char>(a[n])) !=
                                 fold_char(static_cast<unsigned char>(b[n])))
            return false;
    }
    return n == a.size();
}

bool is_reserved_device(const std::string& comp, NameCoding coding) {
    // Windows maps these names to devices whatever the extension: "nul.txt" is NUL.
    std::string base = comp.substr(0, comp.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* f : fixed)
        if (ieq(base, f))
            return true;
    if (base.size() < 4 || !(ieq(base.substr(0, 3), "COM") || ieq(base.substr(0, 3), "LPT")))
        return false;
    // digits 0-9 and the superscript digits 1, 2, 3 (U+00B9, U+00B2, U+00B3; in code page
    // 1252 the bytes B9, B2, B3)
    std::string d = base.substr(3);
    if (coding == NameCoding::Utf8 && d.size() == 2 && d[0] == '\xC2')
        d = d.substr(1);
    unsigned char c = static_cast<unsigned char>(d[0]);
    return d.size() == 1 && ((c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3);
}

bool looks_like_short_name(const std::string& comp) {
    // "PROGRA~1" style names are aliases of other, long names on Windows.
    std::string base = comp.substr(0, comp.find('.'));
    size_t t = base.find('~');
    if (t == std::string::npos || t + 1 >= base.size())
        return false;
    for (size_t i = t + 1; i < base.size(); ++i)
        if (base[i] < '0' || base[i] > '9')
            return false;
    return true;
}

// A path no patch may hold: it could reach outside the game directory or alias another file.
DecodeResult unsafe(std::string why) {
    return DecodeResult::refuse(PatchError::Hostile, std::move(why));
}

DecodeResult check_component(const std::string& c, NameCoding coding) {
    if (c.empty())
        return unsafe("it has an empty folder name");
    if (c == "." || c == "..")
        return unsafe("it refers to \"" + c + "\"");
    if (c.size() > kMaxComponentBytes)
        return unsafe("a name in it is longer than 255 bytes");
    for (unsigned char ch : c) {
        if (ch < 0x20 || ch == 0x7F)
            return unsafe("it contains a control character");
        if (ch == ':')
            return unsafe("it contains \":\" (drive letter or alternate data stream)");
        if (ch == '\\' || ch == '<' || ch == '>' || ch == '"' || ch == '|' || ch == '?' ||
            ch == '*')
            return unsafe(std::string("it contains the character '") + static_cast<char>(ch) +
                          "', which Windows forbids in names");
    }
    if (c.back() == '.' || c.back() == ' ')
        return unsafe("a name in it ends with a dot or a blank, which Windows drops");
    if (c.front() == ' ')
        return unsafe("a name in it starts with a blank");
    if (is_reserved_device(c, coding))
        return unsafe("\"" + c + "\" is a reserved device name on Windows");
    if (looks_like_short_name(c))
        return unsafe("\"" + c +
                      "\" looks like a Windows short name, which may stand for another file");
    return DecodeResult::ok();
}

} // namespace

std::string fold_case(const std::string& s, NameCoding coding) {
    std::string r;
    if (coding == NameCoding::Native) {
        r = s;
        for (char& ch : r)
            ch = static_cast<char>(fold_char(static_cast<unsigned char>(ch)));
        return r;
    }
    r.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = os::decode_utf8(s, i, cp);
        if (n == 0) {
            r += s[i++];
            continue;
        }
        os::append_utf8(r, upper_of(cp));
        i += n;
    }
    return r;
}

bool is_valid_utf8(const std::string& s) {
    uint32_t cp = 0;
    for (size_t i = 0, n = 0; i < s.size(); i += n)
        if ((n = os::decode_utf8(s, i, cp)) == 0)
            return false;
    return true;
}

std::string escape_name(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string r;
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = os::decode_utf8(s, i, cp);
        if (n != 0 && cp >= 0x20 && cp != 0x7F) {
            r.append(s, i, n);
            i += n;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(s[i++]);
        r += "\\x";
        r += hex[c >> 4];
        r += hex[c & 15];
    }
    return r;
}

std::vector<std::string> split_rel(const std::string& rel) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = rel.find('/', start);
        if (slash == std::string::npos) {
            parts.push_back(rel.substr(start));
            return parts;
        }
        parts.push_back(rel.substr(start, slash - start));
        start = slash + 1;
    }
}

DecodeResult check_rel_path(const std::string& rel, NameCoding coding) {
    if (rel.empty())
        return unsafe("the path is empty");
    if (rel.size() > kMaxPathBytes)
        return unsafe("the path is longer than 1024 bytes");
    if (coding == NameCoding::Utf8 && !is_valid_utf8(rel))
        return unsafe("it is not valid UTF-8");
    if (rel[0] == '/')
        return unsafe("it is an absolute path");
    if (rel.size() >= 2 && rel[1] == ':')
        return unsafe("it starts with a drive letter");
    for (const std::string& c : split_rel(rel)) {
        if (DecodeResult r = check_component(c, coding); !r)
            return r;
    }
    if (is_reserved_path(rel))
        return unsafe("it names the engine's own work folder");
    return DecodeResult::ok();
}

bool is_reserved_path(const std::string& rel) {
    std::vector<std::string> parts = split_rel(rel);
    if (ieq(parts[0], kReservedTopTmp))
        return true;
    if (!ieq(parts[0], kReservedTop))
        return false;
    if (parts.size() == 1)
        return true; // the folder itself must stay a folder the engine can use
    return ieq(parts[1], kJournalName);
}

int compare_folded_paths(const std::string& a, const std::string& b, NameCoding coding) {
    // Equal bytes fold alike, and sorted paths share long beginnings: the comparison starts
    // where the bytes first differ, in UTF-8 at a character that starts there in both paths
    // (a byte that is no continuation byte always starts one, as the paths are read from
    // their start; so does the end of a path).
    const size_t shorter = std::min(a.size(), b.size());
    size_t i = static_cast<size_t>(
        std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(shorter), b.begin())
            .first -
        a.begin());
    auto continues = [](const std::string& s, size_t k) {
        return k < s.size() && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80;
    };
    if (coding == NameCoding::Utf8)
        while (i > 0 && (continues(a, i) || continues(b, i)))
            --i;
    size_t j = i;
    while (i < a.size() && j < b.size()) {
        uint32_t x = next_folded(a, i, coding), y = next_folded(b, j, coding);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return i == a.size() && j == b.size() ? 0 : (i == a.size() ? -1 : 1);
}

bool is_inside(const std::string& outer, const std::string& inner, NameCoding coding) {
    size_t i = 0, j = 0;
    while (i < outer.size() && j < inner.size())
        if (next_folded(outer, i, coding) != next_folded(inner, j, coding))
            return false;
    return i == outer.size() && j < inner.size() && inner[j] == '/';
}

std::string bare_name(const std::string& rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

std::string parent_rel(const std::string& rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

size_t folder_depth(const std::string& rel) {
    return static_cast<size_t>(std::count(rel.begin(), rel.end(), '/'));
}

std::string leading_folders(const std::string& rel, size_t depth) {
    size_t at = 0;
    for (size_t k = 0; k < depth && at != std::string::npos; ++k)
        at = rel.find('/', at + (k ? 1 : 0));
    return at == std::string::npos ? rel : rel.substr(0, at);
}

std::string shown(const std::string& rel) {
    return printable(to_native(rel), 150);
}

std::string to_native(const std::string& rel) {
    std::string r = rel;
    char sep = os::separator();
    for (char& c : r)
        if (c == '/')
            c = sep;
    return r;
}

std::string shorten_middle(const std::string& s, size_t max) {
    if (s.size() <= max || max < 8)
        return s;
    size_t keep = max - 3;
    size_t head = keep / 3;
    size_t tail_from = s.size() - (keep - head);
    // Cut between characters, not inside a UTF-8 sequence.
    auto inside = [&](size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80; };
    for (int k = 0; k < 3 && head > 0 && inside(head); ++k)
        --head;
    for (int k = 0; k < 3 && tail_from < s.size() && inside(tail_from); ++k)
        ++tail_from;
    return s.substr(0, head) + "..." + s.substr(tail_from);
}

std::string printable(const std::string& s, size_t max) {
    return shorten_middle(escape_name(s), max);
}

} // namespace kv
