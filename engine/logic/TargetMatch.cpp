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

namespace {

size_t HashOf(std::string_view key) {
    return std::hash<std::string_view>{}(key);
}

} // namespace

void FileNameIndex::Clear() {
    m_keys.clear();
    m_slots.clear();
    m_used = 0;
    m_next.clear();
}

void FileNameIndex::Reserve(size_t count) {
    m_next.reserve(count);
    size_t slots = 16;
    while (slots < 2 * count) {
        slots *= 2;
    }
    if (slots > m_slots.size()) {
        Grow(slots);
    }
}

void FileNameIndex::Grow(size_t slots) {
    std::vector<Slot> old = std::move(m_slots);
    m_slots.assign(slots, Slot{});
    for (const Slot& slot : old) {
        if (slot.first != npos) {
            const std::string_view key(m_keys.data() + slot.keyOffset, slot.keyLength);
            m_slots[Find(key, HashOf(key))] = slot;
        }
    }
}

size_t FileNameIndex::Find(std::string_view key, size_t hash) const {
    const size_t mask = m_slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (slot.first == npos ||
            std::string_view(m_keys.data() + slot.keyOffset, slot.keyLength) == key) {
            return i;
        }
    }
}

void FileNameIndex::Add(std::string_view key) {
    if (2 * (m_used + 1) > m_slots.size()) {
        Grow(m_slots.empty() ? 16 : 2 * m_slots.size());
    }
    const size_t position = m_next.size();
    m_next.push_back(npos);
    Slot& slot = m_slots[Find(key, HashOf(key))];
    if (slot.first == npos) {
        slot.keyOffset = m_keys.size();
        slot.keyLength = key.size();
        m_keys.append(key);
        slot.first = position;
        ++m_used;
    } else {
        m_next[slot.last] = position;
    }
    slot.last = position;
}

size_t FileNameIndex::First(std::string_view key) const {
    if (m_slots.empty()) {
        return npos;
    }
    return m_slots[Find(key, HashOf(key))].first;
}

std::string RemovalLine(const std::string& gameDir, const std::string& name) {
    return "del /s " + gameDir + "\\.\\" + name;
}
