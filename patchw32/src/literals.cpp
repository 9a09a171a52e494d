#include "literals.h"

#include "bytes.h"
#include "cm.h"
#include "codec.h"
#include "instr_model.h"
#include "range_coder.h"

#include <algorithm>

namespace kv {

namespace {

DecodeResult refuse(const std::string& why) {
    return DecodeResult::corrupt("The patch is damaged: its literal store " + why + ".");
}
DecodeResult refuse_instructions(const std::string& why) {
    return DecodeResult::corrupt("The patch is damaged: its instruction store " + why + ".");
}

// The store model: the literals of many files, coded bit by bit with the range coder. Each
// bit is predicted from hashed contexts (the last 0, 1, 2, 3, 4 and 6 bytes, and the word being
// written) and from the byte that followed the latest earlier occurrence of the last 6 bytes
// (the repeats that make a store of boilerplate small); the predictions are mixed with
// weights chosen by how long that occurrence has held and which bit of the byte is coded.
// A last stage refines the mixed probability by the partial byte and the byte before it.
// Memory is fixed (about 10 MiB), whatever the store's size.
// The ideas are those of context mixing as published for the PAQ family of compressors
// (M. Mahoney): bitwise prediction from hashed contexts, a match model, logistic mixing and
// an interpolated refinement of the mixed probability; the code and its tuning are our own.
class StoreModel {
    static constexpr int kContexts = 7, kInputs = kContexts + 2, kSets = 32;
    static constexpr int kRowBits = 17, kSeenBits = 18;
    static constexpr uint32_t kMinRepeat = 6;

    static uint32_t hash(uint64_t v, uint32_t salt) {
        v = (v + salt) * 0x9E3779B97F4A7C15ull;
        return static_cast<uint32_t>(v >> 32) ^ static_cast<uint32_t>(v);
    }

    int stretch(int p) const { return stretch_[static_cast<size_t>(p)]; }
    int squash(int x) const {
        return squash_[static_cast<size_t>(std::clamp(x, -2048, 2047) + 2048)];
    }

  public:
    StoreModel()
        : slots_(size_t{16} << kRowBits, 32768), seen_(size_t{1} << kSeenBits, 0),
          weights_(kSets * kInputs, 1 << 14), refined_(size_t{65536} * 33), stretch_(4096),
          squash_(4096) {
        for (int i = 0; i < 4096; ++i) {
            stretch_[static_cast<size_t>(i)] = static_cast<int16_t>(cm_stretch(i));
            squash_[static_cast<size_t>(i)] = static_cast<int16_t>(cm_squash(i - 2048));
        }
        for (size_t c = 0; c < 65536; ++c)
            for (size_t j = 0; j < 33; ++j)
                refined_[c * 33 + j] =
                    static_cast<uint16_t>(squash(static_cast<int>(j) * 128 - 2048) * 16);
    }

    // Codes the byte at `pos` of `text` and returns it (encoding: `byte`; decoding ignores
    // `byte`, and the caller writes the result to text[pos]); text[0 .. pos) is known to both.
    template <typename Coder>
    int code(Coder& c, int byte, const uint8_t* text, [[maybe_unused]] size_t pos) {
        int partial = 1;
        uint16_t* row[kContexts] = {};
        for (int i = 7; i >= 0; --i) {
            // Each context owns a row of 16 probabilities per nibble (its bit tree), found
            // again by hash when the nibble starts: two memory rows per context and byte.
            if (i == 7 || i == 3)
                for (int k = 0; k < kContexts; ++k) {
                    uint32_t x =
                        (ctx_[k] + static_cast<uint32_t>(partial) * 0x2545F491u) * 0x9E3779B1u;
                    row[k] = &slots_[static_cast<size_t>(x >> (32 - kRowBits)) * 16];
                }
            const int done = i >= 4 ? 7 - i : 3 - i; // bits of this nibble already coded
            const int local = (1 << done) | (partial & ((1 << done) - 1));
            int st[kInputs];
            uint16_t* p[kContexts];
            for (int k = 0; k < kContexts; ++k) {
                p[k] = &row[k][local];
                st[k] = stretch(p12(*p[k]));
            }
            // The earlier occurrence's next byte, while this byte's bits so far agree with it.
            int expected =
                len_ > 0 && ((text[ptr_] | 256) >> (i + 1)) == partial ? (text[ptr_] >> i) & 1 : -1;
            uint16_t& sure = sure_[std::min<uint32_t>(len_, 15)];
            int ms = expected < 0 ? 0 : stretch(p12(sure));
            st[kContexts] = expected == 1 ? ms : -ms;
            st[kContexts + 1] = 256;
            int set = (expected < 0 ? 0 : len_ < 8 ? 1 : len_ < 16 ? 2 : 3) * 8 + (7 - i);
            int32_t* w = &weights_[static_cast<size_t>(set) * kInputs];
            int64_t dot = 0;
            for (int k = 0; k < kInputs; ++k)
                dot += static_cast<int64_t>(w[k]) * st[k];
            const int pm = std::clamp(squash(static_cast<int>(dot >> 16)), 1, 4095);
            // The mixed prediction refined by what it turned out to mean after this partial
            // byte and the byte before (33 points along its stretch, interpolated).
            const size_t refine = static_cast<size_t>(partial | (last_ & 0xFF) << 8) * 33;
            const int sv = std::clamp(stretch(pm), -2047, 2047) + 2048;
            const int at = sv >> 7, weight = sv & 127;
            const int pa =
                (refined_[refine + at] * (128 - weight) + refined_[refine + at + 1] * weight) >> 11;
            const int pr = std::clamp((pm + 3 * pa) / 4, 1, 4095);
            const int bit = code_bit(c, (byte >> i) & 1, pr);
            uint16_t& near = refined_[refine + at + (weight >> 6)];
            near = static_cast<uint16_t>(near + ((bit ? 65535 : 0) - near) / 32);
            int err = (bit << 12) - pm;
            for (int k = 0; k < kInputs; ++k)
                w[k] += (st[k] * err) >> 12;
            for (int k = 0; k < kContexts; ++k)
                adapt_n(*p[k], bit, 15);
            if (expected >= 0)
                adapt_n(sure, bit == expected, 15);
            partial = partial * 2 + bit;
        }
        return partial & 255;
    }

    // After the byte at `pos` (now text[pos]): the contexts for the next byte, and the earlier
    // occurrence.
    void learn(const uint8_t* text, size_t pos) {
        const uint8_t b = text[pos];
        last_ = last_ << 8 | b;
        bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                      b == '_' || b >= 128;
        word_ = letter ? (word_ + b + 1) * 0x01000193u : 0;
        const int orders[kContexts - 1] = {1, 2, 3, 4, 6, 0};
        for (int k = 0; k < kContexts - 1; ++k) {
            uint64_t mask = orders[k] == 0 ? 0 : ~0ull >> (64 - 8 * orders[k]);
            ctx_[k] = hash(last_ & mask, static_cast<uint32_t>(k) * 0x10001u);
        }
        ctx_[kContexts - 1] = hash(word_, 0x7777u);
        const size_t known = pos + 1;
        if (len_ > 0 && text[ptr_] == b) {
            ++ptr_;
            len_ = std::min<uint32_t>(len_ + 1, 65535);
        } else {
            len_ = 0;
        }
        if (known < kMinRepeat)
            return;
        uint32_t& seen = seen_[hash(last_ & 0xFFFFFFFFFFFFull, 0x5151u) >> (32 - kSeenBits)];
        if (len_ == 0 && seen > 0) {
            uint32_t n = 0; // how far the occurrence agrees, backwards
            while (n < 32 && n < seen && text[seen - 1 - n] == text[known - 1 - n])
                ++n;
            if (n >= kMinRepeat) {
                ptr_ = seen;
                len_ = n;
            }
        }
        seen = static_cast<uint32_t>(known);
    }

  private:
    std::vector<uint16_t> slots_;           // every context's bit probabilities, hashed
    std::vector<uint32_t> seen_;            // by the hash of 6 bytes: where they last ended
    std::vector<int32_t> weights_;          // per set, one weight per input (16.16)
    std::vector<uint16_t> refined_;         // per byte before and partial byte: 33 probabilities
    std::vector<int16_t> stretch_, squash_; // the byte model's, copied here to be inlined
    uint16_t sure_[16] = {32768, 32768, 32768, 32768, 32768, 32768, 32768, 32768,
                          32768, 32768, 32768, 32768, 32768, 32768, 32768, 32768};
    uint32_t ctx_[kContexts] = {};
    uint64_t last_ = 0;
    uint32_t word_ = 0;
    size_t ptr_ = 0;   // the next byte of the earlier occurrence
    uint32_t len_ = 0; // how long it has agreed (0: none)
};

} // namespace

// How the store's payload is coded: its first byte, then the coded bytes.
enum class StoreCoding : uint8_t { Raw = 0, Deflate = 1, Mixing = 2, StoreModel = 3 };

// The store model over `n` bytes of `text`: the encoder reads them, the decoder writes them.
template <typename Coder> void run_store_model(Coder& c, uint8_t* text, size_t n) {
    auto m = std::make_unique<StoreModel>();
    for (size_t i = 0; i < n; ++i) {
        text[i] = static_cast<uint8_t>(m->code(c, text[i], text, i));
        m->learn(text, i);
    }
}

std::vector<uint8_t> encode_with_store_model(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out, text = in;
    RangeEncoder e(out);
    run_store_model(e, text.data(), text.size());
    e.flush();
    return out;
}

// Damaged data decodes to some bytes first; it is caught when the coded bytes are not used
// exactly (the store's hash is checked after).
DecodeResult decode_with_store_model(const uint8_t* in, size_t in_len, uint8_t* out, size_t n,
                                     const char* damaged) {
    RangeDecoder d(in, in_len);
    run_store_model(d, out, n);
    return d.all_used() ? DecodeResult::ok() : DecodeResult::corrupt(damaged);
}

namespace {

// What a store's section is checked for: the store (literal or instruction), its largest
// size, whether its body holds the store's hash, the share each record sets, and whether a
// length of 0 names an entry's whole new file.
struct ShareKind {
    DecodeResult (*refuse)(const std::string&);
    uint64_t max_size;
    bool hashed;
    Entry::Share Entry::*share;
    bool whole_allowed;
    const char* not_difference;
};

// The records of a store's shares: `count` of them, per entry with a share in directory
// order: varint gap (the entry's index minus the previous record's entry plus one), varint
// length of its share. The shares follow each other from the store's start and fill its
// `size` exactly.
DecodeResult read_share_records(ByteReader& r, uint64_t count, uint64_t size,
                                std::vector<Entry>& entries, const ShareKind& kind) {
    uint64_t next = 0, at = 0;
    for (uint64_t k = 0; k < count; ++k) {
        uint64_t gap = r.varu();
        uint64_t length = r.varu();
        if (r.bad())
            return kind.refuse("is cut short");
        if (next >= entries.size() || gap >= entries.size() - next)
            return kind.refuse("names an entry beyond the directory");
        Entry& e = entries[static_cast<size_t>(next + gap)];
        next += gap + 1;
        if (!e.makes_new() || e.codec != Codec::Delta)
            return kind.refuse(kind.not_difference);
        Entry::Share& share = e.*kind.share;
        // Length 0: the entry's whole new file, and the entry has no payload.
        share.whole = length == 0;
        if (share.whole && (!kind.whole_allowed || e.new_size == 0 || e.payload_size != 0))
            return kind.refuse("does not add up");
        length = share.whole ? e.new_size : length;
        if (length > size - at)
            return kind.refuse("does not add up");
        share.offset = at;
        share.length = length;
        at += length;
    }
    if (at != size)
        return kind.refuse("does not add up");
    if (r.left() != 0)
        return kind.refuse("has trailing bytes");
    return DecodeResult::ok();
}

// A store's section body: varint store size (1 .. the kind's largest), varint payload offset,
// varint payload size, the 16-byte XXH3-128 of the store (when the kind is hashed), varint
// count (1 .. entries), then the records of the shares.
DecodeResult read_store_section(const uint8_t* body, size_t size, std::vector<Entry>& entries,
                                LiteralStoreRef& store, const ShareKind& kind) {
    ByteReader r(body, size);
    store.size = r.varu();
    store.offset = r.varu();
    store.stored = r.varu();
    const uint8_t* h = kind.hashed ? r.take(16) : nullptr;
    uint64_t count = r.varu();
    if (r.bad())
        return kind.refuse("is cut short");
    if (store.size == 0 || store.size > kind.max_size)
        return kind.refuse("has an impossible size");
    if (count == 0 || count > entries.size())
        return kind.refuse("has an impossible count");
    if (h)
        std::copy(h, h + 16, store.hash.b);
    return read_share_records(r, count, store.size, entries, kind);
}

} // namespace

DecodeResult read_literal_shares(const uint8_t* body, size_t size, std::vector<Entry>& entries,
                                 LiteralStoreRef& store) {
    static constexpr ShareKind kLiterals = {
        refuse, kMaxLiteralStore,
        true,   &Entry::share,
        true,   "gives literals to an entry that is not a difference"};
    return read_store_section(body, size, entries, store, kLiterals);
}

// Each share at least 1 byte, for an entry with a payload (whose blocks take it).
DecodeResult read_instruction_shares(const uint8_t* body, size_t size, std::vector<Entry>& entries,
                                     LiteralStoreRef& store) {
    static constexpr ShareKind kInstructions = {
        refuse_instructions,
        kMaxInstructionStore,
        false,
        &Entry::instr_share,
        false,
        "gives instructions to an entry that is not a difference"};
    if (DecodeResult d = read_store_section(body, size, entries, store, kInstructions); !d)
        return d;
    for (const Entry& e : entries)
        if (e.instr_share.length > 0 && (e.payload_size == 0 || e.share.whole))
            return refuse_instructions("does not add up");
    return DecodeResult::ok();
}

namespace {

// Reads a store's payload (`ref`, at most `max_stored` bytes) from the patch, checked to lie
// among the payloads (before `payload_end`).
DecodeResult read_store_payload(Patch& p, const LiteralStoreRef& ref, uint64_t payload_end,
                                uint64_t max_stored, DecodeResult (*refuse)(const std::string&),
                                std::vector<uint8_t>& coded) {
    if (ref.offset < kHeaderSize || ref.offset > payload_end ||
        ref.stored > payload_end - ref.offset)
        return refuse("lies outside the file");
    if (ref.stored < 2 || ref.stored > max_stored)
        return refuse("has an impossible size");
    coded.resize(static_cast<size_t>(ref.stored));
    if (os::Status s = p.file.read_exact_at(ref.offset, coded.data(), coded.size()); !s)
        return DecodeResult::io(s, "Cannot read the patch file: " + s.text + ".");
    return DecodeResult::ok();
}

// How the instruction store's payload is coded: its first byte.
constexpr uint8_t kInstructionModel = 1;

} // namespace

DecodeResult load_literal_store(Patch& p, uint64_t payload_end) {
    const LiteralStoreRef& ref = p.store;
    std::vector<uint8_t> coded;
    if (DecodeResult r =
            read_store_payload(p, ref, payload_end, kMaxStoredLiteralStore, refuse, coded);
        !r)
        return r;
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(ref.size));
    const uint8_t* body = coded.data() + 1;
    const size_t body_len = coded.size() - 1;
    const char* damaged = "The patch is damaged: its literal store cannot be decoded.";
    DecodeResult r;
    switch (static_cast<StoreCoding>(coded[0])) {
    case StoreCoding::Raw:
        if (body_len != bytes->size())
            return DecodeResult::corrupt(damaged);
        std::copy(body, body + body_len, bytes->begin());
        break;
    case StoreCoding::Deflate:
        r = inflate_exact(body, body_len, bytes->data(), bytes->size(), damaged);
        break;
    case StoreCoding::Mixing:
        r = cm_decode_bytes(body, body_len, bytes->data(), bytes->size(), damaged);
        break;
    case StoreCoding::StoreModel:
        r = decode_with_store_model(body, body_len, bytes->data(), bytes->size(), damaged);
        break;
    default:
        return refuse("is coded in an unknown way");
    }
    if (!r)
        return r;
    if (hash128(bytes->data(), bytes->size()) != ref.hash)
        return refuse("does not match its hash");
    std::shared_ptr<const std::vector<uint8_t>> store = std::move(bytes);
    for (Entry& x : p.entries)
        if (x.share.length > 0)
            x.share.store = store;
    return DecodeResult::ok();
}

DecodeResult load_instruction_store(Patch& p, uint64_t payload_end) {
    std::vector<uint8_t> coded;
    if (DecodeResult r = read_store_payload(p, p.instr_store, payload_end,
                                            kMaxStoredInstructionStore, refuse_instructions, coded);
        !r)
        return r;
    if (coded[0] != kInstructionModel)
        return refuse_instructions("is coded in an unknown way");
    std::vector<uint64_t> lengths;
    for (const Entry& e : p.entries)
        if (e.instr_share.length > 0)
            lengths.push_back(e.instr_share.length);
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    bytes->reserve(static_cast<size_t>(p.instr_store.size));
    if (DecodeResult r =
            instr_decode_entries(coded.data() + 1, coded.size() - 1, lengths, *bytes,
                                 "The patch is damaged: its instruction store cannot be decoded.");
        !r)
        return r;
    std::shared_ptr<const std::vector<uint8_t>> store = std::move(bytes);
    for (Entry& x : p.entries)
        if (x.instr_share.length > 0)
            x.instr_share.store = store;
    return DecodeResult::ok();
}

std::vector<uint8_t> encode_instruction_store(const std::vector<uint8_t>& store,
                                              const std::vector<Entry>& entries) {
    std::vector<uint64_t> lengths;
    for (const Entry& e : entries)
        if (e.instr_share.length > 0)
            lengths.push_back(e.instr_share.length);
    std::vector<uint8_t> coded = instr_encode_entries(store, lengths);
    coded.insert(coded.begin(), kInstructionModel);
    return coded;
}

std::vector<uint8_t> encode_literal_store(const std::vector<uint8_t>& store, int level, bool fast,
                                          double bandwidth) {
    // Seconds the player spends on a coding: its bytes downloaded, then decoded (the store
    // model decodes about 1 MB of store per second on the reference machine, the byte
    // model 2 MB of coded bytes, inflating 550 MB of output).
    auto seconds = [&](size_t coded, StoreCoding c) {
        double decode = c == StoreCoding::StoreModel ? store.size() / 1e6
                        : c == StoreCoding::Mixing   ? coded / 2e6
                        : c == StoreCoding::Deflate  ? store.size() / 550e6
                                                     : 0.0;
        return bandwidth > 0 ? coded * 8.0 / bandwidth + decode : static_cast<double>(coded);
    };
    std::vector<uint8_t> best = store, tried;
    StoreCoding coding = StoreCoding::Raw;
    auto consider = [&](StoreCoding c) {
        if (seconds(tried.size(), c) < seconds(best.size(), coding)) {
            best.swap(tried);
            coding = c;
        }
    };
    if (deflate_raw(store, tried, level))
        consider(StoreCoding::Deflate);
    if (!fast) {
        tried = cm_encode_bytes(store);
        consider(StoreCoding::Mixing);
        tried = encode_with_store_model(store);
        consider(StoreCoding::StoreModel);
    }
    best.insert(best.begin(), static_cast<uint8_t>(coding));
    return best;
}

namespace {

// A store's records: per entry with a share in directory order, its gap and its length (0 for
// a whole share).
void put_share_records(std::vector<uint8_t>& body, const std::vector<Entry>& entries,
                       Entry::Share Entry::*field) {
    std::vector<uint8_t> records;
    uint64_t count = 0, next = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry::Share& share = entries[i].*field;
        if (share.length == 0)
            continue;
        ++count;
        put_varu(records, i - next);
        put_varu(records, share.whole ? 0 : share.length);
        next = i + 1;
    }
    put_varu(body, count);
    body.insert(body.end(), records.begin(), records.end());
}

} // namespace

namespace {

// A store's section: its size, where its payload lies, its hash when `hashed`, its records.
std::vector<uint8_t> encode_store_section(const char (&tag)[5], const LiteralStoreRef& store,
                                          bool hashed, const std::vector<Entry>& entries,
                                          Entry::Share Entry::*field) {
    std::vector<uint8_t> body;
    put_varu(body, store.size);
    put_varu(body, store.offset);
    put_varu(body, store.stored);
    if (hashed)
        put_bytes(body, store.hash.b, 16);
    put_share_records(body, entries, field);
    return encode_section(tag, body);
}

} // namespace

std::vector<uint8_t> encode_literals_section(const LiteralStoreRef& store,
                                             const std::vector<Entry>& entries) {
    return encode_store_section("lits", store, true, entries, &Entry::share);
}

std::vector<uint8_t> encode_instructions_section(const LiteralStoreRef& store,
                                                 const std::vector<Entry>& entries) {
    return encode_store_section("inst", store, false, entries, &Entry::instr_share);
}

} // namespace kv
