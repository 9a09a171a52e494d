// Helpers of the engine tests: scratch trees, snapshots, crafted patches, a recording reporter.
#pragma once

#include "engine.h"
#include "format.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvtest {

// A fresh folder below the system's temp folder, removed with everything in it at the end.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    const std::string& path() const { return root_; }
    std::string sub(const std::string& rel) const;

  private:
    std::string root_;
};

#ifdef _WIN32 // Under Wine, starts a host program ("/bin/ln -s") on the paths' host names; no wait
bool start_on_host(const std::string& program, const std::vector<std::string>& paths);
#endif

void remove_tree(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);

// Files and folders by '/'-separated path; a folder maps to "<dir>".
using Tree = std::map<std::string, std::string>;
constexpr const char* kDir = "<dir>";
void make_tree(const std::string& root, const Tree& t);
Tree snapshot(const std::string& root);
std::string describe_difference(const Tree& a, const Tree& b);

// Deterministic pseudo-random bytes.
std::string random_bytes(uint32_t seed, size_t n);

// The standard pair of trees: modified, added, deleted, empty, nested, blank names.
Tree old_game_tree();
Tree new_game_tree();

// Builds a patch with the real builder; fails the test on error.
void build(const std::string& old_dir, const std::string& new_dir, const std::string& out);

// An engine line as the tool builds it: switches ("-u -j "), "-otempdir:TEMP", game, patch.
std::string run_line(const std::string& switches, const std::string& temp, const std::string& game,
                     const std::string& patch);

// The patch with its checksum written anew (its recorded size left as it is).
std::string resealed(std::string patch);

// A patch entry with its payload, for crafting patches the builder would never write.
struct CraftEntry {
    kv::Entry entry;
    std::string payload;
};
// Writes a structurally valid patch (correct sizes and checksum) around the entries, its
// directory stored in the given coding (kv::kDirRaw ... kv::kDirCompactDeflate).
void craft_patch(const std::string& path, std::vector<CraftEntry> entries, uint32_t dir_coding = 0);
// The same around payload bytes (right after the header) and a directory of `count` entries
// given in its plain form.
void seal_patch(const std::string& path, const std::string& payloads, std::vector<uint8_t> dir,
                uint32_t count, uint32_t dir_coding);
CraftEntry add_entry(const std::string& rel, const std::string& content);

// A game directory, a temp directory and a patch in a scratch folder: the patch built from two
// trees (the game at the old one), or crafted around entries (the game at `tree`).
struct Game {
    Scratch s;
    std::string game = s.sub("game"), patch = s.sub("p.rtp"), temp = s.sub("temp");
    Game(const Tree& old_tree, const Tree& new_tree);
    explicit Game(std::vector<CraftEntry> entries, const Tree& tree = {{"a.txt", "old"}},
                  uint32_t dir_coding = kv::kDirCompactDeflate);
    int run(const std::string& mode, kv::Reporter& r) const; // "-l " lists
    std::string list_line() const;                           // "-l  "GAME" "PATCH""
    std::string at(const std::string& rel) const;
};

// A game at the old standard tree (optionally without the reserved top folder), the patch to
// the new one, and an empty temp directory.
struct Install : Game {
    Tree before, after; // the trees with the folders their files imply
    explicit Install(bool with_top = true);
    std::string line(const std::string& switches, const std::string& tempdir) const {
        return run_line(switches, tempdir, game, patch);
    }
    std::string line(const std::string& switches) const { return line(switches, temp); }
    void reset_game() const; // the game back to exactly the old tree, the temp directory empty
};

struct Event {
    unsigned id;
    std::string text;
    uint32_t value = 0;
};

class Recorder : public kv::Reporter {
  public:
    void message(kv::CallbackId id, const std::string& text) override {
        events.push_back({static_cast<unsigned>(id), text, 0});
    }
    void progress(uint32_t v) override { events.push_back({5, "", v}); }
    void file_count(uint32_t n) override { events.push_back({6, "", n}); }
    void file_name(const std::string& name) override { events.push_back({7, name, 0}); }
    std::vector<Event> events;
    std::vector<std::string> texts(unsigned id) const;
    std::string all_text() const;
};

// Quotes a path the way the tool does.
std::string q(const std::string& s);
std::string native(const std::string& rel); // '/' to the platform separator

} // namespace kvtest
