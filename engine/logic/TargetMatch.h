// Matching the names that the engine reports in list mode against the inventory of the
// game directory. Names are compared without regard to case through a key function that
// the caller supplies (on Windows: the ANSI code page's own case mapping), so equal keys
// mean equal names. The work grows with names + files, never with names x files.
#pragma once

#include "environment/logic/FileName.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <vector>

// Folds a name to its comparison key: two names are equal without regard to case exactly
// when their keys are equal.
using NameKeyFn = std::function<std::string(std::string_view)>;

// The names in order without repeats; of names equal without regard to case only the first
// one reported is kept.
std::list<std::string> DistinctNames(const std::list<std::string>& names, const NameKeyFn& key);

// Positions of the inventory's files by the key of their file name, in inventory order.
// Keys are kept back to back in one buffer and found through an open-addressing table,
// so a large inventory costs a handful of allocations, not one per file.
class FileNameIndex {
  public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    void Clear();
    // Room for `count` positions without growing the table.
    void Reserve(size_t count);
    // Adds the next inventory position (0, 1, 2, ...) under `key`.
    void Add(std::string_view key);
    // First position filed under `key`, or npos.
    size_t First(std::string_view key) const;
    // The position after `position` with the same key, or npos.
    size_t Next(size_t position) const { return m_next[position]; }
    size_t Size() const { return m_next.size(); }

  private:
    struct Slot {
        size_t keyOffset = 0;
        size_t keyLength = 0;
        size_t first = npos; // npos: the slot is free
        size_t last = npos;
    };
    size_t Find(std::string_view key, size_t hash) const; // slot of key, or the free slot
    void Grow(size_t slots);

    std::string m_keys;
    std::vector<Slot> m_slots; // a power of two in size, at most half full
    size_t m_used = 0;
    std::vector<size_t> m_next;
};

// The entry for a name that matched no game file, so the patch adds it:
// "del /s " + gameDir + "\.\" + name, kept exactly so (no quotes). It is never run as it
// stands: the undo script removes the one file at that path when the name holds a folder,
// and the files a bare name stands for once the run has shown where they were added.
std::string RemovalLine(const std::string& gameDir, const std::string& name);

// Builds the index of an inventory whose entries have `.path`.
template <class Entry>
void IndexInventory(const std::vector<Entry>& inventory, const NameKeyFn& key,
                    LeadBytePredicate isLeadByte, FileNameIndex& index) {
    index.Clear();
    index.Reserve(inventory.size());
    for (const Entry& entry : inventory) {
        index.Add(key(FileNameOfPath(entry.path, isLeadByte)));
    }
}

// For each target in order: the inventory entries (`.path`, `.size`) it names, in inventory
// order, or its removal line when none does. A bare file name names every entry of that file
// name; a target holding a backslash is a path relative to the game directory and names the
// one entry at that path. Appends to `out` and returns the sum of the matched entries' sizes.
// `index` must be built from `inventory`, whose paths all begin with gameDir and a backslash.
template <class Entry>
uint64_t MatchTargets(const std::list<std::string>& targets, const std::vector<Entry>& inventory,
                      const FileNameIndex& index, const NameKeyFn& key, const std::string& gameDir,
                      LeadBytePredicate isLeadByte, std::list<std::string>& out) {
    uint64_t sum = 0;
    for (const std::string& target : targets) {
        const std::string name = FileNameOfPath(target, isLeadByte);
        const std::string wholeKey = name.size() == target.size() ? std::string() : key(target);
        bool matched = false;
        for (size_t position = index.First(key(name)); position != FileNameIndex::npos;
             position = index.Next(position)) {
            const std::string& path = inventory[position].path;
            if (!wholeKey.empty() &&
                (path.size() <= gameDir.size() ||
                 key(std::string_view(path).substr(gameDir.size() + 1)) != wholeKey)) {
                continue;
            }
            out.push_back(path);
            sum += inventory[position].size;
            matched = true;
        }
        if (!matched) {
            out.push_back(RemovalLine(gameDir, target));
        }
    }
    return sum;
}
