#include "environment/logic/FileName.h"

std::string FileNameOfPath(const std::string& path, LeadBytePredicate isLeadByte) {
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (isLeadByte != nullptr && isLeadByte(c) && i + 1 < path.size()) {
            ++i; // the trail byte belongs to this character
        } else if (c == '\\') {
            start = i + 1;
        }
    }
    return path.substr(start);
}
