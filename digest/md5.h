// MD5 (RFC 1321) over memory, streams and files, its hex text, and the
// library's numbered status codes.
//
// Plain functions over caller-owned records; nothing here allocates from the
// heap or keeps static state, so separate contexts may live in separate threads.
#pragma once

#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

struct Md5Context {
    std::uint32_t chain[4];      // A, B, C, D
    std::uint32_t bit_count[2];  // message length in bits mod 2^64, low word first
    unsigned char buffer[64];    // bytes of the block not yet compressed
};

// The 16 digest bytes in RFC 1321 order: A, B, C, D, each least significant
// byte first.
struct Md5Digest {
    unsigned char bytes[16];
};

// 32 lowercase hexadecimal characters and a NUL.
inline constexpr std::size_t kMd5TextSize = 33;

// ---------------------------------------------------------------------------
// Engine
// ---------------------------------------------------------------------------

void md5_begin   (Md5Context* ctx);
void md5_add     (Md5Context* ctx, const void* data, std::uint32_t len);
void md5_end     (Md5Context* ctx, Md5Digest* digest);
void md5_compress(Md5Context* ctx, const unsigned char block[64]);

// Writes exactly 33 bytes (32 digits and a NUL) and returns `text`.
char* md5_hex(const Md5Digest* digest, char text[kMd5TextSize]);

// ---------------------------------------------------------------------------
// Status codes. The numbers are part of the interface and never shift.
// ---------------------------------------------------------------------------

enum Md5Status : int {
    MD5_OK              = 0,
    MD5_SYNTAX_ERROR    = 1,
    MD5_OPEN_ERROR      = 2,
    MD5_IO_ERROR        = 3,
    MD5_MISSING_INPUT   = 4,
    MD5_CLOSE_ERROR     = 5,
    MD5_TOO_MANY_ARGS   = 6,
    MD5_TEST_FAILURE    = 7,
};

// The message of `code`; codes outside 1..7 give the text of code 0. The
// string is constant and lives for the whole run.
const char* md5_status_text(std::uint32_t code);

// ---------------------------------------------------------------------------
// Inputs
// ---------------------------------------------------------------------------

// Reads `stream` to its end from where it stands. MD5_OK or MD5_IO_ERROR; the
// digest is written only on MD5_OK. The stream is neither closed nor moved back.
int md5_stream_digest(std::FILE* stream, Md5Digest* digest);

// A null `path` digests standard input (never opened or closed). MD5_OK,
// MD5_OPEN_ERROR or MD5_IO_ERROR; error lines go to standard output.
int md5_file_digest(const char* path, Md5Digest* digest);

// Prints the expected and the actual digest text, then compares them exactly.
// MD5_OK when they match, MD5_TEST_FAILURE otherwise. When the file cannot be
// opened (MD5_OPEN_ERROR, after its error line) or read (MD5_IO_ERROR) there is
// no digest: nothing more is printed and that status is returned as it is, so
// such a failure is never taken for a match. A failing close after good reads
// still leaves a digest, which is printed and compared as usual.
int md5_verify_file(const char* path, const char* expected);

void md5_memory_digest(const void* data, std::uint32_t len, Md5Digest* digest);
