#include "paths.h"

#include "os.h"

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

bool ieq(const std::string& a, const char* b) {
    size_t n = 0;
    for (; b[n]; ++n) {
        if (n >= a.size() || fold_char(static_cast<unsigned char>(a[n])) !=
                                 fold_char(static_cast<unsigned char>(b[n])))
            return false;
    }
    return n == a.size();
}

bool is_reserved_device(const std::string& comp) {
    // Windows maps these names to devices whatever the extension: "nul.txt" is NUL.
    std::string base = comp.substr(0, comp.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* f : fixed)
        if (ieq(base, f))
            return true;
    if (base.size() == 4 && (ieq(base.substr(0, 3), "COM") || ieq(base.substr(0, 3), "LPT"))) {
        unsigned char d = static_cast<unsigned char>(base[3]);
        // digits 0-9 and the superscript digits 1, 2, 3 of code page 1252
        if ((d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3)
            return true;
    }
    return false;
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

std::string check_component(const std::string& c) {
    if (c.empty())
        return "it has an empty folder name";
    if (c == "." || c == "..")
        return "it refers to \"" + c + "\"";
    if (c.size() > kMaxComponentBytes)
        return "a name in it is longer than 255 bytes";
    for (unsigned char ch : c) {
        if (ch < 0x20 || ch == 0x7F)
            return "it contains a control character";
        if (ch == ':')
            return "it contains \":\" (drive letter or alternate data stream)";
        if (ch == '\\' || ch == '<' || ch == '>' || ch == '"' || ch == '|' || ch == '?' ||
            ch == '*')
            return std::string("it contains the character '") + static_cast<char>(ch) +
                   "', which Windows forbids in names";
    }
    if (c.back() == '.' || c.back() == ' ')
        return "a name in it ends with a dot or a blank, which Windows drops";
    if (c.front() == ' ')
        return "a name in it starts with a blank";
    if (is_reserved_device(c))
        return "\"" + c + "\" is a reserved device name on Windows";
    if (looks_like_short_name(c))
        return "\"" + c + "\" looks like a Windows short name, which may stand for another file";
    return {};
}

} // namespace

std::string fold_case(const std::string& s) {
    std::string r = s;
    for (char& ch : r)
        ch = static_cast<char>(fold_char(static_cast<unsigned char>(ch)));
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

std::string check_rel_path(const std::string& rel) {
    if (rel.empty())
        return "the path is empty";
    if (rel.size() > kMaxPathBytes)
        return "the path is longer than 1024 bytes";
    if (rel[0] == '/')
        return "it is an absolute path";
    if (rel.size() >= 2 && rel[1] == ':')
        return "it starts with a drive letter";
    for (const std::string& c : split_rel(rel)) {
        std::string why = check_component(c);
        if (!why.empty())
            return why;
    }
    if (is_reserved_path(rel))
        return "it names the engine's own work folder";
    return {};
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

int compare_folded_paths(const std::string& a, const std::string& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned ca = a[i] == '/' ? 0 : fold_char(static_cast<unsigned char>(a[i]));
        unsigned cb = b[i] == '/' ? 0 : fold_char(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool is_inside(const std::string& outer, const std::string& inner) {
    if (inner.size() <= outer.size() || inner[outer.size()] != '/')
        return false;
    for (size_t i = 0; i < outer.size(); ++i)
        if (fold_char(static_cast<unsigned char>(outer[i])) !=
            fold_char(static_cast<unsigned char>(inner[i])))
            return false;
    return true;
}

std::string bare_name(const std::string& rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

std::string parent_rel(const std::string& rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
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
    size_t tail = keep - head;
    return s.substr(0, head) + "..." + s.substr(s.size() - tail);
}

std::string printable(const std::string& s, size_t max) {
    static const char hex[] = "0123456789ABCDEF";
    std::string r;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            r += "\\x";
            r += hex[c >> 4];
            r += hex[c & 15];
        } else {
            r += static_cast<char>(c);
        }
    }
    return shorten_middle(r, max);
}

} // namespace kv
