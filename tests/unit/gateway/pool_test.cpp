// The pool's password check: a salted hash, never the password itself.
#include "gateway/pool.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PoolPassword, MatchesOnlyTheSamePassword) {
    vnx::PasswordHash h;
    ASSERT_EQ(vnx::hash_password("secret", &h), 0);
    EXPECT_TRUE(vnx::password_matches(h, "secret"));
    EXPECT_FALSE(vnx::password_matches(h, "Secret"));
    EXPECT_FALSE(vnx::password_matches(h, "secret "));
    EXPECT_FALSE(vnx::password_matches(h, ""));
}

TEST(PoolPassword, EmptyPasswordMatchesOnlyEmpty) {
    vnx::PasswordHash h;
    ASSERT_EQ(vnx::hash_password("", &h), 0);
    EXPECT_TRUE(vnx::password_matches(h, ""));
    EXPECT_FALSE(vnx::password_matches(h, "x"));
}

TEST(PoolPassword, SaltDiffersBetweenHashesOfOnePassword) {
    vnx::PasswordHash a, b;
    ASSERT_EQ(vnx::hash_password("secret", &a), 0);
    ASSERT_EQ(vnx::hash_password("secret", &b), 0);
    EXPECT_NE(memcmp(a.salt, b.salt, sizeof a.salt), 0);
    EXPECT_NE(memcmp(a.digest, b.digest, sizeof a.digest), 0);
}

}  // namespace
