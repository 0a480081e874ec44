// brantwicker-service: the scanning service's store, its imports and look-ups.
#include "service/commands.h"

#include <cstdio>
#include <string_view>

namespace {

struct Subcommand {
    std::string_view name;
    int (*run)(int argc, char** argv);
    std::string_view usage;
};

constexpr Subcommand subcommands[] = {
    {"import", import_command,
     "import DB [--format md5sum|debian|nsrl|hdb] [--source NAME] [--verdict good|bad] FILE..."},
    {"lookup", lookup_command, "lookup DB HASH..."},
    {"stats",  stats_command,  "stats DB [--clamd SOCKET|HOST:PORT]"},
    {"serve",  serve_command,  "serve DB [--replica URI]... [--listen ADDR:PORT] [--threads N] [--read-timeout S]\n"
                               "        [--max-connections N] [--clamd SOCKET|HOST:PORT] [--scan-jobs N]\n"
                               "        [--scan-max-bytes N] [--scan-timeout S] [--metrics-listen ADDR:PORT]\n"
                               "        [--unknown-top N|off] [--public-stats] [--session-ttl S] [--bloom on|off]"},
    {"export-bloom", export_bloom_command,
     "export-bloom DB OUT [--fp P] [--verdict good|bad|all] [--source NAME]... [--digest sha1|md5]"},
};

int usage(std::FILE* to)
{
    std::fputs("usage:\n", to);
    for (const Subcommand& command : subcommands)
        std::fprintf(to, "  brantwicker-service %.*s\n", static_cast<int>(command.usage.size()),
                     command.usage.data());
    return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage(stderr);
    const std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help")
        return usage(stdout);
    for (const Subcommand& command : subcommands)
        if (command.name == name)
            return command.run(argc - 1, argv + 1);
    std::fprintf(stderr, "brantwicker-service: unknown subcommand '%s'\n", argv[1]);
    return usage(stderr);
}
