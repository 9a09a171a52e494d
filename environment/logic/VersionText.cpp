#include "environment/logic/VersionText.h"

std::string VersionPrefix(uint16_t major, uint16_t minor, uint16_t third) {
    const std::string a = std::to_string(major) + ".";
    const std::string b = std::to_string(minor);
    const std::string c = std::to_string(third) + ".";
    // A third number of two or more digits takes the minor number's place.
    return c.size() > 2 ? a + c : a + b + c;
}

std::string FallbackVersionOf(const std::string& versionText) {
    const size_t length = versionText.size();
    const size_t dot = versionText.rfind('.');
    // The first L - p characters, p being the position of the last dot (-1 for none).
    const long long count = dot == std::string::npos ? static_cast<long long>(length) + 1
                                                     : static_cast<long long>(length - dot);
    if (count >= static_cast<long long>(length)) {
        return versionText;
    }
    return versionText.substr(0, static_cast<size_t>(count));
}
