#include "signature.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#endif

namespace kv {

namespace {

constexpr const char* kNoMatch = "the signature does not match";

// The system's cryptography is missing or failed: nothing could be signed or checked.
os::Status crypto_failure(const char* why) {
    return os::Status::fail(os::ErrKind::Other, why);
}
DecodeResult no_check(const char* why) {
    return DecodeResult::io(crypto_failure(why));
}

#ifdef _WIN32

// bcrypt.dll's functions, looked up once from the system folder (never from the game's or
// the program's folder, where another file of that name could lie).
struct Bcrypt {
    decltype(&BCryptOpenAlgorithmProvider) open = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) close = nullptr;
    decltype(&BCryptGetProperty) get_property = nullptr;
    decltype(&BCryptCreateHash) create_hash = nullptr;
    decltype(&BCryptHashData) hash_data = nullptr;
    decltype(&BCryptFinishHash) finish_hash = nullptr;
    decltype(&BCryptDestroyHash) destroy_hash = nullptr;
    decltype(&BCryptImportKeyPair) import_pair = nullptr;
    decltype(&BCryptVerifySignature) verify = nullptr;
    decltype(&BCryptSignHash) sign = nullptr;
    decltype(&BCryptGenerateKeyPair) generate = nullptr;
    decltype(&BCryptFinalizeKeyPair) finalize = nullptr;
    decltype(&BCryptExportKey) export_key = nullptr;
    decltype(&BCryptDestroyKey) destroy_key = nullptr;
    bool ok = false;
};

template <typename F> void find(HMODULE m, F& f, const char* name, bool& ok) {
    f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
    ok = ok && f != nullptr;
}

const Bcrypt& bcrypt() {
    static const Bcrypt api = [] {
        Bcrypt b;
        wchar_t dir[MAX_PATH];
        UINT n = GetSystemDirectoryW(dir, MAX_PATH);
        if (n == 0 || n >= MAX_PATH - 16)
            return b;
        std::wstring path = std::wstring(dir, n) + L"\\bcrypt.dll";
        HMODULE m = LoadLibraryW(path.c_str());
        if (!m)
            return b;
        bool ok = true;
        find(m, b.open, "BCryptOpenAlgorithmProvider", ok);
        find(m, b.close, "BCryptCloseAlgorithmProvider", ok);
        find(m, b.get_property, "BCryptGetProperty", ok);
        find(m, b.create_hash, "BCryptCreateHash", ok);
        find(m, b.hash_data, "BCryptHashData", ok);
        find(m, b.finish_hash, "BCryptFinishHash", ok);
        find(m, b.destroy_hash, "BCryptDestroyHash", ok);
        find(m, b.import_pair, "BCryptImportKeyPair", ok);
        find(m, b.verify, "BCryptVerifySignature", ok);
        find(m, b.sign, "BCryptSignHash", ok);
        find(m, b.generate, "BCryptGenerateKeyPair", ok);
        find(m, b.finalize, "BCryptFinalizeKeyPair", ok);
        find(m, b.export_key, "BCryptExportKey", ok);
        find(m, b.destroy_key, "BCryptDestroyKey", ok);
        b.ok = ok;
        return b;
    }();
    return api;
}

constexpr const char* kNoCrypto = "this system's bcrypt.dll offers no ECDSA P-256";

// An ECDSA P-256 key in bcrypt from its public (and optionally secret) parts.
class BKey {
  public:
    BKey(const uint8_t key[64], const uint8_t* secret) {
        const Bcrypt& b = bcrypt();
        if (!b.ok || b.open(&alg_, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) {
            alg_ = nullptr;
            return;
        }
        std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + (secret ? 96 : 64));
        BCRYPT_ECCKEY_BLOB head{secret ? static_cast<ULONG>(BCRYPT_ECDSA_PRIVATE_P256_MAGIC)
                                       : static_cast<ULONG>(BCRYPT_ECDSA_PUBLIC_P256_MAGIC),
                                32};
        std::memcpy(blob.data(), &head, sizeof head);
        std::memcpy(blob.data() + sizeof head, key, 64);
        if (secret)
            std::memcpy(blob.data() + sizeof head + 64, secret, 32);
        if (b.import_pair(alg_, nullptr, secret ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
                          &key_, blob.data(), static_cast<ULONG>(blob.size()), 0) != 0)
            key_ = nullptr;
        std::fill(blob.begin(), blob.end(), 0);
    }
    ~BKey() {
        if (key_)
            bcrypt().destroy_key(key_);
        if (alg_)
            bcrypt().close(alg_, 0);
    }
    bool have_alg() const { return alg_ != nullptr; }
    BCRYPT_KEY_HANDLE get() const { return key_; }

  private:
    BCRYPT_ALG_HANDLE alg_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
};

#else

// An EVP key of the P-256 group from its public (and optionally secret) parts.
EVP_PKEY* make_key(const uint8_t key[64], const uint8_t* secret) {
    uint8_t point[65];
    point[0] = 4; // uncompressed
    std::memcpy(point + 1, key, 64);
    EVP_PKEY* pkey = nullptr;
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    BIGNUM* d = secret ? BN_bin2bn(secret, 32, nullptr) : nullptr;
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (bld && ctx && (!secret || d) &&
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) &&
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) &&
        (!d || OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, d)) &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(ctx) > 0 &&
        EVP_PKEY_fromdata(ctx, &pkey, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) <= 0)
        pkey = nullptr;
    OSSL_PARAM_free(params);
    EVP_PKEY_CTX_free(ctx);
    BN_clear_free(d);
    OSSL_PARAM_BLD_free(bld);
    return pkey;
}

#endif

uint8_t hex_value(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + 10);
    return 0xFF;
}

bool from_hex(const std::string& text, uint8_t* out, size_t n) {
    if (text.size() != 2 * n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi > 15 || lo > 15)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string to_hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// The words of the first line that is neither blank nor a '#' comment.
std::vector<std::string> key_words(const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        std::vector<std::string> words;
        size_t i = 0;
        while (i < line.size()) {
            size_t b = line.find_first_not_of(" \t\r", i);
            if (b == std::string::npos)
                break;
            size_t e = std::min(line.find_first_of(" \t\r", b), line.size());
            words.push_back(line.substr(b, e - b));
            i = e;
        }
        if (!words.empty() && words[0][0] != '#')
            return words;
    }
    return {};
}

class P256Signer : public PatchSigner {
  public:
    P256Signer(const uint8_t secret[32], const uint8_t pub[64]) {
        std::memcpy(secret_, secret, 32);
        std::memcpy(key, pub, 64);
    }
    ~P256Signer() override {
        volatile uint8_t* p = secret_;
        for (size_t i = 0; i < 32; ++i)
            p[i] = 0;
    }
    void update(const void* data, size_t n) override { hash_.update(data, n); }
    os::Status finish(uint8_t value[64]) override {
        if (!hash_.ok())
            return crypto_failure("this system offers no SHA-256");
        uint8_t digest[32];
        hash_.finish(digest);
        return p256_sign(secret_, key, digest, value);
    }

  private:
    Sha256 hash_;
    uint8_t secret_[32];
};

} // namespace

#ifdef _WIN32

struct Sha256::Impl {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<uint8_t> object;
    bool ok = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    const Bcrypt& b = bcrypt();
    if (!b.ok || b.open(&impl_->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        impl_->alg = nullptr;
        return;
    }
    DWORD size = 0;
    ULONG got = 0;
    if (b.get_property(impl_->alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                       sizeof size, &got, 0) != 0 ||
        size > (1u << 20))
        return;
    impl_->object.resize(size);
    impl_->ok =
        b.create_hash(impl_->alg, &impl_->hash, impl_->object.data(), size, nullptr, 0, 0) == 0;
}

Sha256::~Sha256() {
    if (impl_->hash)
        bcrypt().destroy_hash(impl_->hash);
    if (impl_->alg)
        bcrypt().close(impl_->alg, 0);
}

bool Sha256::ok() const {
    return impl_->ok;
}

void Sha256::update(const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (impl_->ok && n > 0) {
        ULONG part = static_cast<ULONG>(std::min<size_t>(n, 1u << 30));
        impl_->ok = bcrypt().hash_data(impl_->hash, const_cast<PUCHAR>(p), part, 0) == 0;
        p += part;
        n -= part;
    }
}

void Sha256::finish(uint8_t out[32]) {
    if (!impl_->ok || bcrypt().finish_hash(impl_->hash, out, 32, 0) != 0) {
        impl_->ok = false;
        std::memset(out, 0, 32);
    }
}

DecodeResult p256_verify(const uint8_t key[64], const uint8_t digest[32], const uint8_t sig[64]) {
    BKey k(key, nullptr);
    if (!k.have_alg())
        return no_check(kNoCrypto);
    if (!k.get())
        return DecodeResult::corrupt("the key is not a point of the curve");
    NTSTATUS st = bcrypt().verify(k.get(), nullptr, const_cast<PUCHAR>(digest), 32,
                                  const_cast<PUCHAR>(sig), 64, 0);
    return st == 0 ? DecodeResult::ok() : DecodeResult::corrupt(kNoMatch);
}

os::Status p256_sign(const uint8_t secret[32], const uint8_t key[64], const uint8_t digest[32],
                     uint8_t sig[64]) {
    BKey k(key, secret);
    if (!k.have_alg())
        return crypto_failure(kNoCrypto);
    if (!k.get())
        return crypto_failure("the secret key is invalid");
    ULONG got = 0;
    if (bcrypt().sign(k.get(), nullptr, const_cast<PUCHAR>(digest), 32, sig, 64, &got, 0) != 0 ||
        got != 64)
        return crypto_failure("bcrypt.dll could not sign");
    return os::Status::success();
}

os::Status p256_generate(uint8_t secret[32], uint8_t key[64]) {
    const Bcrypt& b = bcrypt();
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!b.ok || b.open(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
        return crypto_failure(kNoCrypto);
    BCRYPT_KEY_HANDLE k = nullptr;
    uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
    ULONG got = 0;
    bool ok = b.generate(alg, &k, 256, 0) == 0 && b.finalize(k, 0) == 0 &&
              b.export_key(k, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &got, 0) == 0 &&
              got == sizeof blob;
    if (k)
        b.destroy_key(k);
    b.close(alg, 0);
    if (!ok)
        return crypto_failure("bcrypt.dll could not make a key");
    std::memcpy(key, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    std::memcpy(secret, blob + sizeof(BCRYPT_ECCKEY_BLOB) + 64, 32);
    std::memset(blob, 0, sizeof blob);
    return os::Status::success();
}

#else

struct Sha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
    bool ok = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->ctx = EVP_MD_CTX_new();
    impl_->ok = impl_->ctx && EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(impl_->ctx);
}

bool Sha256::ok() const {
    return impl_->ok;
}

void Sha256::update(const void* data, size_t n) {
    if (impl_->ok)
        impl_->ok = EVP_DigestUpdate(impl_->ctx, data, n) == 1;
}

void Sha256::finish(uint8_t out[32]) {
    unsigned len = 0;
    if (!impl_->ok || EVP_DigestFinal_ex(impl_->ctx, out, &len) != 1 || len != 32) {
        impl_->ok = false;
        std::memset(out, 0, 32);
    }
}

DecodeResult p256_verify(const uint8_t key[64], const uint8_t digest[32], const uint8_t sig[64]) {
    EVP_PKEY* pkey = make_key(key, nullptr);
    if (!pkey)
        return DecodeResult::corrupt("the key is not a point of the curve");
    ECDSA_SIG* es = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(sig, 32, nullptr);
    BIGNUM* s = BN_bin2bn(sig + 32, 32, nullptr);
    unsigned char* der = nullptr;
    int der_len = 0;
    if (es && r && s && ECDSA_SIG_set0(es, r, s) == 1) {
        r = s = nullptr; // owned by es now
        der_len = i2d_ECDSA_SIG(es, &der);
    }
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(es);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    int v = der_len > 0 && ctx && EVP_PKEY_verify_init(ctx) == 1
                ? EVP_PKEY_verify(ctx, der, static_cast<size_t>(der_len), digest, 32)
                : -1;
    EVP_PKEY_CTX_free(ctx);
    OPENSSL_free(der);
    EVP_PKEY_free(pkey);
    return v == 1 ? DecodeResult::ok() : DecodeResult::corrupt(kNoMatch);
}

os::Status p256_sign(const uint8_t secret[32], const uint8_t key[64], const uint8_t digest[32],
                     uint8_t sig[64]) {
    EVP_PKEY* pkey = make_key(key, secret);
    if (!pkey)
        return crypto_failure("the secret key is invalid or does not belong to its public key");
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    unsigned char der[80];
    size_t der_len = sizeof der;
    bool ok =
        ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, der, &der_len, digest, 32) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    const unsigned char* p = der;
    ECDSA_SIG* es = ok ? d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_len)) : nullptr;
    ok = es && BN_bn2binpad(ECDSA_SIG_get0_r(es), sig, 32) == 32 &&
         BN_bn2binpad(ECDSA_SIG_get0_s(es), sig + 32, 32) == 32;
    ECDSA_SIG_free(es);
    return ok ? os::Status::success() : crypto_failure("OpenSSL could not sign");
}

os::Status p256_generate(uint8_t secret[32], uint8_t key[64]) {
    EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    BIGNUM* d = nullptr;
    uint8_t point[65];
    size_t len = 0;
    bool ok = pkey && EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1 &&
              BN_bn2binpad(d, secret, 32) == 32 &&
              EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                              &len) == 1 &&
              len == 65 && point[0] == 4;
    if (ok)
        std::memcpy(key, point + 1, 64);
    BN_clear_free(d);
    EVP_PKEY_free(pkey);
    return ok ? os::Status::success() : crypto_failure("OpenSSL could not make a key");
}

#endif

bool signature_support() {
#ifdef _WIN32
    return bcrypt().ok && Sha256().ok();
#else
    return Sha256().ok();
#endif
}

std::string key_fingerprint(const uint8_t key[64]) {
    Sha256 h;
    h.update(key, 64);
    uint8_t d[32];
    h.finish(d);
    std::string hex = to_hex(d, 8), out;
    for (size_t i = 0; i < hex.size(); ++i) {
        if (i && i % 4 == 0)
            out += '-';
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
    }
    return out;
}

std::string format_public_key(const uint8_t key[64]) {
    return std::string(kPublicKeyWord) + " " + to_hex(key, 64) + "\n";
}

std::string format_secret_key(const uint8_t secret[32], const uint8_t key[64]) {
    return std::string(kSecretKeyWord) + " " + to_hex(secret, 32) + " " + to_hex(key, 64) +
           "\n# secret: whoever holds this file can sign patches in your name\n";
}

DecodeResult parse_public_key(const std::string& text, uint8_t key[64]) {
    std::vector<std::string> w = key_words(text);
    if (w.size() == 3 && w[0] == kSecretKeyWord)
        return DecodeResult::corrupt(
            "it is a secret key; the public key is the file ending in .pub");
    if (w.size() != 2 || w[0] != kPublicKeyWord || !from_hex(w[1], key, 64))
        return DecodeResult::corrupt(std::string("it is not a public key (a line \"") +
                                     kPublicKeyWord + " <128 hex digits>\")");
    return DecodeResult::ok();
}

DecodeResult parse_secret_key(const std::string& text, uint8_t secret[32], uint8_t key[64]) {
    std::vector<std::string> w = key_words(text);
    if (w.size() != 3 || w[0] != kSecretKeyWord || !from_hex(w[1], secret, 32) ||
        !from_hex(w[2], key, 64))
        return DecodeResult::corrupt(std::string("it is not a secret key (a line \"") +
                                     kSecretKeyWord + " <64 hex digits> <128 hex digits>\")");
    return DecodeResult::ok();
}

DecodeResult check_patch_signature(Patch& patch) {
    if (!patch.signature.present)
        return DecodeResult::corrupt("the patch is not signed");
    Sha256 h;
    if (!h.ok())
        return no_check("this system offers no SHA-256");
    std::vector<uint8_t> buf(1 << 20);
    auto feed = [&](uint64_t from, uint64_t to) {
        for (uint64_t pos = from; pos < to;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), to - pos));
            if (os::Status s = patch.file.read_exact_at(pos, buf.data(), n); !s)
                return s;
            h.update(buf.data(), n);
            pos += n;
        }
        return os::Status::success();
    };
    os::Status read = feed(0, patch.signature.value_offset);
    if (read)
        read = feed(patch.size - kTrailerSize, patch.size - 16);
    if (!read)
        return DecodeResult::io(read, "the patch cannot be read");
    uint8_t digest[32];
    h.finish(digest);
    return p256_verify(patch.signature.key, digest, patch.signature.value);
}

std::unique_ptr<PatchSigner> make_signer(const uint8_t secret[32], const uint8_t key[64]) {
    return std::make_unique<P256Signer>(secret, key);
}

} // namespace kv
