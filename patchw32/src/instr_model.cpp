#include "instr_model.h"

#include "range_coder.h"

#include <algorithm>
#include <memory>
#include <type_traits>

namespace kv {

InstrHistory::InstrHistory() = default;

namespace {

inline uint64_t pair_hash(const Instr* a, const Instr* b) {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    for (const Instr* p : {a, b}) {
        uint64_t diff_len = p ? p->diff_len : ~0ull, literal_len = p ? p->literal_len : ~0ull;
        h = (h ^ diff_len) * 0xff51afd7ed558ccdull;
        h = (h ^ literal_len) * 0xc4ceb9fe1a85ec53ull;
    }
    return h >> 32;
}

inline bool same_lengths(const Instr& a, const Instr& b) {
    return a.diff_len == b.diff_len && a.literal_len == b.literal_len;
}

// Missing instructions (before the history's start) are equal only to each other.
inline bool same_or_both_missing(const Instr* a, const Instr* b) {
    return a ? b && same_lengths(*a, *b) : !b;
}

} // namespace

// The slot of the pair (a, b) = the two instructions before some index: the one that holds an
// index with the same pair before it, or an empty one. The table is never more than half full.
uint32_t& InstrHistory::slot(const Instr* a, const Instr* b) {
    size_t mask = table_.size() - 1;
    for (size_t i = static_cast<size_t>(pair_hash(a, b)) & mask;; i = (i + 1) & mask) {
        uint32_t t = table_[i];
        if (t == 0)
            return table_[i];
        size_t j = t - 1;
        if (same_or_both_missing(j >= 2 ? &v_[j - 2] : nullptr, a) &&
            same_or_both_missing(j >= 1 ? &v_[j - 1] : nullptr, b))
            return table_[i];
    }
}

void InstrHistory::add(const Instr& i) {
    if (v_.size() >= kMax)
        return;
    size_t n = v_.size();
    if ((n + 1) * 2 > table_.size()) {
        // Grown as the history grows, so that short histories stay cheap; re-made in order,
        // each pair keeps its latest index.
        table_.assign(std::max<size_t>(256, table_.size() * 4), 0);
        for (size_t j = 0; j < n; ++j)
            slot(j >= 2 ? &v_[j - 2] : nullptr, j >= 1 ? &v_[j - 1] : nullptr) =
                static_cast<uint32_t>(j + 1);
    }
    slot(n >= 2 ? &v_[n - 2] : nullptr, n >= 1 ? &v_[n - 1] : nullptr) =
        static_cast<uint32_t>(n + 1);
    v_.push_back(i);
}

namespace {

constexpr int64_t kScaled = int64_t{1} << 40; // larger values are not scaled

inline int64_t mag(int64_t v) {
    return v < 0 ? -v : v;
}

inline int64_t scaled(int64_t p, int64_t q16) {
    return p * q16 / 65536;
}

} // namespace

int64_t Scaler::guess(int64_t p) const {
    return mag(p) < kScaled && err_scaled < err_plain ? scaled(p, q16) : p;
}

void Scaler::learn(int64_t p, int64_t actual) {
    if (mag(p) >= kScaled || mag(actual) >= kScaled)
        return;
    err_plain = (3 * err_plain + mag(actual - p)) / 4;
    err_scaled = (3 * err_scaled + mag(actual - scaled(p, q16))) / 4;
    if (mag(p) >= 64 && (p > 0) == (actual > 0))
        q16 = std::clamp<int64_t>(actual * 65536 / p, 1 << 15, 1 << 17);
}

void InstrHistory::push(const Instr& i) {
    bool have = cursor < v_.size();
    bool hit = have && same_lengths(i, v_[cursor]);
    if (have) {
        diff_len_scale.learn(static_cast<int64_t>(v_[cursor].diff_len),
                             static_cast<int64_t>(i.diff_len));
        seek_scale.learn(v_[cursor].seek, i.seek);
    }
    add(i);
    if (hit) {
        ++cursor;
        ++run;
    } else {
        size_t j = follow();
        cursor = j != npos ? j : have ? cursor + 1 : npos;
        run = 0;
    }
}

void InstrHistory::start_own() {
    own_ = v_.size();
    cursor = v_.empty() ? npos : 0;
    run = 0;
}

size_t InstrHistory::follow() {
    size_t n = v_.size();
    if (table_.empty())
        return npos;
    uint32_t t = slot(n >= 2 ? &v_[n - 2] : nullptr, n >= 1 ? &v_[n - 1] : nullptr);
    return t == 0 ? npos : t - 1;
}

namespace {

// Each field as an adaptive Elias-gamma code: the bit length of value + 1 in unary, then the
// bits below its top one, the first twelve of them modelled, the rest at even odds.
class InstrModel {
  public:
    enum Field {
        kDiffLen = 0,
        kLiteralLen = 1,
        kSeek = 2,
        kSeekDelta = 3,
        kDiffLenDelta = 4,
        kFields = 5
    };
    InstrModel() {
        std::fill(&hit_[0][0], &hit_[0][0] + sizeof hit_ / 2, static_cast<uint16_t>(32768));
        std::fill(&seek_same_[0][0], &seek_same_[0][0] + 32, static_cast<uint16_t>(32768));
        std::fill(&literal_same_[0], &literal_same_[0] + 2, static_cast<uint16_t>(32768));
        std::fill(&zero_[0], &zero_[0] + kFields, static_cast<uint16_t>(32768));
        std::fill(&sign_[0], &sign_[0] + kFields, static_cast<uint16_t>(32768));
        std::fill(&len_[0][0], &len_[0][0] + sizeof len_ / 2, static_cast<uint16_t>(32768));
        std::fill(&mant_[0][0][0], &mant_[0][0][0] + sizeof mant_ / 2,
                  static_cast<uint16_t>(32768));
    }

    // Codes (encoder: `in` given) or decodes one instruction against the history's prediction
    // and adds it to the history. False when a decoded value is impossible.
    template <typename Coder> bool code(Coder& c, InstrHistory& h, Instr& ins) {
        constexpr uint64_t kMaxLen = 4u << 20;
        const bool have = h.cursor < h.size();
        const Instr pred = have ? h[h.cursor] : Instr{};
        const int r = std::min(h.run, 15);
        if (!have) {
            if (!gamma(c, kDiffLen, ins.diff_len) || !gamma(c, kLiteralLen, ins.literal_len) ||
                ins.diff_len > kMaxLen || ins.literal_len > kMaxLen)
                return false;
            uint64_t s = static_cast<uint64_t>(ins.seek);
            if (!signed_value(c, kSeek, s, true))
                return false;
            ins.seek = static_cast<int64_t>(s);
        } else {
            int from_ref = h.cursor < h.own_start() ? 1 : 0;
            int hit = bitc(c, hit_[from_ref][r], same_lengths(ins, pred));
            if (hit) {
                ins.diff_len = pred.diff_len;
                ins.literal_len = pred.literal_len;
            } else {
                if (bitc(c, literal_same_[from_ref], ins.literal_len == pred.literal_len)) {
                    ins.literal_len = pred.literal_len;
                } else if (!gamma(c, kLiteralLen, ins.literal_len) || ins.literal_len > kMaxLen) {
                    return false;
                }
                // The difference length against its counterpart, perhaps scaled.
                int64_t g = h.diff_len_scale.guess(static_cast<int64_t>(pred.diff_len));
                uint64_t delta = static_cast<uint64_t>(ins.diff_len) - static_cast<uint64_t>(g);
                if (!signed_value(c, kDiffLenDelta, delta, true))
                    return false;
                ins.diff_len = static_cast<uint64_t>(g) + delta;
                if (ins.diff_len > kMaxLen)
                    return false;
            }
            if (bitc(c, seek_same_[hit][r], ins.seek == pred.seek)) {
                ins.seek = pred.seek;
            } else {
                int64_t g = h.seek_scale.guess(pred.seek);
                uint64_t delta = static_cast<uint64_t>(ins.seek) - static_cast<uint64_t>(g);
                if (!signed_value(c, kSeekDelta, delta, true))
                    return false;
                ins.seek = static_cast<int64_t>(static_cast<uint64_t>(g) + delta);
            }
        }
        if (ins.seek > kSeekLimit || ins.seek < -kSeekLimit)
            return false;
        h.push(ins);
        return true;
    }

  private:
    static constexpr int64_t kSeekLimit = int64_t{1} << 61;

    template <typename Coder> int bitc(Coder& c, uint16_t& p, int bit) {
        if constexpr (std::is_same_v<Coder, RangeEncoder>)
            c.bit(bit, p12(p));
        else
            bit = c.bit(p12(p));
        adapt_n(p, bit, 14);
        return bit;
    }
    template <typename Coder> int even(Coder& c, int bit) {
        if constexpr (std::is_same_v<Coder, RangeEncoder>)
            c.bit(bit, 2048);
        else
            bit = c.bit(2048);
        return bit;
    }
    // v >= 0, at most 2^62.
    template <typename Coder> bool gamma(Coder& c, int f, uint64_t& v) {
        constexpr bool enc = std::is_same_v<Coder, RangeEncoder>;
        uint64_t u = enc ? v + 1 : 0;
        int n = 1;
        if constexpr (enc) {
            while ((u >> n) != 0)
                ++n;
            for (int k = 1; k < n; ++k)
                bitc(c, len_[f][k], 1);
            if (n < 63)
                bitc(c, len_[f][n], 0);
        } else {
            while (n < 63 && bitc(c, len_[f][n], 0))
                ++n;
        }
        uint64_t val = 1;
        for (int i = n - 2, k = 0; i >= 0; --i, ++k) {
            int bit = enc ? static_cast<int>((u >> i) & 1) : 0;
            bit = k < 12 ? bitc(c, mant_[f][n][k], bit) : even(c, bit);
            val = (val << 1) | static_cast<uint64_t>(bit);
        }
        v = val - 1;
        return true;
    }
    // A signed value (two's complement in v): zero or not (when `zero_possible`), sign,
    // magnitude - 1.
    template <typename Coder> bool signed_value(Coder& c, int f, uint64_t& v, bool zero_possible) {
        constexpr bool enc = std::is_same_v<Coder, RangeEncoder>;
        int64_t s = static_cast<int64_t>(v);
        if (zero_possible && bitc(c, zero_[f], s == 0)) {
            v = 0;
            return true;
        }
        int neg = bitc(c, sign_[f], s < 0);
        uint64_t mag = enc ? (s < 0 ? 0 - v : v) - 1 : 0;
        if (!gamma(c, f, mag) || mag >= (uint64_t{1} << 62))
            return false;
        v = neg ? 0 - (mag + 1) : mag + 1;
        return true;
    }

    // That both lengths are as predicted, by whether the prediction is the referred entry's
    // and how many predictions in a row were right; that the seek is, by whether the lengths
    // were and that run; that the literal length is when both were not, by the first.
    uint16_t hit_[2][16];
    uint16_t seek_same_[2][16];
    uint16_t literal_same_[2];
    uint16_t zero_[kFields];
    uint16_t sign_[kFields];
    uint16_t len_[kFields][64];
    uint16_t mant_[kFields][64][12];
};

} // namespace

std::vector<uint8_t> instr_encode(const std::vector<uint8_t>& raw, InstrHistory& h) {
    std::vector<uint8_t> out;
    RangeEncoder e(out);
    auto m = std::make_unique<InstrModel>();
    ByteReader r(raw.data(), raw.size());
    while (r.left() > 0) {
        Instr ins = read_instr(r);
        m->code(e, h, ins);
    }
    e.flush();
    return out;
}

// The instruction store: one coder and one model for every entry, a history per entry.
std::vector<uint8_t> instr_encode_entries(const std::vector<uint8_t>& raw,
                                          const std::vector<uint64_t>& lengths) {
    std::vector<uint8_t> out;
    RangeEncoder e(out);
    auto m = std::make_unique<InstrModel>();
    size_t at = 0;
    for (uint64_t length : lengths) {
        auto h = std::make_unique<InstrHistory>();
        h->start_own();
        ByteReader r(raw.data() + at, static_cast<size_t>(length));
        at += static_cast<size_t>(length);
        while (r.left() > 0) {
            Instr ins = read_instr(r);
            m->code(e, *h, ins);
        }
    }
    e.flush();
    return out;
}

DecodeResult instr_decode_entries(const uint8_t* in, size_t in_len,
                                  const std::vector<uint64_t>& lengths, std::vector<uint8_t>& raw,
                                  const char* damaged) {
    RangeDecoder d(in, in_len);
    auto m = std::make_unique<InstrModel>();
    raw.clear();
    for (uint64_t length : lengths) {
        auto h = std::make_unique<InstrHistory>();
        h->start_own();
        const size_t end = raw.size() + static_cast<size_t>(length);
        while (raw.size() < end) {
            Instr ins;
            if (!m->code(d, *h, ins) || d.overrun())
                return DecodeResult::corrupt(damaged);
            put_instr(raw, ins);
        }
        if (raw.size() != end)
            return DecodeResult::corrupt(damaged);
    }
    return d.all_used() ? DecodeResult::ok() : DecodeResult::corrupt(damaged);
}

DecodeResult instr_decode(const uint8_t* in, size_t in_len, size_t raw_len, InstrHistory& h,
                          std::vector<uint8_t>& raw, const char* damaged) {
    raw.clear();
    raw.reserve(raw_len);
    RangeDecoder d(in, in_len);
    auto m = std::make_unique<InstrModel>();
    while (raw.size() < raw_len) {
        Instr ins;
        if (!m->code(d, h, ins) || d.overrun())
            return DecodeResult::corrupt(damaged);
        put_instr(raw, ins);
    }
    return raw.size() == raw_len && d.all_used() ? DecodeResult::ok()
                                                 : DecodeResult::corrupt(damaged);
}

} // namespace kv
