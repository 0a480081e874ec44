#include "lookup/driver.h"

#include <cstdio>

#include "digest/md5.h"
#include "lookup/lookup_exchange.h"
#include "lookup/platform/platform.h"

int lookup_main(int argc, char** argv)
{
    // A count of 0 is possible (a process started with an empty vector); it
    // names no file either, and argv[1] would lie past the vector's end.
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        show_message_box(kTextNoFile, kMessageBoxTitle, kIconError);
        return 0;
    }

    Md5Digest digest;
    if (md5_file_digest(argv[1], &digest) != MD5_OK)
        return 0;  // the library has written its own line

    char text[kMd5TextSize];
    std::puts(md5_hex(&digest, text));
    return run_lookup(text);
}
