// Publisher signatures of patches: ECDSA over the NIST P-256 curve with SHA-256. The system's
// own cryptography does the arithmetic: bcrypt.dll on Windows (loaded from the system folder
// only when a signature is met), OpenSSL's libcrypto elsewhere.
#pragma once

#include "builder.h"
#include "format.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kv {

// The game's publisher key: a file of this name in the game directory.
inline constexpr const char* kKeyFileName = "patchw32.pub";
// First word of a public key file's line, and of a secret key file's.
inline constexpr const char* kPublicKeyWord = "rtp-ecdsa-p256";
inline constexpr const char* kSecretKeyWord = "rtp-ecdsa-p256-secret";

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    bool ok() const; // false when the system offers no SHA-256
    void update(const void* data, size_t n);
    void finish(uint8_t out[32]);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Whether `sig` (r and s, big-endian) is a valid signature of `digest` under `key` (X and Y,
// big-endian): ok, Corrupt when it does not match or the key is no point of the curve, and
// Unreadable when the system's cryptography cannot check it.
DecodeResult p256_verify(const uint8_t key[64], const uint8_t digest[32], const uint8_t sig[64]);
// Signs with the secret scalar `secret`. Fails (Other) when the key is invalid or the system's
// cryptography cannot sign.
os::Status p256_sign(const uint8_t secret[32], const uint8_t key[64], const uint8_t digest[32],
                     uint8_t sig[64]);
// A new key pair. Fails (Other) when the system's cryptography cannot make one.
os::Status p256_generate(uint8_t secret[32], uint8_t key[64]);

// Can this system check signatures (bcrypt.dll with ECDSA P-256 on Windows)?
bool signature_support();

// "1A2B-3C4D-5E6F-7A8B": the first 8 bytes of the SHA-256 of the public key.
std::string key_fingerprint(const uint8_t key[64]);

// Key files: one line, "rtp-ecdsa-p256 <128 hex digits of X and Y>" for the public key and
// "rtp-ecdsa-p256-secret <64 hex digits of the secret> <128 hex digits of X and Y>" for the
// secret one; a '#' line may follow.
std::string format_public_key(const uint8_t key[64]);
std::string format_secret_key(const uint8_t secret[32], const uint8_t key[64]);
// Reads a key file's text: ok, or Corrupt with why the text is not a key of that kind.
DecodeResult parse_public_key(const std::string& text, uint8_t key[64]);
DecodeResult parse_secret_key(const std::string& text, uint8_t secret[32], uint8_t key[64]);

// Checks the signature of an opened patch against its contents: every byte but the
// signature's value and the final checksum. Ok when it holds; Corrupt when the patch is not
// signed or the signature does not match; Unreadable when the patch cannot be read or the
// system offers no cryptography to check it.
DecodeResult check_patch_signature(Patch& patch);

// A signer for the builder from a secret key.
std::unique_ptr<PatchSigner> make_signer(const uint8_t secret[32], const uint8_t key[64]);

} // namespace kv
