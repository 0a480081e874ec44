// The digest engine: RFC 1321's vectors, OpenSSL as an independent oracle,
// the bit count across its carry. Random messages cut at random points are
// tests/fuzz/md5_fuzz.cpp's. Files, standard input, their error lines and the
// check are the library's I/O edge, run through the tool end to end in
// tests/e2e/md5_tool_test.py.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "digest/md5.h"

namespace {

std::string hex_of(const Md5Digest& d) {
    char text[kMd5TextSize];
    return md5_hex(&d, text);
}

// Through one context, filled with junk at first and then reused, with an
// empty piece fed between two halves: md5_begin must reset all of it. The hex
// text is exactly 32 digits and a NUL, nothing written behind.
TEST(Md5, Rfc1321Suite) {
    struct Case { const char* message; const char* digest; };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    Md5Context ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    for (const Case& c : cases) {
        const auto len = static_cast<std::uint32_t>(std::strlen(c.message));
        Md5Digest d;
        md5_begin(&ctx);
        md5_add(&ctx, c.message, len / 2);
        md5_add(&ctx, nullptr, 0);
        md5_add(&ctx, c.message + len / 2, len - len / 2);
        md5_end(&ctx, &d);
        char text[40];
        std::memset(text, 'Z', sizeof text);
        EXPECT_EQ(md5_hex(&d, text), text);
        EXPECT_EQ(std::string(text, sizeof text), c.digest + std::string("\0ZZZZZZZ", 8))
            << '"' << c.message << '"';
    }
}

// Every length to 2100 bytes, fed in pieces whose sizes cycle through `sizes`,
// so that pieces end on, before and after the block edges and the 56-byte
// padding edge, some exactly fill a partly filled block, and some carry whole
// blocks.
TEST(Md5, MatchesOpenSslAtEveryLengthInPieces) {
    const std::uint32_t sizes[] = {1, 63, 0, 64, 65, 10, 54, 6};
    unsigned char msg[2100];
    for (std::size_t i = 0; i < sizeof msg; ++i)
        msg[i] = static_cast<unsigned char>(i * 131 + 7);
    for (std::uint32_t len = 0; len <= sizeof msg; ++len) {
        Md5Digest want, pieces;
        ASSERT_EQ(EVP_Digest(msg, len, want.bytes, nullptr, EVP_md5(), nullptr), 1);
        Md5Context ctx;
        md5_begin(&ctx);
        for (std::uint32_t pos = 0, turn = 0; pos < len; ++turn) {
            const std::uint32_t n = std::min(sizes[turn % std::size(sizes)], len - pos);
            md5_add(&ctx, msg + pos, n);
            pos += n;
        }
        md5_end(&ctx, &pieces);
        ASSERT_EQ(hex_of(pieces), hex_of(want)) << "length " << len;
    }
}

// 2^29 + 3 bytes, whose count in bits needs 33 bits: reached in one piece, and
// in two whose second carries the low word over into the high one. The zeros
// come from calloc unwritten; where the kernel maps a fresh page on the first
// read (not the shared zero page) the test briefly holds 512 MiB.
TEST(Md5, CountsPast32BitsInOnePieceAndAcrossTheCarry) {
    constexpr std::uint32_t kLen = (1U << 29) + 3;
    void* zeros = std::calloc(kLen, 1);
    ASSERT_NE(zeros, nullptr);
    Md5Digest want, whole, pieces;
    ASSERT_EQ(EVP_Digest(zeros, kLen, want.bytes, nullptr, EVP_md5(), nullptr), 1);
    md5_memory_digest(zeros, kLen, &whole);
    Md5Context ctx;
    md5_begin(&ctx);
    md5_add(&ctx, zeros, kLen - 8);
    md5_add(&ctx, zeros, 8);
    md5_end(&ctx, &pieces);
    std::free(zeros);
    EXPECT_EQ(hex_of(whole), hex_of(want));
    EXPECT_EQ(hex_of(pieces), hex_of(want));
}

TEST(Md5, StatusTextsFallBackForUnknownCodes) {
    for (const std::uint32_t code : {0U, 8U, 0xFFFFFFFFU})
        EXPECT_STREQ(md5_status_text(code), "md5:000:Invalid Message Code.") << code;
    EXPECT_STREQ(md5_status_text(7), "md5:007:Test Failure.");
}

}  // namespace
