// brantwicker-service: the scanning service's store, its imports and look-ups.
#include "service/command_line.h"
#include "service/commands.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

struct Subcommand {
    std::string_view name;
    int (*run)(int argc, char** argv);
    std::string_view operands;  // as in its own usage line
    std::string_view help;
};

constexpr Subcommand subcommands[] = {
    {"import", import_command, "DB [OPTION]... FILE...", "import hash lists into the store"},
    {"lookup", lookup_command, "DB HASH...", "print what the store holds on digests"},
    {"stats",  stats_command,  "DB [OPTION]...", "count the store's files by source and verdict"},
    {"serve",  serve_command,  "DB [OPTION]...", "serve the store's reports over HTTP"},
    {"export-bloom", export_bloom_command, "DB OUT [OPTION]...", "write the known digests as a Bloom filter"},
    {"retrohunt", retrohunt_command, "DB --samples DIR RULES.yar [OPTION]...",
     "run YARA rules over the kept samples"},
};

int help()
{
    std::puts("usage: brantwicker-service SUBCOMMAND [ARGUMENT]...\n"
              "The Quellarion scanning service: a store of file digests, the lists imported\n"
              "into it, and the web service that answers the desktop program.\n\n"
              "subcommands:");
    for (const Subcommand& command : subcommands) {
        const std::string left = std::string(command.name) + " " + std::string(command.operands);
        command_line_detail::print_row(left, "", command.help);
    }
    std::puts("\noptions:");
    for (const auto& [common, text] : kCommonHelp)
        command_line_detail::print_row(common, "", text);
    std::puts("\nRun 'brantwicker-service SUBCOMMAND --help' for a subcommand's options.");
    return 0;
}

int wrong(const char* why, std::string_view what)
{
    std::fprintf(stderr, "brantwicker-service: %s%.*s\n"
                         "Try 'brantwicker-service --help'.\n",
                 why, static_cast<int>(what.size()), what.data());
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return wrong("no subcommand given (import, lookup, stats, serve, export-bloom or retrohunt)", "");
    const std::string_view name = argv[1];
    if (name == "--help" || name == "help")
        return help();
    if (name == "--version") {
        command_line_detail::print_version();
        return 0;
    }
    for (const Subcommand& command : subcommands)
        if (command.name == name)
            return command.run(argc - 1, argv + 1);
    return wrong(name.starts_with("-") ? "unknown option " : "unknown subcommand ", name);
}
