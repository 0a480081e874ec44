#include "lookup/driver.h"

#include <cstdio>
#include <cstring>

#include "digest/md5.h"
#include "lookup/lookup_exchange.h"
#include "lookup/platform/platform.h"

namespace {

// The help, and the man page's options, which are made from it: an option is
// a line of its own starting "  --".
constexpr char kHelp[] =
    "usage: brantwicker FILE\n"
    "Prints FILE's MD5 digest, asks the Quellarion scanning service about it, and\n"
    "opens the service's report in the web browser, or says in a message box that\n"
    "the service does not know the file. Every outcome exits with status 0.\n"
    "\n"
    "options (only as the first argument; ./--help names a file so named):\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";

}  // namespace

int lookup_main(int argc, char** argv)
{
    // A count of 0 is possible (a process started with an empty vector); it
    // names no file either, and argv[1] would lie past the vector's end.
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        show_message_box(kTextNoFile, kMessageBoxTitle, kIconError);
        return 0;
    }

    // Only as the whole of the first argument: a file manager passes a path,
    // which never is either word, so a dropped file is always looked up.
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0) {
        std::fputs(argv[1][2] == 'h' ? kHelp : "brantwicker " BRANTWICKER_VERSION "\n", stdout);
        return 0;
    }

    Md5Digest digest;
    if (md5_file_digest(argv[1], &digest) != MD5_OK)
        return 0;  // the library has written its own line

    char text[kMd5TextSize];
    std::puts(md5_hex(&digest, text));
    return run_lookup(text);
}
