#include "service/command_line.h"

#include <string>

namespace command_line_detail {

namespace {

constexpr int kNameColumn = 26;  // where the help of a row starts

int width(std::string_view text) { return static_cast<int>(text.size()); }

}  // namespace

void print_usage(std::FILE* to, std::string_view command, std::string_view operands)
{
    std::fprintf(to, "usage: brantwicker-service %.*s %.*s\n", width(command), command.data(),
                 width(operands), operands.data());
}

void print_row(std::string_view name, std::string_view value, std::string_view help)
{
    std::string left(2, ' ');
    left.append(name);
    if (!value.empty())
        left.append(1, ' ').append(value);
    // A long name takes a line of its own, and its help the next.
    if (width(left) >= kNameColumn - 1)
        std::printf("%s\n%*s%.*s\n", left.c_str(), kNameColumn, "", width(help), help.data());
    else
        std::printf("%-*s%.*s\n", kNameColumn, left.c_str(), width(help), help.data());
}

void print_version()
{
    std::printf("brantwicker-service %s\n", BRANTWICKER_VERSION);
}

Parsed wrong(std::string_view command, const std::string& why)
{
    std::fprintf(stderr, "brantwicker-service %.*s: %s\nTry 'brantwicker-service %.*s --help'.\n",
                 width(command), command.data(), why.c_str(), width(command), command.data());
    return Parsed::Wrong;
}

}  // namespace command_line_detail
