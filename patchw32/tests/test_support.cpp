#include "test_support.h"

#include "builder.h"
#include "bytes.h"
#include "cm.h"
#include "os.h"
#include "paths.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kvtest {

Scratch::Scratch() {
    static std::atomic<int> counter{0};
    const char* tmp = std::getenv(kv::os::separator() == '\\' ? "TEMP" : "TMPDIR");
    std::string base = tmp ? tmp : kv::os::separator() == '\\' ? kv::os::current_dir() : "/tmp";
    for (int i = 0;; ++i) {
        root_ = kv::os::join(base, "kvtest-" + std::to_string(kv::os::process_id()) + "-" +
                                       std::to_string(counter++));
        if (kv::os::make_dir(root_))
            break;
        if (i > 1000)
            throw std::runtime_error("cannot create a scratch folder");
    }
}

#ifdef _WIN32
bool start_on_host(const std::string& program, const std::vector<std::string>& paths) {
    auto unix_name = reinterpret_cast<char*(__cdecl*)(const wchar_t*)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    std::string cmd = "Z:" + program;
    for (const std::string& p : paths) {
        char* u = unix_name ? unix_name(std::wstring(p.begin(), p.end()).c_str()) : nullptr;
        if (!u)
            return false;
        cmd += " \"" + std::string(u) + "\"";
        HeapFree(GetProcessHeap(), 0, u);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    // Wine gives no handles of a host program: hThread holds what was on its stack, often a live
    // handle of ours (once the folder of named objects, failing every later run lock). None is
    // closed; only Wine gets here.
    PROCESS_INFORMATION pi{};
    return CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi);
}
#endif

Scratch::~Scratch() {
    remove_tree(root_);
#ifdef _WIN32 // Wine removes no link of the host; its rm, which follows none, removes what is left
    for (int i = 0; i < 300 && exists(root_) && (i || start_on_host("/bin/rm -rf", {root_})); ++i)
        Sleep(20);
#endif
}

std::string Scratch::sub(const std::string& rel) const {
    return kv::os::join(root_, native(rel));
}

std::string native(const std::string& rel) {
    return kv::to_native(rel);
}

std::string q(const std::string& s) {
    return "\"" + s + "\"";
}

void remove_tree(const std::string& path) {
    kv::os::Stat st;
    kv::os::stat(path, st);
    if (!st.exists)
        return;
    if (st.is_dir && !st.is_link) {
        std::vector<kv::os::DirEntry> entries;
        kv::os::list_dir(path, entries);
        for (const auto& e : entries)
            remove_tree(kv::os::join(path, e.name));
    }
    kv::os::set_attrs(path, 0);
    st.is_dir ? kv::os::remove_dir(path) : kv::os::remove_file(path); // Windows: folder links too
}

void write_file(const std::string& path, const std::string& bytes) {
    if (exists(path)) {
        ASSERT_TRUE(kv::os::remove_file(path).ok()) << path;
    }
    kv::os::File f;
    kv::os::Status s = kv::os::File::create_new(path, f);
    ASSERT_TRUE(s.ok()) << s.text;
    ASSERT_TRUE(f.write(bytes.data(), bytes.size()).ok());
    ASSERT_TRUE(f.close().ok());
}

std::string read_file(const std::string& path) {
    kv::os::File f;
    if (!kv::os::File::open_read(path, f))
        return "<unreadable>";
    uint64_t size = 0;
    f.size(size);
    std::string s(static_cast<size_t>(size), '\0');
    if (size && !f.read_exact_at(0, s.data(), s.size()))
        return "<unreadable>";
    return s;
}

bool exists(const std::string& path) {
    kv::os::Stat st;
    kv::os::stat(path, st);
    return st.exists;
}

void make_tree(const std::string& root, const Tree& t) {
    kv::os::make_dir(root);
    for (const auto& [rel, content] : t) {
        std::vector<std::string> parts = kv::split_rel(rel);
        std::string sofar = root;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            sofar = kv::os::join(sofar, parts[i]);
            if (!exists(sofar))
                kv::os::make_dir(sofar);
        }
        std::string full = kv::os::join(root, native(rel));
        if (content == kDir) {
            if (!exists(full)) {
                ASSERT_TRUE(kv::os::make_dir(full).ok()) << full;
            }
        } else {
            write_file(full, content);
        }
    }
}

namespace {
void snap(const std::string& root, const std::string& rel, Tree& out) {
    std::vector<kv::os::DirEntry> entries;
    kv::os::list_dir(rel.empty() ? root : kv::os::join(root, native(rel)), entries);
    for (const auto& e : entries) {
        std::string r = rel.empty() ? e.name : rel + "/" + e.name;
        if (e.is_dir) {
            out[r] = kDir;
            snap(root, r, out);
        } else {
            out[r] = read_file(kv::os::join(root, native(r)));
        }
    }
}
} // namespace

Tree snapshot(const std::string& root) {
    Tree t;
    snap(root, "", t);
    return t;
}

std::string describe_difference(const Tree& a, const Tree& b) {
    std::string d;
    for (const auto& [k, v] : a) {
        auto it = b.find(k);
        if (it == b.end())
            d += "only in first: " + k + "\n";
        else if (it->second != v)
            d += "differs: " + k + "\n";
    }
    for (const auto& [k, v] : b)
        if (!a.count(k))
            d += "only in second: " + k + "\n";
    return d;
}

std::string random_bytes(uint32_t seed, size_t n) {
    std::string s(n, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

Tree old_game_tree() {
    std::string big = random_bytes(1, 300000);
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i) + " of the game script\n";
    return {
        {"tarrowmain.exe", big},
        {"data/script.txt", text},
        {"data/levels/one.lvl", random_bytes(2, 5000)},
        {"data/levels/two.lvl", random_bytes(3, 7000)},
        {"data/old stuff/gone.dat", "obsolete file"},
        {"data/old stuff/also gone.txt", ""},
        {"empty.cfg", ""},
        {"readme with blanks.txt", "Welcome to Tarrowmoor\n"},
        {"keep/unchanged.bin", random_bytes(4, 1000)},
        {"Tarrowmoor/saves/slot1.sav", "player save"},
    };
}

Tree new_game_tree() {
    Tree t = old_game_tree();
    std::string big = t["tarrowmain.exe"];
    big.replace(1000, 8, "PATCHED!");
    big.insert(150000, random_bytes(5, 3000));
    big += random_bytes(6, 2000);
    t["tarrowmain.exe"] = big;
    std::string text = t["data/script.txt"];
    text.insert(text.size() / 2, "a new line in the middle\n");
    t["data/script.txt"] = text;
    t["data/levels/two.lvl"] = random_bytes(7, 7100);
    t.erase("data/old stuff/gone.dat");
    t.erase("data/old stuff/also gone.txt");
    t["data/levels/three new.lvl"] = random_bytes(8, 4000);
    t["new folder/deep/nested file.txt"] = "nested";
    t["new folder/deep/empty new"] = "";
    t["empty.cfg"] = "now=1\n";
    t["readme with blanks.txt"] = "";
    return t;
}

void build(const std::string& old_dir, const std::string& new_dir, const std::string& out) {
    kv::BuildStats stats;
    std::string err =
        kv::build_patch(old_dir, new_dir, out, kv::BuildOptions{}, nullptr, stats).message;
    ASSERT_EQ(err, "");
}

namespace {
Tree without_top(Tree t, bool with_top) {
    if (!with_top)
        t.erase("Tarrowmoor/saves/slot1.sav");
    return t;
}
} // namespace

Install::Install(bool with_top)
    : Game(without_top(old_game_tree(), with_top), without_top(new_game_tree(), with_top)),
      before(snapshot(s.sub("old"))), after(snapshot(s.sub("new"))) {}

std::string run_line(const std::string& switches, const std::string& temp, const std::string& game,
                     const std::string& patch) {
    return switches + q("-otempdir:" + temp) + " " + q(game) + " " + q(patch);
}

std::string Game::list_line() const {
    return "-l  " + q(game) + " " + q(patch);
}

void Install::reset_game() const {
    remove_tree(game);
    make_tree(game, before);
    remove_tree(temp);
    kv::os::make_dir(temp);
}

Game::Game(const Tree& old_tree, const Tree& new_tree) {
    make_tree(s.sub("old"), old_tree);
    make_tree(s.sub("new"), new_tree);
    make_tree(game, old_tree);
    kv::os::make_dir(temp);
    build(s.sub("old"), s.sub("new"), patch);
}

Game::Game(std::vector<CraftEntry> entries, const Tree& tree, uint32_t dir_coding) {
    make_tree(game, tree);
    kv::os::make_dir(temp);
    craft_patch(patch, std::move(entries), dir_coding);
}

int Game::run(const std::string& mode, kv::Reporter& r) const {
    return kv::run_engine(mode == "-l " ? list_line() : run_line(mode, temp, game, patch), r);
}

std::string Game::at(const std::string& rel) const {
    return kv::os::join(game, native(rel));
}

CraftEntry add_entry(const std::string& rel, const std::string& content) {
    CraftEntry c;
    c.entry.op = kv::Op::Add;
    c.entry.codec = kv::Codec::Stored;
    c.entry.path = rel;
    c.entry.new_size = content.size();
    c.entry.new_hash = kv::hash128(content.data(), content.size());
    c.payload = content;
    return c;
}

void craft_patch(const std::string& path, std::vector<CraftEntry> entries, uint32_t dir_coding) {
    std::string payloads;
    std::vector<kv::Entry> es;
    for (CraftEntry& c : entries) {
        if (!c.payload.empty() || c.entry.makes_new()) {
            c.entry.payload_offset = kv::kHeaderSize + payloads.size();
            c.entry.payload_size = c.payload.size();
        }
        payloads += c.payload;
        es.push_back(c.entry);
    }
    seal_patch(path, payloads,
               dir_coding >= kv::kDirCompactMixed ? kv::encode_compact_directory(es)
                                                  : kv::encode_directory(es),
               static_cast<uint32_t>(es.size()), dir_coding);
}

void seal_patch(const std::string& path, const std::string& payloads, std::vector<uint8_t> dir,
                uint32_t count, uint32_t dir_coding) {
    std::vector<uint8_t> file = kv::encode_header();
    file.insert(file.end(), payloads.begin(), payloads.end());
    uint32_t raw_size = dir_coding == kv::kDirRaw ? 0 : static_cast<uint32_t>(dir.size());
    if (dir_coding == kv::kDirDeflate || dir_coding == kv::kDirCompactDeflate)
        EXPECT_TRUE(kv::deflate_raw(std::vector<uint8_t>(dir), dir, 9));
    else if (dir_coding == kv::kDirCompactMixed)
        dir = kv::cm_encode_bytes(dir);
    uint64_t dir_off = file.size();
    file.insert(file.end(), dir.begin(), dir.end());
    uint64_t total = file.size() + kv::kTrailerSize;
    std::vector<uint8_t> tr =
        kv::encode_trailer_head(count, dir_off, dir.size(), total, dir_coding, raw_size);
    file.insert(file.end(), tr.begin(), tr.end());
    kv::Hash128 h = kv::hash128(file.data(), file.size());
    file.insert(file.end(), h.b, h.b + 16);
    write_file(path, std::string(file.begin(), file.end()));
}

std::string resealed(std::string p) {
    kv::Hash128 h = kv::hash128(p.data(), p.size() - 16);
    std::copy(h.b, h.b + 16, p.end() - 16);
    return p;
}

std::vector<std::string> Recorder::texts(unsigned id) const {
    std::vector<std::string> r;
    for (const Event& e : events)
        if (e.id == id)
            r.push_back(e.text);
    return r;
}

std::string Recorder::all_text() const {
    std::string s;
    for (const Event& e : events)
        if (e.id >= 1 && e.id <= 4)
            s += std::to_string(e.id) + ": " + e.text + "\n";
    return s;
}

} // namespace kvtest
