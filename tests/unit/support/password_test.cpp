// Stored password hashes: their form, the check of a typed password, legacy
// clear values and stored hashes that cannot be read.
#include "support/password.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vnx::check_password;
using vnx::hash_password;
using vnx::PasswordCheck;

namespace {

// PBKDF2-HMAC-SHA256 of "correct horse" with the salt bytes 0..15 and 1000
// iterations, computed with Python's hashlib.pbkdf2_hmac: a hash written by
// another implementation of the same scheme.
constexpr const char *kForeignHash =
    "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw==$yRTMTwbMbo9G0VfjobWqerzuuxe7BETNTErBbKKumGQ=";

std::vector<std::string> split_dollars(const std::string &s) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t d; (d = s.find('$', start)) != std::string::npos; start = d + 1)
        parts.push_back(s.substr(start, d - start));
    parts.push_back(s.substr(start));
    return parts;
}

std::string hashed(const std::string &clear, int iterations = vnx::kMinPasswordIterations) {
    std::string out;
    EXPECT_EQ(hash_password(clear, &out, iterations), 0);
    return out;
}

}  // namespace

TEST(Password, HashMatchesItsPasswordAndNoOther) {
    std::string stored = hashed("s3cret pass");
    EXPECT_EQ(check_password(stored, "s3cret pass"), PasswordCheck::kMatch);
    for (const char *wrong : {"s3cret pasS", "s3cret pass ", "s3cret pas", "", "S3CRET PASS"})
        EXPECT_EQ(check_password(stored, wrong), PasswordCheck::kMismatch) << wrong;
}

TEST(Password, StoredFormNamesSchemeIterationsSaltAndHash) {
    std::string stored;
    ASSERT_EQ(hash_password("pw", &stored), 0);
    std::vector<std::string> parts = split_dollars(stored);
    ASSERT_EQ(parts.size(), 4u) << stored;
    EXPECT_EQ(parts[0], "pbkdf2-sha256");
    EXPECT_EQ(parts[1], std::to_string(vnx::kPasswordIterations));
    EXPECT_EQ(parts[2].size(), 24u);  // 16 bytes of salt
    EXPECT_EQ(parts[3].size(), 44u);  // 32 bytes of SHA-256
    EXPECT_TRUE(vnx::is_password_hash(stored));
}

TEST(Password, SaltDiffersPerHashOfTheSamePassword) {
    std::string a = hashed("same"), b = hashed("same");
    EXPECT_NE(split_dollars(a)[2], split_dollars(b)[2]);
    EXPECT_NE(a, b);
    EXPECT_EQ(check_password(a, "same"), PasswordCheck::kMatch);
    EXPECT_EQ(check_password(b, "same"), PasswordCheck::kMatch);
}

TEST(Password, HashWrittenByAnotherImplementationIsChecked) {
    EXPECT_EQ(check_password(kForeignHash, "correct horse"), PasswordCheck::kMatch);
    EXPECT_EQ(check_password(kForeignHash, "correct horsE"), PasswordCheck::kMismatch);
}

TEST(Password, LegacyClearValueMatchesOnlyItself) {
    EXPECT_FALSE(vnx::is_password_hash("tiger"));
    EXPECT_EQ(check_password("tiger", "tiger"), PasswordCheck::kMatch);
    for (const char *wrong : {"Tiger", "tiger ", "tige", "tigers", ""})
        EXPECT_EQ(check_password("tiger", wrong), PasswordCheck::kMismatch) << wrong;
}

TEST(Password, EmptyStoredValueMatchesNothing) {
    EXPECT_EQ(check_password("", ""), PasswordCheck::kMismatch);
    EXPECT_EQ(check_password("", "x"), PasswordCheck::kMismatch);
}

TEST(Password, IterationCountsOutsideTheRangeAreNotWritten) {
    std::string out = "left over";
    EXPECT_EQ(hash_password("pw", &out, vnx::kMinPasswordIterations - 1), -1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(hash_password("pw", &out, vnx::kMaxPasswordIterations + 1), -1);
}

// Each is kForeignHash with one part spoiled; none may match, not even the
// password of the unspoiled hash, nor the stored text itself taken as a clear
// password.
TEST(Password, MalformedStoredHashMatchesNothing) {
    const std::string salt = "AAECAwQFBgcICQoLDA0ODw==",
                      hash = "yRTMTwbMbo9G0VfjobWqerzuuxe7BETNTErBbKKumGQ=";
    const std::string bad[] = {
        "pbkdf2-sha256$",
        "pbkdf2-sha256$1000$" + salt,
        "pbkdf2-sha256$1000$" + salt + "$" + hash + "$",
        "pbkdf2-sha256$$" + salt + "$" + hash,
        "pbkdf2-sha256$01000$" + salt + "$" + hash,
        "pbkdf2-sha256$999$" + salt + "$" + hash,
        "pbkdf2-sha256$10000001$" + salt + "$" + hash,
        "pbkdf2-sha256$99999999999$" + salt + "$" + hash,
        "pbkdf2-sha256$1e3$" + salt + "$" + hash,
        "pbkdf2-sha256$-1000$" + salt + "$" + hash,
        "pbkdf2-sha256$1000$$" + hash,
        "pbkdf2-sha256$1000$" + salt + "$",
        "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0O$" + hash,        // 15-byte salt
        "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODxA=$" + hash,    // 17-byte salt
        "pbkdf2-sha256$1000$" + salt + "$" + hash.substr(0, 40),  // short hash
        "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw$" + hash,      // unpadded
        "pbkdf2-sha256$1000$AAECAwQFBgcI CQoLDA0ODw==$" + hash,   // blank inside
        "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODx==$" + hash,    // not canonical
        "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0OD*==$" + hash,    // not base64
        "pbkdf2-sha256$1000$" + salt + "$" + hash.substr(0, 43) + "!",
    };
    for (const std::string &stored : bad) {
        EXPECT_TRUE(vnx::is_password_hash(stored));
        EXPECT_EQ(check_password(stored, "correct horse"), PasswordCheck::kMalformed) << stored;
        EXPECT_EQ(check_password(stored, stored), PasswordCheck::kMalformed) << stored;
    }
}
