#include "backup/logic/BackupFolderName.h"

#include <vector>

std::string BackupFolderName(const std::string& patchFile, LeadBytePredicate isLeadByte) {
    // Offsets at which the characters of the name start.
    std::vector<size_t> starts;
    for (size_t i = 0; i < patchFile.size(); ++i) {
        starts.push_back(i);
        const unsigned char c = static_cast<unsigned char>(patchFile[i]);
        if (isLeadByte != nullptr && isLeadByte(c) && i + 1 < patchFile.size()) {
            ++i; // the trail byte belongs to this character
        }
    }

    // The tail from the first "_from" on, counted in characters.
    size_t first = 0;
    for (size_t k = 0; k < starts.size(); ++k) {
        if (patchFile.compare(starts[k], 5, "_from") == 0) {
            first = k;
            break;
        }
    }
    const size_t tailChars = starts.size() - first;
    if (tailChars < 4) {
        return "undo";
    }
    const size_t keepChars = tailChars - 4;
    const size_t begin = starts[first];
    const size_t end = starts[first + keepChars]; // where the dropped characters start
    return "undo" + patchFile.substr(begin, end - begin);
}
