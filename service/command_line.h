// A subcommand's command line as one table: each row names an option, the
// value it takes and a line of help, and says how the value is taken. The
// same rows parse the arguments and print --help, so the help cannot fall
// behind the options, and the man page is made from that help.
//
// Arguments: "--name VALUE" or "--name=VALUE"; anything not starting with
// "--" (and "-" itself) is an operand; after "--" everything is an operand.
#pragma once

#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// What parsing came to. Help and Version have been printed to standard
// output (exit 0); Wrong has been explained on standard error (exit 2).
enum class Parsed { Run, Help, Version, Wrong };

template <class Settings>
struct OptionRow {
    std::string_view name;   // "--listen"
    std::string_view value;  // "ADDR:PORT"; empty for an option that takes none
    std::string_view help;   // one line, lower case, no full stop
    // Takes the value into the settings; false when the value is not good.
    // An option without a value is given "".
    bool (*take)(Settings&, std::string_view value);
};

template <class Settings>
struct CommandTable {
    std::string_view name;      // "serve"
    std::string_view operands;  // "DB [FILE]..."
    std::string_view summary;   // what the subcommand does, one or more lines
    std::span<const OptionRow<Settings>> options;
    // Takes one operand; false with `why` set when there is no room for it.
    bool (*operand)(Settings&, std::string_view, std::string& why);
    // After the last argument: false with `why` set when something is missing.
    bool (*complete)(const Settings&, std::string& why);
};

// The rows that every subcommand has, printed after its own.
inline constexpr std::string_view kCommonHelp[][2] = {
    {"--help", "print this help and exit"},
    {"--version", "print the version and exit"},
};

namespace command_line_detail {

void print_usage(std::FILE* to, std::string_view command, std::string_view operands);
void print_row(std::string_view name, std::string_view value, std::string_view help);
void print_version();
Parsed wrong(std::string_view command, const std::string& why);

}  // namespace command_line_detail

// Parses argv[1..argc) (argv[0] is the subcommand's name) into `settings`.
template <class Settings>
Parsed parse_command_line(const CommandTable<Settings>& table, int argc, char** argv,
                          Settings& settings)
{
    using namespace command_line_detail;
    std::string why;
    bool operands_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (operands_only || !arg.starts_with("--") || arg == "--") {
            if (arg == "--" && !operands_only) {
                operands_only = true;
                continue;
            }
            if (!table.operand(settings, arg, why))
                return wrong(table.name, why);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        if (name == "--help" || name == "--version") {
            if (equals != std::string_view::npos)
                return wrong(table.name, std::string(name) + " takes no value");
            if (name == "--version") {
                print_version();
                return Parsed::Version;
            }
            print_usage(stdout, table.name, table.operands);
            std::printf("%.*s\n\noptions:\n", static_cast<int>(table.summary.size()),
                        table.summary.data());
            for (const OptionRow<Settings>& row : table.options)
                print_row(row.name, row.value, row.help);
            for (const auto& [common, help] : kCommonHelp)
                print_row(common, "", help);
            return Parsed::Help;
        }
        const OptionRow<Settings>* row = nullptr;
        for (const OptionRow<Settings>& candidate : table.options)
            if (candidate.name == name)
                row = &candidate;
        if (!row)
            return wrong(table.name, "unknown option " + std::string(name));
        std::string_view value;
        if (row->value.empty()) {
            if (equals != std::string_view::npos)
                return wrong(table.name, std::string(name) + " takes no value");
        } else if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return wrong(table.name, std::string(name) + " needs a value: " +
                                         std::string(row->value));
        }
        if (!row->take(settings, value))
            return wrong(table.name, "bad value for " + std::string(name) + ": '" +
                                         std::string(value) + "'");
    }
    if (!table.complete(settings, why))
        return wrong(table.name, why);
    return Parsed::Run;
}

// The exit status for an outcome other than Run.
inline int parsed_status(Parsed parsed) { return parsed == Parsed::Wrong ? 2 : 0; }

// A whole number in [low, high], all of `text`.
inline std::optional<unsigned long long> number_in(std::string_view text, unsigned long long low,
                                                   unsigned long long high)
{
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// Sets `out` to a whole number in [low, high]; false, `out` untouched, otherwise.
template <class Number>
bool take_number(Number& out, std::string_view text, unsigned long long low,
                 unsigned long long high)
{
    const auto value = number_in(text, low, high);
    if (value)
        out = static_cast<Number>(*value);
    return value.has_value();
}

// Sets `out` to a whole number of seconds in [low, high].
template <class Duration>
bool take_seconds(Duration& out, std::string_view text, unsigned long long low,
                  unsigned long long high)
{
    const auto value = number_in(text, low, high);
    if (value)
        out = std::chrono::seconds(*value);
    return value.has_value();
}
