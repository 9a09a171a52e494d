// Signatures and descriptions of patches: the curve arithmetic against published vectors, and
// signed patches through the engine's entry point (on Windows the real patchw32.dll, whose
// checks run on bcrypt.dll), whole and tampered with.
#include "../fuzz/fuzz_game.h"
#include "builder.h"
#include "bytes.h"
#include "entry_caller.h"
#include "hash.h"
#include "signature.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace kvtest;

namespace {

std::vector<uint8_t> unhex(const std::string& h) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<uint8_t> sha256(const std::string& text) {
    kv::Sha256 h;
    h.update(text.data(), text.size());
    std::vector<uint8_t> d(32);
    h.finish(d.data());
    return d;
}

} // namespace

// The P-256 key of RFC 6979, appendix A.2.5, and its SHA-256 signatures of "sample" and
// "test"; each must hold, and none with one bit of message, r or s changed.
TEST(Signature, PublishedVectorsHoldAndNoAlteredOneDoes) {
    ASSERT_TRUE(kv::signature_support());
    EXPECT_EQ(sha256("abc"),
              unhex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    const std::vector<uint8_t> key =
        unhex("60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
              "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299");
    struct Vector {
        const char* message;
        const char* rs;
    } vectors[] = {
        {"sample", "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716"
                   "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8"},
        {"test", "F1ABB023518351CD71D881567B1EA663ED3EFCF6C5132B354F28D3B0B7D38367"
                 "019F4113742A2B14BD25926B49C649155F267E60D3814B4C0CC84250E46F0083"},
    };
    for (const Vector& v : vectors) {
        std::vector<uint8_t> d = sha256(v.message), sig = unhex(v.rs);
        EXPECT_TRUE(kv::p256_verify(key.data(), d.data(), sig.data())) << v.message;
        for (size_t bit : {0u, 255u, 300u, 511u}) {
            std::vector<uint8_t> bad = sig;
            bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            EXPECT_EQ(kv::p256_verify(key.data(), d.data(), bad.data()).message,
                      "the signature does not match")
                << v.message << " bit " << bit;
        }
        d[31] ^= 1;
        EXPECT_EQ(kv::p256_verify(key.data(), d.data(), sig.data()).message,
                  "the signature does not match");
    }
}

namespace {

struct Key {
    uint8_t secret[32], pub[64];
    Key() { EXPECT_TRUE(kv::p256_generate(secret, pub)); }
};

// A game at the old version with the publisher's key, and the means to build patches for it.
struct SignedGame {
    Scratch s;
    std::string game = s.sub("game");
    Key publisher;
    Tree before = old_game_tree();
    SignedGame() {
        make_tree(s.sub("old"), old_game_tree());
        make_tree(s.sub("new"), new_game_tree());
        make_tree(game, before);
        write_file(game + "/" + kv::kKeyFileName, kv::format_public_key(publisher.pub));
        before = snapshot(game);
    }
    // A patch as bytes, signed with `key` (unsigned without).
    std::string build(const Key* key, kv::PatchMeta meta = {"Tarrowmoor", "1.22", "1.23"}) {
        kv::BuildOptions opt;
        opt.meta = meta;
        std::unique_ptr<kv::PatchSigner> signer =
            key ? kv::make_signer(key->secret, key->pub) : nullptr;
        opt.signer = signer.get();
        kv::BuildStats stats;
        kv::os::remove_file(s.sub("p.rtp"));
        EXPECT_EQ(kv::build_patch(s.sub("old"), s.sub("new"), s.sub("p.rtp"), opt,
                                  kv::BuildCallbacks{}, stats)
                      .message,
                  "");
        return read_file(s.sub("p.rtp"));
    }
    int apply(const std::string& bytes) {
        write_file(s.sub("p.rtp"), bytes);
        return call("-u \"" + game + "\" \"" + s.sub("p.rtp") + "\"");
    }
};

// Offsets from the end: the sign section is the last before the 64-byte trailer.
constexpr size_t kSignAt = kv::kTrailerSize + kv::kSignSectionSize,
                 kValueAt = kv::kTrailerSize + 64;

} // namespace

TEST(SignedPatch, ShowsWhatItIsForAndWhoSignedItThenApplies) {
    SignedGame g;
    std::string p = g.build(&g.publisher);
    ASSERT_EQ(g.apply(p), kv::kRcOk) << all_text();
    std::vector<std::string> info = texts(1);
    info.resize(2);
    EXPECT_EQ(info, (std::vector<std::string>{"This patch updates Tarrowmoor 1.22 to 1.23.",
                                              "The patch is signed by key " +
                                                  kv::key_fingerprint(g.publisher.pub) +
                                                  ", the publisher key of this game."}));
    Tree want = snapshot(g.s.sub("new"));
    want[kv::kKeyFileName] = kv::format_public_key(g.publisher.pub);
    EXPECT_EQ(describe_difference(snapshot(g.game), want), "");
}

// One row per way of tampering: every one is refused before anything changes.
TEST(SignedPatch, TamperedUnsignedAndForeignPatchesAreRefusedBeforeAnyChange) {
    SignedGame g;
    Key other;
    const std::string fp = kv::key_fingerprint(g.publisher.pub);
    const std::string good = g.build(&g.publisher),
                      elsewhere = g.build(&g.publisher, {"Other", "1.22", "1.23"});
    auto flip = [&](size_t at) {
        std::string p = good;
        p[at] ^= 0x40;
        return resealed(p);
    };
    std::string stripped =
        good.substr(0, good.size() - kSignAt) + good.substr(good.size() - kv::kTrailerSize);
    kvfuzz::reseal(reinterpret_cast<uint8_t*>(stripped.data()),
                   stripped.size()); // its new size too
    std::string moved = elsewhere;
    moved.replace(moved.size() - kValueAt, 64, good, good.size() - kValueAt, 64);
    const std::string not_matching = "The patch is refused: its signature by key " + fp +
                                     " does not match its contents (the signature does not match); "
                                     "it was changed after it was signed.";
    struct Row {
        const char* what;
        std::string bytes;
        std::string error;
    } rows[] = {
        {"a payload byte flipped", flip(kv::kHeaderSize), not_matching},
        {"a byte of the description flipped", flip(good.size() - kSignAt - 3), not_matching},
        {"a byte of the trailer flipped", flip(good.size() - 32),
         "The patch is damaged or incomplete: "
         "it should be " +
             std::to_string(good.size() ^ 0x40) + " bytes long but is " +
             std::to_string(good.size()) + " bytes."},
        {"a byte of the signature flipped", flip(good.size() - kValueAt + 5), not_matching},
        {"the signature stripped", stripped,
         "The patch is refused: it is not signed, and "
         "this game accepts only patches signed by its publisher's key " +
             fp + "."},
        {"signed with another key", g.build(&other),
         "The patch is refused: it is signed by key " + kv::key_fingerprint(other.pub) +
             ", but this game accepts only patches signed by its "
             "publisher's key " +
             fp + "."},
        {"the signature moved to another patch", resealed(moved), not_matching},
    };
    for (const Row& r : rows) {
        EXPECT_NE(g.apply(r.bytes), kv::kRcOk) << r.what;
        EXPECT_EQ(texts(3).at(0), r.error) << r.what;
        EXPECT_EQ(describe_difference(snapshot(g.game), g.before), "") << r.what;
    }
    // Without the key file an unsigned patch applies as before; a false signature never does.
    kv::os::remove_file(g.game + "/" + kv::kKeyFileName);
    EXPECT_EQ(g.apply(flip(good.size() - kValueAt + 5)), kv::kRcUntrusted);
    EXPECT_EQ(g.apply(g.build(nullptr)), kv::kRcOk) << all_text();
    EXPECT_EQ(describe_difference(snapshot(g.game), snapshot(g.s.sub("new"))), "");
}

// Version 1 patches, which have no sections, apply as before; sections make a patch version 2.
TEST(SignedPatch, VersionOnePatchesStillApplyAndCannotHoldSections) {
    SignedGame g;
    kv::os::remove_file(g.game + "/" + kv::kKeyFileName);
    std::string described = g.build(nullptr), plain = g.build(nullptr, {});
    described[8] = plain[8] = 1;
    EXPECT_EQ(g.apply(resealed(described)), kv::kRcPatchCorrupt);
    EXPECT_EQ(texts(3),
              std::vector<std::string>{"The patch is damaged (its directory is out of bounds)."});
    EXPECT_EQ(g.apply(resealed(plain)), kv::kRcOk) << all_text();
    EXPECT_EQ(describe_difference(snapshot(g.game), snapshot(g.s.sub("new"))), "");
}
