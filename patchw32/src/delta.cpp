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

// Gathers the instructions, difference bytes and literal bytes the matcher sends, and writes
// them out block by block, each stream in the coding that suits it best.
class BlockPacker {
  public:
    BlockPacker(Sink& out, uint64_t total, int level, bool fast, double bandwidth, InstrRefs* refs)
        : out_(out), total_(total), level_(level), fast_(fast), bandwidth_(bandwidth), refs_(refs) {
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
        put_u8(head, static_cast<uint8_t>(static_cast<unsigned>(coding[0]) | diff_coding << 3 |
                                          static_cast<unsigned>(coding[2]) << 6));
        put_varu(head,
                 out_len_ == std::min<uint64_t>(kDeltaBlockMax, total_ - emitted_) ? 0 : out_len_);
        put_varu(head, raw_len[0]);
        if (coding[0] != StreamCoding::Raw)
            put_varu(head, packed[0].size());
        if (diff_coding == static_cast<uint8_t>(StreamCoding::Raw) ||
            diff_coding == static_cast<uint8_t>(StreamCoding::Deflate))
            put_varu(head, raw_len[1]);
        if (diff_coding != static_cast<uint8_t>(StreamCoding::Raw) &&
            diff_coding != kZeroDifferences)
            put_varu(head, packed[1].size());
        put_varu(head, raw_len[2]);
        if (raw_len[2] > 0 && coding[2] != StreamCoding::Raw)
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
        pack(instrs_, packed[0], coding[0], nullptr, !fast_);
        std::vector<uint8_t> by_history = code_instructions(packed[0].size());
        if (by_history.size() < packed[0].size()) {
            packed[0].swap(by_history);
            coding[0] = StreamCoding::Instructions;
        }
        pack(runs, packed[1], coding[1], &diff_cm, !fast_);
        pack(literals_, packed[2], coding[2], nullptr, !fast_);
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
    InstrHistory hist_; // the entry's instructions, after those it refers to
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
    static constexpr int64_t agree = 6;      // bits gained per byte that agrees
    static constexpr int64_t disagree = 7;   // bits lost per byte that does not
    static constexpr int64_t drop = 500;     // growth stops this far below the best score
    static constexpr int64_t min_exact = 6;  // shortest exact match the index may anchor
    static constexpr int64_t take = 48;      // what a new alignment must be worth
    static constexpr int64_t resume = 16;    // what resuming the last displacement must be worth
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

// Codes the new file segment by segment against the old file: indexed whole when it is small
// enough, else through a window of its bytes around the segment's own range.
class SegmentCoder {
  public:
    SegmentCoder(os::File& oldf, uint64_t old_size, os::File& newf, const DeltaOptions& opt,
                 BlockPacker& pk)
        : oldf_(oldf), old_size_(old_size), newf_(newf), opt_(opt), pk_(pk),
          whole_(old_size <= opt.whole_limit) {}

    // Reads and indexes the whole old file, when it is indexed whole.
    os::Status start() {
        if (!whole_)
            return os::Status::success();
        if (os::Status s = read_range(oldf_, 0, old_size_, oldbuf_); !s)
            return s;
        sa_.resize(oldbuf_.size());
        index();
        wend_ = old_size_;
        return os::Status::success();
    }

    // The new bytes [ns, ne).
    os::Status code(uint64_t ns, uint64_t ne) {
        if (!whole_ && ne <= old_size_) {
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
        if (!whole_) {
            if (os::Status s = index_window(ns, ne); !s)
                return s;
        }
        if (os::Status s = read_range(newf_, ns, ne - ns, newbuf_); !s)
            return s;
        match_segment(oldbuf_.data(), static_cast<int64_t>(oldbuf_.size()), wstart_, sa_.data(),
                      newbuf_.data(), static_cast<int64_t>(newbuf_.size()),
                      static_cast<int64_t>(ns) - static_cast<int64_t>(wstart_), pk_);
        return os::Status::success();
    }

  private:
    void index() {
        if (opt_.indexing)
            opt_.indexing(true);
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
    const bool whole_; // the old file is indexed whole
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
    BlockPacker pk(out, new_size, opt.level, opt.fast_apply, opt.bandwidth, refs);
    pk.on_block = &progress;
    SegmentCoder coder(oldf, old_size, newf, opt, pk);
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

// ---------------------------------------------------------------- decoder side

namespace {

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
        if (!failed_ && !in_.read_byte(b, st_)) {
            failed_ = true;
            b = 0;
        }
        return b;
    }
    // A varint of at most 64 bits.
    uint64_t varu() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = byte();
            if (failed_ || (shift == 63 && b > 1))
                break;
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80))
                return v;
        }
        failed_ = true;
        return 0;
    }
    bool failed() const { return failed_; }
    DecodeResult failure() const {
        return st_.ok() ? DecodeResult::corrupt("difference data is cut short")
                        : DecodeResult::io(st_);
    }

  private:
    PayloadReader& in_;
    os::Status st_;
    bool failed_ = false;
};

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
    auto raw_form = [&](int i) { return b.coding[i] == static_cast<uint8_t>(StreamCoding::Raw); };
    b.raw[0] = b.stored[0] = h.varu();
    if (!raw_form(0))
        b.stored[0] = h.varu();
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
    if (b.raw[2] > 0 && !raw_form(2))
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
    if (mixing(b.coding[1]) && b.raw[1] + b.raw[2] != b.out_len)
        return DecodeResult::corrupt("a difference block does not add up");
    return DecodeResult::ok();
}

bool is_ok(const DecodeResult& r) {
    return r.status == DecodeStatus::Ok;
}

// Decodes a block's instructions into `instrs`; the history gains them.
DecodeResult decode_instructions(uint8_t coding, std::vector<uint8_t>& packed, uint64_t raw_len,
                                 InstrHistory& hist, std::vector<uint8_t>& instrs) {
    using SC = StreamCoding;
    const char* damaged = "compressed difference data is invalid";
    size_t n = static_cast<size_t>(raw_len);
    if (coding == static_cast<uint8_t>(SC::Instructions))
        return instr_decode(packed.data(), packed.size(), n, hist, instrs)
                   ? DecodeResult::ok()
                   : DecodeResult::corrupt(damaged);
    if (coding == static_cast<uint8_t>(SC::Raw)) {
        instrs.swap(packed);
    } else {
        instrs.resize(n);
        bool decoded = coding == static_cast<uint8_t>(SC::Deflate)
                           ? inflate_exact(packed.data(), packed.size(), instrs.data(), n)
                           : cm_decode_bytes(packed.data(), packed.size(), instrs.data(), n);
        if (!decoded)
            return DecodeResult::corrupt(damaged);
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

// Reads the stored bytes of a block's three streams: the instructions' into `instr_store`,
// the others' into `into[1]` and `into[2]` (`into[0]` is not touched).
DecodeResult read_streams(PayloadReader& in, const BlockHead& b, std::vector<uint8_t>& instr_store,
                          std::vector<uint8_t> (&into)[3], const char* cut_short) {
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t>& buf = i == 0 ? instr_store : into[i];
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
    std::vector<uint8_t> packed, instrs;
    std::vector<uint8_t> skip[3];
    for (uint64_t read_to = 0; read_to < ref.new_size && own.size() < InstrHistory::kMax;) {
        BlockHead b;
        DecodeResult r = read_block_head(in, ref.new_size - read_to, b);
        if (!is_ok(r))
            return r.status == DecodeStatus::Io
                       ? r
                       : DecodeResult::corrupt("the instructions it refers to are damaged");
        if (r = read_streams(in, b, packed, skip, "the instructions it refers to are cut short");
            !is_ok(r))
            return r;
        if (!is_ok(decode_instructions(b.coding[0], packed, b.raw[0], own, instrs)))
            return DecodeResult::corrupt("the instructions it refers to are damaged");
        read_to += b.out_len;
    }
    for (const Instr& i : own.all())
        out.add(i);
    return DecodeResult::ok();
}

} // namespace

DecodeResult delta_stats(const Entry& e, os::File& patch, DeltaStats& out) {
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    std::vector<uint8_t> skip[3];
    for (uint64_t read_to = 0; read_to < e.new_size;) {
        BlockHead b;
        if (DecodeResult r = read_block_head(in, e.new_size - read_to, b); !is_ok(r))
            return r;
        if (DecodeResult r = read_streams(in, b, skip[0], skip, "difference data is cut short");
            !is_ok(r))
            return r;
        for (int i = 0; i < 3; ++i) {
            out.raw[i] += b.raw[i];
            out.stored[i] += b.stored[i];
            out.by_coding[b.coding[i] <= 4 ? b.coding[i] : 0]++;
        }
        read_to += b.out_len;
        ++out.blocks;
    }
    return in.remaining() == 0 ? DecodeResult::ok()
                               : DecodeResult::corrupt("difference data has trailing bytes");
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
    std::vector<uint8_t> instrs; // decoded instructions, already checked
    std::vector<uint8_t> src[3]; // stored bytes of each stream (the instructions' unused)
    std::vector<uint8_t> block;  // the result
    uint64_t memory = 0;         // what decoding it may hold at once
    DecodeResult result;
    // The number of difference bytes (checked: the output length less the literals).
    uint64_t diff_total() const { return out_len - raw[2]; }
};

// A block's literal and difference bytes, decoded as far as they are before the block is
// assembled.
struct BlockBytes {
    const uint8_t* literals = nullptr; // the stored bytes, or `literal_store`'s
    std::vector<uint8_t> literal_store;
    // Context-mixed difference bytes are decoded while the block is assembled, by `mixed`,
    // from the old bytes under all of them, read first (`olds`); the other codings are
    // decoded whole into `diff` (left empty when every difference byte is zero).
    std::unique_ptr<DiffDecoder> mixed;
    std::vector<uint8_t> olds;
    std::vector<uint8_t> diff;
};

DecodeResult decode_literals(BlockJob& j, BlockBytes& bytes) {
    using SC = StreamCoding;
    const std::vector<uint8_t>& src = j.src[2];
    bytes.literals = src.data();
    if (j.coding[2] == static_cast<uint8_t>(SC::Raw))
        return DecodeResult::ok();
    std::vector<uint8_t>& lit = bytes.literal_store;
    lit.resize(static_cast<size_t>(j.raw[2]));
    bool decoded = j.coding[2] == static_cast<uint8_t>(SC::Deflate)
                       ? inflate_exact(src.data(), src.size(), lit.data(), lit.size())
                       : cm_decode_bytes(src.data(), src.size(), lit.data(), lit.size());
    if (!decoded)
        return DecodeResult::corrupt("compressed difference data is invalid");
    bytes.literals = lit.data();
    return DecodeResult::ok();
}

// The old bytes under every difference byte of the block, in order.
DecodeResult read_olds(const BlockJob& j, os::File& old, std::vector<uint8_t>& olds) {
    olds.resize(static_cast<size_t>(j.diff_total()));
    ByteReader r(j.instrs.data(), j.instrs.size());
    uint64_t at = 0, oldpos = j.oldpos;
    while (r.left() > 0) {
        Instr in = read_instr(r);
        if (in.diff_len) {
            os::Status st =
                old.read_exact_at(oldpos, olds.data() + at, static_cast<size_t>(in.diff_len));
            if (!st)
                return DecodeResult::io(st);
        }
        at += in.diff_len;
        oldpos += in.diff_len + static_cast<uint64_t>(in.seek);
    }
    return DecodeResult::ok();
}

DecodeResult decode_differences(BlockJob& j, os::File& old, BlockBytes& bytes) {
    using SC = StreamCoding;
    const uint8_t coding = j.coding[1];
    if (mixing(coding)) {
        // The model looks at the old bytes of the whole block: read them all first.
        if (DecodeResult r = read_olds(j, old, bytes.olds); !is_ok(r))
            return r;
        bytes.mixed = std::make_unique<DiffDecoder>(
            coding == static_cast<uint8_t>(SC::Mixing2) ? DiffModelKind::Second
                                                        : DiffModelKind::First,
            j.src[1].data(), j.src[1].size(), j.diff_total(), bytes.olds.data());
        return DecodeResult::ok();
    }
    if (coding == kZeroDifferences)
        return DecodeResult::ok();
    std::vector<uint8_t> runs;
    if (coding == static_cast<uint8_t>(SC::Deflate)) {
        runs.resize(static_cast<size_t>(j.raw[1]));
        if (!inflate_exact(j.src[1].data(), j.src[1].size(), runs.data(), runs.size()))
            return DecodeResult::corrupt("compressed difference data is invalid");
    } else {
        runs.swap(j.src[1]);
    }
    if (!expand_zero_runs(runs, bytes.diff, static_cast<size_t>(j.diff_total())))
        return DecodeResult::corrupt("difference bytes are invalid");
    return DecodeResult::ok();
}

// Executes the block's instructions (already checked) into j.block.
DecodeResult assemble_block(BlockJob& j, os::File& old, BlockBytes& bytes) {
    j.block.resize(static_cast<size_t>(j.out_len));
    ByteReader r(j.instrs.data(), j.instrs.size());
    uint64_t out_at = 0, diff_at = 0, literal_at = 0, oldpos = j.oldpos;
    while (r.left() > 0) {
        Instr in = read_instr(r);
        if (in.diff_len) {
            uint8_t* dst = j.block.data() + out_at;
            size_t n = static_cast<size_t>(in.diff_len);
            if (bytes.mixed) {
                std::memcpy(dst, bytes.olds.data() + diff_at, n);
                bytes.mixed->apply(dst, n, j.at + out_at);
            } else {
                if (os::Status st = old.read_exact_at(oldpos, dst, n); !st)
                    return DecodeResult::io(st);
                if (!bytes.diff.empty()) {
                    const uint8_t* diff = bytes.diff.data() + diff_at;
                    for (size_t i = 0; i < n; ++i)
                        dst[i] = static_cast<uint8_t>(dst[i] + diff[i]);
                }
            }
            out_at += in.diff_len;
            diff_at += in.diff_len;
            oldpos += in.diff_len;
        }
        if (in.literal_len) {
            std::memcpy(j.block.data() + out_at, bytes.literals + literal_at,
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
    if (DecodeResult r = decode_literals(j, bytes); !is_ok(r))
        return r;
    if (DecodeResult r = decode_differences(j, old, bytes); !is_ok(r))
        return r;
    if (DecodeResult r = assemble_block(j, old, bytes); !is_ok(r))
        return r;
    if (bytes.mixed && !bytes.mixed->finished_cleanly())
        return DecodeResult::corrupt("a difference block does not add up");
    return DecodeResult::ok();
}

// Blocks are decoded on every core, as many at once as there are cores, while the memory they
// hold together stays within a budget: the 32-bit engine keeps its whole apply under 64 MB.
size_t decode_threads() {
    unsigned hw = std::thread::hardware_concurrency();
    return std::max<size_t>(1, hw);
}

constexpr uint64_t kDecodeBudget = sizeof(void*) >= 8 ? 512ull << 20 : 40ull << 20;
// The context-mixing models' tables when every context has been seen: difference bytes,
// other streams.
constexpr uint64_t kDiffModelBytes = 10u << 20;
constexpr uint64_t kByteModelBytes = 3u << 20;

// What decoding a block holds at its peak: the stored streams, the instructions, the decoded
// literals and difference bytes (or the old bytes the model reads), the models and the result.
uint64_t block_memory(const BlockHead& b) {
    uint64_t m = b.stored[0] + b.stored[1] + b.stored[2] + b.raw[0] + b.out_len;
    if (b.coding[2] != static_cast<uint8_t>(StreamCoding::Raw))
        m += b.raw[2] + (mixing(b.coding[2]) ? kByteModelBytes : 0);
    uint64_t diff_total = b.out_len - std::min(b.raw[2], b.out_len);
    if (mixing(b.coding[1]))
        m += diff_total + kDiffModelBytes;
    else if (b.coding[1] != kZeroDifferences)
        m += diff_total + b.raw[1];
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
// not been shown to keep, and so the next block knows where it starts.
DecodeResult read_block(PayloadReader& in, const BlockHead& b, InstrHistory& hist,
                        std::vector<uint8_t>& packed, BlockJob& j) {
    j.out_len = b.out_len;
    std::copy(b.coding, b.coding + 3, j.coding);
    std::copy(b.raw, b.raw + 3, j.raw);
    if (DecodeResult r = read_streams(in, b, packed, j.src, "difference data is cut short");
        !is_ok(r))
        return r;
    return decode_instructions(b.coding[0], packed, b.raw[0], hist, j.instrs);
}

// The blocks being decoded, oldest first, and their writing out in order.
class BlockPipeline {
  public:
    BlockPipeline(Sink& out, const ProgressFn& progress) : out_(out), progress_(progress) {}
    // On an early return every worker still has to finish before its job goes away.
    ~BlockPipeline() {
        for (auto& p : running_)
            if (p.second.valid())
                p.second.wait();
    }

    // Room for a block that holds `memory`: the oldest ones are written out until it fits.
    DecodeResult make_room(uint64_t memory) {
        while (!running_.empty() &&
               (running_.size() >= parallel_ || holding_ + memory > kDecodeBudget)) {
            if (DecodeResult r = retire(); !is_ok(r))
                return r;
        }
        holding_ += memory;
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
            if (DecodeResult r = retire(); !is_ok(r))
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
        if (!is_ok(j->result))
            return j->result;
        if (os::Status st = out_.write(j->block.data(), j->block.size()); !st)
            return DecodeResult::io(st);
        produced_ += j->out_len;
        progress_(produced_);
        return DecodeResult::ok();
    }

    Sink& out_;
    const ProgressFn& progress_;
    std::deque<std::pair<std::unique_ptr<BlockJob>, std::future<void>>> running_;
    const size_t parallel_ = decode_threads();
    uint64_t holding_ = 0;  // memory of the blocks in flight
    uint64_t produced_ = 0; // written to the sink
};

} // namespace

DecodeResult decode_delta(const Entry& e, os::File& patch, os::File& old, uint64_t old_size,
                          Sink& out, const ProgressFn& progress) {
    PayloadReader in(patch, e.payload_offset, e.payload_size);
    BlockPipeline pipeline(out, progress);
    InstrHistory hist;
    if (e.ref.present) {
        if (DecodeResult r = load_reference(e.ref, patch, hist); !is_ok(r))
            return r;
    }
    hist.start_own();
    std::vector<uint8_t> packed;
    uint64_t read_to = 0; // covered by the blocks read so far
    uint64_t oldpos = 0;  // where the next block's instructions start in the old file
    while (read_to < e.new_size) {
        auto j = std::make_unique<BlockJob>();
        BlockHead b;
        if (DecodeResult r = read_block_head(in, e.new_size - read_to, b); !is_ok(r))
            return r;
        j->memory = block_memory(b);
        if (DecodeResult r = pipeline.make_room(j->memory); !is_ok(r))
            return r;
        if (DecodeResult r = read_block(in, b, hist, packed, *j); !is_ok(r))
            return r;
        j->at = read_to;
        j->oldpos = oldpos;
        if (DecodeResult r = check_instructions(*j, old_size, oldpos); !is_ok(r))
            return r;
        read_to += j->out_len;
        pipeline.start(std::move(j), old, read_to >= e.new_size);
    }
    if (in.remaining() != 0) {
        // Checked before the blocks still running are written, as before.
        return DecodeResult::corrupt("difference data has trailing bytes");
    }
    return pipeline.finish();
}

} // namespace kv
