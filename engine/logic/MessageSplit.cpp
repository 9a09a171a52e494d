#include "engine/logic/MessageSplit.h"

bool IsMessageSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string TrimMessageText(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && IsMessageSpace(text[end - 1])) {
        --end;
    }
    size_t start = 0;
    while (start < end && IsMessageSpace(text[start])) {
        ++start;
    }
    return text.substr(start, end - start);
}

std::vector<std::string> SplitMessageText(const std::string& text) {
    std::string joined;
    for (char c : TrimMessageText(text)) {
        if (c != '\n') { // carriage returns inside the text stay
            joined.push_back(c);
        }
    }
    const size_t length = joined.size();
    if (length <= kMessageLineWidth || length >= kMessageWholeLength) {
        return {joined};
    }
    std::vector<std::string> lines;
    lines.push_back(TrimMessageText(joined.substr(0, kMessageLineWidth)));
    if (length < 2 * kMessageLineWidth) {
        lines.push_back(TrimMessageText(joined.substr(kMessageLineWidth)));
    } else {
        lines.push_back(TrimMessageText(joined.substr(kMessageLineWidth, kMessageLineWidth)));
        lines.push_back(TrimMessageText(joined.substr(2 * kMessageLineWidth)));
    }
    return lines;
}
