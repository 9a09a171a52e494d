// The delta codec's decoder: block heads read and checked, each block's instructions decoded
// and checked by the calling thread, then its literal and difference bytes decoded and its
// output assembled by a worker, blocks written out in order within a memory budget.
#include "delta.h"

#include "bytes.h"
#include "cm.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

namespace kv {

namespace {

// ---------------------------------------------------------------- stream decoding

// What a coded stream that does not decode to its stored size is called.
const char* const kDamaged = "compressed difference data is invalid";

// Difference bytes in zero-run form (a 0 byte and a varint n stand for n + 1 zero bytes, every
// other byte for itself), added to the old bytes as the instructions reach them: a mostly-zero
// stream is never expanded, so a copy costs its memcpy and the few bytes that differ. The
// stream must give exactly `want` bytes; finished() says whether it did, to the last byte.
const char* const kDiffsInvalid = "difference bytes are invalid";

class ZeroRunDiffs {
  public:
    ZeroRunDiffs(const uint8_t* p, size_t n, uint64_t want) : r_(p, n), left_(want) {}

    // Adds the next n difference bytes to dst[0..n); false when the stream is invalid.
    bool add_to(uint8_t* dst, size_t n) {
        if (n > left_)
            return false;
        while (n > 0) {
            if (zeros_ > 0) {
                size_t k = static_cast<size_t>(std::min<uint64_t>(zeros_, n));
                zeros_ -= k;
                left_ -= k;
                dst += k;
                n -= k;
                continue;
            }
            if (r_.left() == 0)
                return false;
            if (uint8_t b = r_.u8(); b != 0) {
                *dst = static_cast<uint8_t>(*dst + b);
                ++dst;
                --n;
                --left_;
                continue;
            }
            uint64_t run = r_.varu();
            if (r_.bad() || run >= left_) // a run may not reach past the stream's end
                return false;
            zeros_ = run + 1;
        }
        return true;
    }
    bool finished() const { return left_ == 0 && zeros_ == 0 && r_.left() == 0; }

  private:
    ByteReader r_;
    uint64_t left_;      // difference bytes still to give
    uint64_t zeros_ = 0; // zeros of the current run still to give
};

// Whether a stream coding is context mixing.
bool mixing(uint8_t coding) {
    return coding == static_cast<uint8_t>(StreamCoding::Mixing) ||
           coding == static_cast<uint8_t>(StreamCoding::Mixing2);
}

// Reads the fields of a block head from the payload. The first failure sticks: later reads
// read nothing and yield 0, and failure() says why (an I/O error, or data cut short).
class HeadReader {
  public:
    explicit HeadReader(PayloadReader& in) : in_(in) {}
    uint8_t byte() {
        uint8_t b = 0;
        if (result_ && !(result_ = in_.read_byte(b, kCutShort)))
            b = 0;
        return b;
    }
    // A varint of at most 64 bits.
    uint64_t varu() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = byte();
            if (!result_ || (shift == 63 && b > 1))
                break;
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80))
                return v;
        }
        if (result_)
            result_ = DecodeResult::corrupt(kCutShort);
        return 0;
    }
    bool failed() const { return !result_; }
    const DecodeResult& failure() const { return result_; }

  private:
    static constexpr const char* kCutShort = "difference data is cut short";
    PayloadReader& in_;
    DecodeResult result_;
};

// A block's instructions from the instruction store that are the rest of the entry's share.
constexpr uint64_t kRestOfShare = ~uint64_t{0};

struct BlockHead {
    uint64_t out_len = 0;
    uint8_t coding[3] = {0, 0, 0};
    uint64_t raw[3] = {0, 0, 0};
    uint64_t stored[3] = {0, 0, 0};
};

// The compact head, after its 0 byte (no block is empty): the three codings in one byte, the
// output length (0: 4 MiB or all that remains, whichever is less), then only the lengths that
// cannot be inferred. `left`: the output still to come from the payload.
void read_compact_head(HeadReader& h, uint64_t left, BlockHead& b) {
    const uint8_t codings = h.byte();
    b.out_len = h.varu();
    if (b.out_len == 0)
        b.out_len = std::min<uint64_t>(kDeltaBlockMax, left);
    b.coding[0] = codings & 7;
    b.coding[1] = (codings >> 3) & 7;
    b.coding[2] = codings >> 6;
    if (b.coding[2] == static_cast<uint8_t>(StreamCoding::Mixing2))
        b.coding[2] = static_cast<uint8_t>(StreamCoding::Shared); // 3 stands for the store
    auto raw_form = [&](int i) { return b.coding[i] == static_cast<uint8_t>(StreamCoding::Raw); };
    if (b.coding[0] == static_cast<uint8_t>(StreamCoding::Shared)) {
        // From the instruction store: the entry's last block takes the rest of its share.
        b.raw[0] = b.out_len == left ? kRestOfShare : h.varu();
        b.stored[0] = 0;
    } else {
        b.raw[0] = b.stored[0] = h.varu();
        if (!raw_form(0))
            b.stored[0] = h.varu();
    }
    const uint8_t diff_coding = b.coding[1];
    if (diff_coding == kZeroDifferences) {
        b.raw[1] = b.stored[1] = 0;
    } else if (diff_coding == static_cast<uint8_t>(StreamCoding::Raw) ||
               diff_coding == static_cast<uint8_t>(StreamCoding::Deflate)) {
        b.raw[1] = b.stored[1] = h.varu();
        if (!raw_form(1))
            b.stored[1] = h.varu();
    } else {
        b.stored[1] = h.varu();
    }
    b.raw[2] = b.stored[2] = h.varu();
    if (b.coding[2] == static_cast<uint8_t>(StreamCoding::Shared))
        b.stored[2] = 0;
    else if (b.raw[2] > 0 && !raw_form(2))
        b.stored[2] = h.varu();
    if (mixing(diff_coding) && b.raw[2] <= b.out_len)
        b.raw[1] = b.out_len - b.raw[2]; // checked to add up below
}

// Reads and checks a block's head, compact or full; `left`: the output still to come from
// the payload.
DecodeResult read_block_head(PayloadReader& in, uint64_t left, BlockHead& b) {
    HeadReader h(in);
    b.out_len = h.varu();
    const bool compact = !h.failed() && b.out_len == 0;
    if (compact)
        read_compact_head(h, left, b);
    if (h.failed())
        return h.failure();
    if (b.out_len == 0 || b.out_len > kDeltaBlockMax || b.out_len > left)
        return DecodeResult::corrupt("a difference block has an invalid length");
    for (int i = 0; i < 3; ++i) {
        uint8_t& coding = b.coding[i];
        if (!compact) {
            coding = h.byte();
            b.raw[i] = h.varu();
            b.stored[i] = h.varu();
            if (h.failed())
                return h.failure();
        }
        bool zero = compact && i == 1 && coding == kZeroDifferences;
        const bool shared = coding == static_cast<uint8_t>(StreamCoding::Shared) && i != 1;
        if (!zero && !shared &&
            (coding > static_cast<uint8_t>(StreamCoding::Instructions) ||
             (coding == static_cast<uint8_t>(StreamCoding::Mixing2) && i != 1) ||
             (coding == static_cast<uint8_t>(StreamCoding::Instructions) && i != 0)))
            return DecodeResult::corrupt("a difference block uses an unknown stream coding");
        uint64_t limit = i == 0 ? kDeltaCtrlMax : i == 1 ? 2 * b.out_len : b.out_len;
        if (b.raw[i] > limit && !(shared && b.raw[i] == kRestOfShare))
            return DecodeResult::corrupt("a difference block declares too much data");
        if (coding == static_cast<uint8_t>(StreamCoding::Raw) || shared
                ? b.stored[i] != (shared ? 0 : b.raw[i])
                : b.stored[i] > limit + limit / 8 + 1024)
            return DecodeResult::corrupt("a difference block has an invalid stored size");
    }
    if (mixing(b.coding[1]) && b.raw[1] + b.raw[2] != b.out_len)
        return DecodeResult::corrupt("a difference block does not add up");
    return DecodeResult::ok();
}

// Decodes a block's instructions into `instrs`; the history gains them.
DecodeResult decode_instructions(uint8_t coding, std::vector<uint8_t>& packed, uint64_t raw_len,
                                 InstrHistory& hist, std::vector<uint8_t>& instrs) {
    using SC = StreamCoding;
    size_t n = static_cast<size_t>(raw_len);
    if (coding == static_cast<uint8_t>(SC::Shared)) // only with the entry's share, see below
        return DecodeResult::corrupt("a difference block uses an unknown stream coding");
    if (coding == static_cast<uint8_t>(SC::Instructions))
        return instr_decode(packed.data(), packed.size(), n, hist, instrs, kDamaged);
    if (coding == static_cast<uint8_t>(SC::Raw)) {
        instrs.swap(packed);
    } else {
        instrs.resize(n);
        DecodeResult decoded =
            coding == static_cast<uint8_t>(SC::Deflate)
                ? inflate_exact(packed.data(), packed.size(), instrs.data(), n, kDamaged)
                : cm_decode_bytes(packed.data(), packed.size(), instrs.data(), n, kDamaged);
        if (!decoded)
            return decoded;
    }
    ByteReader r(instrs.data(), instrs.size());
    while (r.left() > 0) {
        Instr i = read_instr(r);
        if (r.bad())
            return DecodeResult::corrupt("difference instructions are invalid");
        hist.push(i);
    }
    return DecodeResult::ok();
}

// Reads the stored bytes of a block's three streams into into[0..2] (which may be the same
// buffer for streams that are only skipped).
DecodeResult read_streams(PayloadReader& in, const BlockHead& b,
                          const std::array<std::vector<uint8_t>*, 3>& into, const char* cut_short) {
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t>& buf = *into[static_cast<size_t>(i)];
        buf.resize(static_cast<size_t>(b.stored[i]));
        bool short_read = false;
        if (os::Status st = in.read_exact(buf.data(), buf.size(), short_read); !st)
            return DecodeResult::io(st);
        if (short_read)
            return DecodeResult::corrupt(cut_short);
    }
    return DecodeResult::ok();
}

// The instructions of the entry that `e`'s refer to, as far as a history keeps them.
DecodeResult load_reference(const Entry::Ref& ref, os::File& patch, InstrHistory& out) {
    InstrHistory own;
    own.start_own();
    PayloadReader in(patch, ref.offset, ref.size);
    std::vector<uint8_t> packed, instrs, skip;
    for (uint64_t read_to = 0; read_to < ref.new_size && own.size() < InstrHistory::kMax;) {
        BlockHead b;
        DecodeResult r = read_block_head(in, ref.new_size - read_to, b);
        if (!r)
            return r.status == PatchError::Unreadable
                       ? r
                       : DecodeResult::corrupt("the instructions it refers to are damaged");
        if (r = read_streams(in, b, {&packed, &skip, &skip},
                             "the instructions it refers to are cut short");
            !r)
            return r;
        if (!decode_instructions(b.coding[0], packed, b.raw[0], own, instrs))
            return DecodeResult::corrupt("the instructions it refers to are damaged");
        read_to += b.out_len;
    }
    for (const Instr& i : own.all())
        out.add(i);
    return DecodeResult::ok();
}

} // namespace

DecodeResult delta_stats(const Entry& e, os::File& patch, DeltaStats& out) {
    if (e.share.whole) { // no payload: the new file is its share of the literal store
        out.shared += e.share.length;
        return DecodeResult::ok();
    }
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    std::vector<uint8_t> skip;
    for (uint64_t read_to = 0; read_to < e.new_size;) {
        BlockHead b;
        if (DecodeResult r = read_block_head(in, e.new_size - read_to, b); !r)
            return r;
        if (DecodeResult r =
                read_streams(in, b, {&skip, &skip, &skip}, "difference data is cut short");
            !r)
            return r;
        for (int i = 0; i < 3; ++i) {
            out.raw[i] += b.raw[i] == kRestOfShare ? 0 : b.raw[i];
            out.stored[i] += b.stored[i];
            out.by_coding[b.coding[i] <= 4 ? b.coding[i] : 0]++;
            out.shared += b.coding[2] == static_cast<uint8_t>(StreamCoding::Shared) ? b.raw[2] : 0;
        }
        read_to += b.out_len;
        ++out.blocks;
    }
    return in.remaining() == 0 ? DecodeResult::ok()
                               : DecodeResult::corrupt("difference data has trailing bytes");
}

namespace {

// A block's output, of at least its length. Once the block is written out, the next block of
// the entry takes it over: fresh memory for every block (1 or 4 MiB) would be zeroed and
// faulted in page by page again.
struct OutBuffer {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
};

// One block, read and checked by the calling thread, then finished by a worker: the literal
// and difference streams decoded, the old bytes read and the output assembled.
struct BlockJob {
    uint64_t out_len = 0;
    uint64_t at = 0;     // new-file offset of the block
    uint64_t oldpos = 0; // old-file position where the block's instructions start
    uint8_t coding[3] = {0, 0, 0};
    uint64_t raw[3] = {0, 0, 0};
    std::vector<uint8_t> instrs;     // decoded instructions, already checked
    std::vector<uint8_t> src[3];     // stored bytes of each stream (the instructions' unused)
    const uint8_t* shared = nullptr; // the literals, when they come from the store
    OutBuffer block;                 // the result, in its first out_len bytes
    uint64_t memory = 0;             // what decoding it may hold at once
    DecodeResult result;
    // The number of difference bytes (checked: the output length less the literals).
    uint64_t diff_total() const { return out_len - raw[2]; }
};

// A block's literal and difference bytes, decoded as far as they are before the block is
// assembled.
struct BlockBytes {
    const uint8_t* literals = nullptr; // the stored bytes, or `literal_store`'s
    std::vector<uint8_t> literal_store;
    // Difference bytes are decoded while the block is assembled: context-mixed ones by
    // `mixed`, from the old bytes under all of them, read first (`olds`); the others from
    // their zero-run form (`zero_runs`, over the stored stream or `runs` inflated from it;
    // none when every difference byte is zero).
    std::unique_ptr<DiffDecoder> mixed;
    std::vector<uint8_t> olds;
    std::vector<uint8_t> runs;
    std::optional<ZeroRunDiffs> zero_runs;
};

// The block's literal bytes: the stored ones, or those decoded from them.
DecodeResult decode_literals(BlockJob& j, BlockBytes& bytes) {
    using SC = StreamCoding;
    const std::vector<uint8_t>& src = j.src[2];
    bytes.literals = j.shared ? j.shared : src.data();
    if (j.coding[2] == static_cast<uint8_t>(SC::Raw) || j.shared)
        return DecodeResult::ok();
    std::vector<uint8_t>& lit = bytes.literal_store;
    lit.resize(static_cast<size_t>(j.raw[2]));
    DecodeResult decoded =
        j.coding[2] == static_cast<uint8_t>(SC::Deflate)
            ? inflate_exact(src.data(), src.size(), lit.data(), lit.size(), kDamaged)
            : cm_decode_bytes(src.data(), src.size(), lit.data(), lit.size(), kDamaged);
    if (!decoded)
        return decoded;
    bytes.literals = lit.data();
    return DecodeResult::ok();
}

// The old file as a block's copies read it, in the order of its instructions (checked to stay
// inside the old file). Copies mostly move forward a few hundred bytes at a time with short
// seeks, and a read per copy cost a system call each, most of a large file's decoding: a
// copy outside the window reads a new one, from it over the copies after it that lie close
// behind one another, up to kSize.
constexpr uint64_t kOldWindow = 256u << 10;

// An old file in memory (kept when it was checked) is read directly.
class OldWindow {
  public:
    OldWindow(os::File& old, const BlockJob& j)
        : old_(old), mem_(old.memory()), ahead_(j.instrs.data(), j.instrs.size()),
          ahead_pos_(j.oldpos) {}

    // The old bytes [pos, pos + n) of the block's next copy.
    os::Status read(uint64_t pos, uint8_t* dst, size_t n) {
        if (mem_) {
            if (pos > mem_->size() || n > mem_->size() - pos)
                return old_.read_exact_at(pos, dst, n); // refused there, with its text
            std::memcpy(dst, mem_->data() + pos, n);
            return os::Status::success();
        }
        pass_copy();
        if (pos < start_ || pos - start_ > bytes_.size() || n > bytes_.size() - (pos - start_)) {
            if (n > kSize)
                return old_.read_exact_at(pos, dst, n);
            if (os::Status st = fill(pos, n); !st)
                return st;
        }
        std::memcpy(dst, bytes_.data() + (pos - start_), n);
        return os::Status::success();
    }

  private:
    static constexpr uint64_t kSize = kOldWindow;
    static constexpr uint64_t kGap = 4096; // old bytes between two copies read along

    // Moves the look-ahead past the copy being read.
    void pass_copy() {
        while (ahead_.left() > 0) {
            Instr in = read_instr(ahead_);
            ahead_pos_ += in.diff_len + static_cast<uint64_t>(in.seek);
            if (in.diff_len)
                return;
        }
    }

    os::Status fill(uint64_t pos, size_t n) {
        uint64_t end = pos + n, at = ahead_pos_;
        for (ByteReader r = ahead_; r.left() > 0;) {
            Instr in = read_instr(r);
            if (in.diff_len) {
                if (at < pos || at > end + kGap || at + in.diff_len - pos > kSize)
                    break;
                end = std::max(end, at + in.diff_len);
            }
            at += in.diff_len + static_cast<uint64_t>(in.seek);
        }
        start_ = pos;
        bytes_.resize(static_cast<size_t>(end - pos));
        os::Status st = old_.read_exact_at(pos, bytes_.data(), bytes_.size());
        if (!st)
            bytes_.clear();
        return st;
    }

    os::File& old_;
    const std::vector<uint8_t>* mem_; // the old file's bytes when it is in memory
    ByteReader ahead_;                // the instructions after the copy being read
    uint64_t ahead_pos_;              // where they start in the old file
    uint64_t start_ = 0;
    std::vector<uint8_t> bytes_; // old bytes from start_
};

// The old bytes under every difference byte of the block, in order.
DecodeResult read_olds(const BlockJob& j, os::File& old_file, std::vector<uint8_t>& olds) {
    OldWindow old(old_file, j);
    olds.resize(static_cast<size_t>(j.diff_total()));
    ByteReader r(j.instrs.data(), j.instrs.size());
    uint64_t at = 0, oldpos = j.oldpos;
    while (r.left() > 0) {
        Instr in = read_instr(r);
        if (in.diff_len) {
            os::Status st = old.read(oldpos, olds.data() + at, static_cast<size_t>(in.diff_len));
            if (!st)
                return DecodeResult::io(st);
        }
        at += in.diff_len;
        oldpos += in.diff_len + static_cast<uint64_t>(in.seek);
    }
    return DecodeResult::ok();
}

// The block's difference bytes, or the model that decodes them (see BlockBytes).
DecodeResult decode_differences(BlockJob& j, os::File& old, BlockBytes& bytes) {
    using SC = StreamCoding;
    const uint8_t coding = j.coding[1];
    if (mixing(coding)) {
        // The model looks at the old bytes of the whole block: read them all first.
        if (DecodeResult r = read_olds(j, old, bytes.olds); !r)
            return r;
        bytes.mixed = std::make_unique<DiffDecoder>(
            coding == static_cast<uint8_t>(SC::Mixing2) ? DiffModelKind::Second
                                                        : DiffModelKind::First,
            j.src[1].data(), j.src[1].size(), j.diff_total(), bytes.olds.data());
        return DecodeResult::ok();
    }
    if (coding == kZeroDifferences)
        return DecodeResult::ok();
    const std::vector<uint8_t>* runs = &j.src[1];
    if (coding == static_cast<uint8_t>(SC::Deflate)) {
        bytes.runs.resize(static_cast<size_t>(j.raw[1]));
        if (DecodeResult r = inflate_exact(j.src[1].data(), j.src[1].size(), bytes.runs.data(),
                                           bytes.runs.size(), kDamaged);
            !r)
            return r;
        runs = &bytes.runs;
    }
    bytes.zero_runs.emplace(runs->data(), runs->size(), j.diff_total());
    return DecodeResult::ok();
}

// Executes the block's instructions (already checked) into j.block.
DecodeResult assemble_block(BlockJob& j, os::File& old_file, BlockBytes& bytes) {
    OldWindow old(old_file, j);
    ByteReader r(j.instrs.data(), j.instrs.size());
    uint64_t out_at = 0, diff_at = 0, literal_at = 0, oldpos = j.oldpos;
    while (r.left() > 0) {
        Instr in = read_instr(r);
        if (in.diff_len) {
            uint8_t* dst = j.block.bytes.get() + out_at;
            size_t n = static_cast<size_t>(in.diff_len);
            if (bytes.mixed) {
                std::memcpy(dst, bytes.olds.data() + diff_at, n);
                bytes.mixed->apply(dst, n, j.at + out_at);
            } else {
                if (os::Status st = old.read(oldpos, dst, n); !st)
                    return DecodeResult::io(st);
                if (bytes.zero_runs && !bytes.zero_runs->add_to(dst, n))
                    return DecodeResult::corrupt(kDiffsInvalid);
            }
            out_at += in.diff_len;
            diff_at += in.diff_len;
            oldpos += in.diff_len;
        }
        if (in.literal_len) {
            std::memcpy(j.block.bytes.get() + out_at, bytes.literals + literal_at,
                        static_cast<size_t>(in.literal_len));
            out_at += in.literal_len;
            literal_at += in.literal_len;
        }
        oldpos += static_cast<uint64_t>(in.seek);
    }
    return DecodeResult::ok();
}

// A worker's part of a block: its streams decoded and its output assembled.
DecodeResult finish_block(BlockJob& j, os::File& old) {
    BlockBytes bytes;
    if (DecodeResult r = decode_literals(j, bytes); !r)
        return r;
    if (DecodeResult r = decode_differences(j, old, bytes); !r)
        return r;
    if (DecodeResult r = assemble_block(j, old, bytes); !r)
        return r;
    if (bytes.mixed && !bytes.mixed->finished_cleanly())
        return DecodeResult::corrupt("a difference block does not add up");
    if (bytes.zero_runs && !bytes.zero_runs->finished())
        return DecodeResult::corrupt(kDiffsInvalid);
    return DecodeResult::ok();
}

// Blocks are decoded on every core, as many at once as there are cores, while the memory they
// hold together stays within a budget: the 32-bit engine keeps its whole apply under 64 MB.
// Asked once: on Windows the answer is a question to the system (under Wine a server round
// trip), and a patch of thousands of small files asks for every file.
size_t decode_threads() {
    static const size_t cores = std::max<size_t>(1, std::thread::hardware_concurrency());
    return cores;
}

constexpr uint64_t kDecodeBudget = sizeof(void*) >= 8 ? 512ull << 20 : 40ull << 20;
// The context-mixing models' tables when every context has been seen: difference bytes,
// other streams.
constexpr uint64_t kDiffModelBytes = 10u << 20;
constexpr uint64_t kByteModelBytes = 3u << 20;

// What decoding a block holds at its peak: the stored streams, the instructions, the decoded
// literals, the inflated zero-run form of the difference bytes (or the old bytes under them that
// the model reads), the models, the window of the old file and the result.
uint64_t block_memory(const BlockHead& b) {
    uint64_t m = b.stored[0] + b.stored[1] + b.stored[2] + b.raw[0] + b.out_len + kOldWindow;
    if (b.coding[2] != static_cast<uint8_t>(StreamCoding::Raw) &&
        b.coding[2] != static_cast<uint8_t>(StreamCoding::Shared))
        m += b.raw[2] + (mixing(b.coding[2]) ? kByteModelBytes : 0);
    uint64_t diff_total = b.out_len - std::min(b.raw[2], b.out_len);
    if (mixing(b.coding[1]))
        m += diff_total + kDiffModelBytes;
    else if (b.coding[1] == static_cast<uint8_t>(StreamCoding::Deflate))
        m += b.raw[1]; // their zero-run form, inflated
    return m;
}

// Checks that the block's instructions stay within the block, its streams and the old file;
// `oldpos` moves to where the next block's instructions start.
DecodeResult check_instructions(const BlockJob& j, uint64_t old_size, uint64_t& oldpos) {
    const uint64_t out_len = j.out_len, diff_total = j.diff_total(), literal_total = j.raw[2];
    ByteReader r(j.instrs.data(), j.instrs.size());
    uint64_t out_at = 0, diff_at = 0, literal_at = 0;
    while (r.left() > 0) {
        Instr in = read_instr(r);
        if (r.bad())
            return DecodeResult::corrupt("difference instructions are invalid");
        if (in.diff_len > out_len - out_at || in.diff_len > diff_total - diff_at ||
            oldpos > old_size || in.diff_len > old_size - oldpos)
            return DecodeResult::corrupt("a difference instruction reaches outside its data");
        out_at += in.diff_len;
        diff_at += in.diff_len;
        oldpos += in.diff_len;
        if (in.literal_len > out_len - out_at || in.literal_len > literal_total - literal_at)
            return DecodeResult::corrupt("a literal instruction reaches outside its data");
        out_at += in.literal_len;
        literal_at += in.literal_len;
        if (in.seek < 0 ? static_cast<uint64_t>(-(in.seek + 1)) + 1 > oldpos
                        : static_cast<uint64_t>(in.seek) > old_size - oldpos)
            return DecodeResult::corrupt("a seek leaves the old file");
        oldpos += static_cast<uint64_t>(in.seek);
    }
    if (out_at != out_len || diff_at != diff_total || literal_at != literal_total)
        return DecodeResult::corrupt("a difference block does not add up");
    return DecodeResult::ok();
}

// Reads a block's streams and decodes its instructions into `j`, after its head `b`. The
// instructions are decoded and checked here, so that the worker never meets a bound it has
// not been shown to keep, and so the next block knows where it starts. `shared`: the
// instructions, when they come from the instruction store.
DecodeResult read_block(PayloadReader& in, const BlockHead& b, InstrHistory& hist,
                        std::vector<uint8_t>& packed, BlockJob& j, const uint8_t* shared) {
    j.out_len = b.out_len;
    std::copy(b.coding, b.coding + 3, j.coding);
    std::copy(b.raw, b.raw + 3, j.raw);
    if (DecodeResult r =
            read_streams(in, b, {&packed, &j.src[1], &j.src[2]}, "difference data is cut short");
        !r)
        return r;
    uint8_t coding = b.coding[0];
    if (shared) {
        packed.assign(shared, shared + b.raw[0]);
        coding = static_cast<uint8_t>(StreamCoding::Raw);
    }
    return decode_instructions(coding, packed, b.raw[0], hist, j.instrs);
}

// The blocks being decoded, oldest first, and their writing out in order.
class BlockPipeline {
  public:
    BlockPipeline(Sink& out, const ProgressFn& progress, uint64_t budget)
        : out_(out), progress_(progress), budget_(budget) {}
    // On an early return every worker still has to finish before its job goes away.
    ~BlockPipeline() {
        for (auto& p : running_)
            if (p.second.valid())
                p.second.wait();
    }

    // Room for the block `j` (its length and memory known) beside `also` (the instruction
    // history, which grows as blocks are read): spare buffers are let go and the oldest blocks
    // written out until it fits; then it takes a spare buffer when one is large enough
    // (counted whole) or a new one.
    DecodeResult make_room(BlockJob& j, uint64_t also) {
        for (;;) {
            const bool over = holding_ + spare_bytes_ + j.memory + also > budget_;
            if (over && !spare_.empty()) {
                spare_bytes_ -= spare_.back().size;
                spare_.pop_back();
            } else if (!running_.empty() && (over || running_.size() >= parallel_)) {
                if (DecodeResult r = retire(); !r)
                    return r;
            } else {
                break;
            }
        }
        const size_t len = static_cast<size_t>(j.out_len);
        auto fits = std::find_if(spare_.begin(), spare_.end(),
                                 [len](const OutBuffer& b) { return b.size >= len; });
        if (fits != spare_.end()) {
            j.block = std::move(*fits);
            spare_.erase(fits);
            spare_bytes_ -= j.block.size;
            j.memory += j.block.size - len;
        } else {
            j.block.bytes.reset(new uint8_t[len]); // not zeroed: every byte is written
            j.block.size = len;
        }
        holding_ += j.memory;
        return DecodeResult::ok();
    }

    // Finishes the block on a worker thread, or here when it is the last (for most files the
    // only one): a helper thread would only be waited for, and starting one costs more than a
    // small file's whole decoding on systems where a thread start is expensive (Wine: a dozen
    // server requests).
    void start(std::unique_ptr<BlockJob> j, os::File& old, bool last) {
        BlockJob* jp = j.get();
        std::future<void> fut;
        if (parallel_ > 1 && !last) {
            try {
                fut = std::async(std::launch::async,
                                 [jp, &old] { jp->result = finish_block(*jp, old); });
            } catch (const std::system_error&) {
                // No thread to be had: this block is decoded here instead.
            }
        }
        if (!fut.valid())
            jp->result = finish_block(*jp, old);
        running_.emplace_back(std::move(j), std::move(fut));
    }

    // Writes out every block still running.
    DecodeResult finish() {
        while (!running_.empty()) {
            if (DecodeResult r = retire(); !r)
                return r;
        }
        return DecodeResult::ok();
    }

  private:
    // Waits for the oldest block and writes it out.
    DecodeResult retire() {
        auto& [job, fut] = running_.front();
        if (fut.valid())
            fut.get();
        std::unique_ptr<BlockJob> j = std::move(job);
        running_.pop_front();
        holding_ -= j->memory;
        if (!j->result)
            return j->result;
        if (os::Status st = out_.write(j->block.bytes.get(), static_cast<size_t>(j->out_len)); !st)
            return DecodeResult::io(st);
        if (spare_.size() < parallel_) {
            spare_bytes_ += j->block.size;
            spare_.push_back(std::move(j->block));
        }
        produced_ += j->out_len;
        progress_(produced_);
        return DecodeResult::ok();
    }

    Sink& out_;
    const ProgressFn& progress_;
    std::deque<std::pair<std::unique_ptr<BlockJob>, std::future<void>>> running_;
    const size_t parallel_ = decode_threads();
    const uint64_t budget_;        // for the blocks in flight and the spare buffers
    uint64_t holding_ = 0;         // memory of the blocks in flight
    std::vector<OutBuffer> spare_; // buffers of blocks written out, for the next ones
    uint64_t spare_bytes_ = 0;
    uint64_t produced_ = 0; // written to the sink
};

// At most what an instruction history holds: its instructions and its table (at most half
// full, grown fourfold at a time).
uint64_t history_memory(const InstrHistory& h) {
    return h.size() * (sizeof(Instr) + 8 * sizeof(uint32_t));
}

// A stream of a block that comes from a store (`coding` 5) takes the next `raw` bytes of the
// entry's share of it (`taken` so far) into `out`; only an entry that has a share may have
// such a block. `store`: the store's name in the message.
DecodeResult take_shared(const Entry::Share& share, uint64_t& taken, uint8_t coding, uint64_t& raw,
                         const uint8_t*& out, const char* store) {
    out = nullptr;
    if (coding != static_cast<uint8_t>(StreamCoding::Shared))
        return DecodeResult::ok();
    if (!share.store || share.length == 0)
        return DecodeResult::corrupt("a difference block uses an unknown stream coding");
    if (raw == kRestOfShare)
        raw = share.length - taken;
    if (raw > share.length - taken)
        return DecodeResult::corrupt(std::string("a difference does not use its share of the ") +
                                     store);
    out = share.store->data() + share.offset + taken;
    taken += raw;
    return DecodeResult::ok();
}

} // namespace

DecodeResult decode_delta(const Entry& e, os::File& patch, os::File& old, uint64_t old_size,
                          Sink& out, const ProgressFn& progress, uint64_t held) {
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    BlockPipeline pipeline(out, progress, kDecodeBudget - std::min(held, kDecodeBudget));
    InstrHistory hist;
    if (e.ref.present) {
        if (DecodeResult r = load_reference(e.ref, patch, hist); !r)
            return r;
    }
    hist.start_own();
    std::vector<uint8_t> packed;
    uint64_t read_to = 0;   // covered by the blocks read so far
    uint64_t oldpos = 0;    // where the next block's instructions start in the old file
    uint64_t shared_at = 0; // literals taken from the entry's share of the store so far
    uint64_t instrs_at = 0; // instructions taken from its share of the instruction store
    while (read_to < e.new_size) {
        auto j = std::make_unique<BlockJob>();
        BlockHead b;
        if (DecodeResult r = read_block_head(in, e.new_size - read_to, b); !r)
            return r;
        const uint8_t* shared_instrs = nullptr;
        if (DecodeResult r = take_shared(e.instr_share, instrs_at, b.coding[0], b.raw[0],
                                         shared_instrs, "instruction store");
            !r)
            return r;
        j->memory = block_memory(b);
        j->out_len = b.out_len;
        if (DecodeResult r = pipeline.make_room(*j, history_memory(hist)); !r)
            return r;
        if (DecodeResult r = read_block(in, b, hist, packed, *j, shared_instrs); !r)
            return r;
        j->at = read_to;
        j->oldpos = oldpos;
        if (DecodeResult r = check_instructions(*j, old_size, oldpos); !r)
            return r;
        if (DecodeResult r = take_shared(e.share, shared_at, j->coding[2], j->raw[2], j->shared,
                                         "literal store");
            !r)
            return r;
        read_to += j->out_len;
        pipeline.start(std::move(j), old, read_to >= e.new_size);
    }
    if (shared_at != e.share.length)
        return DecodeResult::corrupt("a difference does not use its share of the literal store");
    if (instrs_at != e.instr_share.length)
        return DecodeResult::corrupt(
            "a difference does not use its share of the instruction store");
    if (in.remaining() != 0) {
        // Checked before the blocks still running are written, as before.
        return DecodeResult::corrupt("difference data has trailing bytes");
    }
    return pipeline.finish();
}

} // namespace kv
