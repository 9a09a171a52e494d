// Unit tests of the engine's parts: paths, command lines, directory records, suffix arrays,
// codecs and models.
#include "bytes.h"
#include "cm.h"
#include "cmdline.h"
#include "codec.h"
#include "crossfile.h"
#include "delta.h"
#include "format.h"
#include "literals.h"
#include "os.h"
#include "paths.h"
#include "sais.h"
#include "test_support.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>

using namespace kv;
using namespace kvtest;

TEST(Paths, OrdinaryNamesPassAndHostileOnesAreRefused) {
    for (const char* p : {"a.txt", "data/levels/one.lvl", "with blank/file name.txt", "x~y.dat",
                          "console.d", "Tarrowmoor/saves/slot1.sav", "COM10.txt", "\xE9t\xE9.txt",
                          "lpt.txt", "nul_file", ".hidden", "a..b"})
        EXPECT_TRUE(check_rel_path(p)) << p;
    // clang-format off
    const std::string hostile[] = {
        "", "/etc/passwd", "C:/x", "c:x", "../x", "a/../../x", "a//b", "a/./b", "./x", "a/", "..", ".",
        "data:stream", "data/file.txt:ads",
        "CON", "con", "nul.txt", "NUL .txt", "Com1.dat", "lpt9", "LPT\xB9", "dir/aux.log", "conin$",
        "con.d/file",
        "a<b", "a>b", "a|b", "a?b", "a*b", "a\"b", "a\\b", "a\001b", "tab\there", "a\x7f",
        "trailing.", "trailing ", " leading", "PROGRA~1/x", "DATA~12.BIN",
        std::string(1025, 'a'), "d/" + std::string(256, 'a')};
    // clang-format on
    for (const std::string& p : hostile)
        EXPECT_EQ(check_rel_path(p).status, PatchError::Hostile) << p;
    EXPECT_EQ(fold_case("Data/A.txt"), fold_case("data/a.TXT"));
    EXPECT_NE(fold_case("a1"), fold_case("a2"));
    EXPECT_EQ(bare_name("a/b/c d.txt"), "c d.txt");
    EXPECT_EQ(bare_name("top.txt"), "top.txt");
    EXPECT_EQ(parent_rel("a/b/c"), "a/b");
    EXPECT_EQ(shorten_middle("abcdefghijklmnopqrstuvwxyz", 11), "ab...uvwxyz");
}

// The lines the tool builds, and what a refused line is told. The list flag is set as soon as
// -l is seen, even on a refused line, so that list mode stays silent.
TEST(CommandLine, LinesAreReadOrRefused) {
    struct Read {
        const char* line;
        bool list;
        Mode mode;
        bool ignore, has_temp, has_game;
        const char *temp, *game, *patch;
    };
    // clang-format off
    const Read read[] = {
        {R"(-u -j -i "-otempdir:D:\Temp" "C:\Games\Tarrowmoor" "D:\Downloads\update.rtp")", false, Mode::Validate, true, true, true, R"(D:\Temp)", R"(C:\Games\Tarrowmoor)", R"(D:\Downloads\update.rtp)"},
        {R"(-u "-otempdir:D:\" "C:\My Games\T" "p.rtp")", false, Mode::Apply, false, true, true, R"(D:\)", R"(C:\My Games\T)", "p.rtp"},
        {R"(-u "-otempdir:" "p.rtp")", false, Mode::Apply, false, true, false, "", "", "p.rtp"},
        {R"(-l  "C:\Games\Tarrowmoor" "D:\Downloads\update.rtp")", true, Mode::List, false, false, true, "", R"(C:\Games\Tarrowmoor)", R"(D:\Downloads\update.rtp)"},
        {R"(-l  "D:\update.rtp")", true, Mode::List, false, false, false, "", "", R"(D:\update.rtp)"},
    };
    // clang-format on
    for (const Read& row : read) {
        CommandLine cl;
        bool list = !row.list;
        ASSERT_FALSE(parse_command_line(row.line, cl, list).ends()) << row.line;
        EXPECT_EQ(std::tie(list, cl.mode, cl.ignore_missing, cl.has_temp, cl.has_game_dir,
                           cl.temp_dir, cl.game_dir, cl.patch_path),
                  std::make_tuple(row.list, row.mode, row.ignore, row.has_temp, row.has_game,
                                  std::string(row.temp), std::string(row.game),
                                  std::string(row.patch)))
            << row.line;
    }
    // What a refused line is told ("?": any refusal).
    // clang-format off
    const std::tuple<const char*, const char*, bool> refused[] = {
        {R"(-u -x "p.rtp")", "Unknown switch \"-x\" on the command line. The engine accepts -u, -j, -i, -l and \"-otempdir:DIR\".", false},
        {R"(-u "-otempdir:C:\t" "C:\game" "p.rtp)", "Malformed command line: a double quote is not closed.", false},
        {"-u", "Malformed command line: no patch file is named.", false},
        {"", "Malformed command line: no patch file is named.", false},
        {R"(-u "a" "b" "c")", "Malformed command line: expected at most a game directory and a patch file, but found 3 paths.", false},
        {R"(-u "" "p.rtp")", "Malformed command line: an empty path is given.", false},
        {R"(-l -u "p.rtp")", "Malformed command line: list mode (-l) cannot be combined with -u, -j or -i.", true},
        {R"(-u "-otempdir:a" "-otempdir:b" "p")", "Malformed command line: the temp directory is given twice.", false},
        {R"(-uj "p")", "?", false},
        {R"(-otemp:x "p")", "?", false},
    };
    // clang-format on
    for (auto [line, error, list_seen] : refused) {
        CommandLine cl;
        bool list = false;
        std::string got = parse_command_line(line, cl, list).error();
        EXPECT_EQ(list, list_seen) << line;
        if (std::string(error) == "?")
            EXPECT_NE(got, "") << line;
        else
            EXPECT_EQ(got, error) << line;
    }
}

TEST(Bytes, VarintsRoundTripAndRejectOverlong) {
    std::vector<uint8_t> b;
    const uint64_t vals[] = {0, 1, 127, 128, 300, 1ull << 32, ~0ull};
    const int64_t svals[] = {0, -1, 1, -64, 64, INT64_MIN, INT64_MAX};
    for (uint64_t v : vals)
        put_varu(b, v);
    for (int64_t v : svals)
        put_vars(b, v);
    ByteReader r(b.data(), b.size());
    for (uint64_t v : vals)
        EXPECT_EQ(r.varu(), v);
    for (int64_t v : svals)
        EXPECT_EQ(r.vars(), v);
    EXPECT_FALSE(r.bad());
    EXPECT_EQ(r.left(), 0u);
    uint8_t overlong[11] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 0};
    ByteReader r2(overlong, sizeof overlong);
    r2.varu();
    EXPECT_TRUE(r2.bad());
}

// Every kind of entry keeps every field, whichever way the directory is stored.
TEST(Directory, RecordsKeepEveryFieldInEveryCoding) {
    auto entry = [](Op op, Codec codec, const char* path, uint64_t old_size, const char* old,
                    uint32_t attrs, const std::string& content, const std::string& payload) {
        CraftEntry c = add_entry(path, content);
        c.entry.op = op;
        c.entry.codec = codec;
        c.entry.old_size = old_size;
        if (*old)
            c.entry.old_hash = hash128(old, std::strlen(old));
        c.entry.attrs = attrs;
        c.payload = payload;
        if (!c.entry.makes_new())
            c.entry.new_size = 0, c.entry.new_hash = Hash128{};
        return c;
    };
    // clang-format off
    std::vector<CraftEntry> es = {
        entry(Op::MakeDir, Codec::None, "data/new folder", 0, "", 0, "", ""),
        entry(Op::Modify, Codec::Deflate, "data/levels/level01.lvl", 123456789012ull, "old", 0x21 /* read-only, archive */, std::string(3000, 'g'), std::string(40, 'p')),
        entry(Op::Modify, Codec::Delta, "data/levels/level02.lvl", 99999, "older", 0, "short", "delta bytes"),
        add_entry("data/levels/level02.lvl.bak", "stored as it is"),
        entry(Op::Delete, Codec::None, "readme.txt", 7, "gone...", 0, "", ""),
        entry(Op::RemoveDir, Codec::None, "old stuff", 0, "", 0, "", "")};
    // clang-format on
    uint64_t at = kHeaderSize; // where craft_patch puts the payloads
    for (CraftEntry& c : es)
        if (c.entry.makes_new()) {
            c.entry.payload_offset = at;
            c.entry.payload_size = c.payload.size();
            at += c.payload.size();
        }
    auto fields = [](const Entry& e) {
        return std::make_tuple(e.op, e.codec, e.attrs, e.old_size, e.old_hash.hex(), e.new_size,
                               e.new_hash.hex(), e.payload_offset, e.payload_size, e.path);
    };
    for (uint32_t coding : {kDirRaw, kDirDeflate, kDirCompactMixed, kDirCompactDeflate}) {
        Scratch s;
        craft_patch(s.sub("p.rtp"), es, coding);
        Patch p;
        DecodeResult opened = open_patch(s.sub("p.rtp"), p);
        ASSERT_TRUE(opened) << coding << ": " << opened.message;
        ASSERT_EQ(p.entries.size(), es.size());
        for (size_t i = 0; i < es.size(); ++i)
            EXPECT_EQ(fields(p.entries[i]), fields(es[i].entry)) << coding << " " << i;
    }
    // The compact form is much smaller than the fixed records.
    std::vector<Entry> plain;
    for (const CraftEntry& c : es)
        plain.push_back(c.entry);
    EXPECT_LT(encode_compact_directory(plain).size() * 2, encode_directory(plain).size());
}

TEST(Directory, DamagedCompactRecordsAreRefused) {
    Scratch s;
    std::vector<Entry> plain = {add_entry("a/b/c.txt", "one").entry,
                                add_entry("a/b/d.txt", "two").entry};
    for (size_t i : {0, 1}) {
        plain[i].payload_offset = kHeaderSize + 3 * i;
        plain[i].payload_size = 3;
    }
    // A patch around the two payloads whose directory is `dir`, context-mixed.
    auto open_with = [&](const std::vector<uint8_t>& dir) {
        seal_patch(s.sub("x.rtp"), "onetwo", dir, 2, kDirCompactMixed);
        Patch p;
        DecodeResult opened = open_patch(s.sub("x.rtp"), p);
        return std::make_pair(opened.status, opened.message);
    };
    std::vector<uint8_t> good = encode_compact_directory(plain), longer = good;
    longer.push_back(0);
    EXPECT_EQ(open_with(good), std::make_pair(PatchError::None, std::string()));
    const auto invalid = std::make_pair(
        PatchError::Corrupt, std::string("The patch is damaged (its directory is invalid)."));
    EXPECT_EQ(open_with(std::vector<uint8_t>(good.begin(), good.end() - 1)), invalid);
    EXPECT_EQ(open_with(longer), invalid);
    // The second path claims one byte more than the first path has in common with it: its
    // record ends in the shared length 9, the rest length 2 and "/x".
    std::vector<Entry> deeper = plain;
    deeper[1].path = "a/b/c.txt/x";
    std::vector<uint8_t> d = encode_compact_directory(deeper);
    ASSERT_EQ(d[d.size() - 4], 9);
    d[d.size() - 4] = 10;
    EXPECT_EQ(open_with(d), invalid);
    // And a path that is a file and a folder at once is still refused as hostile.
    EXPECT_EQ(open_with(encode_compact_directory(deeper)).first, PatchError::Hostile);
}

// An entry flag means something only from the format version that gave it its meaning, and a
// hash taken from the literal store only on an entry whose whole file is its share: anything
// else is damage, refused when the patch is opened, whichever way the directory is stored.
TEST(Directory, EntryFlagsOutOfPlaceAreRefused) {
    const std::string unknown = "The patch is damaged: an entry has unknown flags.";
    // clang-format off
    const std::vector<std::tuple<uint16_t, uint16_t, std::string>> cases = {
        {2, kFlagHashFromShare, unknown}, {4, kFlagHashFromShare, unknown}, {5, 2, unknown}, {5, 0x8001, unknown},
        {5, kFlagHashFromShare, "The patch is damaged: \"a.txt\" has no new hash and no whole share of the literal store."}};
    // clang-format on
    for (const auto& [version, flags, why] : cases)
        for (uint32_t coding : {kDirRaw, kDirCompactDeflate}) {
            Scratch s;
            CraftEntry c = add_entry("a.txt", "text");
            c.entry.flags = flags;
            craft_patch(s.sub("p.rtp"), {c}, coding);
            std::string bytes = read_file(s.sub("p.rtp"));
            bytes[8] = static_cast<char>(version);
            write_file(s.sub("p.rtp"), resealed(bytes));
            Patch p;
            DecodeResult r = open_patch(s.sub("p.rtp"), p);
            EXPECT_EQ(std::pair(r.status, r.message), std::pair(PatchError::Corrupt, why))
                << version << " " << flags << " " << coding;
        }
}

// The source list (format version 3) reads back what it wrote, an entry's old file as its
// index, another file with path, size and hash; out-of-place values are refused before use.
TEST(Sources, ListsRoundTripAndOutOfPlaceValuesAreRefused) {
    std::vector<Entry> es(3), back;
    es[0].op = Op::Delete;
    es[0].old_size = 7;
    es[0].old_hash = hash128("deleted", 7);
    es[0].path = "src/a.js";
    es[1].codec = es[2].codec = Codec::Delta;
    es[1].source = {true, "src/a.js", 7, es[0].old_hash, Entry::kNoEntry};
    es[2].source = {true, "keep/c.js", 9, hash128("kept", 4), Entry::kNoEntry};
    std::vector<uint8_t> sec = encode_sources_section(es);
    auto read = [&](const std::vector<uint8_t>& body, std::string& msg) {
        back = es;
        back[1].source = back[2].source = {};
        DecodeResult r = read_sources(body.data(), body.size(), back);
        msg = r.message;
        return r.status;
    };
    std::string msg;
    ASSERT_EQ(read({sec.begin() + 8, sec.end()}, msg), PatchError::None) << msg;
    EXPECT_EQ(std::string(sec.begin(), sec.begin() + 4), "srcs");
    EXPECT_EQ(std::tie(back[1].source.entry, back[2].source.path, back[2].source.size,
                       back[2].source.hash),
              std::make_tuple(0u, es[2].source.path, es[2].source.size, es[2].source.hash));
    // clang-format off
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
        {{}, "has an impossible count"}, {{0}, "has an impossible count"}, {{4, 1, 0}, "has an impossible count"},
        {{1, 3, 0}, "names an entry beyond the directory"}, {{1, 0, 2}, "gives a source to an entry that is not a difference"},
        {{1, 1, 2}, "names an entry that has no old file to read"},  // itself
        {{1, 1, 4}, "names an entry that has no old file to read"},  // an added file
        {{1, 1, 6}, "names an entry that has no old file to read"},  // beyond the directory
        {{1, 1, 0x83, 0x10}, "holds a path of impossible length"}, {{1, 2, 1}, "is cut short"},
        {{1, 1, 1, 0}, "names no earlier entry whose new file it can read"},  // a deleted file
        {{1, 1, 1, 1}, "names no earlier entry whose new file it can read"},  // itself
        {{1, 1, 1, 2}, "names no earlier entry whose new file it can read"},  // a later entry
        {{1, 1, 3, 'x', 1}, "is cut short"}, {{1, 1}, "is cut short"}, {{1, 1, 0, 0}, "has trailing bytes"},
        {{1, 1, 3, 'x', 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
          13, 14, 15, 16}, "declares an impossible file size"}};  // 2^60
    // clang-format on
    for (const auto& [body, why] : cases) {
        EXPECT_EQ(read(body, msg), PatchError::Corrupt) << why;
        EXPECT_EQ(msg, "The patch is damaged: its list of sources " + why + ".");
    }
    // The new file of an earlier entry, within what the engine keeps in memory.
    ASSERT_EQ(read({1, 2, 1, 1}, msg), PatchError::None) << msg;
    EXPECT_EQ(std::tie(back[2].source.new_content, back[2].source.entry),
              std::make_tuple(true, 1u));
    es[1].new_size = kMaxNewSourceBytes + 1;
    EXPECT_EQ(read({1, 2, 1, 1}, msg), PatchError::Corrupt);
    EXPECT_EQ(msg, "The patch is damaged: its list of sources names a new file too large to keep.");
    std::vector<uint8_t> unsafe = {1, 1, 9, '.', '.', '/', 'x', 1};
    unsafe.resize(unsafe.size() + 16);
    EXPECT_EQ(read(unsafe, msg), PatchError::Hostile);
    EXPECT_EQ(msg.rfind("The patch is refused: the source \"../x\" is unsafe (", 0), 0u) << msg;
}

// The lists of the literal store (format version 4) and of the instruction store (version 5),
// read by one reader: shares read back in order; every value out of place is refused before
// use, with the reason. The instruction store's stream decodes to each entry's instructions
// exactly.
TEST(StoreLists, SharesAreCheckedBeforeUse) {
    struct Store {
        decltype(&read_literal_shares) reader;
        size_t head; // the bytes after the size: offset, stored size (and the literals' hash)
        uint64_t limit;
        std::string name, gives;
        Entry::Share Entry::*share;
    };
    const Store stores[] = {
        {read_literal_shares, 18, kMaxLiteralStore, "literal store", "literals", &Entry::share},
        {read_instruction_shares, 2, kMaxInstructionStore, "instruction store", "instructions",
         &Entry::instr_share}};
    std::vector<Entry> es(3), back;
    es[0].op = es[2].op = Op::Modify, es[1].op = Op::Delete;
    es[0].codec = es[2].codec = Codec::Delta;
    es[0].payload_size = es[2].payload_size = 9;
    for (const Store& st : stores) {
        SCOPED_TRACE(st.name);
        auto read = [&](uint64_t size, std::vector<uint8_t> tail) {
            std::vector<uint8_t> body;
            put_varu(body, size);
            body.insert(body.end(), st.head, 1);
            body.insert(body.end(), tail.begin(), tail.end());
            back = es;
            LiteralStoreRef ref;
            DecodeResult r = st.reader(body.data(), body.size(), back, ref);
            return std::pair{r.status, r.message};
        };
        ASSERT_EQ(read(5, {2, 0, 2, 1, 3}).first, PatchError::None);
        EXPECT_EQ(std::make_tuple((back[0].*st.share).offset, (back[0].*st.share).length,
                                  (back[2].*st.share).offset, (back[2].*st.share).length),
                  std::make_tuple(0u, 2u, 2u, 3u));
        // clang-format off
        const std::vector<std::tuple<uint64_t, std::vector<uint8_t>, std::string>> cases = {
            {0, {1, 0, 1}, "has an impossible size"}, {st.limit + 1, {1, 0, 1}, "has an impossible size"},
            {5, {0}, "has an impossible count"}, {5, {4, 0, 5}, "has an impossible count"}, {5, {}, "is cut short"},
            {5, {1, 0}, "is cut short"}, {5, {1, 3, 5}, "names an entry beyond the directory"},
            {5, {2, 0, 2, 2, 3}, "names an entry beyond the directory"}, {5, {1, 0, 5, 0}, "has trailing bytes"},
            {5, {1, 1, 5}, "gives " + st.gives + " to an entry that is not a difference"},  // a deleted file
            {5, {1, 0, 0}, "does not add up"}, {5, {1, 0, 6}, "does not add up"}, {5, {1, 0, 4}, "does not add up"}};
        // clang-format on
        for (const auto& [size, tail, why] : cases)
            EXPECT_EQ(read(size, tail),
                      std::pair(PatchError::Corrupt,
                                "The patch is damaged: its " + st.name + " " + why + "."));
    }
    es[2].payload_size = 0; // no payload, no blocks to take the instructions
    back = es;
    std::vector<uint8_t> body = {3, 1, 1, 1, 2, 3};
    LiteralStoreRef ref;
    EXPECT_EQ(read_instruction_shares(body.data(), body.size(), back, ref).message,
              "The patch is damaged: its instruction store does not add up.");
}

TEST(InstructionStore, StreamDecodesToEachEntrysInstructions) {
    std::vector<uint8_t> raw;
    std::vector<uint64_t> lengths;
    for (uint64_t k = 0; k < 40; ++k) { // short entries with the same habits
        size_t from = raw.size();
        for (uint64_t i = 0; i <= k % 5; ++i)
            put_instr(raw,
                      Instr{9 + (k * 7 + i) % 20, (k + i) % 6, static_cast<int64_t>(k * 40) - 700});
        lengths.push_back(raw.size() - from);
    }
    const std::vector<uint8_t> coded = instr_encode_entries(raw, lengths);
    std::vector<uint8_t> out;
    ASSERT_TRUE(instr_decode_entries(coded.data(), coded.size(), lengths, out, "x"));
    EXPECT_EQ(out, raw);
    std::vector<uint64_t> longer = lengths;
    longer.back() += 3;
    for (auto [n, ls] : {std::pair{coded.size() - 1, &lengths}, {coded.size(), &longer}})
        EXPECT_EQ(instr_decode_entries(coded.data(), n, *ls, out, "x").message, "x");
}

TEST(SuffixArray, MatchesNaiveSorting) {
    for (uint32_t seed = 0; seed < 60; ++seed) {
        size_t n = seed < 10 ? seed : 50 + seed * 37;
        std::string s = random_bytes(seed, n);
        if (seed % 3 == 0) // small alphabets and long repeats exercise the recursion
            for (char& c : s)
                c = static_cast<char>('a' + (static_cast<unsigned char>(c) % (seed % 5 + 1)));
        // Every position, then the even ones alone (an odd length ends in a lone byte).
        for (size_t step : {1, 2}) {
            std::vector<int32_t> sa((n + step - 1) / step), ref;
            const auto* text = reinterpret_cast<const uint8_t*>(s.data());
            if (step == 1)
                build_suffix_array(text, sa.data(), static_cast<int32_t>(n));
            else
                build_even_suffix_array(text, sa.data(), static_cast<int64_t>(n));
            for (size_t i = 0; i < n; i += step)
                ref.push_back(static_cast<int32_t>(i));
            std::sort(ref.begin(), ref.end(), [&](int32_t a, int32_t b) {
                return s.compare(static_cast<size_t>(a), std::string::npos, s,
                                 static_cast<size_t>(b), std::string::npos) < 0;
            });
            ASSERT_EQ(sa, ref) << "seed " << seed << " step " << step;
        }
    }
}

namespace {

struct StringSink : Sink {
    explicit StringSink(std::string& s) : out(s) {}
    os::Status write(const void* d, size_t n) override {
        out.append(static_cast<const char*>(d), n);
        return os::Status::success();
    }
    std::string& out;
};

// Decodes the payload file of a delta entry (or, without an old file, of a deflate entry).
DecodeResult decode(
    const std::string& payload, const std::string& old, uint64_t old_size, uint64_t new_size,
    Sink& out, const ProgressFn& progress = [](uint64_t) {}, uint64_t held = 0) {
    os::File pf, of;
    Entry e;
    e.op = old.empty() ? Op::Add : Op::Modify;
    e.codec = old.empty() ? Codec::Deflate : Codec::Delta;
    e.new_size = new_size;
    EXPECT_TRUE(os::File::open_read(payload, pf).ok());
    EXPECT_TRUE(pf.size(e.payload_size).ok());
    EXPECT_TRUE(old.empty() || os::File::open_read(old, of).ok());
    return decode_payload(e, pf, old.empty() ? nullptr : &of, old_size, out, progress, held);
}

// Encodes new against old into s's "payload" and decodes it again.
struct CodecRun {
    std::string payload, decoded;
    DecodeResult result;
    DeltaStats stats;
};
CodecRun delta_round_trip(const Scratch& s, const std::string& oldb, const std::string& newb,
                          const DeltaOptions& opt) {
    write_file(s.sub("old"), oldb);
    write_file(s.sub("new"), newb);
    os::File of, nf;
    EXPECT_TRUE(os::File::open_read(s.sub("old"), of).ok());
    EXPECT_TRUE(os::File::open_read(s.sub("new"), nf).ok());
    Spool spool(s.sub("spill"));
    EXPECT_TRUE(encode_delta(of, oldb.size(), nf, newb.size(), spool, opt, nullptr).ok());
    CodecRun r;
    StringSink collect(r.payload);
    EXPECT_TRUE(spool.copy_to(collect).ok());
    write_file(s.sub("payload"), r.payload);
    StringSink dec(r.decoded);
    r.result = decode(s.sub("payload"), s.sub("old"), oldb.size(), newb.size(), dec);
    os::File pf;
    EXPECT_TRUE(os::File::open_read(s.sub("payload"), pf).ok());
    Entry e;
    e.codec = Codec::Delta;
    e.payload_size = r.payload.size();
    e.new_size = newb.size();
    EXPECT_TRUE(delta_stats(e, pf, r.stats));
    return r;
}

// Matching windows: the default, windows of the old file, in-place matching (no index) with
// blocks of 4 MiB, and the whole old file with only its even positions indexed (small or
// large).
DeltaOptions options(int windows, bool fast = false, double bandwidth = 0) {
    DeltaOptions opt = default_delta_options();
    if (windows == 1)
        opt.whole_limit = 100000, opt.segment = 64 * 1024, opt.margin = 32 * 1024;
    if (windows == 2)
        opt.whole_limit = 1u << 20, opt.segment = 4u << 20, opt.margin = 1u << 20;
    if (windows == 1 || windows == 2)
        opt.even_limit = 0;
    if (windows == 4) // too large to index whole, small enough for the even index (which the
                      // 32-bit tool does not take by default)
        opt.whole_limit = 100000, opt.segment = 64 * 1024, opt.margin = 32 * 1024,
        opt.even_limit = (1ull << 31) - 2;
    if (windows == 3)
        opt.sparse_above = 0;
    opt.fast_apply = fast;
    opt.bandwidth = bandwidth;
    return opt;
}

// The bytes with every step-th byte from `from` to `to` changed by `by`.
std::string edited(std::string s, size_t from, size_t step, int by, size_t to = SIZE_MAX) {
    for (size_t i = from; i < std::min(s.size(), to); i += step)
        s[i] = static_cast<char>(s[i] + by);
    return s;
}

} // namespace

// Round trips of files of every shape, each within the size it should cost. `blocks` and
// `mixed` (whether a stream is context-mixed) are checked where given (>= 0).
TEST(DeltaCodec, RoundTripsWithinTheirSize) {
    const std::string r400 = random_bytes(11, 400000), r600 = random_bytes(21, 600000),
                      r3m = random_bytes(44, 3u << 20), r300 = random_bytes(45, 300000);
    std::string mixed = r400;
    mixed.replace(5000, 100, random_bytes(12, 100));
    mixed.erase(100000, 3000);
    mixed.insert(200000, random_bytes(13, 5000));
    mixed = edited(mixed, 250000, 1000, 1, 300000); // scattered one-byte changes
    // Changes at irregular places, mostly by one: context mixing codes them best.
    std::string irregular = r300, rr = random_bytes(46, 20000);
    for (size_t i = 100, k = 0; i < irregular.size(); i += 20 + static_cast<uint8_t>(rr[k++]) % 64)
        irregular[i] = static_cast<char>(irregular[i] + (rr[k] & 0x70 ? 1 : 1 + (rr[k] & 3)));
    irregular.insert(5000, "a few new bytes");
    std::string r50 = random_bytes(31, 50000), inserted = r50;
    inserted.insert(20000, "inserted text");
    struct Row {
        const char* what;
        std::string oldb, newb;
        DeltaOptions opt;
        size_t max_payload;
        int blocks, mixed; // -1: any
        bool flips;        // every bit 0 and 7 of the payload flipped in turn
    };
    // clang-format off
    const Row rows[] = {
        // Random data does not compress: close to the 5.1 KB of new bytes plus instructions.
        {"edits", r400, mixed, options(0), 7000, -1, -1, false},
        {"windows", r600, random_bytes(22, 1000) + r600.substr(0, 300000) + random_bytes(23, 5000) + r600.substr(310000), options(1), 20000, -1, -1, false},
        // Moved further than any window reaches: found by the index of the whole file.
        {"moved far", r600, r600.substr(500001) + r600.substr(0, 500001), options(4), 1000, -1, -1, false},
        // 70 edited bytes and their places; nothing shifts, so no index is needed.
        {"in place", random_bytes(24, 700000), edited(random_bytes(24, 700000), 1000, 9973, 0x5A) + "appended tail", options(1), 1500, -1, -1, false},
        {"one byte", "a", "b", options(0), SIZE_MAX, -1, -1, false},
        {"repeat", "abc", "abcabcabc", options(0), SIZE_MAX, -1, -1, false},
        {"shrink", std::string(10000, 'z'), "z", options(0), SIZE_MAX, -1, -1, false},
        {"grow", "x", std::string(9000000, 'y'), options(0), SIZE_MAX, -1, -1, false},
        // Blocks with much to decode end after 1 MiB, blocks that are mostly copies run to 4 MiB.
        {"dense", r3m, edited(r3m, 0, 200, 1), options(2), SIZE_MAX, 3, -1, false},
        {"sparse", r3m, edited(r3m, 0, 100003, 1), options(2), SIZE_MAX, 1, -1, false},
        // A publisher may trade size for applying speed: no stream is then context-mixed.
        {"mixed", r300, irregular, options(0), SIZE_MAX, -1, 1, false},
        {"fast", r300, irregular, options(0, true), SIZE_MAX, -1, 0, false},
        // With a bandwidth, mixing stays where the download time it saves outweighs its
        // decoding time (a slow link) and goes where it does not (a fast one).
        {"slow link", r300, irregular, options(0, false, 1e3), SIZE_MAX, -1, 1, false},
        {"fast link", r300, irregular, options(0, false, 1e9), SIZE_MAX, -1, 0, false},
        {"damaged", r50, inserted, options(0), SIZE_MAX, -1, -1, true},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Scratch s;
        CodecRun r = delta_round_trip(s, row.oldb, row.newb, row.opt);
        ASSERT_EQ(r.result.status, PatchError::None) << r.result.message;
        ASSERT_TRUE(r.decoded == row.newb);
        EXPECT_LE(r.payload.size(), row.max_payload);
        if (row.blocks >= 0) {
            EXPECT_EQ(r.stats.blocks, uint64_t(row.blocks));
        }
        if (row.mixed >= 0) {
            EXPECT_EQ(r.stats.by_coding[2] + r.stats.by_coding[3] > 0, row.mixed == 1);
        }
        if (!row.flips)
            continue;
        // Damage is refused or, where it happens to decode, caught by the engine's hash check;
        // either way the decoder stays within its buffers. The payload is a few dozen dense
        // bytes, so many flips still decode to something; the decoder must catch a good share.
        int refused = 0, tried = 0;
        for (size_t pos = 0; pos < r.payload.size(); ++pos)
            for (int bit : {0, 7}) {
                std::string bad = r.payload;
                bad[pos] = static_cast<char>(bad[pos] ^ (1 << bit));
                write_file(s.sub("bad"), bad);
                HashingSink hs;
                DecodeResult d =
                    decode(s.sub("bad"), s.sub("old"), row.oldb.size(), row.newb.size(), hs);
                refused += d.status != PatchError::None;
                ++tried;
            }
        EXPECT_GE(refused, tried / 3) << refused << " of " << tried;
    }
}

// An index of the even old positions alone finds the matches the whole index finds: pieces
// moved from odd and even old offsets to odd and even new ones, edited or not, cost the same.
TEST(DeltaCodec, EvenPositionIndexFindsWhatTheWholeIndexFinds) {
    // Text of a few words: short matches everywhere, long ones only where pieces moved.
    const char* words[] = {"alpha ",   "beta ", "gamma ", "delta ",
                           "epsilon ", "zeta ", "eta ",   "theta "};
    std::string r;
    for (char c : random_bytes(51, 40000))
        r += words[static_cast<uint8_t>(c) % 8];
    std::string moved; // pieces of every parity in both files
    for (size_t k = 0; k < 40; ++k)
        moved += r.substr((k * 7919) % 190000, 3000 + k % 3) + std::string(k % 2, 'x');
    const std::string newbs[] = {moved, edited(moved, 5, 997, 3), r.substr(1) + r.substr(0, 1)};
    for (const std::string& newb : newbs) {
        Scratch s;
        CodecRun whole = delta_round_trip(s, r, newb, options(0));
        CodecRun even = delta_round_trip(s, r, newb, options(3));
        ASSERT_EQ(even.result.status, PatchError::None) << even.result.message;
        ASSERT_TRUE(even.decoded == newb);
        // Within 2%: among equally long matches the two may pick different copies.
        EXPECT_LE(even.payload.size() * 50, whole.payload.size() * 51)
            << even.payload.size() << " vs " << whole.payload.size();
    }
}

// Several blocks are decoded at once by helper threads; what reaches the sink and the progress
// callback comes in order and from the calling thread (the callback of the real engine pumps
// the caller's window messages). Damage or a read failure in the last block while the blocks
// before it are in flight: the failure is reported, nothing of that block is written, and every
// helper has finished before the decoder returns (the sanitizers watch the buffers).
TEST(DeltaCodec, BlocksDecodedTogetherArriveInOrderAndAFailingBlockStopsCleanly) {
    Scratch s;
    std::string oldb = random_bytes(43, 17u << 20);
    std::string newb = edited(oldb, 100, 4099, 0x11); // a difference in every block
    CodecRun r = delta_round_trip(s, oldb, newb, options(2));
    ASSERT_EQ(r.result.status, PatchError::None) << r.result.message;
    ASSERT_TRUE(r.decoded == newb);
    std::vector<uint64_t> seen;
    const std::thread::id caller = std::this_thread::get_id();
    HashingSink all;
    DecodeResult res =
        decode(s.sub("payload"), s.sub("old"), oldb.size(), newb.size(), all, [&](uint64_t n) {
            seen.push_back(n);
            EXPECT_EQ(std::this_thread::get_id(), caller);
        });
    ASSERT_EQ(res.status, PatchError::None) << res.message;
    EXPECT_EQ(seen, (std::vector<uint64_t>{4u << 20, 8u << 20, 12u << 20, 16u << 20, 17u << 20}));
    // A caller that holds more than the decoder's whole budget: one block at a time, all the same.
    HashingSink one;
    res = decode(
        s.sub("payload"), s.sub("old"), oldb.size(), newb.size(), one, [](uint64_t) {},
        uint64_t{1} << 40);
    ASSERT_EQ(res.status, PatchError::None) << res.message;
    EXPECT_TRUE(one.digest() == hash128(newb.data(), newb.size()));
    // The old file shorter than the patch expects: the helper decoding the last block cannot
    // read its old bytes.
    write_file(s.sub("short_old"), oldb.substr(0, (16u << 20) + 10));
    HashingSink cut;
    res = decode(s.sub("payload"), s.sub("short_old"), oldb.size(), newb.size(), cut);
    EXPECT_EQ(res.status, PatchError::Unreadable);
    EXPECT_EQ(cut.count(), 16u << 20); // the four whole blocks before it
    // A flipped bit in the last bytes of the payload: the final block's stream is damaged.
    std::string bad = r.payload;
    bad[bad.size() - 3] = static_cast<char>(bad[bad.size() - 3] ^ 0x40);
    write_file(s.sub("bad"), bad);
    HashingSink hs;
    res = decode(s.sub("bad"), s.sub("old"), oldb.size(), newb.size(), hs);
    // Refused by the decoder, or decoded into bytes the engine's hash check refuses.
    if (res.status == PatchError::None)
        EXPECT_FALSE(hs.digest() == hash128(newb.data(), newb.size()));
    else
        EXPECT_EQ(res.status, PatchError::Corrupt);
    EXPECT_GE(hs.count(), 16u << 20);
}

// A block written with the full head of earlier builders and the same block with the compact
// head decode to the same bytes; the compact one names no difference stream when every
// difference byte is zero, and a compact head that claims more than remains is refused.
TEST(DeltaCodec, FullAndCompactBlockHeadsDecodeAlike) {
    Scratch s;
    const std::string oldb = "0123456789abcdefghij", newb = "0123456789XYZabcdefghij";
    // Instructions: 10 bytes as they were, 3 literals, then 10 bytes as they were.
    std::vector<uint8_t> ctrl, full, compact = {0, 7 << 3, 0};
    for (uint64_t v : {10, 3, 0, 10, 0, 0})
        put_varu(ctrl, v);
    // Full: new size; instructions raw; differences as one zero run of 20; literals raw.
    for (uint64_t v : {newb.size(), size_t(0), ctrl.size(), ctrl.size(), size_t(0), size_t(2),
                       size_t(2), size_t(0), size_t(3), size_t(3)})
        put_varu(full, v);
    full.insert(full.end(), ctrl.begin(), ctrl.end());
    full.insert(full.end(), {0, 19, 'X', 'Y', 'Z'});
    // Compact: codings raw / every difference zero / raw, then all that remains.
    put_varu(compact, ctrl.size());
    put_varu(compact, 3);
    compact.insert(compact.end(), ctrl.begin(), ctrl.end());
    compact.insert(compact.end(), {'X', 'Y', 'Z'});
    std::vector<uint8_t> too_long = compact;
    too_long[2] = static_cast<uint8_t>(newb.size() + 1);
    write_file(s.sub("old"), oldb);
    for (const auto* payload : {&full, &compact, &too_long}) {
        write_file(s.sub("p"), std::string(payload->begin(), payload->end()));
        std::string got;
        StringSink sink(got);
        DecodeResult r = decode(s.sub("p"), s.sub("old"), oldb.size(), newb.size(), sink);
        if (payload == &too_long) {
            EXPECT_EQ(r.status, PatchError::Corrupt);
            EXPECT_EQ(r.message, "a difference block has an invalid length");
        } else {
            ASSERT_EQ(r.status, PatchError::None) << r.message;
            EXPECT_EQ(got, newb);
        }
    }
}

// Difference bytes in zero-run form are added to the old bytes as the instructions reach them:
// a run may cover the end of one copy and the start of the next, and the form must give
// exactly the block's difference bytes, no more and no fewer.
TEST(DeltaCodec, ZeroRunDifferencesSpanCopiesAndMustAddUpExactly) {
    Scratch s;
    write_file(s.sub("old"), "0123456789abcdefghij");
    std::vector<uint8_t> ctrl; // 10 bytes as they were, 3 literals, 10 more
    for (uint64_t v : {10, 3, 0, 10, 0, 0})
        put_varu(ctrl, v);
    const char* invalid = "difference bytes are invalid";
    const std::pair<std::vector<uint8_t>, std::string> rows[] = {
        {{0, 11, 5, 0, 6}, "0123456789XYZabhdefghij"}, // 12 zeros, +5, 7 zeros
        {{7, 0, 18}, "7123456789XYZabcdefghij"},
        {{0, 20}, invalid},    // a run beyond the last difference byte
        {{0, 18}, invalid},    // one byte short
        {{0, 19, 7}, invalid}, // one byte more
        {{0, 0x80}, invalid},  // a run cut short
    };
    for (const auto& [runs, want] : rows) {
        std::vector<uint8_t> p;
        for (uint64_t v : {size_t(23), size_t(0), ctrl.size(), ctrl.size(), size_t(0), runs.size(),
                           runs.size(), size_t(0), size_t(3), size_t(3)})
            put_varu(p, v);
        p.insert(p.end(), ctrl.begin(), ctrl.end());
        p.insert(p.end(), runs.begin(), runs.end());
        p.insert(p.end(), {'X', 'Y', 'Z'});
        write_file(s.sub("p"), std::string(p.begin(), p.end()));
        std::string got;
        StringSink sink(got);
        DecodeResult r = decode(s.sub("p"), s.sub("old"), 20, 23, sink);
        EXPECT_EQ(r.status == PatchError::None ? got : r.message, want);
    }
}

TEST(DeflateCodec, RoundTripAndTrailingBytesRefused) {
    Scratch s;
    std::string data;
    for (int i = 0; i < 20000; ++i)
        data += "compressible line " + std::to_string(i % 50) + "\n";
    write_file(s.sub("in"), data);
    os::File in;
    ASSERT_TRUE(os::File::open_read(s.sub("in"), in).ok());
    Spool sp(s.sub("spill"), 1024); // small memory limit: spills to its file
    ASSERT_TRUE(encode_deflate(in, data.size(), sp).ok());
    EXPECT_LT(sp.size(), data.size() / 10);
    std::string packed;
    StringSink c(packed);
    ASSERT_TRUE(sp.copy_to(c).ok());
    // As written; with junk after the stream; declaring one byte less than it holds.
    for (auto [tail, declared] :
         {std::pair{"", data.size()}, {"junk", data.size()}, {"", data.size() - 1}}) {
        write_file(s.sub("p"), packed + tail);
        std::string out;
        StringSink o(out);
        DecodeResult r = decode(s.sub("p"), "", 0, declared, o);
        if (declared == data.size() && !*tail) {
            ASSERT_EQ(r.status, PatchError::None) << r.message;
            EXPECT_TRUE(out == data);
        } else {
            EXPECT_EQ(r.status, PatchError::Corrupt) << tail;
        }
    }
}

TEST(ContextMixing, BytesRoundTripAndDamageIsCaught) {
    std::string text, rnd = random_bytes(41, 20000);
    for (int i = 0; i < 3000; ++i)
        text += "word" + std::to_string(i % 97) + " ";
    for (const std::string& s : {std::string(), std::string("*"), text, rnd}) {
        std::vector<uint8_t> in(s.begin(), s.end()), out(in.size());
        std::vector<uint8_t> packed = cm_encode_bytes(in);
        ASSERT_TRUE(cm_decode_bytes(packed.data(), packed.size(), out.data(), out.size(), ""));
        EXPECT_EQ(out, in);
        if (s == text) {
            EXPECT_LT(packed.size(), in.size() / 4);
        }
        if (!packed.empty()) {
            // Cut short or with bytes left over: refused.
            EXPECT_FALSE(
                cm_decode_bytes(&packed[0], packed.size() - 1, out.data(), out.size(), ""));
            packed.push_back(0);
            EXPECT_FALSE(cm_decode_bytes(&packed[0], packed.size(), out.data(), out.size(), ""));
        }
    }
}

// Code that moved: 32-bit displacements whose targets lie in sixteen regions that shifted by
// different amounts, their differences coded with the old bytes as context. Each model decodes
// its own stream one byte at a time, or in pieces of arbitrary length as the instructions of a
// block hand them out, and notices a read past the end; neither decodes the other's stream.
TEST(ContextMixing, DifferencesOfMovedCodeRoundTripInBothModels) {
    std::string oldc = random_bytes(52, 200000);
    std::string newc = oldc;
    uint32_t seed = 7;
    auto rnd = [&seed] { return seed = seed * 1103515245u + 12345u; };
    int fields = 0;
    for (size_t at = 16; at + 4 < oldc.size(); at += 11 + rnd() % 40, ++fields) {
        uint32_t target = rnd() % 200000;
        uint32_t disp = target - static_cast<uint32_t>(at + 4);
        std::memcpy(&oldc[at], &disp, 4);
        uint32_t moved = disp + 0x1234u * (1 + target / 12500); // 16 regions, 16 shifts
        std::memcpy(&newc[at], &moved, 4);
    }
    const uint8_t* olds = reinterpret_cast<const uint8_t*>(oldc.data());
    const size_t n = oldc.size();
    std::vector<uint8_t> diff(n), coded[2];
    for (size_t i = 0; i < n; ++i)
        diff[i] = static_cast<uint8_t>(newc[i] - oldc[i]);
    for (DiffModelKind kind : {DiffModelKind::First, DiffModelKind::Second}) {
        SCOPED_TRACE(static_cast<int>(kind));
        DiffEncoder enc(kind, olds, n);
        for (size_t i = 0; i < n; ++i)
            enc.add(diff[i], olds[i], i);
        std::vector<uint8_t>& packed = coded[kind == DiffModelKind::Second];
        packed = enc.finish();
        std::vector<uint8_t> one(n), pieces(oldc.begin(), oldc.end());
        DiffDecoder a(kind, packed.data(), packed.size(), n, olds);
        for (size_t i = 0; i < n; ++i)
            one[i] = a.next(olds[i], i);
        EXPECT_TRUE(one == diff);
        EXPECT_TRUE(a.finished_cleanly());
        a.next(olds[0], n); // one byte more than was coded
        EXPECT_FALSE(a.finished_cleanly());
        DiffDecoder b(kind, packed.data(), packed.size(), n, olds);
        for (size_t i = 0, k; i < n; i += k) {
            k = std::min<size_t>(n - i, 1 + rnd() % 300);
            b.apply(pieces.data() + i, k, i);
        }
        EXPECT_TRUE(b.finished_cleanly());
        EXPECT_TRUE(pieces == std::vector<uint8_t>(newc.begin(), newc.end()));
    }
    // 6,400 fields 11 to 50 bytes apart (5.3 bits of position each) with two or three changed
    // bytes. Knowing where a field points, the second model codes one in about 8 bits; without
    // the place it points to it needs 12.5, which the first model still holds to.
    EXPECT_LT(coded[1].size() * 8, static_cast<size_t>(fields) * 9) << fields << " fields";
    EXPECT_LT(coded[0].size() * 8, static_cast<size_t>(fields) * 14) << fields << " fields";
    DiffDecoder wrong(DiffModelKind::First, coded[1].data(), coded[1].size(), n, olds);
    std::vector<uint8_t> back(n);
    for (size_t i = 0; i < n; ++i)
        back[i] = wrong.next(olds[i], i);
    EXPECT_FALSE(back == diff && wrong.finished_cleanly());
}

namespace {

// What a file's instructions look like, as bytes: long copies between edits, short pieces
// taken from elsewhere and the seeks back.
std::vector<uint8_t> instruction_bytes(const std::vector<Instr>& v) {
    std::vector<uint8_t> raw;
    for (const Instr& i : v)
        put_instr(raw, i);
    return raw;
}
std::vector<Instr> edit_instructions(uint32_t seed, size_t n) {
    std::string r = random_bytes(seed, n * 12);
    auto word = [&](size_t k) {
        uint32_t v;
        std::memcpy(&v, r.data() + k * 4, 4);
        return v;
    };
    std::vector<Instr> v;
    for (size_t k = 0; k < n; ++k) {
        Instr i;
        bool piece = word(3 * k) % 3 == 0;
        i.diff_len = piece ? word(3 * k) % 60 + 1 : word(3 * k) % 900000 + 1000;
        i.literal_len = word(3 * k + 1) % 4 == 0 ? word(3 * k + 1) % 9 + 1 : 0;
        i.seek = static_cast<int64_t>(word(3 * k + 2) % 4000000) - 2000000;
        v.push_back(i);
    }
    return v;
}

InstrHistory history(const std::vector<Instr>& reference) {
    InstrHistory h;
    for (const Instr& i : reference)
        h.add(i);
    h.start_own();
    return h;
}

} // namespace

// The instructions of a file that carries the same edits as another, with its distances
// grown by a few per cent, cost a fraction when coded against the other's, and decode only
// with the same history. Damage is refused or decodes to other instructions.
TEST(InstructionModel, SharedEditsCodeAgainstTheReferenceAndDamageIsCaught) {
    std::vector<Instr> base = edit_instructions(61, 400);
    std::vector<Instr> later = base;
    later[0].diff_len += 53000; // a different head
    for (Instr& i : later) {
        if (i.diff_len > 1000)
            i.diff_len = i.diff_len * 104 / 100;
        i.seek = i.seek * 104 / 100 + (i.seek & 7);
    }
    std::vector<uint8_t> raw = instruction_bytes(later);
    InstrHistory alone = history({}), against = history(base);
    std::vector<uint8_t> coded_alone = instr_encode(raw, alone), coded = instr_encode(raw, against);
    // Alone, every seek costs about 22 bits; against the reference about 5.
    EXPECT_LT(coded.size() * 3, coded_alone.size()) << coded.size() << " " << coded_alone.size();
    InstrHistory h;
    std::vector<uint8_t> out;
    auto decode = [&](const std::vector<uint8_t>& in, bool with_ref) {
        h = history(with_ref ? base : std::vector<Instr>{});
        return instr_decode(in.data(), in.size(), raw.size(), h, out, "");
    };
    for (bool with_ref : {true, false}) {
        ASSERT_TRUE(decode(with_ref ? coded : coded_alone, with_ref));
        EXPECT_TRUE(out == raw);
        // The decoder's history ends as the encoder's did: the next block continues alike.
        const InstrHistory& enc = with_ref ? against : alone;
        EXPECT_EQ(h.size(), enc.size());
        EXPECT_EQ(h.cursor, enc.cursor);
    }
    // Without the reference the same bytes do not decode to the same instructions.
    EXPECT_FALSE(decode(coded, false) && out == raw);
    int refused = 0;
    for (size_t pos = 0; pos < coded.size(); ++pos) {
        std::vector<uint8_t> bad = coded;
        bad[pos] ^= 0x10;
        bool ok = static_cast<bool>(decode(bad, true));
        // The range coder's first byte is always zero and never read, and its last bytes
        // carry slack: a flip there may change nothing.
        if (pos > 0 && pos + 5 < bad.size()) {
            EXPECT_FALSE(ok && out == raw) << "flip at " << pos << " of " << bad.size();
        }
        EXPECT_LE(out.size(), raw.size() + 30); // one instruction past the end at most
        EXPECT_TRUE(!ok || out.size() == raw.size());
        refused += !ok;
    }
    EXPECT_GT(refused, 0);
    // Cut short, or with a byte too many.
    for (size_t n : {coded.size() - 1, coded.size() + 1}) {
        std::vector<uint8_t> c = coded;
        c.resize(n, 0);
        EXPECT_FALSE(decode(c, true)) << n;
    }
}
