// The delta codec's encoder: the matcher aligns the new file with the old one (whole, or a
// window of it per segment, indexed by a suffix array), and the block packer gathers the
// instructions, difference bytes and literal bytes into blocks and codes each stream.
#include "delta.h"

#include "bytes.h"
#include "cm.h"
#include "sais.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kv {

DeltaOptions default_delta_options() {
    DeltaOptions o;
    if (sizeof(void*) >= 8) {
        o.whole_limit = 256ull << 20;
        o.segment = 64ull << 20;
        o.margin = 64ull << 20;
    } else {
        o.whole_limit = 96ull << 20;
        o.segment = 32ull << 20;
        o.margin = 32ull << 20;
    }
    o.sparse_above = 16ull << 20;
    // Positions of the even index are 32-bit.
    o.even_limit = sizeof(void*) >= 8 ? (1ull << 31) - 2 : 0;
    return o;
}

IndexShape index_shape(uint64_t old_size, uint64_t new_size, const DeltaOptions& opt) {
    IndexShape s;
    s.whole = old_size <= opt.whole_limit ||
              (old_size <= opt.even_limit && 3 * old_size <= 4 * new_size + (100ull << 20));
    s.step = s.whole && old_size > opt.sparse_above ? 2 : 1;
    return s;
}

uint64_t index_memory(uint64_t old_size, uint64_t new_size, const DeltaOptions& opt) {
    IndexShape s = index_shape(old_size, new_size, opt);
    if (!s.whole)
        return 5 * (opt.segment + 2 * opt.margin);
    return old_size + 4 * old_size / s.step;
}

namespace {

// Difference bytes are mostly zero: runs of zeros become a 0 byte and the run length - 1 as a
// varint, every other byte stands for itself.
std::vector<uint8_t> zero_runs(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    out.reserve(in.size() / 4 + 16);
    for (size_t i = 0; i < in.size();) {
        if (in[i] != 0) {
            out.push_back(in[i++]);
            continue;
        }
        size_t j = i;
        while (j < in.size() && in[j] == 0)
            ++j;
        out.push_back(0);
        put_varu(out, j - i - 1);
        i = j;
    }
    return out;
}

// Gathers the instructions, difference bytes and literal bytes the matcher sends, and writes
// them out block by block, each stream in the coding that suits it best.
class BlockPacker {
  public:
    BlockPacker(Sink& out, uint64_t total, const DeltaOptions& opt, InstrRefs* refs)
        : out_(out), total_(total), level_(opt.level), fast_(opt.fast_apply),
          bandwidth_(opt.bandwidth), refs_(refs), shared_(opt.shared_literals),
          shared_instrs_(opt.shared_instructions) {
        hist_.start_own();
    }

    // `len` new bytes coded as difference bytes against the old bytes at `old_bytes`, which
    // stand at `old_pos` in the old file.
    void add_diff(const uint8_t* new_bytes, const uint8_t* old_bytes, uint64_t old_pos,
                  uint64_t len) {
        while (len > 0 && st_.ok()) {
            if (open_ && (literal_len_ > 0 || old_pos != cursor_))
                close(static_cast<int64_t>(old_pos - cursor_));
            if (!open_ && old_pos != cursor_) { // a bare seek
                open();
                close(static_cast<int64_t>(old_pos - cursor_));
            }
            if (!open_)
                open();
            uint64_t take = std::min<uint64_t>(len, room());
            size_t base = diff_.size();
            diff_.resize(base + take);
            olds_.insert(olds_.end(), old_bytes, old_bytes + take);
            pieces_.push_back({base, emitted_ + out_len_});
            for (uint64_t i = 0; i < take; ++i) {
                diff_[base + i] = static_cast<uint8_t>(new_bytes[i] - old_bytes[i]);
                coded_ += diff_[base + i] != 0;
            }
            diff_len_ += take;
            out_len_ += take;
            cursor_ = old_pos + take;
            new_bytes += take;
            old_bytes += take;
            old_pos += take;
            len -= take;
            if (block_full()) {
                close(0);
                flush();
            }
        }
    }

    // `len` new bytes sent as literal bytes.
    void add_literals(const uint8_t* new_bytes, uint64_t len) {
        while (len > 0 && st_.ok()) {
            if (!open_)
                open();
            uint64_t take = std::min<uint64_t>(len, room());
            literals_.insert(literals_.end(), new_bytes, new_bytes + take);
            coded_ += take;
            literal_len_ += take;
            out_len_ += take;
            new_bytes += take;
            len -= take;
            if (block_full()) {
                close(0);
                flush();
            }
        }
    }

    // Blocks end after 1 MiB when they carry much to decode (at least one coded byte in 256):
    // models that start afresh fit the data better and the blocks spread over more threads.
    // Blocks that are mostly copies run to 4 MiB, since every block costs a header.
    static constexpr uint64_t kDenseBlock = 1u << 20;
    // Whether the literals go to the literal store of a patch built for size alone.
    bool store_literals() const { return shared_ && bandwidth_ <= 0 && !fast_; }
    bool dense() const { return coded_ * 256 >= out_len_; }
    uint64_t room() const {
        return (out_len_ < kDenseBlock ? kDenseBlock : kDeltaBlockMax) - out_len_;
    }
    bool block_full() const {
        return out_len_ == kDeltaBlockMax || (out_len_ >= kDenseBlock && dense());
    }

    os::Status finish() {
        close(0);
        flush();
        if (refs_ && st_.ok()) {
            const std::vector<Instr>& all = hist_.all();
            refs_->own.assign(all.begin() + static_cast<std::ptrdiff_t>(hist_.own_start()),
                              all.end());
        }
        return st_;
    }

  private:
    void open() {
        open_ = true;
        diff_len_ = literal_len_ = 0;
    }

    void close(int64_t seek) {
        if (!open_)
            return;
        put_instr(instrs_, Instr{diff_len_, literal_len_, seek});
        cursor_ += static_cast<uint64_t>(seek);
        open_ = false;
        if (instrs_.size() + 32 > kDeltaCtrlMax)
            flush();
    }

    // The instructions coded against the history, which gains them. The first block decides
    // which earlier entry, if any, the entry's instructions are predicted from: the one that
    // codes this block smallest, when it beats every coding without a reference.
    std::vector<uint8_t> code_instructions(size_t plain_best) {
        if (decided_)
            return instr_encode(instrs_, hist_);
        decided_ = true;
        std::vector<uint8_t> best = instr_encode(instrs_, hist_);
        size_t bar = std::min(best.size(), plain_best);
        if (!refs_)
            return best;
        if (refs_->fill)
            refs_->fill(*refs_);
        for (const auto& [index, instrs] : refs_->candidates) {
            InstrHistory h;
            for (const Instr& i : *instrs)
                h.add(i);
            h.start_own();
            std::vector<uint8_t> c = instr_encode(instrs_, h);
            // Naming the reference costs the directory a few bytes.
            if (c.size() + 4 <= bar) {
                bar = c.size() + 4;
                best.swap(c);
                hist_ = std::move(h);
                refs_->chosen = index;
            }
        }
        return best;
    }

    // The block's instructions: to the instruction store when the entry uses it and they are
    // few enough (the store's size stays within a quarter of its entries' new bytes), else
    // coded in the block, the smallest way.
    void code_instruction_stream(std::vector<uint8_t>& packed, StreamCoding& coding) {
        if (shared_instrs_ && instrs_.size() * 4 <= out_len_) {
            shared_instrs_->insert(shared_instrs_->end(), instrs_.begin(), instrs_.end());
            ByteReader r(instrs_.data(), instrs_.size());
            while (r.left() > 0)
                hist_.push(read_instr(r));
            decided_ = true; // the decoder's history holds them: no reference from now on
            packed.clear();
            coding = StreamCoding::Shared;
            return;
        }
        pack(instrs_, packed, coding, nullptr, !fast_);
        std::vector<uint8_t> by_history = code_instructions(packed.size());
        if (by_history.size() < packed.size()) {
            packed.swap(by_history);
            coding = StreamCoding::Instructions;
        }
    }

    // Seconds a stream costs the player: its stored bytes downloaded at the publisher's
    // bandwidth, then decoded. Decoding rates measured on the 2-core reference machine with
    // both cores at work: context mixing about 2 MB of coded bytes per second, inflating about
    // 550 MB of output per second; raw streams are only copied.
    double player_seconds(size_t stored, size_t raw, StreamCoding c) const {
        double decode = c == StreamCoding::Mixing || c == StreamCoding::Mixing2 ? stored / 2e6
                        : c == StreamCoding::Deflate                            ? raw / 550e6
                                                                                : 0.0;
        return static_cast<double>(stored) * 8.0 / bandwidth_ + decode;
    }
    // Whether `c` (stored `size`) is the better choice than the current one.
    bool better(size_t size, StreamCoding c, const std::vector<uint8_t>& best, StreamCoding now,
                size_t raw) const {
        if (bandwidth_ <= 0)
            return size < best.size();
        return player_seconds(size, raw, c) < player_seconds(best.size(), raw, now);
    }

    // Picks per stream among raw, deflate and (unless `allow_cm` is false) context mixing: the
    // smallest, or with a bandwidth the one that costs the player least time. `cm_form`: the
    // difference bytes as the second difference model codes them.
    void pack(const std::vector<uint8_t>& raw, std::vector<uint8_t>& best, StreamCoding& coding,
              const std::vector<uint8_t>* cm_form = nullptr, bool allow_cm = true) {
        best = raw;
        coding = StreamCoding::Raw;
        if (raw.empty())
            return;
        std::vector<uint8_t> d;
        if (deflate_raw(raw, d, level_) &&
            better(d.size(), StreamCoding::Deflate, best, coding, raw.size())) {
            best.swap(d);
            coding = StreamCoding::Deflate;
        }
        if (!allow_cm)
            return;
        // Context mixing costs time per byte; on data deflate already shrinks 64 times it
        // cannot gain much in absolute terms.
        if (!cm_form && best.size() * 64 < raw.size())
            return;
        std::vector<uint8_t> c = cm_form ? *cm_form : cm_encode_bytes(raw);
        StreamCoding cc = cm_form ? StreamCoding::Mixing2 : StreamCoding::Mixing;
        if (better(c.size(), cc, best, coding, raw.size())) {
            best.swap(c);
            coding = cc;
        }
    }

    // The block's difference bytes as the second difference model codes them.
    std::vector<uint8_t> model_differences() const {
        DiffEncoder de(DiffModelKind::Second, olds_.data(), olds_.size());
        for (size_t k = 0; k < pieces_.size(); ++k) {
            size_t end = k + 1 < pieces_.size() ? pieces_[k + 1].first : diff_.size();
            uint64_t at = pieces_[k].second;
            for (size_t i = pieces_[k].first; i < end; ++i)
                de.add(diff_[i], olds_[i], at++);
        }
        return de.finish();
    }

    // The compact block head (the decoder also reads the older full one): the codings, the
    // output length (0: all the rest, up to 4 MiB) and the lengths that cannot be inferred.
    std::vector<uint8_t> block_head(const std::vector<uint8_t> (&packed)[3],
                                    const StreamCoding (&coding)[3], const uint64_t (&raw_len)[3],
                                    uint8_t diff_coding) const {
        std::vector<uint8_t> head;
        put_u8(head, 0);
        // Literals from the store are written as 3, which no literal stream uses otherwise.
        unsigned literal_coding =
            coding[2] == StreamCoding::Shared ? 3 : static_cast<unsigned>(coding[2]);
        put_u8(head, static_cast<uint8_t>(static_cast<unsigned>(coding[0]) | diff_coding << 3 |
                                          literal_coding << 6));
        put_varu(head,
                 out_len_ == std::min<uint64_t>(kDeltaBlockMax, total_ - emitted_) ? 0 : out_len_);
        if (coding[0] == StreamCoding::Shared) {
            // From the instruction store: the entry's last block takes the rest of its share.
            if (emitted_ + out_len_ < total_)
                put_varu(head, raw_len[0]);
        } else {
            put_varu(head, raw_len[0]);
            if (coding[0] != StreamCoding::Raw)
                put_varu(head, packed[0].size());
        }
        if (diff_coding == static_cast<uint8_t>(StreamCoding::Raw) ||
            diff_coding == static_cast<uint8_t>(StreamCoding::Deflate))
            put_varu(head, raw_len[1]);
        if (diff_coding != static_cast<uint8_t>(StreamCoding::Raw) &&
            diff_coding != kZeroDifferences)
            put_varu(head, packed[1].size());
        put_varu(head, raw_len[2]);
        if (raw_len[2] > 0 && coding[2] != StreamCoding::Raw && coding[2] != StreamCoding::Shared)
            put_varu(head, packed[2].size());
        return head;
    }

    // Writes the open block: its three streams coded, the head, then the streams.
    void flush() {
        if (out_len_ == 0 || !st_.ok())
            return;
        // A block of exact copies names no difference stream at all.
        const bool zero = coded_ == literals_.size(); // no difference byte is non-zero
        std::vector<uint8_t> runs = zero ? std::vector<uint8_t>() : zero_runs(diff_);
        std::vector<uint8_t> diff_cm;
        if (!fast_ && !zero)
            diff_cm = model_differences();
        std::vector<uint8_t> packed[3];
        StreamCoding coding[3];
        code_instruction_stream(packed[0], coding[0]);
        pack(runs, packed[1], coding[1], &diff_cm, !fast_);
        if (shared_ && !literals_.empty()) {
            shared_->insert(shared_->end(), literals_.begin(), literals_.end());
            coding[2] = StreamCoding::Shared;
        } else {
            pack(literals_, packed[2], coding[2], nullptr, !fast_);
        }
        uint64_t raw_len[3] = {instrs_.size(),
                               coding[1] == StreamCoding::Mixing2 ? diff_.size() : runs.size(),
                               literals_.size()};
        uint8_t diff_coding = zero ? kZeroDifferences : static_cast<uint8_t>(coding[1]);
        std::vector<uint8_t> head = block_head(packed, coding, raw_len, diff_coding);
        st_ = out_.write(head.data(), head.size());
        for (int i = 0; i < 3 && st_.ok(); ++i)
            if (!packed[i].empty())
                st_ = out_.write(packed[i].data(), packed[i].size());
        instrs_.clear();
        diff_.clear();
        olds_.clear();
        pieces_.clear();
        literals_.clear();
        emitted_ += out_len_;
        out_len_ = 0;
        coded_ = 0;
        if (on_block && *on_block)
            (*on_block)(emitted_);
    }

  public:
    const std::function<void(uint64_t)>* on_block = nullptr; // after every block written

  private:
    Sink& out_;
    uint64_t total_; // the new file's size
    int level_;
    bool fast_;        // no stream context-mixed (the instruction model is cheap to decode)
    double bandwidth_; // bits per second the player downloads at; 0: smallest patch
    InstrRefs* refs_;
    std::vector<uint8_t>* shared_;        // where literals go instead of the block, when set
    std::vector<uint8_t>* shared_instrs_; // where instructions go instead, when set
    InstrHistory hist_;                   // the entry's instructions, after those it refers to
    bool decided_ = false;
    os::Status st_;
    // The open block's streams: instructions (varint triples), difference bytes, literals.
    std::vector<uint8_t> instrs_, diff_, literals_;
    std::vector<uint8_t> olds_; // per difference byte: its old byte
    // Where each run of difference bytes starts: index in diff_, position in the new file.
    std::vector<std::pair<size_t, uint64_t>> pieces_;
    uint64_t emitted_ = 0; // output bytes of the blocks already written
    uint64_t out_len_ = 0;
    uint64_t coded_ = 0; // non-zero difference bytes and literals in the open block
    // The open instruction: whether there is one, and its lengths so far.
    bool open_ = false;
    uint64_t diff_len_ = 0, literal_len_ = 0;
    uint64_t cursor_ = 0; // old position after the open instruction's difference bytes
};

constexpr int64_t kMaxCompare = 1 << 16;

int64_t match_len(const uint8_t* a, int64_t alen, const uint8_t* b, int64_t blen) {
    int64_t n = std::min(std::min(alen, blen), kMaxCompare);
    int64_t i = 0;
    while (i + 8 <= n) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            break;
        i += 8;
    }
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// The old data's index: the suffix array of every position (step 1) or of the even ones only
// (step 2: half the memory, for large old files).
struct OldIndex {
    const int32_t* sa;
    int64_t count; // entries in sa
    int64_t step;
};

// Longest match of nw[0..nlen) among the indexed suffixes of old; returns its length, sets
// pos. The binary search keeps the common prefix lengths of both bounds: every suffix between
// them shares at least the smaller one with the new data, so comparing starts there.
int64_t search(const OldIndex& ix, const uint8_t* old, int64_t olen, const uint8_t* nw,
               int64_t nlen, int64_t& pos, int64_t& idx) {
    const int32_t* sa = ix.sa;
    if (ix.count == 0) {
        pos = 0;
        idx = -1;
        return 0;
    }
    auto lcp_from = [&](int64_t s, int64_t k) {
        if (k >= kMaxCompare)
            return kMaxCompare;
        return k + match_len(old + s + k, olen - s - k, nw + k, nlen - k);
    };
    int64_t lo = 0, hi = ix.count - 1;
    int64_t llo = lcp_from(sa[lo], 0), lhi = lcp_from(sa[hi], 0);
    while (hi - lo >= 2) {
        int64_t mid = lo + (hi - lo) / 2;
        int64_t s = sa[mid];
        int64_t l = lcp_from(s, std::min(llo, lhi));
        int64_t limit = std::min(std::min(olen - s, nlen), kMaxCompare);
        if (l < limit && old[s + l] < nw[l]) {
            lo = mid;
            llo = l;
        } else {
            hi = mid;
            lhi = l;
        }
    }
    if (llo > lhi) {
        pos = sa[lo];
        idx = lo;
        return llo;
    }
    pos = sa[hi];
    idx = hi;
    return lhi;
}

// Among the old suffixes next to sa[idx] that match the new data as far as it does, the one
// closest to `expected`: repeated code and data then resolve to the copy the new file most
// likely came from, and the seeks between instructions stay short. With `shift` 1, the
// suffixes found match nw from its second byte, and a candidate is the position before one
// of them whose byte agrees with nw[0]. Returns -1 when there is none.
int64_t nearest_equal(const OldIndex& ix, int64_t olen, const uint8_t* old, const uint8_t* nw,
                      int64_t nlen, int64_t idx, int64_t len, int64_t expected, int64_t shift = 0) {
    constexpr int kLook = 48;
    const int32_t* sa = ix.sa;
    auto fits = [&](int64_t p) { return shift == 0 || (p >= 0 && old[p] == nw[0]); };
    int64_t best = fits(sa[idx] - shift) ? sa[idx] - shift : -1;
    auto dist = [&](int64_t p) { return p > expected ? p - expected : expected - p; };
    for (int dir = -1; dir <= 1; dir += 2) {
        for (int k = 1; k <= kLook; ++k) {
            int64_t i = idx + dir * k;
            if (i < 0 || i >= ix.count)
                break;
            int64_t p = sa[i];
            if (match_len(old + p, olen - p, nw + shift, nlen - shift) < len - shift)
                break;
            if (fits(p - shift) && (best < 0 || dist(p - shift) < dist(best)))
                best = p - shift;
        }
    }
    return best;
}

// The matcher. The new data is walked from the front; every stretch of it is either copied
// from the old data at some displacement (old position minus new position), with difference
// bytes where the two disagree, or sent as literals (copies with difference bytes are the idea
// of Colin Percival's binary diff paper). At each position where no alignment is open the
// matcher looks for an anchor: the displacement of the alignment before, which resumes
// cheaply (shifted code after an insertion, a changed string inside unchanged data), unless
// the suffix array knows an exact match there that pays more; among equal matches it takes
// the copy nearest to where the previous alignment would continue. The anchor is grown in
// both directions with an X-drop rule (the idea of BLAST's ungapped extension): a running
// score gains per byte that agrees and loses per byte that does not, growth stops once the
// score has fallen a fixed amount below the best it reached, and the alignment ends where the
// score was best. The grown alignment is taken when its score pays for its instruction;
// otherwise the matcher moves one byte on and the byte stays a literal for now.
//
// While an alignment grows forwards, wherever it disagrees (or agrees only briefly) the index
// is asked for the longest exact match there, and the matcher leaves the alignment for it
// when the alignment would get enough of that match's bytes wrong to pay for a new
// instruction; that match is then the next anchor. An alignment is held back until the next
// one is known, and where the two overlap the bytes go to each up to the point that scores
// best for both.
//
// The scores are rough bit costs: a byte that agrees saves most of a literal's bits, one that
// disagrees costs a little more than a literal, so alignments end where fewer than about half
// their bytes agree.
struct MatchCosts {
    int64_t agree = 6;      // bits gained per byte that agrees
    int64_t disagree = 7;   // bits lost per byte that does not
    int64_t drop = 500;     // growth stops this far below the best score
    int64_t min_exact = 6;  // shortest exact match the index may anchor
    int64_t take = 48;      // what a new alignment must be worth
    int64_t resume = 16;    // what resuming the last displacement must be worth
    int64_t min_resume = 4; // shortest agreeing run that resumes it
    int64_t long_run = 32;  // an agreeing run this long is not challenged
    // Leaving an alignment for another: the instruction costs `leave` bits, every byte of the
    // new match that the alignment kept would get wrong saves `wrong` bits.
    int64_t leave = 80;
    int64_t wrong = 10;
};
constexpr MatchCosts kMatchCosts{};
// Literals that go to the literal store, built for the smallest patch, cost about a third of
// a literal coded alone (the store's model has learnt the text of every file before), while
// a copy from far away costs its instruction all the same: a new alignment must agree for
// about 40 bytes, and an alignment is left sooner for an exact match, since staying on costs
// literals' worth of difference bytes.
constexpr MatchCosts kStoreMatchCosts{3, 5, 500, 6, 120, 16, 4, 32, 24, 10};

class Matcher {
  public:
    Matcher(const uint8_t* old, int64_t olen, const OldIndex& ix, const uint8_t* nw, int64_t nlen,
            const MatchCosts& costs)
        : old_(old), olen_(olen), ix_(ix), nw_(nw), nlen_(nlen), c_(costs) {}

    void run(int64_t disp, uint64_t obase, BlockPacker& pk) {
        // The last alignment taken is held back until the next one is known: where the two
        // overlap, the bytes go to whichever agrees better.
        Span held;
        int64_t sent = 0; // new bytes before this are with the packer
        auto send = [&] {
            if (held.end > held.start) {
                if (held.start > sent)
                    pk.add_literals(nw_ + sent, static_cast<uint64_t>(held.start - sent));
                pk.add_diff(nw_ + held.start, old_ + held.start + held.disp,
                            obase + static_cast<uint64_t>(held.start + held.disp),
                            static_cast<uint64_t>(held.end - held.start));
                sent = held.end;
            }
        };
        Anchor next; // found while growing the alignment before
        for (int64_t at = 0; at < nlen_;) {
            Anchor a = next.len > 0 && next.at == at ? next : find(at, disp);
            next = {};
            if (a.len == 0) {
                ++at;
                continue;
            }
            Reach back = backwards(at, a.disp, std::max(sent, held.fixed));
            Reach ahead = forwards(at + a.len, a.disp, next);
            int64_t worth = back.score + a.len * c_.agree + ahead.score;
            if (worth < (a.disp == disp ? c_.resume : c_.take)) {
                ++at;
                continue;
            }
            int64_t start = at - back.len, end = at + a.len + ahead.len;
            if (start < held.end)
                start = held.end = split(held, a.disp, start);
            send();
            held = {start, at + a.len, end, a.disp};
            at = next.len > 0 ? next.at : end;
            disp = a.disp;
        }
        send();
        if (sent < nlen_)
            pk.add_literals(nw_ + sent, static_cast<uint64_t>(nlen_ - sent));
    }

  private:
    // An exact match: `len` new bytes from `at` equal the old ones at `at + disp`.
    struct Anchor {
        int64_t at = 0;
        int64_t disp = 0;
        int64_t len = 0;
    };
    // An alignment: new bytes [start, end) at displacement disp; those before `fixed` are its
    // anchor's.
    struct Span {
        int64_t start = 0;
        int64_t fixed = 0;
        int64_t end = 0;
        int64_t disp = 0;
    };
    // How far an alignment reaches from its anchor, and what that is worth.
    struct Reach {
        int64_t len = 0;
        int64_t score = 0;
    };

    int64_t agreeing(int64_t at, int64_t disp) const {
        if (at + disp < 0 || at + disp >= olen_)
            return 0;
        return match_len(old_ + at + disp, olen_ - at - disp, nw_ + at, nlen_ - at);
    }

    // How many of the `len` new bytes from `at` agree at displacement `disp`.
    int64_t kept(int64_t at, int64_t disp, int64_t len) const {
        int64_t end = std::min(at + len, olen_ - disp), agree = 0;
        for (int64_t i = std::max(at, -disp); i < end;) {
            int64_t run = match_len(old_ + i + disp, end - i, nw_ + i, end - i);
            agree += run;
            i += run + 1;
        }
        return std::min(agree, len);
    }

    // The longest exact match at `at` that the index offers, when taking it pays more over
    // its length than keeping displacement `disp` would, after `keep_cost`.
    Anchor indexed(int64_t at, int64_t disp, int64_t keep_cost) const {
        Anchor a = longest(at, disp);
        if (a.len < c_.min_exact)
            return {};
        int64_t price = (a.disp == disp ? c_.resume : c_.leave) - keep_cost;
        if ((a.len - kept(at, disp, a.len)) * c_.wrong <= price)
            return {};
        return a;
    }

    // The longest exact match at `at` in the index, among equals the one nearest to
    // displacement `disp`. An index of the even old positions alone finds a match at an odd
    // position through the new data one byte on, the byte before then checked.
    Anchor longest(int64_t at, int64_t disp) const {
        int64_t pos = 0, idx = -1;
        int64_t len = search(ix_, old_, olen_, nw_ + at, nlen_ - at, pos, idx);
        Anchor best;
        if (len >= c_.min_exact) {
            pos = nearest_equal(ix_, olen_, old_, nw_ + at, nlen_ - at, idx, len, at + disp);
            best = {at, pos - at, len};
        }
        if (ix_.step == 2 && at + 1 < nlen_) {
            int64_t idx1 = -1;
            int64_t len1 = std::min(
                search(ix_, old_, olen_, nw_ + at + 1, nlen_ - at - 1, pos, idx1) + 1, kMaxCompare);
            if (len1 >= len && len1 >= c_.min_exact) {
                int64_t p =
                    nearest_equal(ix_, olen_, old_, nw_ + at, nlen_ - at, idx1, len1, at + disp, 1);
                auto dist = [&](int64_t d) { return d > disp ? d - disp : disp - d; };
                if (p >= 0 && (len1 > len || dist(p - at) < dist(best.disp)))
                    best = {at, p - at, len1};
            }
        }
        return best;
    }

    // The anchor at `at`: the last displacement when enough agrees there, unless the index
    // knows a match that pays more.
    Anchor find(int64_t at, int64_t disp) const {
        int64_t run = agreeing(at, disp);
        if (run < c_.min_resume)
            run = 0;
        if (run < c_.long_run) {
            if (Anchor a = indexed(at, disp, c_.resume); a.len > 0)
                return a;
        }
        return {at, disp, run};
    }

    // Grows an alignment forwards from new position `from`. Where its agreement falls short,
    // the index is asked whether another displacement does better; if so the growth stops
    // there and `rival` is that match.
    Reach forwards(int64_t from, int64_t disp, Anchor& rival) const {
        int64_t limit = std::min(nlen_, olen_ - disp);
        Reach best;
        int64_t score = 0;
        if (from + disp < 0)
            return best;
        for (int64_t at = from; at < limit;) {
            int64_t run = match_len(old_ + at + disp, limit - at, nw_ + at, limit - at);
            if (at > from && run < c_.long_run) {
                if (Anchor a = indexed(at, disp, 0); a.len > 0) {
                    rival = a;
                    break;
                }
            }
            if (run > 0) {
                at += run;
                score += run * c_.agree;
                if (score > best.score)
                    best = {at - from, score};
                continue;
            }
            ++at;
            score -= c_.disagree;
            if (best.score - score > c_.drop)
                break;
        }
        return best;
    }

    int64_t score_at(int64_t at, int64_t disp) const {
        return old_[at + disp] == nw_[at] ? c_.agree : -c_.disagree;
    }

    // Where bytes [from, a.end) stop going to alignment `a` and start going to the one at
    // displacement `disp` that follows: the point where that pays most.
    int64_t split(const Span& a, int64_t disp, int64_t from) const {
        int64_t best = from, gain = 0, best_gain = 0;
        for (int64_t i = from; i < a.end; ++i) {
            gain += score_at(i, a.disp) - score_at(i, disp);
            if (gain > best_gain) {
                best_gain = gain;
                best = i + 1;
            }
        }
        return best;
    }

    // Grows an alignment backwards from new position `from`, never before `floor`.
    Reach backwards(int64_t from, int64_t disp, int64_t floor) const {
        floor = std::max(floor, -disp);
        Reach best;
        int64_t score = 0;
        if (from + disp > olen_)
            return best;
        for (int64_t at = from; at > floor;) {
            --at;
            score += score_at(at, disp);
            if (score > best.score)
                best = {from - at, score};
            else if (best.score - score > c_.drop)
                break;
        }
        return best;
    }

    const uint8_t* old_;
    int64_t olen_;
    OldIndex ix_;
    const uint8_t* nw_;
    int64_t nlen_;
    const MatchCosts& c_;
};

// Matches one segment of the new data against an indexed stretch of the old data that starts
// at old offset `obase`; `disp`: the displacement at which both are at the same file offset.
void match_segment(const uint8_t* old, int64_t olen, uint64_t obase, const OldIndex& ix,
                   const uint8_t* nw, int64_t nlen, int64_t disp, BlockPacker& pk) {
    Matcher(old, olen, ix, nw, nlen, pk.store_literals() ? kStoreMatchCosts : kMatchCosts)
        .run(disp, obase, pk);
}

os::Status read_range(os::File& f, uint64_t off, uint64_t len, std::vector<uint8_t>& buf) {
    buf.resize(static_cast<size_t>(len));
    return len ? f.read_exact_at(off, buf.data(), buf.size()) : os::Status::success();
}

// Codes the new file segment by segment against the old file: indexed whole when it is small
// enough or its even index fits, else through a window of its bytes around the segment's own
// range.
class SegmentCoder {
  public:
    SegmentCoder(os::File& oldf, uint64_t old_size, os::File& newf, uint64_t new_size,
                 const DeltaOptions& opt, BlockPacker& pk)
        : oldf_(oldf), old_size_(old_size), newf_(newf), opt_(opt), pk_(pk),
          shape_(index_shape(old_size, new_size, opt)) {}

    // Reads and indexes the whole old file, when it is indexed whole.
    os::Status start() {
        if (!shape_.whole)
            return os::Status::success();
        if (os::Status s = read_range(oldf_, 0, old_size_, oldbuf_); !s)
            return s;
        sa_.resize((oldbuf_.size() + shape_.step - 1) / shape_.step);
        index();
        wend_ = old_size_;
        return os::Status::success();
    }

    // The new bytes [ns, ne).
    os::Status code(uint64_t ns, uint64_t ne) {
        if (old_size_ > opt_.whole_limit && ne <= old_size_) {
            // Large files mostly change in place: when the segment differs from the old bytes
            // at the same offsets in few places, those differences are the whole answer and
            // no index of the old file is needed.
            os::Status s = read_range(newf_, ns, ne - ns, newbuf_);
            if (s)
                s = read_range(oldf_, ns, ne - ns, same_);
            if (!s)
                return s;
            if (differs_little(ne - ns)) {
                pk_.add_diff(newbuf_.data(), same_.data(), ns, ne - ns);
                return os::Status::success();
            }
        }
        if (!shape_.whole) {
            if (os::Status s = index_window(ns, ne); !s)
                return s;
        }
        if (os::Status s = read_range(newf_, ns, ne - ns, newbuf_); !s)
            return s;
        OldIndex ix{sa_.data(), static_cast<int64_t>(sa_.size()),
                    static_cast<int64_t>(shape_.step)};
        match_segment(oldbuf_.data(), static_cast<int64_t>(oldbuf_.size()), wstart_, ix,
                      newbuf_.data(), static_cast<int64_t>(newbuf_.size()),
                      static_cast<int64_t>(ns) - static_cast<int64_t>(wstart_), pk_);
        return os::Status::success();
    }

  private:
    void index() {
        if (opt_.indexing)
            opt_.indexing(true);
        if (shape_.step == 2)
            build_even_suffix_array(oldbuf_.data(), sa_.data(),
                                    static_cast<int64_t>(oldbuf_.size()));
        else
            build_suffix_array(oldbuf_.data(), sa_.data(), static_cast<int32_t>(oldbuf_.size()));
        if (opt_.indexing)
            opt_.indexing(false);
    }

    // Whether the segment read (`len` bytes) differs from the old bytes at the same offsets in
    // at most one 8-byte word per 256 bytes.
    bool differs_little(uint64_t len) const {
        uint64_t differing = 0, limit = len / 256;
        for (size_t i = 0; i < newbuf_.size() && differing <= limit; i += 8) {
            uint64_t a = 0, b = 0;
            size_t k = std::min<size_t>(8, newbuf_.size() - i);
            std::memcpy(&a, newbuf_.data() + i, k);
            std::memcpy(&b, same_.data() + i, k);
            differing += a != b;
        }
        return differing <= limit;
    }

    // Reads and indexes the old bytes the segment [ns, ne) is matched against, unless the
    // window indexed last is the same.
    os::Status index_window(uint64_t ns, uint64_t ne) {
        uint64_t ws = ns > opt_.margin ? ns - opt_.margin : 0;
        uint64_t we = std::min(old_size_, ne + opt_.margin);
        if (ws >= we) { // beyond the old file's end: take its last window
            we = old_size_;
            ws = old_size_ > opt_.segment + 2 * opt_.margin
                     ? old_size_ - (opt_.segment + 2 * opt_.margin)
                     : 0;
        }
        if (ws == wstart_ && we == wend_ && !sa_.empty())
            return os::Status::success();
        if (os::Status s = read_range(oldf_, ws, we - ws, oldbuf_); !s)
            return s;
        sa_.assign(oldbuf_.size(), 0);
        index();
        wstart_ = ws;
        wend_ = we;
        return os::Status::success();
    }

    os::File& oldf_;
    uint64_t old_size_;
    os::File& newf_;
    const DeltaOptions& opt_;
    BlockPacker& pk_;
    const IndexShape shape_;
    std::vector<uint8_t> oldbuf_, newbuf_;
    std::vector<uint8_t> same_;      // the old bytes at the segment's own offsets
    std::vector<int32_t> sa_;        // suffix array of oldbuf_
    uint64_t wstart_ = 0, wend_ = 0; // the old bytes in oldbuf_
};

} // namespace

os::Status encode_delta(os::File& oldf, uint64_t old_size, os::File& newf, uint64_t new_size,
                        Sink& out, const DeltaOptions& opt,
                        const std::function<void(uint64_t)>& progress, InstrRefs* refs) {
    if (refs) {
        refs->chosen = -1;
        refs->own.clear();
    }
    BlockPacker pk(out, new_size, opt, refs);
    pk.on_block = &progress;
    if (old_size == 0) {
        // Nothing to match against (an added file whose literals go to the store, or the
        // store itself): every byte is a literal.
        std::vector<uint8_t> buf;
        for (uint64_t ns = 0; ns < new_size; ns += kDeltaBlockMax) {
            if (os::Status s =
                    read_range(newf, ns, std::min<uint64_t>(kDeltaBlockMax, new_size - ns), buf);
                !s)
                return s;
            pk.add_literals(buf.data(), buf.size());
        }
        return pk.finish();
    }
    SegmentCoder coder(oldf, old_size, newf, new_size, opt, pk);
    if (os::Status s = coder.start(); !s)
        return s;
    for (uint64_t ns = 0; ns < new_size; ns += opt.segment) {
        uint64_t ne = std::min(new_size, ns + opt.segment);
        if (os::Status s = coder.code(ns, ne); !s)
            return s;
        if (progress)
            progress(ne);
    }
    return pk.finish();
}

} // namespace kv
