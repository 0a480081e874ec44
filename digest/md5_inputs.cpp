// Digests of streams, files, standard input and memory, the status texts, and
// the check of a file against an expected digest text.
#include "digest/md5.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kChunkSize = 1024;

// The stdio buffer of a file we open ourselves. fread still asks for 1024
// bytes at a time; a larger stream buffer only means fewer system calls
// underneath (the 4 KiB default costs one every four reads). It lives on the
// stack of the call that opens and closes the file, so memory stays fixed and
// small and nothing comes from the heap.
constexpr std::size_t kStreamBufferSize = 64 * 1024;

struct FileOutcome {
    int status;
    bool digest_written;
};

FileOutcome digest_named_or_stdin(const char* path, Md5Digest* digest) {
    if (path == nullptr) {
        const int status = md5_stream_digest(stdin, digest);
        return {status, status == MD5_OK};
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::printf("Error: FileName='%s' -- %s\n", path, std::strerror(errno));
        return {MD5_OPEN_ERROR, false};
    }
    char stream_buffer[kStreamBufferSize];
    // A refusal leaves the default buffer in place, which is merely slower.
    static_cast<void>(std::setvbuf(file, stream_buffer, _IOFBF, sizeof stream_buffer));

    const int status = md5_stream_digest(file, digest);
    const FileOutcome read = {status, status == MD5_OK};
    if (std::fclose(file) != 0) {
        std::printf("Error: %s -- %s\n", md5_status_text(MD5_CLOSE_ERROR), std::strerror(errno));
        return {MD5_IO_ERROR, read.digest_written};
    }
    return read;
}

}  // namespace

const char* md5_status_text(std::uint32_t code) {
    // A switch over the enum, without a default, so that a code added to
    // Md5Status and not given its text here draws a compiler warning.
    const auto status = static_cast<Md5Status>(code - 1U > 6U ? 0U : code);
    switch (status) {
        case MD5_OK:            return "md5:000:Invalid Message Code.";
        case MD5_SYNTAX_ERROR:  return "md5:001:Syntax Error -- check help for usage.";
        case MD5_OPEN_ERROR:    return "md5:002:File Error Opening/Creating Files.";
        case MD5_IO_ERROR:      return "md5:003:File I/O Error -- Note: file cleanup not done.";
        case MD5_MISSING_INPUT: return "md5:004:Missing input -- nothing to hash.";
        case MD5_CLOSE_ERROR:   return "md5:005:Error on output file close.";
        case MD5_TOO_MANY_ARGS: return "md5:006:Syntax: Too many arguments.";
        case MD5_TEST_FAILURE:  return "md5:007:Test Failure.";
    }
    return "md5:000:Invalid Message Code.";
}

int md5_stream_digest(std::FILE* stream, Md5Digest* digest) {
    Md5Context ctx;
    unsigned char chunk[kChunkSize];
    md5_begin(&ctx);
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, stream);
        if (got == 0) {
            break;
        }
        md5_add(&ctx, chunk, static_cast<std::uint32_t>(got));
    }
    if (std::ferror(stream) != 0) {
        return MD5_IO_ERROR;
    }
    md5_end(&ctx, digest);
    return MD5_OK;
}

int md5_file_digest(const char* path, Md5Digest* digest) {
    return digest_named_or_stdin(path, digest).status;
}

int md5_verify_file(const char* path, const char* expected) {
    Md5Digest digest;
    const FileOutcome outcome = digest_named_or_stdin(path, &digest);
    if (!outcome.digest_written) {
        // No digest exists to print or compare; the open or read failure is
        // the answer, never a match and not a mismatch either.
        return outcome.status;
    }
    char text[kMd5TextSize];
    md5_hex(&digest, text);
    std::printf("%s << Expected Hash Value\n%s << Actual Hash Value\n", expected, text);
    return std::strcmp(expected, text) == 0 ? MD5_OK : MD5_TEST_FAILURE;
}

void md5_memory_digest(const void* data, std::uint32_t len, Md5Digest* digest) {
    Md5Context ctx;
    md5_begin(&ctx);
    md5_add(&ctx, data, len);
    md5_end(&ctx, digest);
}
