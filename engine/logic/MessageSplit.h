// How an engine text becomes lines of the "Patch Messages" list: trimmed, line feeds
// removed, and cut into lines of 80 characters when it is a little longer than one line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Characters of a line that an engine text is cut into.
inline constexpr size_t kMessageLineWidth = 80;
// Texts of this length or more are shown whole, as one line.
inline constexpr size_t kMessageWholeLength = 240;

// Blank, tab, line feed, vertical tab, form feed and carriage return.
bool IsMessageSpace(char c);

// Removes white space from the end of the text, then from its start.
std::string TrimMessageText(const std::string& text);

// The lines that one engine text gives, in order; always at least one (perhaps empty).
std::vector<std::string> SplitMessageText(const std::string& text);
