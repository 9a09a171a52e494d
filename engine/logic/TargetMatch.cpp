#include "engine/logic/TargetMatch.h"

#include <unordered_set>

std::list<std::string> DistinctNames(const std::list<std::string>& names, const NameKeyFn& key) {
    std::list<std::string> kept;
    std::unordered_set<std::string> seen;
    seen.reserve(names.size());
    for (const std::string& name : names) {
        if (seen.insert(key(name)).second) {
            kept.push_back(name);
        }
    }
    return kept;
}

void FileNameIndex::Clear() {
    m_chains.clear();
    m_next.clear();
}

void FileNameIndex::Reserve(size_t count) {
    m_chains.reserve(count);
    m_next.reserve(count);
}

void FileNameIndex::Add(std::string key) {
    const size_t position = m_next.size();
    m_next.push_back(npos);
    auto [it, inserted] = m_chains.try_emplace(std::move(key), Chain{position, position});
    if (!inserted) {
        m_next[it->second.last] = position;
        it->second.last = position;
    }
}

size_t FileNameIndex::First(const std::string& key) const {
    auto it = m_chains.find(key);
    return it == m_chains.end() ? npos : it->second.first;
}

std::string RemovalLine(const std::string& gameDir, const std::string& name) {
    return "del /s " + gameDir + "\\.\\" + name;
}
