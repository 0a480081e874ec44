#include "service/digest_text.h"

#include <gtest/gtest.h>

TEST(DigestText, TellsKindsApartByLength)
{
    EXPECT_EQ(parse_digest(std::string(32, 'a'))->kind, DigestKind::Md5);
    EXPECT_EQ(parse_digest(std::string(40, 'B'))->kind, DigestKind::Sha1);
    EXPECT_EQ(parse_digest(std::string(64, 'c'))->kind, DigestKind::Sha256);
    EXPECT_FALSE(parse_digest(std::string(31, 'a')));
    EXPECT_FALSE(parse_digest(std::string(31, 'a') + "g"));
}
