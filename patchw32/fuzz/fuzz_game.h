// The game a fuzz run starts from and the trailer fix-up, shared by the fuzz target and the
// corpus replay test so that both run every input against the same files.
#pragma once

#include "format.h"
#include "hash.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kvfuzz {

// Files by '/'-separated path (folders follow from the paths): a text file, two data files with
// the same lines (patches that edit both refer from one to the other), and machine-code-like
// bytes with 32-bit displacements for the second difference model.
inline std::vector<std::pair<std::string, std::string>> game_files() {
    std::string level;
    for (int i = 0; level.size() < 4000; ++i)
        level += "level data line " + std::to_string(i) + "\n";
    std::string code(48 * 1024, '\0');
    uint32_t x = 12345;
    for (char& b : code)
        b = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    for (size_t at = 16; at + 4 < code.size();) {
        size_t next = at + 11 + static_cast<uint8_t>(code[at]) % 29;
        uint32_t disp = static_cast<uint32_t>(static_cast<uint32_t>(at) * 2654435761u) %
                            static_cast<uint32_t>(code.size()) -
                        static_cast<uint32_t>(at + 4);
        for (int i = 0; i < 4; ++i)
            code[at + static_cast<size_t>(i)] = static_cast<char>(disp >> (8 * i));
        at = next;
    }
    return {{"a.txt", "old file one"},
            {"data/level.dat", level},
            {"data/pack2.dat", "LEVEL PACK 2\n" + level},
            {"bin/code.bin", code}};
}

// Gives a patch of at least header + trailer size its true total size and a valid checksum, so
// that an input reaches the directory, the path rules and the decoders behind the checksum.
inline void reseal(uint8_t* p, size_t size) {
    uint64_t total = size;
    for (int i = 0; i < 8; ++i)
        p[size - kv::kTrailerSize + 32 + i] = static_cast<uint8_t>(total >> (8 * i));
    kv::Hash128 h = kv::hash128(p, size - 16);
    std::memcpy(p + size - 16, h.b, 16);
}

} // namespace kvfuzz
