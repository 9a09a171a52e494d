#include "cm.h"

#include "bytes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace kv {

namespace {

// ---------------------------------------------------------------- logistic helpers

struct Tables {
    int16_t stretch[4096];
    int16_t squash[4096]; // index x + 2048, x in [-2048, 2047]
    Tables() {
        for (int i = 0; i < 4096; ++i) {
            double x = (i - 2048) / 256.0;
            int v = static_cast<int>(4096.0 / (1.0 + std::exp(-x)));
            squash[i] = static_cast<int16_t>(v < 1 ? 1 : v > 4095 ? 4095 : v);
        }
        int pi = 0;
        for (int x = -2047; x <= 2047; ++x) {
            int v = squash[x + 2048];
            for (int j = pi; j <= v; ++j)
                stretch[j] = static_cast<int16_t>(x);
            pi = v + 1;
        }
        for (int j = pi; j < 4096; ++j)
            stretch[j] = 2047;
    }
};
const Tables g_tables; // built once when the module loads
inline const Tables& tables() {
    return g_tables;
}
inline int squash(int x) {
    if (x > 2047)
        x = 2047;
    if (x < -2048)
        x = -2048;
    return tables().squash[x + 2048];
}
inline int stretch(int p) {
    return tables().stretch[p];
}

// ---------------------------------------------------------------- range coder (LZMA style)

class Encoder {
  public:
    explicit Encoder(std::vector<uint8_t>& out) : out_(out) {}
    void bit(int b, int p1) { // p1: probability of a 1 on 0..4095
        uint32_t bound = (range_ >> 12) * static_cast<uint32_t>(p1);
        if (b) {
            range_ = bound;
        } else {
            low_ += bound;
            range_ -= bound;
        }
        while (range_ < (1u << 24)) {
            range_ <<= 8;
            shift_low();
        }
    }
    void flush() {
        for (int i = 0; i < 5; ++i)
            shift_low();
    }

  private:
    void shift_low() {
        if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            uint8_t carry = static_cast<uint8_t>(low_ >> 32);
            uint8_t temp = cache_;
            do {
                out_.push_back(static_cast<uint8_t>(temp + carry));
                temp = 0xFF;
            } while (--cache_size_ != 0);
            cache_ = static_cast<uint8_t>(low_ >> 24);
        }
        ++cache_size_;
        low_ = (low_ & 0x00FFFFFFu) << 8;
    }
    std::vector<uint8_t>& out_;
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    uint8_t cache_ = 0;
    uint64_t cache_size_ = 1;
};

class Decoder {
  public:
    Decoder(const uint8_t* in, size_t n) : p_(in), end_(in + n) {
        for (int i = 0; i < 5; ++i)
            code_ = (code_ << 8) | next();
    }
    int bit(int p1) {
        uint32_t bound = (range_ >> 12) * static_cast<uint32_t>(p1);
        int b;
        if (code_ < bound) {
            range_ = bound;
            b = 1;
        } else {
            code_ -= bound;
            range_ -= bound;
            b = 0;
        }
        while (range_ < (1u << 24)) {
            range_ <<= 8;
            code_ = (code_ << 8) | next();
        }
        return b;
    }
    bool overrun() const { return over_ > 0; }
    bool all_used() const { return p_ == end_ && over_ == 0; }

  private:
    uint32_t next() {
        if (p_ < end_)
            return *p_++;
        ++over_;
        return 0;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    uint32_t code_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    int over_ = 0;
};

// ---------------------------------------------------------------- models

inline void adapt(uint16_t& p, int bit, int rate) {
    if (bit)
        p = static_cast<uint16_t>(p + ((65536 - p) >> rate));
    else
        p = static_cast<uint16_t>(p - (p >> rate));
}
// A probability (12 bits) with a count of how often its context was seen (4 bits): young
// contexts learn quickly (step 1/(n+1.5)), older ones settle at about 1/16.
struct Rates {
    int rec[16];
    Rates() {
        for (int n = 0; n < 16; ++n)
            rec[n] = static_cast<int>(65536.0 / (n + 1.5));
    }
};
const Rates g_rates;
inline void adapt_n(uint16_t& v, int bit, int limit) {
    int n = v & 15;
    int p = v >> 4;
    int target = bit ? 4095 : 0;
    p += ((target - p) * g_rates.rec[n]) / 65536;
    if (n < limit)
        ++n;
    v = static_cast<uint16_t>((p << 4) | n);
}
inline int p12(uint16_t p) {
    int v = p >> 4;
    return v < 1 ? 1 : v > 4095 ? 4095 : v;
}

// Mixes N predictions; one weight set per selector.
template <int N> class Mixer {
  public:
    explicit Mixer(int sets) : w_(static_cast<size_t>(sets) * N, (1 << 16) * 2 / 5) {}
    int mix(const int* st, int set) {
        set_ = set;
        std::memcpy(st_, st, sizeof st_);
        int64_t dot = 0;
        const int32_t* w = &w_[static_cast<size_t>(set) * N];
        for (int i = 0; i < N; ++i)
            dot += static_cast<int64_t>(w[i]) * st[i];
        pr_ = squash(static_cast<int>(dot >> 16));
        return pr_;
    }
    void update(int bit) {
        int err = ((bit << 12) - pr_) * 2;
        int32_t* w = &w_[static_cast<size_t>(set_) * N];
        for (int i = 0; i < N; ++i)
            w[i] += (st_[i] * err) >> 10;
    }

  private:
    std::vector<int32_t> w_;
    int st_[N];
    int set_ = 0;
    int pr_ = 2048;
};

// Each context owns a row of 272 probabilities: 16 for the high nibble's bit tree, then 16
// for each high nibble's low-nibble tree, so that coding one byte touches two short groups
// per model instead of eight scattered entries.
constexpr size_t kRow = 272;
inline size_t slot(int i, int hi, int local) {
    return i >= 4 ? static_cast<size_t>(local)
                  : 16u + static_cast<size_t>(hi) * 16u + static_cast<size_t>(local);
}

// Rows of probabilities made when a context is first seen: a short stream touches few
// contexts and so costs little memory and set-up, which matters with many small blocks.
class RowTable {
  public:
    explicit RowTable(size_t rows) : rows_(rows, nullptr) {}
    uint16_t* row(size_t i) {
        uint16_t*& r = rows_[i];
        if (!r)
            r = fresh();
        return r;
    }

  private:
    static constexpr size_t kChunkRows = 64;
    uint16_t* fresh() {
        if (used_ == kChunkRows || chunks_.empty()) {
            chunks_.emplace_back(new uint16_t[kChunkRows * kRow]);
            used_ = 0;
        }
        uint16_t* r = chunks_.back().get() + used_++ * kRow;
        std::fill(r, r + kRow, static_cast<uint16_t>(32768));
        return r;
    }
    std::vector<uint16_t*> rows_;
    std::vector<std::unique_ptr<uint16_t[]>> chunks_;
    size_t used_ = 0;
};

// Bytes predicted from orders 0, 1 and 2.
class ByteModel {
  public:
    ByteModel() : o0_(kRow, 32768), o1_(256), o2_(4096), mixer_(8) {}
    template <typename Coder> int code(Coder& c, int byte_or_minus1) {
        uint32_t h2 =
            ((static_cast<uint32_t>(c1_) | (static_cast<uint32_t>(c2_) << 8)) * 2654435761u) >> 20;
        uint16_t* r0 = o0_.data();
        uint16_t* r1 = o1_.row(c1_);
        uint16_t* r2 = o2_.row(h2);
        int hi = 0, local = 1;
        for (int i = 7; i >= 0; --i) {
            size_t k = slot(i, hi, local);
            uint16_t& a = r0[k];
            uint16_t& b = r1[k];
            uint16_t& d = r2[k];
            int st[3] = {stretch(p12(a)), stretch(p12(b)), stretch(p12(d))};
            int p = mixer_.mix(st, 7 - i);
            int bit;
            if constexpr (std::is_same_v<Coder, Encoder>) {
                bit = (byte_or_minus1 >> i) & 1;
                c.bit(bit, p);
            } else {
                bit = c.bit(p);
            }
            mixer_.update(bit);
            adapt_n(a, bit, 15);
            adapt_n(b, bit, 14);
            adapt_n(d, bit, 14);
            local = (local << 1) | bit;
            if (i == 4) {
                hi = local & 15;
                local = 1;
            }
        }
        int byte = (hi << 4) | (local & 15);
        c2_ = c1_;
        c1_ = static_cast<uint8_t>(byte);
        return byte;
    }

  private:
    std::vector<uint16_t> o0_;
    RowTable o1_, o2_;
    Mixer<3> mixer_;
    uint8_t c1_ = 0, c2_ = 0;
};

} // namespace

// Hashed contexts: one slot of 16 probabilities per context and nibble (the bit tree of one
// half byte), in a table sized by the length of the stream so that short streams stay cheap.
class SlotTable {
  public:
    explicit SlotTable(size_t stream_len) {
        size_t slots = 1024;
        while (slots < (size_t{1} << 15) && slots * 4 < stream_len)
            slots <<= 1;
        mask_ = slots - 1;
        t_.assign(slots * 16, static_cast<uint16_t>(32768));
    }
    // The slot of context hash `h` for the high nibble (nib 0) or, after it, the low one
    // (nib 1 + the high nibble).
    uint16_t* slot(uint32_t h, uint32_t nib) {
        uint32_t x = (h + nib * 0x9E3779B1u) * 0x85EBCA6Bu;
        x ^= x >> 15;
        return t_.data() + (static_cast<size_t>(x) & mask_) * 16;
    }

  private:
    std::vector<uint16_t> t_;
    size_t mask_ = 0;
};

// Secondary estimation: refines a probability by the context it was made in, interpolating
// between 33 buckets of its stretched value.
class Apm {
  public:
    explicit Apm(size_t contexts) : t_(contexts * 33) {
        for (size_t c = 0; c < contexts; ++c)
            for (int j = 0; j < 33; ++j)
                t_[c * 33 + static_cast<size_t>(j)] =
                    static_cast<uint16_t>(squash((j - 16) * 128) * 16);
    }
    int refine(int p, size_t cx) {
        int s = stretch(p) + 2048; // 0..4095
        int lo = s >> 7, w = s & 127;
        idx_ = cx * 33 + static_cast<size_t>(lo);
        w_ = w;
        int r = (t_[idx_] * (128 - w) + t_[idx_ + 1] * w) >> 11;
        return r < 1 ? 1 : r > 4095 ? 4095 : r;
    }
    void update(int bit) {
        int g = (bit << 16) + (bit << 5) - bit - bit;
        t_[idx_] = static_cast<uint16_t>(t_[idx_] + ((g - t_[idx_]) >> 6));
        t_[idx_ + 1] = static_cast<uint16_t>(t_[idx_ + 1] + ((g - t_[idx_ + 1]) >> 6));
    }

  private:
    std::vector<uint16_t> t_;
    size_t idx_ = 0;
    int w_ = 0;
};

// Difference bytes: lengths of zero runs and the non-zero bytes between them.
struct DiffModel {
    // The first model predicts from the old byte, the previous difference, the zero run
    // before it, the difference eight bytes back and the last two differences with the old
    // byte; the second drops the last and adds the carry out of the previous byte and the
    // places that displacements point to.
    const bool second;
    std::vector<uint16_t> run_unary = std::vector<uint16_t>(16 * 8 * 40, 32768);
    std::vector<uint16_t> run_bits = std::vector<uint16_t>(40 * 40, 32768);
    RowTable by_old{2048};
    RowTable by_prev{4096};
    RowTable by_run{16};
    RowTable by_d8{2048};
    RowTable by_pair{4096}; // first model only
    static constexpr int kHashed = 3;
    SlotTable hashed[kHashed]; // carry, and the targets of displacements at two alignments
    DiffModel(DiffModelKind kind, size_t stream_len)
        : second(kind == DiffModelKind::Second), hashed{SlotTable(second ? stream_len : 0),
                                                        SlotTable(second ? stream_len : 0),
                                                        SlotTable(second ? stream_len : 0)} {}
    uint64_t cur_pos = 0; // position of the next difference byte
    // The old bytes under every difference byte of the block, and the index of the next one:
    // a difference byte may look at the old bytes after it as well as before.
    const uint8_t* oc = nullptr;
    size_t on = 0, oi = 0;
    Mixer<5> mixer1{8 * 2};
    Mixer<4 + kHashed> mixer2{8 * 4};
    Apm apm{kRow * 8};
    int last_run_bucket = 0;
    uint8_t prev = 0;
    uint64_t hist = 0; // the last eight difference bytes, zeros included, newest lowest

    uint32_t ohist = 0; // the old bytes under the last four difference bytes, newest lowest
    void push_zeros(uint64_t n) { hist = n >= 8 ? 0 : hist << (8 * n); }
    void push(uint8_t b) { hist = (hist << 8) | b; }
    void push_old(uint8_t o) { ohist = (ohist << 8) | o; }
    std::vector<uint8_t> out;
    Encoder enc{out};
    std::unique_ptr<Decoder> dec;

    static int bucket(uint64_t v) {
        int b = 0;
        while (v > 0 && b < 15) {
            v >>= 1;
            ++b;
        }
        return b;
    }

    template <bool Enc> uint64_t code_run(uint64_t len) {
        // Elias gamma of len + 1 with adaptive bits.
        uint64_t v = len + 1;
        int nb = 0;
        if constexpr (Enc)
            while ((v >> (nb + 1)) != 0)
                ++nb;
        int k = 0;
        for (;; ++k) {
            uint16_t& p =
                run_unary[(static_cast<size_t>(last_run_bucket) * 8 + (cur_pos & 7)) * 40 +
                          static_cast<size_t>(k < 39 ? k : 39)];
            int bit;
            if constexpr (Enc) {
                bit = k < nb;
                enc.bit(bit, p12(p));
            } else {
                bit = dec->bit(p12(p));
                if (k >= 63)
                    bit = 0;
            }
            adapt(p, bit, 4);
            if (!bit)
                break;
        }
        nb = k;
        uint64_t r = 1;
        for (int i = nb - 1; i >= 0; --i) {
            uint16_t& p = run_bits[static_cast<size_t>(nb < 39 ? nb : 39) * 40 +
                                   static_cast<size_t>(i < 39 ? i : 39)];
            int bit;
            if constexpr (Enc) {
                bit = static_cast<int>((v >> i) & 1);
                enc.bit(bit, p12(p));
            } else {
                bit = dec->bit(p12(p));
            }
            adapt(p, bit, 5);
            r = (r << 1) | static_cast<uint64_t>(bit);
        }
        last_run_bucket = bucket(r - 1);
        return r - 1;
    }

    template <bool Enc, bool Second> uint8_t code_byte(int value, uint8_t old, uint64_t pos) {
        size_t pm = static_cast<size_t>(pos & 7);
        size_t adj = (hist & 0xFF) != 0; // the previous byte differs too
        uint16_t* r_old = by_old.row((pm << 8) | old);
        uint16_t* r_prev = by_prev.row((pm << 9) | (adj << 8) | prev);
        uint16_t* r_run = by_run.row(static_cast<size_t>(last_run_bucket));
        uint16_t* r_d8 = by_d8.row((pm << 8) | ((hist >> 56) & 0xFF));
        uint16_t* r_pair = nullptr;
        uint32_t carry = 0;
        uint32_t hctx[kHashed] = {};
        uint16_t* hs[kHashed] = {};
        if constexpr (!Second) {
            uint32_t pair =
                (static_cast<uint32_t>(old) | (static_cast<uint32_t>(hist & 0xFFFF) << 8) |
                 (static_cast<uint32_t>(pm) << 24)) *
                2654435761u;
            r_pair = by_pair.row(static_cast<size_t>(pair >> 20));
        } else {
            // Displacements that move by a constant: the next byte's difference is that
            // constant's byte plus the carry out of the byte before.
            carry = (ohist & 0xFF) + (hist & 0xFF) > 0xFF;
            // A 32-bit displacement starting here or one byte back: the place it points to
            // decides by how much it moves.
            auto at = [&](size_t k) -> uint32_t { return k < on ? oc[k] : 0; };
            uint32_t ahead = at(oi + 1) | (at(oi + 2) << 8) | (at(oi + 3) << 16);
            uint32_t disp0 = old | (ahead << 8);
            uint32_t disp1 = (ohist & 0xFF) | (static_cast<uint32_t>(old) << 8) | (ahead << 16);
            uint32_t p32 = static_cast<uint32_t>(pos);
            hctx[0] = ((carry << 16) | static_cast<uint32_t>(hist & 0xFFFF)) * 3266489917u + 1;
            hctx[1] = ((p32 + 4 + disp0) >> 12) * 2246822519u + 3;
            hctx[2] = ((p32 + 3 + disp1) >> 12) * 3266489917u + 4;
            for (int t = 0; t < kHashed; ++t)
                hs[t] = hashed[t].slot(hctx[t], 0);
        }
        int hi = 0, local = 1;
        for (int i = 7; i >= 0; --i) {
            size_t k = slot(i, hi, local);
            uint16_t& a = r_old[k];
            uint16_t& b = r_prev[k];
            uint16_t& d = r_run[k];
            uint16_t& e8 = r_d8[k];
            int pm_;
            if constexpr (!Second) {
                int st[5] = {stretch(p12(a)), stretch(p12(b)), stretch(p12(d)),
                             stretch(p12(r_pair[k])), stretch(p12(e8))};
                pm_ = mixer1.mix(st, (7 - i) * 2 + (prev != 0));
            } else {
                int st[4 + kHashed] = {stretch(p12(a)), stretch(p12(b)), stretch(p12(d)),
                                       stretch(p12(e8))};
                for (int t = 0; t < kHashed; ++t)
                    st[4 + t] = stretch(p12(hs[t][local]));
                pm_ = mixer2.mix(st, (7 - i) * 4 + (prev != 0) * 2 + static_cast<int>(carry));
            }
            int pa = apm.refine(pm_, pm * kRow + k);
            int p = (pm_ + 3 * pa) >> 2;
            if (p < 1)
                p = 1;
            int bit;
            if constexpr (Enc) {
                bit = (value >> i) & 1;
                enc.bit(bit, p);
            } else {
                bit = dec->bit(p);
            }
            apm.update(bit);
            adapt_n(a, bit, 14);
            adapt_n(b, bit, 14);
            adapt_n(d, bit, 15);
            adapt_n(e8, bit, 14);
            if constexpr (!Second) {
                mixer1.update(bit);
                adapt_n(r_pair[k], bit, 14);
            } else {
                mixer2.update(bit);
                for (int t = 0; t < kHashed; ++t)
                    adapt_n(hs[t][local], bit, 14);
            }
            local = (local << 1) | bit;
            if (i == 4) {
                hi = local & 15;
                local = 1;
                if constexpr (Second)
                    for (int t = 0; t < kHashed; ++t)
                        hs[t] = hashed[t].slot(hctx[t], 1 + static_cast<uint32_t>(hi));
            }
        }
        prev = static_cast<uint8_t>((hi << 4) | (local & 15));
        push(prev);
        push_old(old);
        return prev;
    }
    template <bool Enc> uint8_t code_byte(int value, uint8_t old, uint64_t pos) {
        return second ? code_byte<Enc, true>(value, old, pos)
                      : code_byte<Enc, false>(value, old, pos);
    }
};

std::vector<uint8_t> cm_encode_bytes(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    Encoder e(out);
    auto m = std::make_unique<ByteModel>();
    for (uint8_t b : in)
        m->code(e, b);
    e.flush();
    return out;
}

bool cm_decode_bytes(const uint8_t* in, size_t in_len, uint8_t* out, size_t n) {
    Decoder d(in, in_len);
    auto m = std::make_unique<ByteModel>();
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(m->code(d, -1));
        if (d.overrun())
            return false;
    }
    return d.all_used();
}

DiffEncoder::DiffEncoder(DiffModelKind kind, const uint8_t* olds, size_t n)
    : m_(std::make_unique<DiffModel>(kind, n)) {
    m_->oc = olds;
    m_->on = n;
}
DiffEncoder::~DiffEncoder() = default;

void DiffEncoder::add(uint8_t diff, uint8_t old, uint64_t pos) {
    size_t index = index_++;
    if (diff == 0) {
        if (run_++ == 0)
            run_start_ = pos;
        m_->push_old(old); // the run's length is coded later, and does not look at these
        return;
    }
    m_->oi = index;
    m_->cur_pos = run_ ? run_start_ : pos;
    m_->code_run<true>(run_);
    m_->push_zeros(run_);
    run_ = 0;
    m_->code_byte<true>(diff, old, pos);
}

std::vector<uint8_t> DiffEncoder::finish() {
    if (run_ > 0) {
        m_->cur_pos = run_start_;
        m_->code_run<true>(run_);
    }
    run_ = 0;
    m_->enc.flush();
    return std::move(m_->out);
}

DiffDecoder::DiffDecoder(DiffModelKind kind, const uint8_t* in, size_t in_len, uint64_t total,
                         const uint8_t* olds)
    : m_(std::make_unique<DiffModel>(kind, static_cast<size_t>(total))), left_(total) {
    m_->dec = std::make_unique<Decoder>(in, in_len);
    m_->oc = olds;
    m_->on = static_cast<size_t>(total);
}
DiffDecoder::~DiffDecoder() = default;

uint8_t DiffDecoder::next(uint8_t old, uint64_t pos) {
    if (left_ == 0) {
        left_ = ~0ull; // marks misuse; finished_cleanly() then fails
        return 0;
    }
    --left_;
    if (need_run_) {
        m_->cur_pos = pos;
        run_ = m_->code_run<false>(0);
        need_run_ = false;
        if (run_ > left_ + 1)
            run_ = left_ + 1; // damaged data: the hash check refuses the result
    }
    if (run_ > 0) {
        --run_;
        m_->push_zeros(1);
        m_->push_old(old);
        ++index_;
        return 0;
    }
    need_run_ = true;
    m_->oi = index_++;
    return m_->code_byte<false>(0, old, pos);
}

void DiffDecoder::apply(uint8_t* dst, size_t n, uint64_t pos) {
    if (n > left_) {
        left_ = ~0ull;
        return;
    }
    while (n > 0) {
        if (need_run_) {
            m_->cur_pos = pos;
            run_ = m_->code_run<false>(0);
            need_run_ = false;
            if (run_ > left_)
                run_ = left_; // damaged data: the hash check refuses the result
        }
        if (run_ > 0) {
            uint64_t k = run_ < n ? run_ : n;
            m_->push_zeros(k);
            for (uint64_t j = k > 4 ? k - 4 : 0; j < k; ++j)
                m_->push_old(dst[j]);
            index_ += static_cast<size_t>(k);
            run_ -= k;
            left_ -= k;
            dst += k;
            pos += k;
            n -= static_cast<size_t>(k);
            continue;
        }
        need_run_ = true;
        m_->oi = index_++;
        *dst = static_cast<uint8_t>(*dst + m_->code_byte<false>(0, *dst, pos));
        ++dst;
        ++pos;
        --n;
        --left_;
    }
}

bool DiffDecoder::finished_cleanly() const {
    return left_ == 0 && !m_->dec->overrun() && m_->dec->all_used();
}

} // namespace kv

// ---------------------------------------------------------------- instructions

namespace kv {

InstrHistory::InstrHistory() = default;

namespace {

inline uint64_t pair_hash(const Instr* a, const Instr* b) {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    for (const Instr* p : {a, b}) {
        uint64_t d = p ? p->d : ~0ull, x = p ? p->x : ~0ull;
        h = (h ^ d) * 0xff51afd7ed558ccdull;
        h = (h ^ x) * 0xc4ceb9fe1a85ec53ull;
    }
    return h >> 32;
}

inline bool same_dx(const Instr& a, const Instr& b) {
    return a.d == b.d && a.x == b.x;
}

// Missing instructions (before the history's start) are equal only to each other.
inline bool same_or_both_missing(const Instr* a, const Instr* b) {
    return a ? b && same_dx(*a, *b) : !b;
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
    bool hit = have && same_dx(i, v_[cursor]);
    if (have) {
        d_scale.learn(static_cast<int64_t>(v_[cursor].d), static_cast<int64_t>(i.d));
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
    enum Field { kD = 0, kX = 1, kSeek = 2, kSeekDelta = 3, kDDelta = 4, kFields = 5 };
    InstrModel() {
        std::fill(&hit_[0][0], &hit_[0][0] + sizeof hit_ / 2, static_cast<uint16_t>(32768));
        std::fill(&same_[0][0], &same_[0][0] + 32, static_cast<uint16_t>(32768));
        std::fill(&xsame_[0], &xsame_[0] + 2, static_cast<uint16_t>(32768));
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
            if (!gamma(c, kD, ins.d) || !gamma(c, kX, ins.x) || ins.d > kMaxLen || ins.x > kMaxLen)
                return false;
            uint64_t s = static_cast<uint64_t>(ins.seek);
            if (!signed_value(c, kSeek, s, true))
                return false;
            ins.seek = static_cast<int64_t>(s);
        } else {
            int from_ref = h.cursor < h.own_start() ? 1 : 0;
            int hit = bitc(c, hit_[from_ref][r], same_dx(ins, pred));
            if (hit) {
                ins.d = pred.d;
                ins.x = pred.x;
            } else {
                if (bitc(c, xsame_[from_ref], ins.x == pred.x)) {
                    ins.x = pred.x;
                } else if (!gamma(c, kX, ins.x) || ins.x > kMaxLen) {
                    return false;
                }
                // The difference length against its counterpart, perhaps scaled.
                int64_t g = h.d_scale.guess(static_cast<int64_t>(pred.d));
                uint64_t delta = static_cast<uint64_t>(ins.d) - static_cast<uint64_t>(g);
                if (!signed_value(c, kDDelta, delta, true))
                    return false;
                ins.d = static_cast<uint64_t>(g) + delta;
                if (ins.d > kMaxLen)
                    return false;
            }
            if (bitc(c, same_[hit][r], ins.seek == pred.seek)) {
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
        if constexpr (std::is_same_v<Coder, Encoder>)
            c.bit(bit, p12(p));
        else
            bit = c.bit(p12(p));
        adapt_n(p, bit, 14);
        return bit;
    }
    template <typename Coder> int even(Coder& c, int bit) {
        if constexpr (std::is_same_v<Coder, Encoder>)
            c.bit(bit, 2048);
        else
            bit = c.bit(2048);
        return bit;
    }
    // v >= 0, at most 2^62.
    template <typename Coder> bool gamma(Coder& c, int f, uint64_t& v) {
        constexpr bool enc = std::is_same_v<Coder, Encoder>;
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
        constexpr bool enc = std::is_same_v<Coder, Encoder>;
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

    uint16_t hit_[2][16];
    uint16_t same_[2][16];
    uint16_t xsame_[2];
    uint16_t zero_[kFields];
    uint16_t sign_[kFields];
    uint16_t len_[kFields][64];
    uint16_t mant_[kFields][64][12];
};

} // namespace

std::vector<uint8_t> instr_encode(const std::vector<uint8_t>& raw, InstrHistory& h) {
    std::vector<uint8_t> out;
    Encoder e(out);
    auto m = std::make_unique<InstrModel>();
    ByteReader r(raw.data(), raw.size());
    while (r.left() > 0) {
        Instr ins = read_instr(r);
        m->code(e, h, ins);
    }
    e.flush();
    return out;
}

bool instr_decode(const uint8_t* in, size_t in_len, size_t raw_len, InstrHistory& h,
                  std::vector<uint8_t>& raw) {
    raw.clear();
    raw.reserve(raw_len);
    Decoder d(in, in_len);
    auto m = std::make_unique<InstrModel>();
    while (raw.size() < raw_len) {
        Instr ins;
        if (!m->code(d, h, ins) || d.overrun())
            return false;
        put_instr(raw, ins);
    }
    return raw.size() == raw_len && d.all_used();
}

} // namespace kv
