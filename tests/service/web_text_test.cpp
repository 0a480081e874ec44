// Text from requests on its way into forms, pages and the access log.
#include "service/web/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct FieldCase {
    const char* name;
    const char* form;
    std::optional<std::string> hash;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class FormField : public testing::TestWithParam<FieldCase> {};

TEST_P(FormField, Hash)
{
    EXPECT_EQ(form_field(GetParam().form, "hash"), GetParam().hash);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormField,
    testing::Values(
        FieldCase{"First", "hash=ab&x=1", "ab"},
        FieldCase{"Last", "x=1&hash=ab", "ab"},
        FieldCase{"FirstOfTwo", "hash=ab&hash=cd", "ab"},
        FieldCase{"Empty", "hash=&x=1", ""},
        FieldCase{"NoEquals", "hash", ""},
        FieldCase{"Absent", "x=1&y=2", std::nullopt},
        FieldCase{"PrefixOnly", "hashes=ab", std::nullopt},
        FieldCase{"EncodedName", "h%61sh=ab", "ab"},
        FieldCase{"PlusAndEscapes", "hash=a+b%2Bc%3d", "a b+c="},
        FieldCase{"EscapeAtEnd", "hash=ab%4", "ab%4"},
        FieldCase{"BadEscape", "hash=%zz%", "%zz%"},
        FieldCase{"Nul", "hash=a%00b", std::string("a\0b", 3)}),
    [](const auto& test) { return std::string(test.param.name); });

struct LogCase {
    const char* name;
    std::string text;
    std::size_t limit;
    const char* logged;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

class LogSafe : public testing::TestWithParam<LogCase> {};

TEST_P(LogSafe, Line)
{
    EXPECT_EQ(log_safe(GetParam().text, GetParam().limit), GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogSafe,
    testing::Values(
        LogCase{"Plain", "/a?b=c", 64, "/a?b=c"},
        LogCase{"ForgedLine", "/a\n1.2.3.4 \"GET / HTTP/1.1\" 200", 64,
                "/a\\x0a1.2.3.4 \\x22GET / HTTP/1.1\\x22 200"},
        LogCase{"Backslash", "a\\x41", 64, "a\\x5cx41"},
        LogCase{"HighBytes", "\xff\x7f", 64, "\\xff\\x7f"},
        LogCase{"Cut", "abcdef", 3, "abc..."},
        LogCase{"AtLimit", "abc", 3, "abc"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
