#include "base/SafeString.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// A buffer larger than the size handed to the function: bytes past that size must stay untouched.
struct Guarded {
    static constexpr size_t kSize = 8;
    char bytes[kSize + 8];
    Guarded() { memset(bytes, 'Z', sizeof(bytes)); }
    bool TailIntact() const
    {
        for (size_t i = kSize; i < sizeof(bytes); ++i) {
            if (bytes[i] != 'Z') {
                return false;
            }
        }
        return true;
    }
};

TEST(SafeStringTest, StrcpyCopiesWhatFitsAndRejectsTheRest)
{
    Guarded g;
    EXPECT_EQ(0, strcpy_s(g.bytes, Guarded::kSize, "1234567"));  // 7 chars + terminator = 8
    EXPECT_STREQ("1234567", g.bytes);

    EXPECT_EQ(ERANGE, strcpy_s(g.bytes, Guarded::kSize, "12345678"));
    EXPECT_EQ('\0', g.bytes[0]);
    EXPECT_TRUE(g.TailIntact());

    EXPECT_EQ(0, strcpy_s(g.bytes, Guarded::kSize, ""));
    EXPECT_STREQ("", g.bytes);
}

TEST(SafeStringTest, StrcpyRejectsBadArguments)
{
    Guarded g;
    strcpy(g.bytes, "old");
    EXPECT_EQ(EINVAL, strcpy_s(g.bytes, Guarded::kSize, nullptr));
    EXPECT_EQ('\0', g.bytes[0]);
    EXPECT_EQ(EINVAL, strcpy_s(nullptr, Guarded::kSize, "x"));
    strcpy(g.bytes, "old");
    EXPECT_NE(0, strcpy_s(g.bytes, 0, "x"));
    EXPECT_STREQ("old", g.bytes);  // a zero-sized destination is never written
    EXPECT_NE(0, strcpy_s(g.bytes, static_cast<size_t>(-1), "x"));  // a negative size wrapped
}

TEST(SafeStringTest, StrncpyBoundsBothCountAndDestination)
{
    Guarded g;
    EXPECT_EQ(0, strncpy_s(g.bytes, Guarded::kSize, "abcdefghijkl", 3));
    EXPECT_STREQ("abc", g.bytes);
    EXPECT_EQ(0, strncpy_s(g.bytes, Guarded::kSize, "ab", 100));
    EXPECT_STREQ("ab", g.bytes);

    EXPECT_EQ(ERANGE, strncpy_s(g.bytes, Guarded::kSize, "abcdefghijkl", 8));
    EXPECT_EQ('\0', g.bytes[0]);
    EXPECT_TRUE(g.TailIntact());
    EXPECT_EQ(EINVAL, strncpy_s(g.bytes, Guarded::kSize, nullptr, 1));
}

TEST(SafeStringTest, StrncpyFitsASocketPathOfAtMostCapacityMinusOne)
{
    char sunPath[108];
    std::string fits(107, 'p');
    std::string tooLong(108, 'p');
    EXPECT_EQ(0, strncpy_s(sunPath, sizeof(sunPath), fits.c_str(), fits.size()));
    EXPECT_EQ(fits, sunPath);
    EXPECT_EQ(ERANGE, strncpy_s(sunPath, sizeof(sunPath), tooLong.c_str(), tooLong.size()));
    EXPECT_STREQ("", sunPath);
}

TEST(SafeStringTest, MemsetFillsAtMostTheDestination)
{
    Guarded g;
    EXPECT_EQ(0, memset_s(g.bytes, Guarded::kSize, 0, 4));
    EXPECT_EQ(0, memcmp(g.bytes, "\0\0\0\0ZZZZ", 8));

    EXPECT_EQ(ERANGE, memset_s(g.bytes, Guarded::kSize, 'a', Guarded::kSize + 4));
    EXPECT_EQ(std::string(Guarded::kSize, 'a'), std::string(g.bytes, Guarded::kSize));
    EXPECT_TRUE(g.TailIntact());
    EXPECT_EQ(EINVAL, memset_s(nullptr, 4, 0, 4));
}

TEST(SafeStringTest, SprintfReportsLengthOrFailsWithoutOverflow)
{
    Guarded g;
    EXPECT_EQ(7, sprintf_s(g.bytes, Guarded::kSize, "%s/%s", "abc", "def"));
    EXPECT_STREQ("abc/def", g.bytes);

    EXPECT_EQ(-1, sprintf_s(g.bytes, Guarded::kSize, "%s/%s", "abcd", "def"));
    EXPECT_EQ('\0', g.bytes[0]);
    EXPECT_TRUE(g.TailIntact());
    EXPECT_EQ(-1, sprintf_s(nullptr, 8, "x"));
    EXPECT_EQ(-1, sprintf_s(g.bytes, 0, "x"));
}

TEST(SafeStringTest, SprintfRefusesWriteBackConversionOnly)
{
    char buf[32];
    int written = 0;
    // The format is built at run time on purpose: %n must be refused, not executed.
    std::string withN = "ab%n";
    EXPECT_EQ(-1, sprintf_s(buf, sizeof(buf), withN.c_str(), &written));
    EXPECT_EQ(0, written);
    std::string withFlags = "ab%-5n";
    EXPECT_EQ(-1, sprintf_s(buf, sizeof(buf), withFlags.c_str(), &written));
    EXPECT_EQ(0, written);

    EXPECT_EQ(4, sprintf_s(buf, sizeof(buf), "50%%n"));
    EXPECT_STREQ("50%n", buf);
}

}  // namespace
