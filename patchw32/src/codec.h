// Codec interface: every entry's payload is decoded by the codec its entry names, from a
// range of the patch file, with random access to the old file, into a sequential sink.
#pragma once

#include "format.h"
#include "hash.h"
#include "os.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv {

// Where decoded bytes go.
class Sink {
  public:
    virtual ~Sink() = default;
    virtual os::Status write(const void* data, size_t n) = 0;
};

// Hashes and counts what passes through; forwards to `next` when given.
class HashingSink : public Sink {
  public:
    explicit HashingSink(Sink* next = nullptr) : next_(next) {}
    os::Status write(const void* data, size_t n) override;
    Hash128 digest() const { return h_.digest(); }
    uint64_t count() const { return count_; }

  private:
    Sink* next_;
    Hasher h_;
    uint64_t count_ = 0;
};

class FileSink : public Sink {
  public:
    explicit FileSink(os::File& f) : f_(f) {}
    os::Status write(const void* data, size_t n) override { return f_.write(data, n); }

  private:
    os::File& f_;
};

// Holds bytes in memory up to a limit, then in a scratch file beside `spill_path`.
class Spool : public Sink {
  public:
    Spool(std::string spill_path, size_t mem_limit = 16u << 20);
    ~Spool() override;
    os::Status write(const void* data, size_t n) override;
    uint64_t size() const { return size_; }
    os::Status copy_to(Sink& out);
    void clear();

  private:
    std::string spill_path_;
    size_t mem_limit_;
    std::vector<uint8_t> mem_;
    os::File file_;
    uint64_t size_ = 0;
};

// Sequential, buffered reads of one payload range of the patch.
class PayloadReader {
  public:
    PayloadReader(os::File& f, uint64_t offset, uint64_t size);
    // Reads up to n bytes; returns the count (0 at the end of the range).
    os::Status read(void* buf, size_t n, size_t& got);
    os::Status read_exact(void* buf, size_t n, bool& short_read);
    // Reads one byte: ok, Unreadable when the read fails, Corrupt with `cut_short` at the end
    // of the range.
    DecodeResult read_byte(uint8_t& b, const char* cut_short);
    uint64_t remaining() const { return end_ - pos_ + (blen_ - bpos_); }

  private:
    os::Status fill();
    os::File& f_;
    uint64_t pos_, end_;
    std::vector<uint8_t> buf_;
    size_t bpos_ = 0, blen_ = 0;
};

// Decoders report through DecodeResult (format.h).

// Inflates one raw deflate stream into exactly out_len bytes, using all of its input;
// Corrupt with the text `damaged` when the stream does not.
DecodeResult inflate_exact(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len,
                           const char* damaged);

using ProgressFn = std::function<void(uint64_t produced)>;

// Decodes the payload of `e` (Stored, Deflate or Delta) and writes exactly e.new_size bytes
// to `out`. `old` is the old file for Delta entries. Every length and offset in the payload
// is checked; the whole payload must be consumed. `held`: see decode_delta.
DecodeResult decode_payload(const Entry& e, os::File& patch, os::File* old, uint64_t old_size,
                            Sink& out, const ProgressFn& progress, uint64_t held = 0);

// Full-copy encoders used by the builder.
os::Status encode_stored(os::File& in, uint64_t size, Sink& out);
// `progress` hears how much of the input has been compressed.
os::Status encode_deflate(os::File& in, uint64_t size, Sink& out, int level = 9,
                          const ProgressFn& progress = nullptr);

} // namespace kv
