// Password hashing and checking. See password.h.
#include "support/password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace vnx {

namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;  // SHA-256's output: PBKDF2 gains nothing beyond it

using Bytes = std::vector<unsigned char>;

std::string base64(const Bytes &bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), bytes.data(),
                            static_cast<int>(bytes.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

// Decodes canonical base64 (padded, no blanks) into exactly `want` bytes;
// false for anything else. EVP_DecodeBlock counts the padding as zero bytes
// and skips blanks, so the result is checked by encoding it again.
bool unbase64(std::string_view text, size_t want, Bytes *out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > 4 * (want / 3 + 1)) return false;
    Bytes bytes(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char *>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t pad = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    if (static_cast<size_t>(n) < pad || static_cast<size_t>(n) - pad != want) return false;
    bytes.resize(want);
    if (base64(bytes) != text) return false;
    *out = std::move(bytes);
    return true;
}

bool derive(const std::string &clear, const Bytes &salt, int iterations, Bytes *key) {
    key->assign(kHashBytes, 0);
    return PKCS5_PBKDF2_HMAC(clear.data(), static_cast<int>(clear.size()), salt.data(),
                             static_cast<int>(salt.size()), iterations, EVP_sha256(),
                             static_cast<int>(key->size()), key->data()) == 1;
}

// Iterations from their decimal text: digits only, no leading zero, within
// the accepted range; -1 otherwise.
int parse_iterations(std::string_view text) {
    if (text.empty() || text.size() > 9 || text[0] == '0') return -1;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    if (v < kMinPasswordIterations || v > kMaxPasswordIterations) return -1;
    return static_cast<int>(v);
}

struct ParsedHash {
    int iterations = 0;
    Bytes salt, hash;
};

// Splits "pbkdf2-sha256$ITER$SALT$HASH"; false when any part is wrong.
bool parse_hash(std::string_view stored, ParsedHash *out) {
    std::string_view prefix = kPasswordHashPrefix;
    if (!stored.starts_with(prefix)) return false;
    std::string_view rest = stored.substr(prefix.size());
    size_t d1 = rest.find('$');
    if (d1 == std::string_view::npos) return false;
    size_t d2 = rest.find('$', d1 + 1);
    if (d2 == std::string_view::npos || rest.find('$', d2 + 1) != std::string_view::npos)
        return false;
    out->iterations = parse_iterations(rest.substr(0, d1));
    return out->iterations > 0 &&
           unbase64(rest.substr(d1 + 1, d2 - d1 - 1), kSaltBytes, &out->salt) &&
           unbase64(rest.substr(d2 + 1), kHashBytes, &out->hash);
}

// SHA-256 of a text, for comparing texts of any lengths in constant time.
bool digest(const std::string &text, unsigned char out[EVP_MAX_MD_SIZE]) {
    unsigned int len = 0;
    return EVP_Digest(text.data(), text.size(), out, &len, EVP_sha256(), nullptr) == 1 &&
           len == kHashBytes;
}

// A legacy clear value: the two texts are compared through their digests, so
// that neither where they differ nor how long they are shows in the time.
PasswordCheck check_clear(const std::string &stored, const std::string &clear) {
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    if (!digest(stored, a) || !digest(clear, b)) return PasswordCheck::kMismatch;
    return CRYPTO_memcmp(a, b, kHashBytes) == 0 ? PasswordCheck::kMatch : PasswordCheck::kMismatch;
}

}  // namespace

int hash_password(const std::string &clear, std::string *out, int iterations) {
    out->clear();
    if (iterations < kMinPasswordIterations || iterations > kMaxPasswordIterations) return -1;
    Bytes salt(kSaltBytes), key;
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return -1;
    if (!derive(clear, salt, iterations, &key)) return -1;
    *out = std::string(kPasswordHashPrefix) + std::to_string(iterations) + "$" + base64(salt) +
           "$" + base64(key);
    return 0;
}

bool is_password_hash(const std::string &stored) {
    return stored.starts_with(kPasswordHashPrefix);
}

PasswordCheck check_password(const std::string &stored, const std::string &clear) {
    if (stored.empty()) return PasswordCheck::kMismatch;
    if (!is_password_hash(stored)) return check_clear(stored, clear);
    ParsedHash h;
    if (!parse_hash(stored, &h)) return PasswordCheck::kMalformed;
    Bytes key;
    if (!derive(clear, h.salt, h.iterations, &key)) return PasswordCheck::kMismatch;
    return CRYPTO_memcmp(key.data(), h.hash.data(), kHashBytes) == 0 ? PasswordCheck::kMatch
                                                                     : PasswordCheck::kMismatch;
}

}  // namespace vnx
