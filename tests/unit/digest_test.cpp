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
    for (const Case& c : cases) {
        Md5Digest d;
        md5_memory_digest(c.message, static_cast<std::uint32_t>(std::strlen(c.message)), &d);
        EXPECT_EQ(hex_of(d), c.digest) << '"' << c.message << '"';
    }
}

// Every length to 2100 bytes, whole and fed in pieces whose sizes cycle
// through `sizes`, so that pieces end on, before and after the block edges and
// the 56-byte padding edge, and some exactly fill a partly filled block.
TEST(Md5, MatchesOpenSslAtEveryLengthWholeAndInPieces) {
    const std::uint32_t sizes[] = {1, 63, 0, 64, 65, 10, 54, 6};
    unsigned char msg[2100];
    for (std::size_t i = 0; i < sizeof msg; ++i)
        msg[i] = static_cast<unsigned char>(i * 131 + 7);
    for (std::uint32_t len = 0; len <= sizeof msg; ++len) {
        Md5Digest want, whole, pieces;
        ASSERT_EQ(EVP_Digest(msg, len, want.bytes, nullptr, EVP_md5(), nullptr), 1);
        md5_memory_digest(msg, len, &whole);
        Md5Context ctx;
        md5_begin(&ctx);
        for (std::uint32_t pos = 0, turn = 0; pos < len; ++turn) {
            const std::uint32_t n = std::min(sizes[turn % std::size(sizes)], len - pos);
            md5_add(&ctx, msg + pos, n);
            pos += n;
        }
        md5_end(&ctx, &pieces);
        ASSERT_EQ(hex_of(whole), hex_of(want)) << "length " << len;
        ASSERT_EQ(hex_of(pieces), hex_of(want)) << "length " << len << " in pieces";
    }
}

// A length past 2^32 bits without 512 MiB of data: the count is preset to one
// block short of the carry, and md5_end must then append both words of it.
TEST(Md5, BitCountCarriesIntoTheHighWord) {
    unsigned char block[64];
    std::memset(block, 'q', sizeof block);
    Md5Context ctx;
    md5_begin(&ctx);
    ctx.bit_count[0] = 0xFFFFFE00U;
    md5_add(&ctx, block, sizeof block);
    Md5Digest got;
    md5_end(&ctx, &got);

    Md5Context ref;
    md5_begin(&ref);
    md5_compress(&ref, block);
    unsigned char last[64] = {0x80};
    last[60] = 0x01;  // low word 0, high word 1
    md5_compress(&ref, last);
    Md5Digest want;
    std::memcpy(want.bytes, ref.chain, sizeof want.bytes);  // little-endian host
    EXPECT_EQ(hex_of(got), hex_of(want));
}

TEST(Md5, OnePieceOfHalfAGigabyteCountsPast32Bits) {
    constexpr std::uint32_t kLen = (1U << 29) + 3;  // 8 * kLen needs 33 bits
    void* zeros = std::calloc(kLen, 1);  // untouched pages read as shared zeros
    ASSERT_NE(zeros, nullptr);
    Md5Context ctx;
    md5_begin(&ctx);
    md5_add(&ctx, zeros, kLen);
    std::free(zeros);
    EXPECT_EQ(ctx.bit_count[0], 24U);
    EXPECT_EQ(ctx.bit_count[1], 1U);
}

// A context full of junk, and one already used, must give the digest of "abc".
TEST(Md5, BeginResetsAJunkOrSpentContext) {
    Md5Context ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    for (int use = 0; use < 2; ++use) {
        Md5Digest d;
        md5_begin(&ctx);
        md5_add(&ctx, "ab", 2);
        md5_add(&ctx, nullptr, 0);
        md5_add(&ctx, "c", 1);
        md5_end(&ctx, &d);
        EXPECT_EQ(hex_of(d), "900150983cd24fb0d6963f7d28e17f72") << use;
    }
}

TEST(Md5, HexIsExactly32DigitsAndOneNul) {
    const Md5Digest d{{0x00, 0x01, 0x0f, 0x10, 0x9a, 0xab, 0xf0, 0xff, 0x7e, 0x80, 0x05, 0xc3,
                       0xde, 0x60, 0x0a, 0xb0}};
    char text[40];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(md5_hex(&d, text), text);
    EXPECT_EQ(std::string(text, sizeof text),
              std::string("00010f109aabf0ff7e8005c3de600ab0\0ZZZZZZZ", 40));
}

TEST(Md5, StatusTextsFallBackForUnknownCodes) {
    for (const std::uint32_t code : {0U, 8U, 0xFFFFFFFFU})
        EXPECT_STREQ(md5_status_text(code), "md5:000:Invalid Message Code.") << code;
    EXPECT_STREQ(md5_status_text(3), "md5:003:File I/O Error -- Note: file cleanup not done.");
    EXPECT_STREQ(md5_status_text(7), "md5:007:Test Failure.");
}

}  // namespace
