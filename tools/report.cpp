#include "report.h"

#include <cmath>
#include <cstdio>

namespace rtp {

std::string human_size(uint64_t bytes) {
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    double v = static_cast<double>(bytes) / 1024;
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, v < 10 ? "%.2f %s" : "%.1f %s", v, units[u]);
    return buf;
}

std::string grouped(uint64_t n) {
    std::string d = std::to_string(n), out;
    for (size_t i = 0; i < d.size(); ++i) {
        if (i && (d.size() - i) % 3 == 0)
            out += ',';
        out += d[i];
    }
    return out;
}

namespace {

// Length of the UTF-8 sequence at s[i], or 0 when it is not a valid one.
size_t utf8_length(const std::string& s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    return n;
}

} // namespace

std::string json_str(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char buf[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t n = utf8_length(s, i)) {
            out.append(s, i, n);
            i += n - 1;
        } else {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

void Json::key(const char* k) {
    if (!body_.empty())
        body_ += ',';
    body_ += json_str(k) + ':';
}
Json& Json::s(const char* k, const std::string& v) {
    key(k);
    body_ += json_str(v);
    return *this;
}
Json& Json::n(const char* k, double v) {
    key(k);
    char buf[40];
    if (std::isfinite(v))
        std::snprintf(buf, sizeof buf, "%.3f", v);
    else
        std::snprintf(buf, sizeof buf, "null");
    body_ += buf;
    return *this;
}
Json& Json::u(const char* k, uint64_t v) {
    key(k);
    body_ += std::to_string(v);
    return *this;
}
Json& Json::b(const char* k, bool v) {
    key(k);
    body_ += v ? "true" : "false";
    return *this;
}
Json& Json::raw(const char* k, const std::string& json) {
    key(k);
    body_ += json;
    return *this;
}

void Output::result(const std::string& line) const {
    if (!quiet && !json) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}
void Output::error(const std::string& line) const {
    if (json)
        event(Json().s("event", "error").s("message", line));
    else
        std::fprintf(stderr, "rtptool: %s\n", line.c_str());
}
void Output::event(const Json& j) const {
    if (json) {
        std::printf("%s\n", j.str().c_str());
        std::fflush(stdout);
    }
}

namespace {

std::string clock_text(double secs) {
    if (!std::isfinite(secs) || secs < 0 || secs > 99 * 3600)
        return "--:--";
    unsigned long t = static_cast<unsigned long>(secs + 0.5);
    char buf[32];
    if (t >= 3600)
        std::snprintf(buf, sizeof buf, "%lu:%02lu:%02lu", t / 3600, t / 60 % 60, t % 60);
    else
        std::snprintf(buf, sizeof buf, "%lu:%02lu", t / 60, t % 60);
    return buf;
}

} // namespace

void ProgressLine::update(const std::string& stage, uint64_t files_done, uint64_t files_total,
                          uint64_t bytes_done, uint64_t bytes_total, const std::string& current,
                          bool force) {
    if (!out_.json && !out_.progress)
        return;
    Clock::time_point now = Clock::now();
    // "index" is a pause within "diff": the rate and time left keep counting through it.
    std::string family = stage == "index" ? "diff" : stage;
    if (stage != raw_stage_) {
        raw_stage_ = stage;
        raw_start_ = now;
    }
    if (family != stage_) {
        stage_ = family;
        stage_start_ = now;
        stage_bytes0_ = bytes_done;
        force = true;
    }
    double gap = std::chrono::duration<double>(now - last_draw_).count();
    if (!force && gap < (out_.json ? 0.5 : 0.2))
        return;
    last_draw_ = now;
    double elapsed = std::chrono::duration<double>(now - stage_start_).count();
    double rate = elapsed > 0.5 ? (bytes_done - stage_bytes0_) / elapsed : NAN;
    // While a file is indexed the bytes stand still, so no time left can be told.
    double eta = rate > 0 && bytes_total >= bytes_done && stage != "index"
                     ? (bytes_total - bytes_done) / rate
                     : NAN;
    if (out_.json) {
        out_.event(Json()
                       .s("event", "progress")
                       .s("stage", stage)
                       .u("files", files_done)
                       .u("files_total", files_total)
                       .u("bytes", bytes_done)
                       .u("total", bytes_total)
                       .n("rate", rate)
                       .n("eta", eta)
                       .s("current", current));
        return;
    }
    char head[200];
    std::snprintf(head, sizeof head, "%-6s %s/%s files  %s / %s  %s/s  ETA %s",
                  stage.c_str(), grouped(files_done).c_str(), grouped(files_total).c_str(),
                  human_size(bytes_done).c_str(), human_size(bytes_total).c_str(),
                  std::isfinite(rate) ? human_size(static_cast<uint64_t>(rate)).c_str() : "--",
                  clock_text(eta).c_str());
    std::string line = head;
    if (stage == "index") // bytes stand still meanwhile: say for how long
        line += ", indexing " +
                clock_text(std::chrono::duration<double>(now - raw_start_).count());
    if (!current.empty()) {
        std::string name = current;
        size_t room = line.size() + 2 < 78 ? 78 - line.size() - 2 : 0;
        if (name.size() > room)
            name = room > 3 ? "..." + name.substr(name.size() - (room - 3)) : "";
        if (!name.empty())
            line += "  " + name;
    }
    size_t pad = width_ > line.size() ? width_ - line.size() : 0;
    std::fprintf(stderr, "\r%s%s", line.c_str(), std::string(pad, ' ').c_str());
    std::fflush(stderr);
    width_ = line.size();
    drawn_ = true;
}

void ProgressLine::clear() {
    if (drawn_) {
        std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
        std::fflush(stderr);
        drawn_ = false;
        width_ = 0;
    }
}

} // namespace rtp
