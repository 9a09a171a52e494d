#include "tests/e2e/GameTrees.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace e2e {
namespace {

// A small deterministic generator, so every run builds the same releases.
class Rng {
  public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
    size_t Between(size_t lo, size_t hi) { return lo + Below(hi - lo + 1); }

  private:
    uint64_t m_state;
};

// Game-like data: repeated records with some noise, so deltas have something to find.
std::string Blob(Rng& rng, size_t size) {
    std::string record(48 + rng.Below(48), '\0');
    for (char& c : record) {
        c = static_cast<char>(rng.Below(256));
    }
    std::string out;
    out.reserve(size + record.size());
    while (out.size() < size) {
        out += record;
        out[out.size() - 1 - rng.Below(record.size())] = static_cast<char>(rng.Below(256));
    }
    out.resize(size);
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string LeafOf(const std::string& folder) {
    const size_t cut = folder.find_last_of('\\');
    return cut == std::string::npos ? folder : folder.substr(cut + 1);
}

// Every file name is unique in the whole tree: the leaf folder's name, a release-specific
// tag and a number.
std::string FileName(Rng& rng, const std::string& folder, const std::string& tag, int index) {
    static const char* const kExtensions[] = {".dat", ".map", ".wav", ".tex", ".lua", ".PAK"};
    std::string leaf = Lower(LeafOf(folder));
    std::replace(leaf.begin(), leaf.end(), ' ', '_');
    char number[16];
    std::snprintf(number, sizeof number, "%03d", index);
    return leaf + tag + "_" + number + kExtensions[rng.Below(6)];
}

void Edit(Rng& rng, std::string& data, const std::string& releaseNote) {
    const size_t edits = rng.Between(1, 5);
    for (size_t e = 0; e < edits && !data.empty(); ++e) {
        const size_t at = rng.Below(data.size());
        const size_t length = std::min<size_t>(data.size() - at, rng.Between(1, 24));
        for (size_t i = 0; i < length; ++i) {
            data[at + i] = static_cast<char>(rng.Below(256));
        }
    }
    if (rng.Below(3) == 0) {
        const size_t at = rng.Below(data.size() + 1);
        data.insert(at, Blob(rng, rng.Between(10, 400)));
    }
    data += releaseNote;
}

} // namespace

std::string NameOf(const std::string& rel) {
    const size_t cut = rel.find_last_of('\\');
    return cut == std::string::npos ? rel : rel.substr(cut + 1);
}

std::vector<Tree> MakeReleases() {
    Rng rng(20261206);
    const std::vector<std::string> folders = {"Data",
                                              "Data\\Maps",
                                              "Data\\Maps\\North",
                                              "Data\\Maps\\North\\Caves",
                                              "Sound",
                                              "Sound\\Ambient",
                                              "Sound\\Voices\\English",
                                              "Textures\\World",
                                              "Textures\\Characters",
                                              "Scripts",
                                              "Scripts\\Quests",
                                              "Fonts"};
    Tree v1;
    for (const std::string& folder : folders) {
        const size_t count = rng.Between(18, 30);
        for (size_t i = 0; i < count; ++i) {
            v1[folder + "\\" + FileName(rng, folder, "", static_cast<int>(i))] =
                Blob(rng, rng.Between(64, 24000));
        }
    }
    v1["Data\\Maps\\North\\Caves\\cave entrance.map"] = Blob(rng, 5000);
    v1["Movies\\Intro\\intro.bik"] = Blob(rng, 30000); // a folder the second release removes
    v1["Movies\\Intro\\credits.bik"] = Blob(rng, 12000);
    v1["readme.txt"] = "Tarrowmoor, release 1.22\r\n";
    v1["Fonts\\empty.fnt"] = std::string();

    const std::vector<std::string> newFolders = {"Data\\Maps\\South", "Sound\\Voices\\German",
                                                 "Data\\Maps\\South\\Ruins"};
    std::vector<Tree> releases{v1};
    for (int r = 1; r < 4; ++r) {
        Tree next = releases.back();
        const std::string note = "\r\nrelease 1." + std::to_string(22 + r) + "\r\n";
        std::vector<std::string> names;
        for (const auto& file : next) {
            names.push_back(file.first);
        }
        // About one file in six changes.
        for (const std::string& name : names) {
            if (name != "readme.txt" && rng.Below(6) == 0) {
                Edit(rng, next[name], note);
            }
        }
        // A few files go away.
        for (int k = 0; k < 3; ++k) {
            const std::string& victim = names[rng.Below(names.size())];
            if (victim != "readme.txt" && victim.rfind("Movies\\", 0) != 0) {
                next.erase(victim);
            }
        }
        // New files, one release in a new folder.
        const std::string tag = "r" + std::to_string(r);
        const std::string& newFolder = newFolders[static_cast<size_t>(r - 1)];
        for (int k = 0; k < 4; ++k) {
            next[newFolder + "\\" + FileName(rng, newFolder, tag, k)] =
                Blob(rng, rng.Between(200, 16000));
        }
        next["Scripts\\" + FileName(rng, "Scripts", tag, 0)] = Blob(rng, 3000);
        if (r == 1) {
            // The second release drops the intro movies together with their folders.
            next.erase("Movies\\Intro\\intro.bik");
            next.erase("Movies\\Intro\\credits.bik");
        }
        next["readme.txt"] = "Tarrowmoor, release 1." + std::to_string(22 + r) + "\r\n";
        releases.push_back(next);
    }
    return releases;
}

TreeDiff Diff(const Tree& from, const Tree& to) {
    TreeDiff diff;
    for (const auto& [rel, bytes] : from) {
        auto other = to.find(rel);
        if (other == to.end()) {
            diff.removed.push_back(rel);
        } else if (other->second != bytes) {
            diff.modified.push_back(rel);
        }
    }
    for (const auto& [rel, bytes] : to) {
        if (from.find(rel) == from.end()) {
            diff.added.push_back(rel);
        }
    }
    const std::set<std::string> before = FoldersOf(from);
    const std::set<std::string> after = FoldersOf(to);
    for (const std::string& folder : before) {
        if (after.count(folder) == 0) {
            diff.removedFolders.insert(folder);
        }
    }
    for (const std::string& folder : after) {
        if (before.count(folder) == 0) {
            diff.addedFolders.insert(folder);
        }
    }
    return diff;
}

std::set<std::string> FoldersOf(const Tree& tree) {
    std::set<std::string> folders;
    for (const auto& file : tree) {
        size_t cut = file.first.find('\\');
        while (cut != std::string::npos) {
            folders.insert(file.first.substr(0, cut));
            cut = file.first.find('\\', cut + 1);
        }
    }
    return folders;
}

} // namespace e2e
