#include "codec.h"

#include "delta.h"

#include <algorithm>
#include <cstring>
#include <zlib.h>

namespace kv {

os::Status HashingSink::write(const void* data, size_t n) {
    h_.update(data, n);
    count_ += n;
    return next_ ? next_->write(data, n) : os::Status::success();
}

Spool::Spool(std::string spill_path, size_t mem_limit)
    : spill_path_(std::move(spill_path)), mem_limit_(mem_limit) {}

Spool::~Spool() {
    clear();
}

void Spool::clear() {
    if (file_.is_open()) {
        file_.close();
        os::remove_file(spill_path_);
    }
    mem_.clear();
    mem_.shrink_to_fit();
    size_ = 0;
}

os::Status Spool::write(const void* data, size_t n) {
    if (!file_.is_open() && mem_.size() + n <= mem_limit_) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        mem_.insert(mem_.end(), p, p + n);
        size_ += n;
        return os::Status::success();
    }
    if (!file_.is_open()) {
        os::remove_file(spill_path_); // a leftover of an earlier, interrupted build
        os::Status s = os::File::create_new(spill_path_, file_);
        if (!s)
            return s;
        if (!mem_.empty() && !(s = file_.write(mem_.data(), mem_.size())))
            return s;
        mem_.clear();
        mem_.shrink_to_fit();
    }
    size_ += n;
    return file_.write(data, n);
}

os::Status Spool::copy_to(Sink& out) {
    if (!file_.is_open())
        return mem_.empty() ? os::Status::success() : out.write(mem_.data(), mem_.size());
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = 0; pos < size_;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size_ - pos));
        os::Status s = file_.read_exact_at(pos, buf.data(), want);
        if (!s || !(s = out.write(buf.data(), want)))
            return s;
        pos += want;
    }
    return os::Status::success();
}

PayloadReader::PayloadReader(os::File& f, uint64_t offset, uint64_t size)
    : f_(f), pos_(offset), end_(offset + size), buf_(1 << 16) {}

os::Status PayloadReader::fill() {
    bpos_ = blen_ = 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), end_ - pos_));
    if (want == 0)
        return os::Status::success();
    os::Status s = f_.read_exact_at(pos_, buf_.data(), want);
    if (!s)
        return s;
    pos_ += want;
    blen_ = want;
    return s;
}

os::Status PayloadReader::read(void* buf, size_t n, size_t& got) {
    got = 0;
    uint8_t* out = static_cast<uint8_t*>(buf);
    while (got < n) {
        if (bpos_ == blen_) {
            if (pos_ == end_)
                break;
            if (n - got >= buf_.size()) {
                // Large reads bypass the buffer.
                size_t want = static_cast<size_t>(std::min<uint64_t>(n - got, end_ - pos_));
                os::Status s = f_.read_exact_at(pos_, out + got, want);
                if (!s)
                    return s;
                pos_ += want;
                got += want;
                continue;
            }
            os::Status s = fill();
            if (!s)
                return s;
        }
        size_t k = std::min(n - got, blen_ - bpos_);
        std::memcpy(out + got, buf_.data() + bpos_, k);
        bpos_ += k;
        got += k;
    }
    return os::Status::success();
}

os::Status PayloadReader::read_exact(void* buf, size_t n, bool& short_read) {
    size_t got = 0;
    os::Status s = read(buf, n, got);
    short_read = s.ok() && got != n;
    return s;
}

DecodeResult PayloadReader::read_byte(uint8_t& b, const char* cut_short) {
    if (bpos_ == blen_) {
        if (os::Status st = fill(); !st)
            return DecodeResult::io(st);
        if (blen_ == 0)
            return DecodeResult::corrupt(cut_short);
    }
    b = buf_[bpos_++];
    return DecodeResult::ok();
}

DecodeResult inflate_exact(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len,
                           const char* damaged) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return DecodeResult::corrupt(damaged);
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(in_len);
    uint8_t spare;
    z.next_out = out_len ? out : &spare;
    z.avail_out = static_cast<uInt>(out_len);
    bool ok = inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_in == 0 && z.avail_out == 0;
    inflateEnd(&z);
    return ok ? DecodeResult::ok() : DecodeResult::corrupt(damaged);
}

namespace {

DecodeResult decode_stored(const Entry& e, os::File& patch, Sink& out, const ProgressFn& progress) {
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    std::vector<uint8_t> buf(1 << 20);
    uint64_t done = 0;
    while (done < e.new_size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), e.new_size - done));
        size_t got = 0;
        os::Status s = in.read(buf.data(), want, got);
        if (!s)
            return DecodeResult::io(s);
        if (got != want)
            return DecodeResult::corrupt("stored data is cut short");
        if (!(s = out.write(buf.data(), got)))
            return DecodeResult::io(s);
        done += got;
        progress(done);
    }
    return DecodeResult::ok();
}

DecodeResult decode_deflate(const Entry& e, os::File& patch, Sink& out,
                            const ProgressFn& progress) {
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return DecodeResult::corrupt("cannot start the decompressor");
    struct Guard {
        z_stream* z;
        ~Guard() { inflateEnd(z); }
    } guard{&z};
    std::vector<uint8_t> ibuf(1 << 18), obuf(1 << 20);
    uint64_t done = 0;
    bool ended = false;
    while (!ended) {
        if (z.avail_in == 0) {
            size_t got = 0;
            os::Status s = in.read(ibuf.data(), ibuf.size(), got);
            if (!s)
                return DecodeResult::io(s);
            if (got == 0)
                return DecodeResult::corrupt("compressed data is cut short");
            z.next_in = ibuf.data();
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = obuf.data();
        z.avail_out = static_cast<uInt>(obuf.size());
        int r = inflate(&z, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
            return DecodeResult::corrupt("compressed data is invalid");
        size_t produced = obuf.size() - z.avail_out;
        if (produced > e.new_size - done)
            return DecodeResult::corrupt("compressed data is longer than declared");
        if (produced) {
            os::Status s = out.write(obuf.data(), produced);
            if (!s)
                return DecodeResult::io(s);
            done += produced;
            progress(done);
        }
        if (r == Z_STREAM_END)
            ended = true;
        else if (r == Z_BUF_ERROR && z.avail_in != 0 && produced == 0)
            return DecodeResult::corrupt("compressed data is invalid");
    }
    if (done != e.new_size)
        return DecodeResult::corrupt("compressed data is shorter than declared");
    if (z.avail_in != 0 || in.remaining() != 0)
        return DecodeResult::corrupt("compressed data has trailing bytes");
    return DecodeResult::ok();
}

} // namespace

namespace {

// A delta entry whose whole new file is its share of the literal store: no payload to read.
DecodeResult write_whole_share(const Entry& e, Sink& out, const ProgressFn& progress) {
    if (!e.share.store)
        return DecodeResult::corrupt("a difference needs the literal store");
    const uint8_t* from = e.share.store->data() + e.share.offset;
    for (uint64_t done = 0; done < e.share.length;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(e.share.length - done, 1u << 20));
        if (os::Status s = out.write(from + done, n); !s)
            return DecodeResult::io(s);
        done += n;
        progress(done);
    }
    return DecodeResult::ok();
}

} // namespace

DecodeResult decode_payload(const Entry& e, os::File& patch, os::File* old, uint64_t old_size,
                            Sink& out, const ProgressFn& progress, uint64_t held) {
    switch (e.codec) {
    case Codec::Stored:
        return decode_stored(e, patch, out, progress);
    case Codec::Deflate:
        return decode_deflate(e, patch, out, progress);
    case Codec::Delta:
        if (e.share.whole)
            return write_whole_share(e, out, progress);
        if (!old && e.op == Op::Add && !e.source.present) {
            // An added file made from the literal store alone: there is no old file to read.
            os::File none = os::File::over_memory(std::make_shared<const std::vector<uint8_t>>());
            return decode_delta(e, patch, none, 0, out, progress, held);
        }
        if (!old)
            return DecodeResult::corrupt("a difference needs the old file");
        return decode_delta(e, patch, *old, old_size, out, progress, held);
    default:
        return DecodeResult::corrupt("unknown codec");
    }
}

os::Status encode_stored(os::File& in, uint64_t size, Sink& out) {
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = 0; pos < size;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
        os::Status s = in.read_exact_at(pos, buf.data(), want);
        if (!s || !(s = out.write(buf.data(), want)))
            return s;
        pos += want;
    }
    return os::Status::success();
}

os::Status encode_deflate(os::File& in, uint64_t size, Sink& out, int level,
                          const ProgressFn& progress) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return os::Status::fail(os::ErrKind::Other, "cannot start the compressor");
    struct Guard {
        z_stream* z;
        ~Guard() { deflateEnd(z); }
    } guard{&z};
    std::vector<uint8_t> ibuf(1 << 20), obuf(1 << 20);
    uint64_t pos = 0;
    int flush = Z_NO_FLUSH;
    do {
        if (z.avail_in == 0 && flush == Z_NO_FLUSH) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(ibuf.size(), size - pos));
            if (want) {
                os::Status s = in.read_exact_at(pos, ibuf.data(), want);
                if (!s)
                    return s;
            }
            if (progress && pos)
                progress(pos);
            pos += want;
            z.next_in = ibuf.data();
            z.avail_in = static_cast<uInt>(want);
            if (pos == size)
                flush = Z_FINISH;
        }
        z.next_out = obuf.data();
        z.avail_out = static_cast<uInt>(obuf.size());
        int r = deflate(&z, flush);
        if (r == Z_STREAM_ERROR)
            return os::Status::fail(os::ErrKind::Other, "compressor failed");
        size_t produced = obuf.size() - z.avail_out;
        if (produced) {
            os::Status s = out.write(obuf.data(), produced);
            if (!s)
                return s;
        }
        if (r == Z_STREAM_END)
            break;
    } while (true);
    return os::Status::success();
}

} // namespace kv
