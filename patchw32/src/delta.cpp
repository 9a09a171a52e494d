#include "delta.h"

#include "bytes.h"
#include "cm.h"
#include "sais.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <system_error>
#include <thread>
#include <zlib.h>

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
    return o;
}

namespace {

// In a compact block head, the difference coding that says every difference byte is zero
// (no stream follows).
constexpr uint8_t kZeroDifferences = 7;

// ---------------------------------------------------------------- stream coding

bool inflate_exact(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return false;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(in_len);
    uint8_t spare;
    z.next_out = out_len ? out : &spare;
    z.avail_out = static_cast<uInt>(out_len);
    int r = inflate(&z, Z_FINISH);
    bool ok = r == Z_STREAM_END && z.avail_in == 0 && z.avail_out == 0;
    inflateEnd(&z);
    return ok;
}

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

bool expand_zero_runs(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, size_t want) {
    out.assign(want, 0);
    size_t o = 0;
    ByteReader r(in.data(), in.size());
    while (r.left() > 0) {
        uint8_t b = r.u8();
        if (b != 0) {
            if (o >= want)
                return false;
            out[o++] = b;
            continue;
        }
        uint64_t run = r.varu();
        if (r.bad() || run >= want - o)
            return false;
        o += static_cast<size_t>(run) + 1; // already zero
    }
    return o == want;
}

// ---------------------------------------------------------------- encoder side

class BlockPacker {
  public:
    BlockPacker(Sink& out, uint64_t total, int level, bool fast, double bandwidth,
                InstrRefs* refs)
        : out_(out), total_(total), level_(level), fast_(fast), bandwidth_(bandwidth),
          refs_(refs) {
        hist_.start_own();
    }

    void add_diff(const uint8_t* np, const uint8_t* op, uint64_t old_abs, uint64_t len) {
        while (len > 0 && st_.ok()) {
            if (open_ && (e_ > 0 || old_abs != cursor_))
                close(static_cast<int64_t>(old_abs - cursor_));
            if (!open_ && old_abs != cursor_) { // a bare seek
                open_ = true;
                d_ = e_ = 0;
                close(static_cast<int64_t>(old_abs - cursor_));
            }
            if (!open_) {
                open_ = true;
                d_ = e_ = 0;
            }
            uint64_t take = std::min<uint64_t>(len, room());
            size_t base = diff_.size();
            diff_.resize(base + take);
            oldcat_.insert(oldcat_.end(), op, op + take);
            pieces_.push_back({base, emitted_ + out_len_});
            for (uint64_t i = 0; i < take; ++i) {
                diff_[base + i] = static_cast<uint8_t>(np[i] - op[i]);
                coded_ += diff_[base + i] != 0;
            }
            d_ += take;
            out_len_ += take;
            cursor_ = old_abs + take;
            np += take;
            op += take;
            old_abs += take;
            len -= take;
            if (block_full()) {
                close(0);
                flush();
            }
        }
    }

    void add_extra(const uint8_t* np, uint64_t len) {
        while (len > 0 && st_.ok()) {
            if (!open_) {
                open_ = true;
                d_ = e_ = 0;
            }
            uint64_t take = std::min<uint64_t>(len, room());
            extra_.insert(extra_.end(), np, np + take);
            coded_ += take;
            e_ += take;
            out_len_ += take;
            np += take;
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
    void close(int64_t seek) {
        if (!open_)
            return;
        put_instr(ctrl_, Instr{d_, e_, seek});
        cursor_ += static_cast<uint64_t>(seek);
        open_ = false;
        if (ctrl_.size() + 32 > kDeltaCtrlMax)
            flush();
    }

    // The instructions coded against the history, which gains them. The first block decides
    // which earlier entry, if any, the entry's instructions are predicted from: the one that
    // codes this block smallest, when it beats every coding without a reference.
    std::vector<uint8_t> code_instructions(size_t plain_best) {
        if (decided_)
            return instr_encode(ctrl_, hist_);
        decided_ = true;
        std::vector<uint8_t> best = instr_encode(ctrl_, hist_);
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
            std::vector<uint8_t> c = instr_encode(ctrl_, h);
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

    void flush() {
        if (out_len_ == 0 || !st_.ok())
            return;
        // A block of exact copies names no difference stream at all.
        const bool zero = coded_ == extra_.size(); // no difference byte is non-zero
        std::vector<uint8_t> runs = zero ? std::vector<uint8_t>() : zero_runs(diff_);
        std::vector<uint8_t> diff_cm;
        if (!fast_ && !zero) {
            DiffEncoder de(DiffModelKind::Second, oldcat_.data(), oldcat_.size());
            for (size_t k = 0; k < pieces_.size(); ++k) {
                size_t end = k + 1 < pieces_.size() ? pieces_[k + 1].first : diff_.size();
                uint64_t at = pieces_[k].second;
                for (size_t i = pieces_[k].first; i < end; ++i)
                    de.add(diff_[i], oldcat_[i], at++);
            }
            diff_cm = de.finish();
        }
        std::vector<uint8_t> packed[3];
        StreamCoding coding[3];
        pack(ctrl_, packed[0], coding[0], nullptr, !fast_);
        std::vector<uint8_t> by_history = code_instructions(packed[0].size());
        if (by_history.size() < packed[0].size()) {
            packed[0].swap(by_history);
            coding[0] = StreamCoding::Instructions;
        }
        pack(runs, packed[1], coding[1], &diff_cm, !fast_);
        pack(extra_, packed[2], coding[2], nullptr, !fast_);
        uint64_t raw_len[3] = {ctrl_.size(),
                               coding[1] == StreamCoding::Mixing2 ? diff_.size() : runs.size(),
                               extra_.size()};
        // The compact head (the decoder also reads the older full one).
        uint8_t dc = zero ? kZeroDifferences : static_cast<uint8_t>(coding[1]);
        std::vector<uint8_t> head;
        put_u8(head, 0);
        put_u8(head, static_cast<uint8_t>(static_cast<unsigned>(coding[0]) | dc << 3 |
                                          static_cast<unsigned>(coding[2]) << 6));
        put_varu(head,
                 out_len_ == std::min<uint64_t>(kDeltaBlockMax, total_ - emitted_) ? 0 : out_len_);
        put_varu(head, raw_len[0]);
        if (coding[0] != StreamCoding::Raw)
            put_varu(head, packed[0].size());
        if (dc == static_cast<uint8_t>(StreamCoding::Raw) ||
            dc == static_cast<uint8_t>(StreamCoding::Deflate))
            put_varu(head, raw_len[1]);
        if (dc != static_cast<uint8_t>(StreamCoding::Raw) && dc != kZeroDifferences)
            put_varu(head, packed[1].size());
        put_varu(head, raw_len[2]);
        if (raw_len[2] > 0 && coding[2] != StreamCoding::Raw)
            put_varu(head, packed[2].size());
        st_ = out_.write(head.data(), head.size());
        for (int i = 0; i < 3 && st_.ok(); ++i)
            if (!packed[i].empty())
                st_ = out_.write(packed[i].data(), packed[i].size());
        ctrl_.clear();
        diff_.clear();
        oldcat_.clear();
        pieces_.clear();
        extra_.clear();
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
    bool fast_; // no stream context-mixed (the instruction model is cheap to decode)
    double bandwidth_; // bits per second the player downloads at; 0: smallest patch
    InstrRefs* refs_;
    InstrHistory hist_; // the entry's instructions, after those it refers to
    bool decided_ = false;
    os::Status st_;
    std::vector<uint8_t> ctrl_, diff_, extra_;
    std::vector<uint8_t> oldcat_; // per difference byte: its old byte
    // Where each run of difference bytes starts: index in diff_, position in the new file.
    std::vector<std::pair<size_t, uint64_t>> pieces_;
    uint64_t emitted_ = 0; // output bytes of the blocks already written
    uint64_t out_len_ = 0;
    uint64_t coded_ = 0; // non-zero difference bytes and literals in the open block
    bool open_ = false;
    uint64_t d_ = 0, e_ = 0;
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

// Longest match of nw[0..nlen) among the suffixes of old; returns its length, sets pos.
// The binary search keeps the common prefix lengths of both bounds: every suffix between
// them shares at least the smaller one with the new data, so comparing starts there.
int64_t search(const int32_t* sa, const uint8_t* old, int64_t olen, const uint8_t* nw, int64_t nlen,
               int64_t& pos, int64_t& idx) {
    if (olen == 0) {
        pos = 0;
        idx = -1;
        return 0;
    }
    auto lcp_from = [&](int64_t s, int64_t k) {
        if (k >= kMaxCompare)
            return kMaxCompare;
        return k + match_len(old + s + k, olen - s - k, nw + k, nlen - k);
    };
    int64_t lo = 0, hi = olen - 1;
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
// likely came from, and the seeks between instructions stay short.
int64_t nearest_equal(const int32_t* sa, int64_t olen, const uint8_t* old, const uint8_t* nw,
                      int64_t nlen, int64_t idx, int64_t len, int64_t expected) {
    constexpr int kLook = 48;
    int64_t best = sa[idx];
    auto dist = [&](int64_t p) { return p > expected ? p - expected : expected - p; };
    for (int dir = -1; dir <= 1; dir += 2) {
        for (int k = 1; k <= kLook; ++k) {
            int64_t i = idx + dir * k;
            if (i < 0 || i >= olen)
                break;
            int64_t p = sa[i];
            if (match_len(old + p, olen - p, nw, nlen) < len)
                break;
            if (dist(p) < dist(best))
                best = p;
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
    static constexpr int64_t agree = 6;     // bits gained per byte that agrees
    static constexpr int64_t disagree = 7;  // bits lost per byte that does not
    static constexpr int64_t drop = 500;    // growth stops this far below the best score
    static constexpr int64_t min_exact = 6; // shortest exact match the index may anchor
    static constexpr int64_t take = 48;     // what a new alignment must be worth
    static constexpr int64_t resume = 16;   // what resuming the last displacement must be worth
    static constexpr int64_t min_resume = 4; // shortest agreeing run that resumes it
    static constexpr int64_t long_run = 32;  // an agreeing run this long is not challenged
    // Leaving an alignment for another: the instruction costs `leave` bits, every byte of the
    // new match that the alignment kept would get wrong saves `wrong` bits.
    static constexpr int64_t leave = 80;
    static constexpr int64_t wrong = 10;
};

class Matcher {
  public:
    Matcher(const uint8_t* old, int64_t olen, const int32_t* sa, const uint8_t* nw, int64_t nlen)
        : old_(old), olen_(olen), sa_(sa), nw_(nw), nlen_(nlen) {}

    void run(int64_t disp, uint64_t obase, BlockPacker& pk) {
        // The last alignment taken is held back until the next one is known: where the two
        // overlap, the bytes go to whichever agrees better.
        Span held;
        int64_t sent = 0; // new bytes before this are with the packer
        auto send = [&] {
            if (held.end > held.start) {
                if (held.start > sent)
                    pk.add_extra(nw_ + sent, static_cast<uint64_t>(held.start - sent));
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
            pk.add_extra(nw_ + sent, static_cast<uint64_t>(nlen_ - sent));
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
        int64_t pos = 0, idx = -1;
        int64_t len = search(sa_, old_, olen_, nw_ + at, nlen_ - at, pos, idx);
        if (len < c_.min_exact)
            return {};
        pos = nearest_equal(sa_, olen_, old_, nw_ + at, nlen_ - at, idx, len, at + disp);
        int64_t to = pos - at;
        int64_t price = (to == disp ? c_.resume : c_.leave) - keep_cost;
        if ((len - kept(at, disp, len)) * c_.wrong <= price)
            return {};
        return {at, to, len};
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
    const int32_t* sa_;
    const uint8_t* nw_;
    int64_t nlen_;
    static constexpr MatchCosts c_{};
};

// Matches one segment of the new data against an indexed stretch of the old data that starts
// at old offset `obase`; `disp`: the displacement at which both are at the same file offset.
void match_segment(const uint8_t* old, int64_t olen, uint64_t obase, const int32_t* sa,
                   const uint8_t* nw, int64_t nlen, int64_t disp, BlockPacker& pk) {
    Matcher(old, olen, sa, nw, nlen).run(disp, obase, pk);
}

os::Status read_range(os::File& f, uint64_t off, uint64_t len, std::vector<uint8_t>& buf) {
    buf.resize(static_cast<size_t>(len));
    return len ? f.read_exact_at(off, buf.data(), buf.size()) : os::Status::success();
}

} // namespace

os::Status encode_delta(os::File& oldf, uint64_t old_size, os::File& newf, uint64_t new_size,
                        Sink& out, const DeltaOptions& opt,
                        const std::function<void(uint64_t)>& progress, InstrRefs* refs) {
    if (refs) {
        refs->chosen = -1;
        refs->own.clear();
    }
    BlockPacker pk(out, new_size, opt.level, opt.fast_apply, opt.bandwidth, refs);
    pk.on_block = &progress;
    auto index = [&opt](std::vector<uint8_t>& buf, std::vector<int32_t>& array) {
        if (opt.indexing)
            opt.indexing(true);
        build_suffix_array(buf.data(), array.data(), static_cast<int32_t>(buf.size()));
        if (opt.indexing)
            opt.indexing(false);
    };
    bool whole = old_size <= opt.whole_limit;
    std::vector<uint8_t> oldbuf, newbuf;
    std::vector<int32_t> sa;
    uint64_t wstart = 0, wend = 0;
    if (whole) {
        os::Status s = read_range(oldf, 0, old_size, oldbuf);
        if (!s)
            return s;
        sa.resize(oldbuf.size());
        index(oldbuf, sa);
        wend = old_size;
    }
    std::vector<uint8_t> same;
    for (uint64_t ns = 0; ns < new_size; ns += opt.segment) {
        uint64_t ne = std::min(new_size, ns + opt.segment);
        if (!whole && ne <= old_size) {
            // Large files mostly change in place: when the segment differs from the old bytes
            // at the same offsets in few places, those differences are the whole answer and
            // no index of the old file is needed.
            os::Status s = read_range(newf, ns, ne - ns, newbuf);
            if (s)
                s = read_range(oldf, ns, ne - ns, same);
            if (!s)
                return s;
            uint64_t differing = 0, limit = (ne - ns) / 256;
            for (size_t i = 0; i < newbuf.size() && differing <= limit; i += 8) {
                uint64_t a = 0, b = 0;
                size_t k = std::min<size_t>(8, newbuf.size() - i);
                std::memcpy(&a, newbuf.data() + i, k);
                std::memcpy(&b, same.data() + i, k);
                differing += a != b;
            }
            if (differing <= limit) {
                pk.add_diff(newbuf.data(), same.data(), ns, ne - ns);
                if (progress)
                    progress(ne);
                continue;
            }
        }
        if (!whole) {
            uint64_t ws = ns > opt.margin ? ns - opt.margin : 0;
            uint64_t we = std::min(old_size, ne + opt.margin);
            if (ws >= we) { // beyond the old file's end: take its last window
                we = old_size;
                ws = old_size > opt.segment + 2 * opt.margin
                         ? old_size - (opt.segment + 2 * opt.margin)
                         : 0;
            }
            if (ws != wstart || we != wend || sa.empty()) {
                os::Status s = read_range(oldf, ws, we - ws, oldbuf);
                if (!s)
                    return s;
                sa.assign(oldbuf.size(), 0);
                index(oldbuf, sa);
                wstart = ws;
                wend = we;
            }
        }
        os::Status s = read_range(newf, ns, ne - ns, newbuf);
        if (!s)
            return s;
        match_segment(oldbuf.data(), static_cast<int64_t>(oldbuf.size()), wstart, sa.data(),
                      newbuf.data(), static_cast<int64_t>(newbuf.size()),
                      static_cast<int64_t>(ns) - static_cast<int64_t>(wstart), pk);
        if (progress)
            progress(ne);
    }
    return pk.finish();
}

// ---------------------------------------------------------------- decoder side

namespace {

bool read_varu(PayloadReader& in, uint64_t& v, os::Status& st) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        uint8_t b;
        if (!in.read_byte(b, st))
            return false;
        if (shift == 63 && b > 1)
            return false;
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}

struct BlockHead {
    uint64_t out_len = 0;
    uint8_t coding[3] = {0, 0, 0};
    uint64_t raw[3] = {0, 0, 0};
    uint64_t stored[3] = {0, 0, 0};
};

// The compact head: a 0 byte (no block is empty), the three codings in one byte, the output
// length (0: 4 MiB or all that remains, whichever is less), then only the lengths that cannot
// be inferred. Returns false when the data ends early or fails.
bool read_compact_head(PayloadReader& in, uint64_t left, BlockHead& b, os::Status& st) {
    uint8_t head;
    if (!in.read_byte(head, st) || !read_varu(in, b.out_len, st))
        return false;
    if (b.out_len == 0)
        b.out_len = std::min<uint64_t>(kDeltaBlockMax, left);
    b.coding[0] = head & 7;
    b.coding[1] = (head >> 3) & 7;
    b.coding[2] = head >> 6;
    auto raw_form = [&](int i) { return b.coding[i] == static_cast<uint8_t>(StreamCoding::Raw); };
    if (!read_varu(in, b.raw[0], st))
        return false;
    b.stored[0] = b.raw[0];
    if (!raw_form(0) && !read_varu(in, b.stored[0], st))
        return false;
    uint8_t dc = b.coding[1];
    if (dc == kZeroDifferences) {
        b.raw[1] = b.stored[1] = 0;
    } else if (dc == static_cast<uint8_t>(StreamCoding::Raw) ||
               dc == static_cast<uint8_t>(StreamCoding::Deflate)) {
        if (!read_varu(in, b.raw[1], st))
            return false;
        b.stored[1] = b.raw[1];
        if (dc != 0 && !read_varu(in, b.stored[1], st))
            return false;
    } else if (!read_varu(in, b.stored[1], st)) {
        return false;
    }
    if (!read_varu(in, b.raw[2], st))
        return false;
    b.stored[2] = b.raw[2];
    if (b.raw[2] > 0 && !raw_form(2) && !read_varu(in, b.stored[2], st))
        return false;
    if ((dc == static_cast<uint8_t>(StreamCoding::Mixing) ||
         dc == static_cast<uint8_t>(StreamCoding::Mixing2)) &&
        b.raw[2] <= b.out_len)
        b.raw[1] = b.out_len - b.raw[2]; // checked to add up below
    return true;
}

// Reads and checks a block's head; `left`: the output still to come from the payload.
DecodeResult read_block_head(PayloadReader& in, uint64_t left, BlockHead& b) {
    os::Status st;
    auto cut = [&] {
        return st.ok() ? DecodeResult::corrupt("difference data is cut short")
                       : DecodeResult::io(st);
    };
    if (!read_varu(in, b.out_len, st))
        return cut();
    const bool compact = b.out_len == 0;
    if (compact && !read_compact_head(in, left, b, st))
        return cut();
    if (b.out_len == 0 || b.out_len > kDeltaBlockMax || b.out_len > left)
        return DecodeResult::corrupt("a difference block has an invalid length");
    for (int i = 0; i < 3; ++i) {
        uint8_t& coding = b.coding[i];
        if (!compact && (!in.read_byte(coding, st) || !read_varu(in, b.raw[i], st) ||
                         !read_varu(in, b.stored[i], st)))
            return cut();
        bool zero = compact && i == 1 && coding == kZeroDifferences;
        if (!zero && (coding > static_cast<uint8_t>(StreamCoding::Instructions) ||
                      (coding == static_cast<uint8_t>(StreamCoding::Mixing2) && i != 1) ||
                      (coding == static_cast<uint8_t>(StreamCoding::Instructions) && i != 0)))
            return DecodeResult::corrupt("a difference block uses an unknown stream coding");
        uint64_t limit = i == 0 ? kDeltaCtrlMax : i == 1 ? 2 * b.out_len : b.out_len;
        if (b.raw[i] > limit)
            return DecodeResult::corrupt("a difference block declares too much data");
        if (coding == static_cast<uint8_t>(StreamCoding::Raw)
                ? b.stored[i] != b.raw[i]
                : b.stored[i] > limit + limit / 8 + 1024)
            return DecodeResult::corrupt("a difference block has an invalid stored size");
    }
    bool diff_mixed = b.coding[1] == static_cast<uint8_t>(StreamCoding::Mixing) ||
                      b.coding[1] == static_cast<uint8_t>(StreamCoding::Mixing2);
    if (diff_mixed && b.raw[1] + b.raw[2] != b.out_len)
        return DecodeResult::corrupt("a difference block does not add up");
    return DecodeResult::ok();
}

// Decodes a block's instructions into `ctrl`; the history gains them. Returns why it failed,
// or null.
const char* decode_instructions(uint8_t coding, std::vector<uint8_t>& packed, uint64_t raw_len,
                                InstrHistory& hist, std::vector<uint8_t>& ctrl) {
    using SC = StreamCoding;
    const char* damaged = "compressed difference data is invalid";
    size_t n = static_cast<size_t>(raw_len);
    if (coding == static_cast<uint8_t>(SC::Instructions))
        return instr_decode(packed.data(), packed.size(), n, hist, ctrl) ? nullptr : damaged;
    if (coding == static_cast<uint8_t>(SC::Raw)) {
        ctrl.swap(packed);
    } else {
        ctrl.resize(n);
        bool ok = coding == static_cast<uint8_t>(SC::Deflate)
                      ? inflate_exact(packed.data(), packed.size(), ctrl.data(), n)
                      : cm_decode_bytes(packed.data(), packed.size(), ctrl.data(), n);
        if (!ok)
            return damaged;
    }
    ByteReader r(ctrl.data(), ctrl.size());
    while (r.left() > 0) {
        Instr i = read_instr(r);
        if (r.bad())
            return "difference instructions are invalid";
        hist.push(i);
    }
    return nullptr;
}

// The instructions of the entry that `e`'s refer to, as far as a history keeps them.
DecodeResult load_reference(const Entry::Ref& ref, os::File& patch, InstrHistory& out) {
    InstrHistory own;
    own.start_own();
    PayloadReader in(patch, ref.offset, ref.size);
    std::vector<uint8_t> packed, ctrl, skip;
    for (uint64_t read_to = 0; read_to < ref.new_size && own.size() < InstrHistory::kMax;) {
        BlockHead b;
        DecodeResult r = read_block_head(in, ref.new_size - read_to, b);
        if (r.status != DecodeStatus::Ok)
            return r.status == DecodeStatus::Io
                       ? r
                       : DecodeResult::corrupt("the instructions it refers to are damaged");
        for (int i = 0; i < 3; ++i) {
            std::vector<uint8_t>& into = i == 0 ? packed : skip;
            into.resize(static_cast<size_t>(b.stored[i]));
            bool short_read = false;
            if (os::Status st = in.read_exact(into.data(), into.size(), short_read); !st)
                return DecodeResult::io(st);
            if (short_read)
                return DecodeResult::corrupt("the instructions it refers to are cut short");
        }
        if (decode_instructions(b.coding[0], packed, b.raw[0], own, ctrl))
            return DecodeResult::corrupt("the instructions it refers to are damaged");
        read_to += b.out_len;
    }
    for (const Instr& i : own.all())
        out.add(i);
    return DecodeResult::ok();
}

} // namespace

bool delta_stats(const Entry& e, os::File& patch, DeltaStats& out) {
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    std::vector<uint8_t> skip;
    for (uint64_t read_to = 0; read_to < e.new_size;) {
        BlockHead b;
        if (read_block_head(in, e.new_size - read_to, b).status != DecodeStatus::Ok)
            return false;
        for (int i = 0; i < 3; ++i) {
            out.raw[i] += b.raw[i];
            out.stored[i] += b.stored[i];
            out.by_coding[b.coding[i] <= 4 ? b.coding[i] : 0]++;
            skip.resize(static_cast<size_t>(b.stored[i]));
            bool short_read = false;
            if (!in.read_exact(skip.data(), skip.size(), short_read) || short_read)
                return false;
        }
        read_to += b.out_len;
        ++out.blocks;
    }
    return in.remaining() == 0;
}

namespace {

// One block, read and checked by the calling thread, then finished by a worker: the literal
// and difference streams decoded, the old bytes read and the output assembled.
struct BlockJob {
    uint64_t out_len = 0;
    uint64_t at = 0;     // new-file offset of the block
    uint64_t oldpos = 0; // old-file position where the block's instructions start
    uint8_t coding[3] = {0, 0, 0};
    uint64_t raw[3] = {0, 0, 0};
    std::vector<uint8_t> ctrl;   // decoded instructions, already checked
    std::vector<uint8_t> src[3]; // stored bytes of each stream (the instructions' unused)
    std::vector<uint8_t> block;  // the result
    uint64_t memory = 0;         // what decoding it may hold at once
    DecodeResult result;
};

DecodeResult finish_block(BlockJob& j, os::File& old) {
    using SC = StreamCoding;
    std::vector<uint8_t> lit;
    const uint8_t* lits = j.src[2].data();
    if (j.coding[2] != static_cast<uint8_t>(SC::Raw)) {
        lit.resize(static_cast<size_t>(j.raw[2]));
        bool ok = j.coding[2] == static_cast<uint8_t>(SC::Deflate)
                      ? inflate_exact(j.src[2].data(), j.src[2].size(), lit.data(), lit.size())
                      : cm_decode_bytes(j.src[2].data(), j.src[2].size(), lit.data(), lit.size());
        if (!ok)
            return DecodeResult::corrupt("compressed difference data is invalid");
        lits = lit.data();
    }
    uint64_t diff_len = j.out_len - j.raw[2];
    std::vector<uint8_t> diff, olds;
    std::unique_ptr<DiffDecoder> mixed;
    if (j.coding[1] == static_cast<uint8_t>(SC::Mixing) ||
        j.coding[1] == static_cast<uint8_t>(SC::Mixing2)) {
        // The model looks at the old bytes of the whole block: read them all first.
        olds.resize(static_cast<size_t>(diff_len));
        ByteReader c(j.ctrl.data(), j.ctrl.size());
        uint64_t at = 0, oldpos = j.oldpos;
        while (c.left() > 0) {
            uint64_t d = c.varu();
            c.varu();
            int64_t seek = c.vars();
            if (d) {
                os::Status st = old.read_exact_at(oldpos, olds.data() + at, static_cast<size_t>(d));
                if (!st)
                    return DecodeResult::io(st);
            }
            at += d;
            oldpos += d + static_cast<uint64_t>(seek);
        }
        mixed = std::make_unique<DiffDecoder>(
            j.coding[1] == static_cast<uint8_t>(SC::Mixing2) ? DiffModelKind::Second
                                                             : DiffModelKind::First,
            j.src[1].data(), j.src[1].size(), diff_len, olds.data());
    } else if (j.coding[1] != kZeroDifferences) {
        std::vector<uint8_t> runs;
        if (j.coding[1] == static_cast<uint8_t>(SC::Deflate)) {
            runs.resize(static_cast<size_t>(j.raw[1]));
            if (!inflate_exact(j.src[1].data(), j.src[1].size(), runs.data(), runs.size()))
                return DecodeResult::corrupt("compressed difference data is invalid");
        } else {
            runs.swap(j.src[1]);
        }
        if (!expand_zero_runs(runs, diff, static_cast<size_t>(diff_len)))
            return DecodeResult::corrupt("difference bytes are invalid");
    }
    j.block.resize(static_cast<size_t>(j.out_len));
    ByteReader ctrl(j.ctrl.data(), j.ctrl.size());
    uint64_t o = 0, dpos = 0, xpos = 0, oldpos = j.oldpos;
    while (ctrl.left() > 0) { // checked when the block was read
        uint64_t d = ctrl.varu();
        uint64_t x = ctrl.varu();
        int64_t seek = ctrl.vars();
        if (d) {
            uint8_t* dst = j.block.data() + o;
            if (mixed) {
                std::memcpy(dst, olds.data() + dpos, static_cast<size_t>(d));
            } else if (os::Status st = old.read_exact_at(oldpos, dst, static_cast<size_t>(d));
                       !st) {
                return DecodeResult::io(st);
            }
            if (mixed) {
                mixed->apply(dst, static_cast<size_t>(d), j.at + o);
            } else if (!diff.empty()) {
                const uint8_t* df = diff.data() + dpos;
                for (uint64_t i = 0; i < d; ++i)
                    dst[i] = static_cast<uint8_t>(dst[i] + df[i]);
            }
            o += d;
            dpos += d;
            oldpos += d;
        }
        if (x) {
            std::memcpy(j.block.data() + o, lits + xpos, static_cast<size_t>(x));
            o += x;
            xpos += x;
        }
        oldpos += static_cast<uint64_t>(seek);
    }
    if (mixed && !mixed->finished_cleanly())
        return DecodeResult::corrupt("a difference block does not add up");
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
// literals and difference bytes (or the old bytes the model reads), the models and the result.
uint64_t block_memory(const BlockHead& b) {
    using SC = StreamCoding;
    auto mixing = [](uint8_t c) {
        return c == static_cast<uint8_t>(SC::Mixing) || c == static_cast<uint8_t>(SC::Mixing2);
    };
    uint64_t m = b.stored[0] + b.stored[1] + b.stored[2] + b.raw[0] + b.out_len;
    if (b.coding[2] != static_cast<uint8_t>(SC::Raw))
        m += b.raw[2] + (mixing(b.coding[2]) ? kByteModelBytes : 0);
    uint64_t diff_len = b.out_len - std::min(b.raw[2], b.out_len);
    if (mixing(b.coding[1]))
        m += diff_len + kDiffModelBytes;
    else if (b.coding[1] != kZeroDifferences)
        m += diff_len + b.raw[1];
    return m;
}

} // namespace

DecodeResult decode_delta(const Entry& e, os::File& patch, os::File& old, uint64_t old_size,
                          Sink& out, const ProgressFn& progress) {
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    std::deque<std::pair<std::unique_ptr<BlockJob>, std::future<void>>> running;
    const size_t parallel = decode_threads();
    uint64_t holding = 0; // memory of the blocks in flight
    uint64_t produced = 0; // written to the sink
    uint64_t read_to = 0;  // covered by the blocks read so far
    uint64_t oldpos = 0;

    // Waits for the oldest block and writes it out.
    auto retire = [&]() -> DecodeResult {
        auto& [job, fut] = running.front();
        if (fut.valid())
            fut.get();
        std::unique_ptr<BlockJob> j = std::move(job);
        running.pop_front();
        holding -= j->memory;
        if (j->result.status != DecodeStatus::Ok)
            return j->result;
        os::Status st = out.write(j->block.data(), j->block.size());
        if (!st)
            return DecodeResult::io(st);
        produced += j->out_len;
        progress(produced);
        return DecodeResult::ok();
    };
    // On an early return every worker still has to finish before its job goes away.
    struct Drain {
        decltype(running)& r;
        ~Drain() {
            for (auto& p : r)
                if (p.second.valid())
                    p.second.wait();
        }
    } drain{running};

    InstrHistory hist;
    if (e.ref.present) {
        DecodeResult r = load_reference(e.ref, patch, hist);
        if (r.status != DecodeStatus::Ok)
            return r;
    }
    hist.start_own();
    std::vector<uint8_t> packed;
    while (read_to < e.new_size) {
        os::Status st;
        auto j = std::make_unique<BlockJob>();
        BlockHead b;
        if (DecodeResult r = read_block_head(in, e.new_size - read_to, b);
            r.status != DecodeStatus::Ok)
            return r;
        // Room for this block first: the oldest ones are written out until it fits.
        j->memory = block_memory(b);
        while (!running.empty() &&
               (running.size() >= parallel || holding + j->memory > kDecodeBudget)) {
            DecodeResult r = retire();
            if (r.status != DecodeStatus::Ok)
                return r;
        }
        holding += j->memory;
        const uint64_t out_len = b.out_len;
        j->out_len = out_len;
        std::copy(b.coding, b.coding + 3, j->coding);
        std::copy(b.raw, b.raw + 3, j->raw);
        const uint64_t* raw = j->raw;
        for (int i = 0; i < 3; ++i) {
            bool short_read = false;
            std::vector<uint8_t>& into = i == 0 ? packed : j->src[i];
            into.resize(static_cast<size_t>(b.stored[i]));
            if (!(st = in.read_exact(into.data(), into.size(), short_read)))
                return DecodeResult::io(st);
            if (short_read)
                return DecodeResult::corrupt("difference data is cut short");
        }
        // The instructions are decoded and checked here, so that the worker never meets a
        // bound it has not been shown to keep, and so the next block knows where it starts.
        if (const char* why = decode_instructions(b.coding[0], packed, raw[0], hist, j->ctrl))
            return DecodeResult::corrupt(why);
        uint64_t diff_len = out_len - raw[2];
        j->at = read_to;
        j->oldpos = oldpos;
        ByteReader ctrl(j->ctrl.data(), j->ctrl.size());
        uint64_t o = 0, dpos = 0, xpos = 0;
        while (ctrl.left() > 0) {
            uint64_t d = ctrl.varu();
            uint64_t x = ctrl.varu();
            int64_t seek = ctrl.vars();
            if (ctrl.bad())
                return DecodeResult::corrupt("difference instructions are invalid");
            if (d > out_len - o || d > diff_len - dpos || oldpos > old_size ||
                d > old_size - oldpos)
                return DecodeResult::corrupt("a difference instruction reaches outside its data");
            o += d;
            dpos += d;
            oldpos += d;
            if (x > out_len - o || x > raw[2] - xpos)
                return DecodeResult::corrupt("a literal instruction reaches outside its data");
            o += x;
            xpos += x;
            if (seek < 0 ? static_cast<uint64_t>(-(seek + 1)) + 1 > oldpos
                         : static_cast<uint64_t>(seek) > old_size - oldpos)
                return DecodeResult::corrupt("a seek leaves the old file");
            oldpos += static_cast<uint64_t>(seek);
        }
        if (o != out_len || dpos != diff_len || xpos != raw[2])
            return DecodeResult::corrupt("a difference block does not add up");
        read_to += out_len;

        BlockJob* jp = j.get();
        std::future<void> fut;
        // The last block (for most files the only one) is decoded here: a helper thread would
        // only be waited for, and starting one costs more than a small file's whole decoding
        // on systems where a thread start is expensive (Wine: a dozen server requests).
        if (parallel > 1 && read_to < e.new_size) {
            try {
                fut = std::async(std::launch::async,
                                 [jp, &old] { jp->result = finish_block(*jp, old); });
            } catch (const std::system_error&) {
                // No thread to be had: this block is decoded here instead.
            }
        }
        if (!fut.valid())
            jp->result = finish_block(*jp, old);
        running.emplace_back(std::move(j), std::move(fut));
    }
    if (in.remaining() != 0) {
        // Checked before the blocks still running are written, as before.
        return DecodeResult::corrupt("difference data has trailing bytes");
    }
    while (!running.empty()) {
        DecodeResult r = retire();
        if (r.status != DecodeStatus::Ok)
            return r;
    }
    return DecodeResult::ok();
}

} // namespace kv
