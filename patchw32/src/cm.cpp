#include "cm.h"

#include "bytes.h"
#include "range_coder.h"

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

// ---------------------------------------------------------------- models

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
            uint16_t& p0 = r0[k];
            uint16_t& p1 = r1[k];
            uint16_t& p2 = r2[k];
            int st[3] = {stretch(p12(p0)), stretch(p12(p1)), stretch(p12(p2))};
            int p = mixer_.mix(st, 7 - i);
            int bit;
            if constexpr (std::is_same_v<Coder, RangeEncoder>) {
                bit = (byte_or_minus1 >> i) & 1;
                c.bit(bit, p);
            } else {
                bit = c.bit(p);
            }
            mixer_.update(bit);
            adapt_n(p0, bit, 15);
            adapt_n(p1, bit, 14);
            adapt_n(p2, bit, 14);
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
    // The old bytes under every difference byte of the block (a difference byte may look at
    // the old bytes after it as well as before), and the index of the one being coded.
    const uint8_t* olds = nullptr;
    size_t olds_len = 0, old_index = 0;
    Mixer<5> mixer1{8 * 2};
    Mixer<4 + kHashed> mixer2{8 * 4};
    Apm apm{kRow * 8};
    int last_run_bucket = 0;
    uint8_t prev = 0;
    uint64_t hist = 0; // the last eight difference bytes, zeros included, newest lowest

    uint32_t old_hist = 0; // the old bytes under the last four difference bytes, newest lowest
    void push_zeros(uint64_t n) { hist = n >= 8 ? 0 : hist << (8 * n); }
    void push(uint8_t b) { hist = (hist << 8) | b; }
    void push_old(uint8_t o) { old_hist = (old_hist << 8) | o; }
    std::vector<uint8_t> out;
    RangeEncoder enc{out};
    std::unique_ptr<RangeDecoder> dec;

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

    // The context rows and hashed slots a difference byte is predicted from.
    struct ByteContexts {
        uint16_t* by_old;
        uint16_t* by_prev;
        uint16_t* by_run;
        uint16_t* by_d8;
        uint16_t* by_pair = nullptr; // first model
        // Second model: the carry out of the previous byte, and the hashed contexts with
        // their slots for the nibble being coded.
        uint32_t carry = 0;
        uint32_t hash[kHashed] = {};
        uint16_t* slots[kHashed] = {};
    };

    // The contexts of a difference byte added to `old` at new-file position `pos`.
    template <bool Second> ByteContexts contexts(uint8_t old, uint64_t pos) {
        const size_t phase = static_cast<size_t>(pos & 7);
        const size_t adj = (hist & 0xFF) != 0; // the previous byte differs too
        ByteContexts cx{by_old.row((phase << 8) | old),
                        by_prev.row((phase << 9) | (adj << 8) | prev),
                        by_run.row(static_cast<size_t>(last_run_bucket)),
                        by_d8.row((phase << 8) | ((hist >> 56) & 0xFF))};
        if constexpr (!Second) {
            uint32_t pair =
                (static_cast<uint32_t>(old) | (static_cast<uint32_t>(hist & 0xFFFF) << 8) |
                 (static_cast<uint32_t>(phase) << 24)) *
                2654435761u;
            cx.by_pair = by_pair.row(static_cast<size_t>(pair >> 20));
        } else {
            // Displacements that move by a constant: the next byte's difference is that
            // constant's byte plus the carry out of the byte before.
            cx.carry = (old_hist & 0xFF) + (hist & 0xFF) > 0xFF;
            // A 32-bit displacement starting here or one byte back: the place it points to
            // decides by how much it moves.
            auto at = [&](size_t k) -> uint32_t { return k < olds_len ? olds[k] : 0; };
            uint32_t ahead =
                at(old_index + 1) | (at(old_index + 2) << 8) | (at(old_index + 3) << 16);
            uint32_t disp0 = old | (ahead << 8);
            uint32_t disp1 = (old_hist & 0xFF) | (static_cast<uint32_t>(old) << 8) | (ahead << 16);
            uint32_t p32 = static_cast<uint32_t>(pos);
            cx.hash[0] =
                ((cx.carry << 16) | static_cast<uint32_t>(hist & 0xFFFF)) * 3266489917u + 1;
            cx.hash[1] = ((p32 + 4 + disp0) >> 12) * 2246822519u + 3;
            cx.hash[2] = ((p32 + 3 + disp1) >> 12) * 3266489917u + 4;
            for (int t = 0; t < kHashed; ++t)
                cx.slots[t] = hashed[t].slot(cx.hash[t], 0);
        }
        return cx;
    }

    // Codes (Enc: `value`) or decodes one non-zero difference byte, bit by bit from the top:
    // the models' predictions mixed, refined by the secondary estimation, then all updated.
    template <bool Enc, bool Second> uint8_t code_byte(int value, uint8_t old, uint64_t pos) {
        ByteContexts cx = contexts<Second>(old, pos);
        const size_t phase = static_cast<size_t>(pos & 7);
        int hi = 0, local = 1;
        for (int i = 7; i >= 0; --i) {
            size_t k = slot(i, hi, local);
            uint16_t& p_old = cx.by_old[k];
            uint16_t& p_prev = cx.by_prev[k];
            uint16_t& p_run = cx.by_run[k];
            uint16_t& p_d8 = cx.by_d8[k];
            int mixed;
            if constexpr (!Second) {
                int st[5] = {stretch(p12(p_old)), stretch(p12(p_prev)), stretch(p12(p_run)),
                             stretch(p12(cx.by_pair[k])), stretch(p12(p_d8))};
                mixed = mixer1.mix(st, (7 - i) * 2 + (prev != 0));
            } else {
                int st[4 + kHashed] = {stretch(p12(p_old)), stretch(p12(p_prev)),
                                       stretch(p12(p_run)), stretch(p12(p_d8))};
                for (int t = 0; t < kHashed; ++t)
                    st[4 + t] = stretch(p12(cx.slots[t][local]));
                mixed = mixer2.mix(st, (7 - i) * 4 + (prev != 0) * 2 + static_cast<int>(cx.carry));
            }
            int refined = apm.refine(mixed, phase * kRow + k);
            int p = (mixed + 3 * refined) >> 2;
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
            adapt_n(p_old, bit, 14);
            adapt_n(p_prev, bit, 14);
            adapt_n(p_run, bit, 15);
            adapt_n(p_d8, bit, 14);
            if constexpr (!Second) {
                mixer1.update(bit);
                adapt_n(cx.by_pair[k], bit, 14);
            } else {
                mixer2.update(bit);
                for (int t = 0; t < kHashed; ++t)
                    adapt_n(cx.slots[t][local], bit, 14);
            }
            local = (local << 1) | bit;
            if (i == 4) {
                hi = local & 15;
                local = 1;
                if constexpr (Second)
                    for (int t = 0; t < kHashed; ++t)
                        cx.slots[t] = hashed[t].slot(cx.hash[t], 1 + static_cast<uint32_t>(hi));
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

int cm_stretch(int p12) {
    return stretch(p12);
}
int cm_squash(int x) {
    return squash(x);
}

std::vector<uint8_t> cm_encode_bytes(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    RangeEncoder e(out);
    auto m = std::make_unique<ByteModel>();
    for (uint8_t b : in)
        m->code(e, b);
    e.flush();
    return out;
}

DecodeResult cm_decode_bytes(const uint8_t* in, size_t in_len, uint8_t* out, size_t n,
                             const char* damaged) {
    RangeDecoder d(in, in_len);
    auto m = std::make_unique<ByteModel>();
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(m->code(d, -1));
        if (d.overrun())
            return DecodeResult::corrupt(damaged);
    }
    return d.all_used() ? DecodeResult::ok() : DecodeResult::corrupt(damaged);
}

DiffEncoder::DiffEncoder(DiffModelKind kind, const uint8_t* olds, size_t n)
    : m_(std::make_unique<DiffModel>(kind, n)) {
    m_->olds = olds;
    m_->olds_len = n;
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
    m_->old_index = index;
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
    m_->dec = std::make_unique<RangeDecoder>(in, in_len);
    m_->olds = olds;
    m_->olds_len = static_cast<size_t>(total);
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
    m_->old_index = index_++;
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
        m_->old_index = index_++;
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
