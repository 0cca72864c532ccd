// Stored passwords of the console's users: salted, slow hashes, and the
// check of a password someone typed against what the store holds.
//
// A stored hash is one self-describing text:
//     pbkdf2-sha256$ITERATIONS$SALT$HASH
// with PBKDF2-HMAC-SHA256 (OpenSSL's libcrypto), ITERATIONS in decimal, SALT
// 16 random bytes and HASH the 32-byte derived key, both in standard base64
// with padding. Any stored value that does not begin with "pbkdf2-sha256$" is
// a clear password written by an older installation; it is still accepted
// (compared in constant time) until the user is next changed, which replaces
// it by its hash. A value that begins with the prefix but is not exactly of
// the form above (bad digits, iterations out of range, base64 that does not
// decode to the right lengths) is malformed and matches no password.
//
// The module owns no state and reads no store; it never logs and never keeps
// a password beyond the call. Thread-safe.
#pragma once

#include <string>

namespace vnx {

inline constexpr const char *kPasswordHashPrefix = "pbkdf2-sha256$";
// Iterations of every hash written here: one check costs about 5 ms on the
// machines this runs on (measured with bench/password_bench).
inline constexpr int kPasswordIterations = 20000;
// Iteration counts a stored hash may name; anything else is malformed (a
// hash naming billions of iterations would hold a gateway for minutes).
inline constexpr int kMinPasswordIterations = 1000;
inline constexpr int kMaxPasswordIterations = 10000000;

enum class PasswordCheck {
    kMatch,      // the password is the one stored
    kMismatch,   // it is not
    kMalformed,  // the stored value claims to be a hash but cannot be read
};

// The stored form of `clear`: a fresh random salt each call, so two hashes of
// one password differ. 0 and *out set, or -1 when libcrypto fails (no
// randomness); *out is then empty.
int hash_password(const std::string &clear, std::string *out, int iterations = kPasswordIterations);

// True when `stored` is written in the hashed form (well formed or not).
bool is_password_hash(const std::string &stored);

// Checks `clear` against `stored` (a hash, or a legacy clear value). An empty
// stored value matches nothing. Comparisons take the same time wherever the
// texts differ.
PasswordCheck check_password(const std::string &stored, const std::string &clear);

}  // namespace vnx
