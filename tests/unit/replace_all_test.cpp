#include "lookup/replace_all.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ReplaceCase {
    const char* name;
    std::string pattern, replacement, subject, expected;
};

void PrintTo(const ReplaceCase& c, std::ostream* os) { *os << c.name; }

class ReplaceAll : public testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceAll, ReplacesLeftToRightWithoutOverlap)
{
    const ReplaceCase& c = GetParam();
    std::string subject = c.subject;
    EXPECT_EQ(replace_all(c.pattern, c.replacement, subject), c.expected);
    EXPECT_EQ(subject, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceAll,
    testing::Values(
        ReplaceCase{"EmptyPattern", "", "x", "abc", "abc"},
        ReplaceCase{"EmptySubject", "ab", "x", "", ""},
        ReplaceCase{"PatternLongerThanSubject", "abcd", "x", "abc", "abc"},
        ReplaceCase{"NoOverlap", "aa", "b", "aaa", "ba"},
        ReplaceCase{"ReplacementNotRescanned", "a", "aa", "aba", "aabaa"},
        ReplaceCase{"FailedPartialMatchDoesNotHideNext", "ab", "X", "aab", "aX"},
        ReplaceCase{"EmptyReplacementDeletes", "ab", "", "abcabab", "c"},
        ReplaceCase{"SubjectEqualsPattern", "abc", "Z", "abc", "Z"},
        ReplaceCase{"PatternCutOffAtEnd", "abc", "Z", "xxab", "xxab"},
        ReplaceCase{"CaseSignificant", "Ab", "Z", "ab Ab AB", "ab Z AB"},
        ReplaceCase{"BytesNotSpecial", std::string("\0\xff", 2), "-",
                    std::string("a\0\xff" "b\0", 5), std::string("a-b\0", 4)}),
    [](const testing::TestParamInfo<ReplaceCase>& p) { return p.param.name; });

TEST(ReplaceAllResult, IsACopyOfTheChangedSubject)
{
    std::string subject = "one two one";
    std::string result = replace_all("one", "1", subject);
    EXPECT_EQ(subject, "1 two 1");
    result[0] = 'X';
    EXPECT_EQ(subject, "1 two 1");
}

TEST(ReplaceAllResult, PatternMayViewIntoTheSubject)
{
    std::string subject = "abab";
    const std::string_view pattern(subject.data(), 2);
    EXPECT_EQ(replace_all(pattern, "x", subject), "xx");
}

}  // namespace
