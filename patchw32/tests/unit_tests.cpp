// Unit tests of the engine's parts: paths, command lines, suffix arrays, codecs.
#include "bytes.h"
#include "cm.h"
#include "cmdline.h"
#include "codec.h"
#include "delta.h"
#include "format.h"
#include "os.h"
#include "paths.h"
#include "sais.h"
#include "test_support.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace kv;
using namespace kvtest;

TEST(Paths, AcceptsOrdinaryNames) {
    for (const char* p : {"a.txt", "data/levels/one.lvl", "with blank/file name.txt", "x~y.dat",
                          "console.d", "Tarrowmoor/saves/slot1.sav", "COM10.txt", "\xE9t\xE9.txt",
                          "lpt.txt", "nul_file", ".hidden", "a..b"})
        EXPECT_EQ(check_rel_path(p), "") << p;
}

TEST(Paths, RefusesHostileNames) {
    const char* bad[] = {"",
                         "/etc/passwd",
                         "C:/x",
                         "c:x",
                         "../x",
                         "a/../../x",
                         "a//b",
                         "a/./b",
                         "a/",
                         "data:stream",
                         "data/file.txt:ads",
                         "CON",
                         "con",
                         "nul.txt",
                         "NUL .txt",
                         "Com1.dat",
                         "lpt9",
                         "LPT\xB9",
                         "dir/aux.log",
                         "conin$",
                         "a<b",
                         "a>b",
                         "a|b",
                         "a?b",
                         "a*b",
                         "a\"b",
                         "a\\b",
                         "a\x01"
                         "b",
                         "tab\there",
                         "a\x7f",
                         "trailing.",
                         "trailing ",
                         " leading",
                         "PROGRA~1/x",
                         "DATA~12.BIN",
                         "con.d/file",
                         "Tarrowmoor",
                         "tarrowmoor/.kelvane-journal/plan",
                         "TARROWMOOR/.KELVANE-JOURNAL",
                         "..",
                         "."};
    for (const char* p : bad)
        EXPECT_NE(check_rel_path(p), "") << p;
    EXPECT_NE(check_rel_path(std::string(1025, 'a')), "");
    EXPECT_NE(check_rel_path("d/" + std::string(256, 'a')), "");
}

TEST(Paths, FoldsCaseLikeWindows) {
    EXPECT_EQ(fold_case("Data/A.txt"), fold_case("data/a.TXT"));
    EXPECT_EQ(fold_case("\xC3\x89t\xC3\x89"), fold_case("\xC3\xA9t\xC3\xA9")); // E acute
    EXPECT_NE(fold_case("a1"), fold_case("a2"));
    EXPECT_EQ(bare_name("a/b/c d.txt"), "c d.txt");
    EXPECT_EQ(bare_name("top.txt"), "top.txt");
    EXPECT_EQ(parent_rel("a/b/c"), "a/b");
    EXPECT_EQ(shorten_middle("abcdefghijklmnopqrstuvwxyz", 11), "ab...uvwxyz");
}

TEST(CommandLine, ApplyLineAsTheToolBuildsIt) {
    CommandLine cl;
    bool list = false;
    ASSERT_EQ(parse_command_line(
                  R"(-u -j -i "-otempdir:D:\Temp" "C:\Games\Tarrowmoor" "D:\Downloads\update.rtp")",
                  cl, list),
              "");
    EXPECT_FALSE(list);
    EXPECT_EQ(cl.mode, Mode::Validate);
    EXPECT_TRUE(cl.ignore_missing);
    EXPECT_TRUE(cl.has_temp);
    EXPECT_EQ(cl.temp_dir, R"(D:\Temp)");
    EXPECT_TRUE(cl.has_game_dir);
    EXPECT_EQ(cl.game_dir, R"(C:\Games\Tarrowmoor)");
    EXPECT_EQ(cl.patch_path, R"(D:\Downloads\update.rtp)");
}

TEST(CommandLine, DriveRootAndEmptyTempDir) {
    CommandLine cl;
    bool list = false;
    ASSERT_EQ(parse_command_line(R"(-u "-otempdir:D:\" "C:\My Games\T" "p.rtp")", cl, list), "");
    EXPECT_EQ(cl.mode, Mode::Apply);
    EXPECT_EQ(cl.temp_dir, R"(D:\)");
    EXPECT_EQ(cl.game_dir, R"(C:\My Games\T)");
    ASSERT_EQ(parse_command_line(R"(-u "-otempdir:" "p.rtp")", cl, list), "");
    EXPECT_TRUE(cl.has_temp);
    EXPECT_EQ(cl.temp_dir, "");
    EXPECT_FALSE(cl.has_game_dir);
    EXPECT_EQ(cl.patch_path, "p.rtp");
}

TEST(CommandLine, ListLineWithDoubleBlank) {
    CommandLine cl;
    bool list = false;
    ASSERT_EQ(
        parse_command_line(R"(-l  "C:\Games\Tarrowmoor" "D:\Downloads\update.rtp")", cl, list), "");
    EXPECT_TRUE(list);
    EXPECT_EQ(cl.mode, Mode::List);
    EXPECT_EQ(cl.game_dir, R"(C:\Games\Tarrowmoor)");
    ASSERT_EQ(parse_command_line(R"(-l  "D:\update.rtp")", cl, list), "");
    EXPECT_FALSE(cl.has_game_dir);
    EXPECT_EQ(cl.patch_path, R"(D:\update.rtp)");
}

TEST(CommandLine, RefusesMalformedLines) {
    CommandLine cl;
    bool list = false;
    EXPECT_EQ(parse_command_line(R"(-u -x "p.rtp")", cl, list),
              "Unknown switch \"-x\" on the command line. The engine accepts -u, -j, -i, -l and "
              "\"-otempdir:DIR\".");
    EXPECT_EQ(parse_command_line(R"(-u "-otempdir:C:\t" "C:\game" "p.rtp)", cl, list),
              "Malformed command line: a double quote is not closed.");
    EXPECT_EQ(parse_command_line("-u", cl, list),
              "Malformed command line: no patch file is named.");
    EXPECT_EQ(parse_command_line("", cl, list), "Malformed command line: no patch file is named.");
    EXPECT_EQ(parse_command_line(R"(-u "a" "b" "c")", cl, list),
              "Malformed command line: expected at most a game directory and a patch file, but "
              "found 3 paths.");
    EXPECT_EQ(parse_command_line(R"(-u "" "p.rtp")", cl, list),
              "Malformed command line: an empty path is given.");
    EXPECT_EQ(parse_command_line(R"(-l -u "p.rtp")", cl, list),
              "Malformed command line: list mode (-l) cannot be combined with -u, -j or -i.");
    EXPECT_TRUE(list);
    EXPECT_EQ(parse_command_line(R"(-u "-otempdir:a" "-otempdir:b" "p")", cl, list),
              "Malformed command line: the temp directory is given twice.");
    EXPECT_NE(parse_command_line(R"(-uj "p")", cl, list), "");
    EXPECT_NE(parse_command_line(R"(-otemp:x "p")", cl, list), "");
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

// The compact directory keeps every field of every kind of entry, whichever way it is stored.
TEST(Directory, CompactRecordsKeepEveryFieldInEveryCoding) {
    std::vector<CraftEntry> es;
    CraftEntry mk;
    mk.entry.op = Op::MakeDir;
    mk.entry.path = "data/new folder";
    es.push_back(mk);
    CraftEntry grow = add_entry("data/levels/level01.lvl", std::string(3000, 'g'));
    grow.entry.op = Op::Modify;
    grow.entry.codec = Codec::Deflate;
    grow.entry.old_size = 123456789012ull;
    grow.entry.old_hash = hash128("old", 3);
    grow.entry.attrs = 0x21; // read-only, archive
    grow.payload = std::string(40, 'p');
    es.push_back(grow);
    CraftEntry shrink = add_entry("data/levels/level02.lvl", "short");
    shrink.entry.op = Op::Modify;
    shrink.entry.codec = Codec::Delta;
    shrink.entry.old_size = 99999;
    shrink.entry.old_hash = hash128("older", 5);
    shrink.payload = "delta bytes";
    es.push_back(shrink);
    es.push_back(add_entry("data/levels/level02.lvl.bak", "stored as it is"));
    CraftEntry del;
    del.entry.op = Op::Delete;
    del.entry.path = "readme.txt";
    del.entry.old_size = 7;
    del.entry.old_hash = hash128("gone...", 7);
    es.push_back(del);
    CraftEntry rm;
    rm.entry.op = Op::RemoveDir;
    rm.entry.path = "old stuff";
    es.push_back(rm);
    uint64_t at = kHeaderSize; // where craft_patch puts the payloads
    for (CraftEntry& c : es)
        if (c.entry.makes_new()) {
            c.entry.payload_offset = at;
            c.entry.payload_size = c.payload.size();
            at += c.payload.size();
        }
    for (uint32_t coding : {kDirRaw, kDirDeflate, kDirCompactMixed, kDirCompactDeflate}) {
        Scratch s;
        craft_patch(s.sub("p.rtp"), es, coding);
        Patch p;
        std::string msg;
        ASSERT_EQ(open_patch(s.sub("p.rtp"), p, msg), PatchError::None) << coding << ": " << msg;
        ASSERT_EQ(p.entries.size(), es.size());
        for (size_t i = 0; i < es.size(); ++i) {
            const Entry& a = es[i].entry;
            const Entry& b = p.entries[i];
            EXPECT_EQ(b.op, a.op) << coding << " " << i;
            EXPECT_EQ(b.codec, a.codec) << coding << " " << i;
            EXPECT_EQ(b.attrs, a.attrs) << coding << " " << i;
            EXPECT_EQ(b.old_size, a.old_size) << coding << " " << i;
            EXPECT_TRUE(b.old_hash == a.old_hash) << coding << " " << i;
            EXPECT_EQ(b.new_size, a.new_size) << coding << " " << i;
            EXPECT_TRUE(b.new_hash == a.new_hash) << coding << " " << i;
            EXPECT_EQ(b.payload_offset, a.payload_offset) << coding << " " << i;
            EXPECT_EQ(b.payload_size, a.payload_size) << coding << " " << i;
            EXPECT_EQ(b.path, a.path) << coding << " " << i;
        }
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
    plain[0].payload_offset = kHeaderSize;
    plain[0].payload_size = 3;
    plain[1].payload_offset = kHeaderSize + 3;
    plain[1].payload_size = 3;
    // A patch around the two payloads whose directory is `dir`, context-mixed.
    auto open_with = [&](const std::vector<uint8_t>& dir) {
        std::vector<uint8_t> file = encode_header();
        file.insert(file.end(), {'o', 'n', 'e', 't', 'w', 'o'});
        uint64_t off = file.size();
        std::vector<uint8_t> packed = cm_encode_bytes(dir);
        file.insert(file.end(), packed.begin(), packed.end());
        std::vector<uint8_t> tr =
            encode_trailer_head(2, off, packed.size(), file.size() + kTrailerSize, kDirCompactMixed,
                                static_cast<uint32_t>(dir.size()));
        file.insert(file.end(), tr.begin(), tr.end());
        Hash128 h = hash128(file.data(), file.size());
        file.insert(file.end(), h.b, h.b + 16);
        write_file(s.sub("x.rtp"), std::string(file.begin(), file.end()));
        Patch p;
        std::string msg;
        PatchError e = open_patch(s.sub("x.rtp"), p, msg);
        return std::make_pair(e, msg);
    };
    std::vector<uint8_t> good = encode_compact_directory(plain);
    EXPECT_EQ(open_with(good).first, PatchError::None) << open_with(good).second;
    const auto invalid = std::make_pair(
        PatchError::Corrupt, std::string("The patch is damaged (its directory is invalid)."));
    EXPECT_EQ(open_with(std::vector<uint8_t>(good.begin(), good.end() - 1)), invalid);
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
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

TEST(SuffixArray, MatchesNaiveSorting) {
    for (uint32_t seed = 0; seed < 60; ++seed) {
        size_t n = seed < 10 ? seed : 50 + seed * 37;
        std::string s = random_bytes(seed, n);
        if (seed % 3 == 0) // small alphabets and long repeats exercise the recursion
            for (char& c : s)
                c = static_cast<char>('a' + (static_cast<unsigned char>(c) % (seed % 5 + 1)));
        std::vector<int32_t> sa(n);
        build_suffix_array(reinterpret_cast<const uint8_t*>(s.data()), sa.data(),
                           static_cast<int32_t>(n));
        std::vector<int32_t> ref(n);
        for (size_t i = 0; i < n; ++i)
            ref[i] = static_cast<int32_t>(i);
        std::sort(ref.begin(), ref.end(), [&](int32_t a, int32_t b) {
            return s.compare(static_cast<size_t>(a), std::string::npos, s, static_cast<size_t>(b),
                             std::string::npos) < 0;
        });
        ASSERT_EQ(sa, ref) << "seed " << seed;
    }
}

namespace {

// Runs a payload through the codec: encode (delta or deflate), then decode and compare.
// Collects what a codec writes.
struct StringSink : Sink {
    explicit StringSink(std::string& s) : out(s) {}
    os::Status write(const void* d, size_t n) override {
        out.append(static_cast<const char*>(d), n);
        return os::Status::success();
    }
    std::string& out;
};

struct CodecRun {
    std::string payload;
    std::string decoded;
    DecodeResult result;
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
    os::File pf;
    EXPECT_TRUE(os::File::open_read(s.sub("payload"), pf).ok());
    Entry e;
    e.op = Op::Modify;
    e.codec = Codec::Delta;
    e.payload_offset = 0;
    e.payload_size = r.payload.size();
    e.new_size = newb.size();
    StringSink dec(r.decoded);
    r.result = decode_payload(e, pf, &of, oldb.size(), dec, [](uint64_t) {});
    return r;
}

// The blocks and stream codings of the payload a round trip wrote.
DeltaStats payload_stats(const Scratch& s, const CodecRun& r, uint64_t new_size) {
    os::File pf;
    EXPECT_TRUE(os::File::open_read(s.sub("payload"), pf).ok());
    Entry e;
    e.codec = Codec::Delta;
    e.payload_size = r.payload.size();
    e.new_size = new_size;
    DeltaStats st;
    EXPECT_TRUE(delta_stats(e, pf, st));
    return st;
}

} // namespace

TEST(DeltaCodec, RoundTripsAndBeatsCompression) {
    Scratch s;
    std::string oldb = random_bytes(11, 400000);
    std::string newb = oldb;
    newb.replace(5000, 100, random_bytes(12, 100));
    newb.erase(100000, 3000);
    newb.insert(200000, random_bytes(13, 5000));
    for (size_t i = 250000; i < 300000; i += 1000)
        newb[i] = static_cast<char>(newb[i] + 1); // scattered one-byte changes
    CodecRun r = delta_round_trip(s, oldb, newb, default_delta_options());
    ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;
    ASSERT_TRUE(r.decoded == newb);
    // Random data does not compress at all; the difference must be close to the 5.1 KB of
    // new bytes plus small instructions.
    EXPECT_LT(r.payload.size(), 7000u);
}

TEST(DeltaCodec, SegmentedMatchingOfLargeFilesRoundTrips) {
    Scratch s;
    std::string oldb = random_bytes(21, 600000);
    std::string newb = random_bytes(22, 1000) + oldb.substr(0, 300000) + random_bytes(23, 5000) +
                       oldb.substr(310000);
    DeltaOptions opt = default_delta_options();
    opt.whole_limit = 100000; // force windows of the old file
    opt.segment = 64 * 1024;
    opt.margin = 32 * 1024;
    CodecRun r = delta_round_trip(s, oldb, newb, opt);
    ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;
    ASSERT_TRUE(r.decoded == newb);
    EXPECT_LT(r.payload.size(), 20000u);
}

TEST(DeltaCodec, InPlaceChangesOfLargeFilesNeedNoIndex) {
    Scratch s;
    std::string oldb = random_bytes(24, 700000);
    std::string newb = oldb;
    for (size_t i = 1000; i < newb.size(); i += 9973)
        newb[i] = static_cast<char>(newb[i] ^ 0x5A); // scattered edits, nothing shifts
    newb += "appended tail";
    DeltaOptions opt = default_delta_options();
    opt.whole_limit = 100000;
    opt.segment = 64 * 1024;
    opt.margin = 32 * 1024;
    CodecRun r = delta_round_trip(s, oldb, newb, opt);
    ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;
    ASSERT_TRUE(r.decoded == newb);
    EXPECT_LT(r.payload.size(), 1500u); // 70 edited bytes and their places
}

TEST(DeltaCodec, EmptyAndTinyInputs) {
    Scratch s;
    for (auto [o, n] :
         std::vector<std::pair<std::string, std::string>>{{"a", "b"},
                                                          {"abc", "abcabcabc"},
                                                          {std::string(10000, 'z'), "z"},
                                                          {"x", std::string(9000000, 'y')}}) {
        CodecRun r = delta_round_trip(s, o, n, default_delta_options());
        ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;
        ASSERT_TRUE(r.decoded == n);
    }
}

TEST(DeltaCodec, DamagedPayloadsAreRefusedNotTrusted) {
    Scratch s;
    std::string oldb = random_bytes(31, 50000);
    std::string newb = oldb;
    newb.insert(20000, "inserted text");
    CodecRun good = delta_round_trip(s, oldb, newb, default_delta_options());
    ASSERT_EQ(good.result.status, DecodeStatus::Ok);
    os::File of;
    ASSERT_TRUE(os::File::open_read(s.sub("old"), of).ok());
    int refused = 0;
    for (size_t pos = 0; pos < good.payload.size(); ++pos) {
        for (int bit : {0, 7}) {
            std::string bad = good.payload;
            bad[pos] = static_cast<char>(bad[pos] ^ (1 << bit));
            write_file(s.sub("bad"), bad);
            os::File pf;
            ASSERT_TRUE(os::File::open_read(s.sub("bad"), pf).ok());
            Entry e;
            e.op = Op::Modify;
            e.codec = Codec::Delta;
            e.payload_size = bad.size();
            e.new_size = newb.size();
            HashingSink hs;
            DecodeResult r = decode_payload(e, pf, &of, oldb.size(), hs, [](uint64_t) {});
            // Damage must be refused or, where it happens to decode, be caught by the hash
            // check of the engine; either way the decoder stays within its buffers.
            if (r.status != DecodeStatus::Ok)
                ++refused;
        }
    }
    // The payload is a few dozen dense bytes, so many flips still decode to something; the
    // decoder's own checks must catch a good share, the hash check the rest.
    int tried = static_cast<int>(good.payload.size()) * 2;
    EXPECT_GE(refused, tried / 3) << refused << " of " << tried;
}

// Several blocks are decoded at once by helper threads; what reaches the sink and the progress
// callback must still come in order and from the calling thread (the callback of the real
// engine pumps the caller's window messages).
TEST(DeltaCodec, BlocksDecodedTogetherArriveInOrderOnTheCallingThread) {
    Scratch s;
    std::string oldb = random_bytes(41, 13u << 20);
    std::string newb = oldb;
    for (size_t i = 4096; i < newb.size(); i += 65537)
        newb[i] = static_cast<char>(newb[i] + 3); // a difference in every block
    newb += random_bytes(42, 777);
    DeltaOptions opt = default_delta_options();
    opt.whole_limit = 1u << 20; // in-place matching: no index to build, blocks to decode
    opt.segment = 4u << 20;
    opt.margin = 1u << 20;
    CodecRun r = delta_round_trip(s, oldb, newb, opt);
    ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;
    ASSERT_TRUE(r.decoded == newb);

    os::File pf, of;
    ASSERT_TRUE(os::File::open_read(s.sub("payload"), pf).ok());
    ASSERT_TRUE(os::File::open_read(s.sub("old"), of).ok());
    Entry e;
    e.op = Op::Modify;
    e.codec = Codec::Delta;
    e.payload_size = r.payload.size();
    e.new_size = newb.size();
    std::vector<uint64_t> seen;
    std::vector<std::thread::id> threads;
    HashingSink hs;
    DecodeResult res = decode_payload(e, pf, &of, oldb.size(), hs, [&](uint64_t n) {
        seen.push_back(n);
        threads.push_back(std::this_thread::get_id());
    });
    ASSERT_EQ(res.status, DecodeStatus::Ok) << res.message;
    ASSERT_EQ(seen.size(), 4u); // 13 MiB and 777 bytes in blocks of 4 MiB
    EXPECT_EQ(seen, (std::vector<uint64_t>{4u << 20, 8u << 20, 12u << 20, newb.size()}));
    for (std::thread::id t : threads)
        EXPECT_EQ(t, std::this_thread::get_id());
}

// Blocks with much to decode end after 1 MiB, blocks that are mostly copies run to 4 MiB.
TEST(DeltaCodec, BlockLengthFollowsHowMuchThereIsToDecode) {
    std::string oldb = random_bytes(44, 3u << 20);
    std::string dense = oldb, sparse = oldb;
    for (size_t i = 0; i < dense.size(); i += 200) // one coded byte in 200
        dense[i] = static_cast<char>(dense[i] + 1);
    for (size_t i = 0; i < sparse.size(); i += 100003)
        sparse[i] = static_cast<char>(sparse[i] + 1);
    DeltaOptions opt = default_delta_options();
    opt.whole_limit = 1u << 20; // in-place matching: no index to build
    opt.segment = 4u << 20;
    opt.margin = 1u << 20;
    for (const auto& [newb, blocks] : {std::make_pair(dense, 3u), std::make_pair(sparse, 1u)}) {
        Scratch s;
        CodecRun r = delta_round_trip(s, oldb, newb, opt);
        ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;
        ASSERT_TRUE(r.decoded == newb);
        EXPECT_EQ(payload_stats(s, r, newb.size()).blocks, blocks);
    }
}

// Damage or a read failure in one block while the blocks around it are being decoded: the
// first failing block in file order is reported, nothing of it or after it is written, and
// every helper has finished before the decoder returns (the sanitizers watch the buffers).
TEST(DeltaCodec, AFailingBlockAmongBlocksInFlightStopsTheDecodeCleanly) {
    Scratch s;
    std::string oldb = random_bytes(43, 17u << 20);
    std::string newb = oldb;
    for (size_t i = 100; i < newb.size(); i += 4099)
        newb[i] = static_cast<char>(newb[i] ^ 0x11);
    DeltaOptions opt = default_delta_options();
    opt.whole_limit = 1u << 20;
    opt.segment = 4u << 20;
    opt.margin = 1u << 20;
    CodecRun r = delta_round_trip(s, oldb, newb, opt);
    ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;

    struct CountSink : Sink {
        uint64_t n = 0;
        os::Status write(const void*, size_t k) override {
            n += k;
            return os::Status::success();
        }
    };
    Entry e;
    e.op = Op::Modify;
    e.codec = Codec::Delta;
    e.payload_size = r.payload.size();
    e.new_size = newb.size();
    // The old file shorter than the patch expects: the helper decoding the last block cannot
    // read its old bytes.
    write_file(s.sub("short_old"), oldb.substr(0, (16u << 20) + 10));
    {
        os::File pf, of;
        ASSERT_TRUE(os::File::open_read(s.sub("payload"), pf).ok());
        ASSERT_TRUE(os::File::open_read(s.sub("short_old"), of).ok());
        CountSink cs;
        DecodeResult res = decode_payload(e, pf, &of, oldb.size(), cs, [](uint64_t) {});
        EXPECT_EQ(res.status, DecodeStatus::Io);
        EXPECT_EQ(cs.n, 16u << 20); // the four whole blocks before it
    }
    // A flipped bit in the last bytes of the payload: the final block's stream is damaged.
    std::string bad = r.payload;
    bad[bad.size() - 3] = static_cast<char>(bad[bad.size() - 3] ^ 0x40);
    write_file(s.sub("bad"), bad);
    {
        os::File pf, of;
        ASSERT_TRUE(os::File::open_read(s.sub("bad"), pf).ok());
        ASSERT_TRUE(os::File::open_read(s.sub("old"), of).ok());
        CountSink cs;
        HashingSink hs(&cs);
        DecodeResult res = decode_payload(e, pf, &of, oldb.size(), hs, [](uint64_t) {});
        // Refused by the decoder, or decoded into bytes the engine's hash check refuses.
        if (res.status == DecodeStatus::Ok)
            EXPECT_FALSE(hs.digest() == hash128(newb.data(), newb.size()));
        else
            EXPECT_EQ(res.status, DecodeStatus::Corrupt);
        EXPECT_GE(cs.n, 16u << 20);
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
    for (int variant = 0; variant < 3; ++variant) {
        std::string p = packed;
        uint64_t declared = data.size();
        if (variant == 1)
            p += "junk";
        if (variant == 2)
            declared -= 1;
        write_file(s.sub("p"), p);
        os::File pf;
        ASSERT_TRUE(os::File::open_read(s.sub("p"), pf).ok());
        Entry e;
        e.op = Op::Add;
        e.codec = Codec::Deflate;
        e.payload_size = p.size();
        e.new_size = declared;
        std::string out;
        StringSink o(out);
        DecodeResult r = decode_payload(e, pf, nullptr, 0, o, [](uint64_t) {});
        if (variant == 0) {
            ASSERT_EQ(r.status, DecodeStatus::Ok) << r.message;
            EXPECT_TRUE(out == data);
        } else {
            EXPECT_EQ(r.status, DecodeStatus::Corrupt) << variant;
        }
    }
}

TEST(ContextMixing, BytesRoundTripAndDamageIsCaught) {
    std::vector<std::vector<uint8_t>> inputs;
    inputs.push_back({});
    inputs.push_back({42});
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "word" + std::to_string(i % 97) + " ";
    inputs.emplace_back(text.begin(), text.end());
    std::string rnd = random_bytes(41, 20000);
    inputs.emplace_back(rnd.begin(), rnd.end());
    for (const auto& in : inputs) {
        std::vector<uint8_t> packed = cm_encode_bytes(in);
        std::vector<uint8_t> out(in.size());
        ASSERT_TRUE(cm_decode_bytes(packed.data(), packed.size(), out.data(), out.size()));
        EXPECT_EQ(out, in);
        if (in.size() == text.size()) {
            EXPECT_LT(packed.size(), in.size() / 4);
        }
        if (!packed.empty()) {
            // Cut short or with bytes left over: refused.
            EXPECT_FALSE(cm_decode_bytes(packed.data(), packed.size() - 1, out.data(), out.size()));
            std::vector<uint8_t> longer = packed;
            longer.push_back(0);
            EXPECT_FALSE(cm_decode_bytes(longer.data(), longer.size(), out.data(), out.size()));
        }
    }
}

TEST(ContextMixing, DifferencesRoundTripWithTheirOldBytesInBothModels) {
    std::string old = random_bytes(51, 50000);
    const uint8_t* olds = reinterpret_cast<const uint8_t*>(old.data());
    std::vector<uint8_t> diff(old.size(), 0);
    for (size_t i = 8; i < diff.size(); i += 8 + (i % 5)) // relocation-like: every few words
        diff[i] = static_cast<uint8_t>(0x20 + (i % 3));
    for (size_t i = diff.size() - 10; i < diff.size(); ++i)
        diff[i] = 0; // ends in a run of zeros
    std::vector<uint8_t> coded[2];
    for (DiffModelKind kind : {DiffModelKind::First, DiffModelKind::Second}) {
        DiffEncoder enc(kind, olds, old.size());
        for (size_t i = 0; i < diff.size(); ++i)
            enc.add(diff[i], olds[i], 1000 + i);
        std::vector<uint8_t> packed = enc.finish();
        EXPECT_LT(packed.size(), diff.size() / 20);
        DiffDecoder dec(kind, packed.data(), packed.size(), diff.size(), olds);
        std::vector<uint8_t> back(diff.size());
        for (size_t i = 0; i < diff.size(); ++i)
            back[i] = dec.next(olds[i], 1000 + i);
        EXPECT_TRUE(dec.finished_cleanly());
        EXPECT_EQ(back, diff);
        // Asking for more bytes than were coded is noticed.
        DiffDecoder greedy(kind, packed.data(), packed.size(), diff.size(), olds);
        for (size_t i = 0; i <= diff.size(); ++i)
            greedy.next(olds[i % old.size()], 1000 + i);
        EXPECT_FALSE(greedy.finished_cleanly());
        coded[kind == DiffModelKind::Second] = packed;
    }
    // The models are not interchangeable: a stream is decoded by the model that coded it.
    ASSERT_NE(coded[0], coded[1]);
    DiffDecoder wrong(DiffModelKind::First, coded[1].data(), coded[1].size(), diff.size(), olds);
    std::vector<uint8_t> back(diff.size());
    for (size_t i = 0; i < diff.size(); ++i)
        back[i] = wrong.next(olds[i], 1000 + i);
    EXPECT_FALSE(back == diff && wrong.finished_cleanly());
}

// Code that moved: 32-bit displacements whose targets lie in sixteen regions that shifted by
// different amounts. Decoding in pieces of arbitrary length, as the instructions of a block
// hand them out, gives the same bytes as decoding one at a time.
TEST(ContextMixing, MovedDisplacementsDecodeInPiecesAndCompressWell) {
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
    std::vector<uint8_t> diff(oldc.size());
    DiffEncoder enc(DiffModelKind::Second, olds, oldc.size());
    for (size_t i = 0; i < oldc.size(); ++i) {
        diff[i] = static_cast<uint8_t>(newc[i] - oldc[i]);
        enc.add(diff[i], olds[i], i);
    }
    std::vector<uint8_t> packed = enc.finish();
    // 6,400 fields 11 to 50 bytes apart (5.3 bits of position each) with two or three changed
    // bytes. Knowing where a field points, the model codes one in about 8 bits; without the
    // place it points to it needs 12.5.
    EXPECT_LT(packed.size() * 8, static_cast<size_t>(fields) * 9) << fields << " fields";

    std::vector<uint8_t> one(oldc.begin(), oldc.end()), pieces(oldc.begin(), oldc.end());
    DiffDecoder a(DiffModelKind::Second, packed.data(), packed.size(), oldc.size(), olds);
    for (size_t i = 0; i < one.size(); ++i)
        one[i] = static_cast<uint8_t>(one[i] + a.next(olds[i], i));
    EXPECT_TRUE(a.finished_cleanly());
    DiffDecoder b(DiffModelKind::Second, packed.data(), packed.size(), oldc.size(), olds);
    for (size_t i = 0; i < pieces.size();) {
        size_t n = std::min<size_t>(pieces.size() - i, 1 + rnd() % 300);
        b.apply(pieces.data() + i, n, i);
        i += n;
    }
    EXPECT_TRUE(b.finished_cleanly());
    EXPECT_EQ(one, std::vector<uint8_t>(newc.begin(), newc.end()));
    EXPECT_EQ(one, pieces);
}

namespace {

std::vector<uint8_t> instruction_bytes(const std::vector<Instr>& v) {
    std::vector<uint8_t> raw;
    for (const Instr& i : v)
        put_instr(raw, i);
    return raw;
}

// What a file's instructions look like: long copies between edits, short pieces taken from
// elsewhere and the seeks back.
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
        i.d = piece ? word(3 * k) % 60 + 1 : word(3 * k) % 900000 + 1000;
        i.x = word(3 * k + 1) % 4 == 0 ? word(3 * k + 1) % 9 + 1 : 0;
        i.seek = static_cast<int64_t>(word(3 * k + 2) % 4000000) - 2000000;
        v.push_back(i);
    }
    return v;
}

} // namespace

// The instructions of a file that carries the same edits as another, with its distances
// grown by a few per cent, cost a fraction when coded against the other's, and decode only
// with the same history.
TEST(InstructionModel, SharedEditsCodeAgainstTheReferenceAndDecodeOnlyWithIt) {
    std::vector<Instr> base = edit_instructions(61, 400);
    std::vector<Instr> later = base;
    later[0].d += 53000; // a different head
    for (Instr& i : later) {
        if (i.d > 1000)
            i.d = i.d * 104 / 100;
        i.seek = i.seek * 104 / 100 + (i.seek & 7);
    }
    std::vector<uint8_t> raw = instruction_bytes(later);
    auto history = [&](bool with_ref) {
        InstrHistory h;
        if (with_ref)
            for (const Instr& i : base)
                h.add(i);
        h.start_own();
        return h;
    };
    InstrHistory alone = history(false), against = history(true);
    std::vector<uint8_t> coded_alone = instr_encode(raw, alone);
    std::vector<uint8_t> coded = instr_encode(raw, against);
    // Alone, every seek costs about 22 bits; against the reference about 5.
    EXPECT_LT(coded.size() * 3, coded_alone.size()) << coded.size() << " " << coded_alone.size();

    for (bool with_ref : {true, false}) {
        InstrHistory h = history(with_ref);
        std::vector<uint8_t> out;
        const std::vector<uint8_t>& in = with_ref ? coded : coded_alone;
        ASSERT_TRUE(instr_decode(in.data(), in.size(), raw.size(), h, out));
        EXPECT_TRUE(out == raw);
        // The decoder's history ends as the encoder's did: the next block continues alike.
        const InstrHistory& enc = with_ref ? against : alone;
        EXPECT_EQ(h.size(), enc.size());
        EXPECT_EQ(h.cursor, enc.cursor);
    }
    // Without the reference the same bytes do not decode to the same instructions.
    InstrHistory wrong = history(false);
    std::vector<uint8_t> out;
    bool ok = instr_decode(coded.data(), coded.size(), raw.size(), wrong, out);
    EXPECT_FALSE(ok && out == raw);
}

TEST(InstructionModel, DamageIsRefusedOrDecodesToOtherInstructions) {
    std::vector<uint8_t> raw = instruction_bytes(edit_instructions(62, 50));
    InstrHistory h;
    h.start_own();
    std::vector<uint8_t> coded = instr_encode(raw, h);
    int refused = 0;
    for (size_t pos = 0; pos < coded.size(); ++pos) {
        std::vector<uint8_t> bad = coded;
        bad[pos] ^= 0x10;
        InstrHistory d;
        d.start_own();
        std::vector<uint8_t> out;
        bool ok = instr_decode(bad.data(), bad.size(), raw.size(), d, out);
        // The range coder's first byte is always zero and never read, and its last bytes
        // carry slack: a flip there may change nothing.
        if (pos > 0 && pos + 5 < coded.size()) {
            EXPECT_FALSE(ok && out == raw) << "flip at " << pos << " of " << coded.size();
        }
        if (ok) {
            EXPECT_EQ(out.size(), raw.size());
        }
        refused += !ok;
        EXPECT_LE(out.size(), raw.size() + 30); // one instruction past the end at most
    }
    EXPECT_GT(refused, 0);
    // Cut short, or with a byte too many.
    for (size_t n : {coded.size() - 1, coded.size() + 1}) {
        std::vector<uint8_t> c = coded;
        c.resize(n, 0);
        InstrHistory d;
        d.start_own();
        std::vector<uint8_t> out;
        EXPECT_FALSE(instr_decode(c.data(), c.size(), raw.size(), d, out)) << n;
    }
}

// A block written with the full head of earlier builders and the same block with the compact
// head decode to the same bytes; the compact one names no difference stream when every
// difference byte is zero.
TEST(DeltaCodec, FullAndCompactBlockHeadsDecodeAlike) {
    Scratch s;
    const std::string oldb = "0123456789abcdefghij";
    const std::string newb = "0123456789XYZabcdefghij";
    // Instructions: 10 bytes as they were, 3 literals, then 10 bytes as they were.
    std::vector<uint8_t> ctrl;
    for (uint64_t v : {10, 3, 0, 10, 0, 0})
        put_varu(ctrl, v);
    std::vector<uint8_t> full, compact;
    put_varu(full, newb.size());
    put_u8(full, 0); // instructions raw
    put_varu(full, ctrl.size());
    put_varu(full, ctrl.size());
    put_u8(full, 0); // difference bytes in zero-run form: one run of 20 zeros
    put_varu(full, 2);
    put_varu(full, 2);
    put_u8(full, 0); // literals raw
    put_varu(full, 3);
    put_varu(full, 3);
    full.insert(full.end(), ctrl.begin(), ctrl.end());
    for (uint8_t b : {0, 19})
        full.push_back(b);
    for (char c : std::string("XYZ"))
        full.push_back(static_cast<uint8_t>(c));

    compact = {0, 7 << 3, 0}; // codings raw / every difference zero / raw; all that remains
    put_varu(compact, ctrl.size());
    put_varu(compact, 3);
    compact.insert(compact.end(), ctrl.begin(), ctrl.end());
    for (char c : std::string("XYZ"))
        compact.push_back(static_cast<uint8_t>(c));

    write_file(s.sub("old"), oldb);
    os::File of;
    ASSERT_TRUE(os::File::open_read(s.sub("old"), of).ok());
    for (const auto* payload : {&full, &compact}) {
        write_file(s.sub("p"), std::string(payload->begin(), payload->end()));
        os::File pf;
        ASSERT_TRUE(os::File::open_read(s.sub("p"), pf).ok());
        Entry e;
        e.op = Op::Modify;
        e.codec = Codec::Delta;
        e.payload_size = payload->size();
        e.new_size = newb.size();
        std::string got;
        StringSink sink(got);
        DecodeResult r = decode_payload(e, pf, &of, oldb.size(), sink, [](uint64_t) {});
        ASSERT_EQ(r.status, DecodeStatus::Ok) << r.message;
        EXPECT_EQ(got, newb);
        // A compact head that claims more than remains is refused.
        e.new_size = newb.size() + 1;
        got.clear();
        if (payload == &compact) {
            compact[2] = static_cast<uint8_t>(newb.size() + 1);
            write_file(s.sub("p2"), std::string(compact.begin(), compact.end()));
            os::File pf2;
            ASSERT_TRUE(os::File::open_read(s.sub("p2"), pf2).ok());
            e.new_size = newb.size();
            r = decode_payload(e, pf2, &of, oldb.size(), sink, [](uint64_t) {});
            EXPECT_EQ(r.status, DecodeStatus::Corrupt);
            EXPECT_EQ(r.message, "a difference block has an invalid length");
        }
    }
}

// A publisher may trade size for applying speed: no stream is then context-mixed.
TEST(DeltaCodec, FastApplyPatchesUseNoContextMixing) {
    std::string oldb = random_bytes(45, 300000), r = random_bytes(46, 20000);
    std::string newb = oldb;
    // Changes at irregular places, mostly by one: context mixing codes them best.
    for (size_t i = 100, k = 0; i < newb.size(); i += 20 + static_cast<uint8_t>(r[k++]) % 64)
        newb[i] = static_cast<char>(newb[i] + (r[k] & 0x70 ? 1 : 1 + (r[k] & 3)));
    newb.insert(5000, "a few new bytes");
    size_t sizes[2] = {0, 0};
    for (bool fast : {false, true}) {
        Scratch s;
        DeltaOptions opt = default_delta_options();
        opt.fast_apply = fast;
        CodecRun r = delta_round_trip(s, oldb, newb, opt);
        ASSERT_EQ(r.result.status, DecodeStatus::Ok) << r.result.message;
        ASSERT_TRUE(r.decoded == newb);
        DeltaStats st = payload_stats(s, r, newb.size());
        EXPECT_EQ(st.by_coding[2] + st.by_coding[3] > 0, !fast);
        sizes[fast] = r.payload.size();
    }
    EXPECT_LT(sizes[0], sizes[1]);
}

// The history finds what followed the latest earlier occurrence of the last two (d, x) pairs
// exactly, before and after its table has grown.
TEST(InstructionModel, HistoryFindsTheLatestEarlierPair) {
    InstrHistory h;
    auto add = [&](uint64_t d, uint64_t x) { h.add(Instr{d, x, 0}); };
    for (uint64_t k = 0; k < 1000; ++k) {
        add(7, 0);
        add(8, 1);
        add(100 + k, 0); // what follows (7,0) (8,1) differs each time
    }
    add(7, 0);
    add(8, 1);
    size_t j = h.follow();
    ASSERT_NE(j, InstrHistory::npos);
    EXPECT_EQ(j, 3 * 999 + 2u); // the latest: 100 + 999
    EXPECT_EQ(h[j].d, 1099u);
    add(7, 9); // a pair never seen
    add(1, 1);
    EXPECT_EQ(h.follow(), InstrHistory::npos);
}
