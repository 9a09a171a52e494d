// rtptool's output: results on stdout, errors and the live progress line on stderr, or one
// JSON event per line on stdout for launchers and CI.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace rtp {

// "532 bytes", "11.8 KiB", "45.2 MiB", "1.20 GiB".
std::string human_size(uint64_t bytes);
// "1,234,567"
std::string grouped(uint64_t n);
// A JSON string literal (quotes included). Bytes that are not valid UTF-8 are written as
// \u00XX (their code page is unknown), so the line stays valid JSON.
std::string json_str(const std::string& s);

// One JSON object built field by field: Json().s("event", "file").n("size", 5).line()
class Json {
  public:
    Json& s(const char* key, const std::string& v);
    Json& n(const char* key, double v);
    Json& u(const char* key, uint64_t v);
    Json& b(const char* key, bool v);
    Json& raw(const char* key, const std::string& json);
    std::string str() const { return "{" + body_ + "}"; }

  private:
    void key(const char* k);
    std::string body_;
};

struct Output {
    bool quiet = false;
    bool verbose = false;
    bool json = false;
    bool progress = false; // the live line is drawn (a terminal, or --progress)

    void result(const std::string& line) const; // stdout, unless quiet
    void error(const std::string& line) const;  // stderr as "rtptool: ..." (or a JSON event)
    void event(const Json& j) const;            // stdout, JSON mode only
};

// The live progress line: stage, files done/total, bytes, rate and time left. Redrawn at
// most five times a second; in JSON mode the same figures go out as "progress" events at
// most twice a second.
class ProgressLine {
  public:
    explicit ProgressLine(const Output& out) : out_(out) {}
    ~ProgressLine() { clear(); }
    void update(const std::string& stage, uint64_t files_done, uint64_t files_total,
                uint64_t bytes_done, uint64_t bytes_total, const std::string& current,
                bool force = false);
    void clear();

  private:
    using Clock = std::chrono::steady_clock;
    const Output& out_;
    std::string stage_, raw_stage_;
    Clock::time_point stage_start_{}, last_draw_{}, raw_start_{};
    uint64_t stage_bytes0_ = 0;
    bool drawn_ = false;
    size_t width_ = 0;
};

} // namespace rtp
