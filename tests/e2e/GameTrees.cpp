#include "tests/e2e/GameTrees.h"

#include "tests/wine/Host.h"

#include <cctype>
#include <cstdio>

namespace e2e {
namespace {

// A small deterministic generator (splitmix64), so every run builds the same releases.
struct Rng {
    uint64_t state;
    size_t Below(size_t n) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<size_t>((z ^ (z >> 31)) % n);
    }
    size_t Between(size_t lo, size_t hi) { return lo + Below(hi - lo + 1); }
};

std::string Blob(Rng& rng, size_t size) {
    return kt::GameData(size, static_cast<unsigned>(rng.Below(1u << 30)));
}

// Names are unique in the whole tree: the folder, a release tag and a number.
std::string FileName(Rng& rng, const std::string& folder, const std::string& tag, size_t i) {
    static const char* const kExtensions[] = {".dat", ".map", ".wav", ".tex", ".lua", ".PAK"};
    std::string leaf = NameOf(folder);
    for (char& c : leaf) {
        c = c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    char number[16];
    std::snprintf(number, sizeof number, "_%03u", static_cast<unsigned>(i));
    return leaf + tag + number + kExtensions[rng.Below(6)];
}

} // namespace

std::string NameOf(const std::string& rel) {
    return rel.substr(rel.find_last_of('\\') + 1);
}

std::vector<Tree> MakeReleases() {
    Rng rng{20261206};
    Tree v1;
    for (const char* folder :
         {"Data", "Data\\Maps", "Data\\Maps\\North", "Data\\Maps\\North\\Caves", "Sound",
          "Sound\\Ambient", "Sound\\Voices\\English", "Textures\\World", "Textures\\Characters",
          "Scripts", "Scripts\\Quests", "Fonts"}) {
        for (size_t i = 0, count = rng.Between(18, 30); i < count; ++i) {
            v1[std::string(folder) + "\\" + FileName(rng, folder, "", i)] =
                Blob(rng, rng.Between(64, 24000));
        }
    }
    v1["Data\\Maps\\North\\Caves\\cave entrance.map"] = Blob(rng, 5000);
    v1["Movies\\Intro\\intro.bik"] = Blob(rng, 30000); // a folder the second release removes
    v1["Movies\\Intro\\credits.bik"] = Blob(rng, 12000);
    v1["Fonts\\empty.fnt"] = std::string();
    v1["readme.txt"] = "Tarrowmoor, release 1.22\r\n";
    std::vector<Tree> releases{v1};
    const char* const newFolders[] = {"Data\\Maps\\South", "Sound\\Voices\\German",
                                      "Data\\Maps\\South\\Ruins"};
    for (int r = 1; r < 4; ++r) {
        Tree next = releases.back();
        std::vector<std::string> names;
        for (auto& [name, bytes] : next) {
            names.push_back(name);
            if (rng.Below(6) == 0) { // about one file in six changes in a few places
                for (size_t e = 0, edits = rng.Between(1, 5); e < edits && !bytes.empty(); ++e) {
                    bytes[rng.Below(bytes.size())] = static_cast<char>(rng.Below(256));
                }
                if (rng.Below(3) == 0) {
                    bytes.insert(rng.Below(bytes.size() + 1), Blob(rng, rng.Between(10, 400)));
                }
                bytes += "\r\nrelease 1." + std::to_string(22 + r) + "\r\n";
            }
        }
        for (int k = 0; k < 3; ++k) { // a few files go away
            const std::string& victim = names[rng.Below(names.size())];
            if (victim.rfind("Movies\\", 0) != 0) {
                next.erase(victim);
            }
        }
        const std::string tag = "r" + std::to_string(r); // new files, some in a new folder
        for (size_t k = 0; k < 4; ++k) {
            next[std::string(newFolders[r - 1]) + "\\" + FileName(rng, newFolders[r - 1], tag, k)] =
                Blob(rng, rng.Between(200, 16000));
        }
        next["Scripts\\" + FileName(rng, "Scripts", tag, 0)] = Blob(rng, 3000);
        if (r == 1) { // the intro movies go together with their folders
            next.erase("Movies\\Intro\\intro.bik");
            next.erase("Movies\\Intro\\credits.bik");
        }
        next["readme.txt"] = "Tarrowmoor, release 1." + std::to_string(22 + r) + "\r\n";
        releases.push_back(next);
    }
    // Names in the console's code page and names cmd would take apart, changed or added by
    // 1.23 (one in a folder it makes) and kept by the later releases.
    for (size_t r = 0; r < releases.size(); ++r) {
        Tree& t = releases[r];
        t["Donn\351es\\carte.dat"] = kt::GameData(300000, 1, 150000, r > 0 ? 'x' : 0);
        t["Data\\bang!.dat"] = kt::GameData(4000, 6, 100, r > 0 ? 'z' : 0);
        if (r > 0) {
            t["caf\xE9.dat"] = kt::GameData(12000, 5);
            t["Nouveau dossier\\\361and\372!.dat"] = "in a folder the patch makes";
            t["Sound\\r&d 100%.dat"] = "added with an awkward name";
        }
    }
    return releases;
}

TreeDiff Diff(const Tree& from, const Tree& to) {
    TreeDiff diff;
    for (const auto& [rel, bytes] : from) {
        const auto other = to.find(rel);
        if (other == to.end()) {
            diff.removed.push_back(rel);
        } else if (other->second != bytes) {
            diff.modified.push_back(rel);
        }
    }
    return diff;
}

Tree WithFolders(Tree files) {
    for (const auto& [rel, bytes] : Tree(files)) {
        for (size_t cut = rel.find('\\'); cut != std::string::npos; cut = rel.find('\\', cut + 1)) {
            files[rel.substr(0, cut + 1)] = "";
        }
    }
    return files;
}

} // namespace e2e
