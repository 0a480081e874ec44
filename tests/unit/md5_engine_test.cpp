// The engine against RFC 1321's printed digests and against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/md5.h"

namespace {

std::string hex_of(const Md5Digest& d) {
    char text[kMd5TextSize];
    return md5_hex(&d, text);
}

std::string openssl_hex(const unsigned char* data, std::size_t len) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int raw_len = 0;
    EXPECT_EQ(EVP_Digest(data, len, raw, &raw_len, EVP_md5(), nullptr), 1);
    Md5Digest d{};
    std::memcpy(d.bytes, raw, sizeof d.bytes);
    return hex_of(d);
}

// Feeds `msg` in pieces whose sizes cycle through `pattern`; an empty pattern
// means one piece.
std::string digest_in_pieces(const std::vector<unsigned char>& msg,
                             const std::vector<std::uint32_t>& pattern) {
    Md5Context ctx;
    md5_begin(&ctx);
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < msg.size(); ++i) {
        std::size_t n = pattern.empty() ? msg.size() : pattern[i % pattern.size()];
        n = std::min(n, msg.size() - pos);
        md5_add(&ctx, msg.data() + pos, static_cast<std::uint32_t>(n));
        pos += n;
    }
    Md5Digest d;
    md5_end(&ctx, &d);
    return hex_of(d);
}

std::uint32_t test_seed() {
    if (const char* env = std::getenv("BRANTWICKER_MD5_SEED")) {
        return static_cast<std::uint32_t>(std::strtoul(env, nullptr, 0));
    }
    return std::random_device{}();
}

TEST(Md5Engine, Rfc1321Suite) {
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

TEST(Md5Engine, EveryLengthMatchesOpenSsl) {
    std::vector<unsigned char> msg(2200);
    for (std::size_t i = 0; i < msg.size(); ++i) {
        msg[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    for (std::uint32_t len = 0; len <= msg.size(); ++len) {
        Md5Digest d;
        md5_memory_digest(msg.data(), len, &d);
        ASSERT_EQ(hex_of(d), openssl_hex(msg.data(), len)) << "length " << len;
    }
}

TEST(Md5Engine, AnyCutOfTheMessageGivesOneDigest) {
    const std::uint32_t seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set BRANTWICKER_MD5_SEED to repeat)");
    std::mt19937 gen(seed);
    const std::vector<std::vector<std::uint32_t>> patterns = {
        {1}, {10, 60}, {10, 54, 6}, {1024}, {}, {0, 63, 0, 1, 64, 65}};
    for (int round = 0; round < 200; ++round) {
        std::vector<unsigned char> msg(static_cast<std::size_t>(gen() % 5000));
        for (auto& b : msg) {
            b = static_cast<unsigned char>(gen());
        }
        const std::string want = openssl_hex(msg.data(), msg.size());
        for (const auto& pattern : patterns) {
            ASSERT_EQ(digest_in_pieces(msg, pattern), want)
                << "length " << msg.size() << ", pattern of " << pattern.size() << " sizes";
        }
        std::vector<std::uint32_t> random_cuts(8);
        for (auto& n : random_cuts) {
            n = static_cast<std::uint32_t>(gen() % 200);
        }
        ASSERT_EQ(digest_in_pieces(msg, random_cuts), want) << "length " << msg.size();
    }
}

// A length past 2^32 bits without 512 MiB of data: the count is preset, and
// md5_end must then append both words of it.
TEST(Md5Engine, BitCountCarriesIntoTheHighWord) {
    unsigned char data[100];
    for (unsigned i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<unsigned char>(i ^ 0x5a);
    }
    Md5Context ctx;
    md5_begin(&ctx);
    ctx.bit_count[0] = 0xFFFFFE00U;  // 2^29 - 64 bytes so far: an empty buffer
    md5_add(&ctx, data, sizeof data);
    EXPECT_EQ(ctx.bit_count[0], 0x120U);
    EXPECT_EQ(ctx.bit_count[1], 1U);
    Md5Digest got;
    md5_end(&ctx, &got);

    Md5Context ref;
    md5_begin(&ref);
    md5_compress(&ref, data);
    unsigned char last[64] = {};
    std::memcpy(last, data + 64, 36);
    last[36] = 0x80;
    last[56] = 0x20;  // low word 0x00000120, then high word 1
    last[57] = 0x01;
    last[60] = 0x01;
    md5_compress(&ref, last);
    Md5Digest want;
    std::memcpy(want.bytes, ref.chain, sizeof want.bytes);  // little-endian host
    EXPECT_EQ(hex_of(got), hex_of(want));
}

TEST(Md5Engine, OnePieceOfHalfAGigabyteCountsPast32Bits) {
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

TEST(Md5Engine, BeginResetsAJunkOrSpentContext) {
    Md5Context ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    Md5Digest d;
    for (int use = 0; use < 2; ++use) {
        md5_begin(&ctx);
        md5_add(&ctx, "ab", 2);
        md5_add(&ctx, nullptr, 0);
        md5_add(&ctx, "c", 1);
        EXPECT_EQ(ctx.bit_count[0], 24U);
        md5_end(&ctx, &d);
        EXPECT_EQ(hex_of(d), "900150983cd24fb0d6963f7d28e17f72");
    }
}

TEST(Md5Hex, TwoLowercaseDigitsPerByteAndOneNul) {
    Md5Digest d{};
    const unsigned char bytes[16] = {0x00, 0x01, 0x0f, 0x10, 0x9a, 0xab, 0xf0, 0xff,
                                     0x7e, 0x80, 0x05, 0xc3, 0xde, 0x60, 0x0a, 0xb0};
    std::memcpy(d.bytes, bytes, sizeof bytes);
    char text[40];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(md5_hex(&d, text), text);
    EXPECT_STREQ(text, "00010f109aabf0ff7e8005c3de600ab0");
    EXPECT_EQ(std::string(text + 33, 7), "ZZZZZZZ");
}

}  // namespace
