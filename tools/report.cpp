#include "report.h"

#include <cmath>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace rtp {

namespace {

bool g_held = false; // stdout is written when its buffer fills (hold_output_unless_watched)

// Serialises everything the tool prints while the progress line's helper thread may draw.
std::mutex g_out_mutex;
ProgressLine* g_line = nullptr; // the live line, if any

} // namespace

const char* message_kind(kv::CallbackId id) {
    switch (id) {
    case kv::CallbackId::Info:
        return "info";
    case kv::CallbackId::Warning:
        return "warning";
    case kv::CallbackId::Error:
        return "error";
    case kv::CallbackId::Summary:
        return "summary";
    default:
        return "";
    }
}

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

void hold_output_unless_watched() {
#ifdef _WIN32
    const DWORD type = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE));
    g_held = type == FILE_TYPE_DISK || (type == FILE_TYPE_CHAR && !_isatty(_fileno(stdout)));
#else
    struct stat st;
    g_held = ::fstat(STDOUT_FILENO, &st) == 0 &&
             (S_ISREG(st.st_mode) || (S_ISCHR(st.st_mode) && !::isatty(STDOUT_FILENO)));
#endif
    if (g_held)
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

void flush_if_watched() {
    if (!g_held)
        std::fflush(stdout);
}

void Output::print(FILE* f, const std::string& line) const {
    std::lock_guard<std::mutex> hold(g_out_mutex);
    if (g_line)
        g_line->erase_locked();
    // What went to the other stream first leaves first, for both may go to the same place.
    std::fflush(f == stdout ? stderr : stdout);
    std::fprintf(f, "%s\n", line.c_str());
    if (f != stdout)
        std::fflush(f);
    else
        flush_if_watched();
}
void Output::result(const std::string& line) const {
    if (!quiet && !json)
        print(stdout, line);
}
void Output::error(const std::string& line) const {
    if (json)
        event(Json().s("event", "error").s("message", line));
    else
        print(stderr, "rtptool: " + line);
}
void Output::event(const Json& j) const {
    if (json)
        print(stdout, j.str());
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

ProgressLine::ProgressLine(const Output& out) : out_(out) {
    if (!out_.json && !out_.progress)
        return;
    std::lock_guard<std::mutex> hold(g_out_mutex);
    g_line = this;
    ticker_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(g_out_mutex);
        while (!stop_) {
            wake_.wait_for(lock, std::chrono::milliseconds(250));
            double idle = std::chrono::duration<double>(Clock::now() - last_draw_).count();
            if (!stop_ && !finished_ && !stage_.empty() && idle >= (out_.json ? 2.0 : 1.0))
                draw_locked(true);
        }
    });
}

ProgressLine::~ProgressLine() {
    clear();
    if (ticker_.joinable()) {
        {
            std::lock_guard<std::mutex> hold(g_out_mutex);
            stop_ = true;
        }
        wake_.notify_all();
        ticker_.join();
    }
    std::lock_guard<std::mutex> hold(g_out_mutex);
    if (g_line == this)
        g_line = nullptr;
}

void ProgressLine::update(const std::string& stage, uint64_t files_done, uint64_t files_total,
                          uint64_t bytes_done, uint64_t bytes_total, const std::string& current) {
    if (!out_.json && !out_.progress)
        return;
    std::lock_guard<std::mutex> hold(g_out_mutex);
    Clock::time_point now = Clock::now();
    // "index" is a pause within "diff": the rate and time left keep counting through it.
    std::string family = stage == "index" ? "diff" : stage;
    bool force = false;
    if (family != family_) {
        family_ = family;
        stage_start_ = now;
        stage_bytes0_ = bytes_done;
        force = true;
    }
    if (stage != stage_) {
        stage_ = stage;
        raw_start_ = now;
    }
    files_done_ = files_done;
    files_total_ = files_total;
    bytes_done_ = bytes_done;
    bytes_total_ = bytes_total;
    current_ = current;
    double gap = std::chrono::duration<double>(now - last_draw_).count();
    if (force || gap >= (out_.json ? 0.5 : 0.2))
        draw_locked(force);
}

void ProgressLine::draw_locked(bool) {
    Clock::time_point now = Clock::now();
    last_draw_ = now;
    double elapsed = std::chrono::duration<double>(now - stage_start_).count();
    double rate = elapsed > 0.5 ? (bytes_done_ - stage_bytes0_) / elapsed : NAN;
    // While a file is indexed the bytes stand still, so no time left can be told.
    double eta = rate > 0 && bytes_total_ >= bytes_done_ && stage_ != "index"
                     ? (bytes_total_ - bytes_done_) / rate
                     : NAN;
    if (out_.json) {
        std::printf("%s\n", Json()
                                .s("event", "progress")
                                .s("stage", stage_)
                                .u("files", files_done_)
                                .u("files_total", files_total_)
                                .u("bytes", bytes_done_)
                                .u("total", bytes_total_)
                                .n("rate", rate)
                                .n("eta", eta)
                                .s("current", current_)
                                .str()
                                .c_str());
        std::fflush(stdout);
        return;
    }
    char head[200];
    std::snprintf(head, sizeof head, "%-6s %s/%s files  %s / %s  %s/s  ETA %s", stage_.c_str(),
                  grouped(files_done_).c_str(), grouped(files_total_).c_str(),
                  human_size(bytes_done_).c_str(), human_size(bytes_total_).c_str(),
                  std::isfinite(rate) ? human_size(static_cast<uint64_t>(rate)).c_str() : "--",
                  clock_text(eta).c_str());
    std::string line = head;
    if (stage_ == "index") // bytes stand still meanwhile: say for how long
        line += ", indexing " + clock_text(std::chrono::duration<double>(now - raw_start_).count());
    if (!current_.empty()) {
        std::string name = current_;
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

void ProgressLine::erase_locked() {
    if (drawn_) {
        std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
        std::fflush(stderr);
        drawn_ = false;
        width_ = 0;
    }
}

void ProgressLine::clear() {
    std::lock_guard<std::mutex> hold(g_out_mutex);
    finished_ = true;
    erase_locked();
}

} // namespace rtp
