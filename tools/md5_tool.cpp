// brantwicker-md5: the digest library on the command line.
//
//   brantwicker-md5 [FILE]             print the digest text of FILE
//   brantwicker-md5 --check HEX [FILE] compare FILE's digest text with HEX
//   brantwicker-md5 --help | --version
//
// A missing FILE, or "-", means standard input. The exit status is the
// library's status code for the outcome.
#include "digest/md5.h"
#include "tools/stdin_binary.h"

#include <cstdio>
#include <cstring>

namespace {

// The help, and the man page's options, which are made from it: an option
// is a line of its own starting "  --".
const char kUsage[] =
    "usage: brantwicker-md5 [FILE]\n"
    "       brantwicker-md5 --check HEX [FILE]\n"
    "Prints the MD5 digest of FILE, or compares it with HEX.\n"
    "FILE \"-\" or none reads standard input.\n"
    "\n"
    "options:\n"
    "  --check HEX   compare FILE's digest with the 32 hexadecimal digits HEX\n"
    "  --help        print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "Exit status: 0 done or matched, 1 usage, 2 cannot open, 3 read error,\n"
    "6 too many arguments, 7 mismatch.\n";

// The library's null path for standard input.
const char* input_path(const char* arg) {
    return arg == nullptr || std::strcmp(arg, "-") == 0 ? nullptr : arg;
}

// The library's line first, as ever; then what was wrong, and where to look.
int usage_error(int code, const char* what = nullptr, const char* detail = "") {
    std::fprintf(stderr, "%s\n", md5_status_text(static_cast<std::uint32_t>(code)));
    if (what != nullptr) {
        std::fprintf(stderr, "brantwicker-md5: %s%s\n", what, detail);
    }
    std::fputs("Try 'brantwicker-md5 --help'.\n", stderr);
    return code;
}

// The library says nothing of a read error; the user should hear of it.
int report(int status, const char* path) {
    if (status == MD5_IO_ERROR) {
        std::fprintf(stderr, "brantwicker-md5: %s: %s\n", path ? path : "standard input",
                     md5_status_text(MD5_IO_ERROR));
    }
    return status;
}

int digest_one(const char* path) {
    Md5Digest digest;
    const int status = md5_file_digest(path, &digest);
    if (status == MD5_OK) {
        char text[kMd5TextSize];
        std::printf("%s\n", md5_hex(&digest, text));
    }
    return report(status, path);
}

int check_one(const char* expected, const char* path) {
    return report(md5_verify_file(path, expected), path);
}

// A digest lost on a full disk or a closed pipe must not pass for success.
int flushed(int status) {
    if (std::fflush(stdout) != 0 && status == MD5_OK) {
        std::fprintf(stderr, "brantwicker-md5: standard output: %s\n",
                     md5_status_text(MD5_IO_ERROR));
        return MD5_IO_ERROR;
    }
    return status;
}

bool is_option(const char* arg) {
    return arg[0] == '-' && arg[1] != '\0';
}

}  // namespace

int main(int argc, char** argv) {
    set_stdin_binary();  // a digest of standard input is of its bytes, not of text
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return MD5_OK;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("brantwicker-md5 " BRANTWICKER_VERSION);
        return MD5_OK;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--check") == 0) {
        if (argc < 3 || is_option(argv[2])) {
            return usage_error(MD5_SYNTAX_ERROR, "--check needs the expected digest (HEX)");
        }
        if (argc > 4) {
            return usage_error(MD5_TOO_MANY_ARGS, "one FILE at most");
        }
        if (argc == 4 && is_option(argv[3])) {
            return usage_error(MD5_SYNTAX_ERROR, "unknown option ", argv[3]);
        }
        return flushed(check_one(argv[2], input_path(argc == 4 ? argv[3] : nullptr)));
    }
    if (argc > 2) {
        return usage_error(MD5_TOO_MANY_ARGS, "one FILE at most");
    }
    if (argc == 2 && is_option(argv[1])) {
        return usage_error(MD5_SYNTAX_ERROR, "unknown option ", argv[1]);
    }
    return flushed(digest_one(input_path(argc == 2 ? argv[1] : nullptr)));
}
