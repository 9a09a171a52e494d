// rtptool's output: results on stdout, errors and the live progress line on stderr, or one
// JSON event per line on stdout for launchers and CI.
#pragma once

#include "engine.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rtp {

// How an engine text is labelled: "info", "warning", "error", "summary" (empty for the ids
// that carry no text).
const char* message_kind(kv::CallbackId id);

// "532 bytes", "11.8 KiB", "45.2 MiB", "1.20 GiB".
std::string human_size(uint64_t bytes);
// "1,234,567"
std::string grouped(uint64_t n);
// A JSON string literal (quotes included). Bytes that are not valid UTF-8 are written as
// \u00XX (their code page is unknown), so the line stays valid JSON.
std::string json_str(const std::string& s);

// Standard output goes out line by line where someone may watch it as it comes (a terminal,
// a pipe). Written to a file or to nothing (/dev/null, NUL) it is held in a buffer until the
// buffer is full, a line goes to stderr or the tool ends: a patch of a thousand files made a
// thousand writes. Called once, before anything is printed.
void hold_output_unless_watched();
// Flushes stdout unless it is held.
void flush_if_watched();

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
    // One line to `f`, after the progress line has been taken away (it comes back at the
    // next redraw). Every output of the tool while a progress line lives goes through here.
    void print(FILE* f, const std::string& line) const;
};

// The live progress line: stage, files done/total, bytes, rate and time left. Redrawn at
// most five times a second, and at least once a second by a helper thread, so that it keeps
// moving (its clock, its time in the stage) through steps that report nothing for long. In
// JSON mode the same figures go out as "progress" events, at most twice a second and at
// least every two seconds.
class ProgressLine {
  public:
    explicit ProgressLine(const Output& out);
    ~ProgressLine();
    void update(const std::string& stage, uint64_t files_done, uint64_t files_total,
                uint64_t bytes_done, uint64_t bytes_total, const std::string& current);
    // Takes the line away for good (the run is over).
    void clear();
    void erase_locked(); // with the output lock held

  private:
    using Clock = std::chrono::steady_clock;
    void draw_locked(bool force);
    const Output& out_;
    std::string stage_, family_, current_;
    uint64_t files_done_ = 0, files_total_ = 0, bytes_done_ = 0, bytes_total_ = 0;
    Clock::time_point stage_start_{}, last_draw_{}, raw_start_{};
    uint64_t stage_bytes0_ = 0;
    bool drawn_ = false, finished_ = false;
    size_t width_ = 0;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread ticker_;
};

} // namespace rtp
