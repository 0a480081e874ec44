// The MD5 block function, the message buffering around it, and the hex text.
#include "digest/md5.h"

#include <cstring>

namespace {

// MD5_PIN keeps the compiler from moving work across this point on `v`. Each
// step below first adds the message word and constant to the oldest chaining
// word, which does not depend on the step before; GCC and Clang otherwise may
// add them after the round function, on the critical path, which costs a fifth
// of the speed or more. Where GNU inline assembly is unavailable the order is
// left to the compiler and only speed suffers.
#if defined(__GNUC__)
#define MD5_PIN(v) __asm__("" : "+r"(v))
#define MD5_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define MD5_PIN(v) static_cast<void>(v)
#define MD5_ALWAYS_INLINE inline
#endif

inline std::uint32_t rotl(std::uint32_t v, int s) {
    return (v << s) | (v >> (32 - s));
}

inline std::uint32_t load_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void store_le32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// In every step `b` is the word computed by the step before, `c` the one
// before that and so on; only the work that needs `b` lies on the chain from
// one step to the next, so each round function is written to touch `b` last.

// F: d ^ (b & (c ^ d)), the same as (b & c) | (~b & d).
inline void step_f(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t xk, int s) {
    a += xk;
    MD5_PIN(a);
    a += d ^ (b & (c ^ d));
    a = rotl(a, s) + b;
}

// G: (b & d) | (c & ~d); the two halves never share a bit, so they are added
// one at a time and only the second waits for `b`.
inline void step_g(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t xk, int s) {
    a += xk;
    a += c & ~d;
    MD5_PIN(a);
    a += b & d;
    a = rotl(a, s) + b;
}

inline void step_h(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t xk, int s) {
    a += xk;
    MD5_PIN(a);
    a += b ^ (c ^ d);
    a = rotl(a, s) + b;
}

inline void step_i(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t xk, int s) {
    a += xk;
    MD5_PIN(a);
    a += c ^ (b | ~d);
    a = rotl(a, s) + b;
}

// The block function proper, on a chaining value held in four separate
// variables so that it stays in registers from one block to the next inside
// md5_add: a trip through memory between blocks would sit on the chain of
// dependent steps. (A struct of four words is no good here: Clang packs it
// into two 64-bit registers and pays for the shifts at every block.)
MD5_ALWAYS_INLINE void compress_block(std::uint32_t& ha, std::uint32_t& hb, std::uint32_t& hc,
                                      std::uint32_t& hd, const unsigned char* block) {
    const std::uint32_t x0 = load_le32(block), x1 = load_le32(block + 4),
                        x2 = load_le32(block + 8), x3 = load_le32(block + 12),
                        x4 = load_le32(block + 16), x5 = load_le32(block + 20),
                        x6 = load_le32(block + 24), x7 = load_le32(block + 28),
                        x8 = load_le32(block + 32), x9 = load_le32(block + 36),
                        x10 = load_le32(block + 40), x11 = load_le32(block + 44),
                        x12 = load_le32(block + 48), x13 = load_le32(block + 52),
                        x14 = load_le32(block + 56), x15 = load_le32(block + 60);
    std::uint32_t a = ha, b = hb, c = hc, d = hd;

    step_f(a, b, c, d, x0 + 0xd76aa478U, 7);
    step_f(d, a, b, c, x1 + 0xe8c7b756U, 12);
    step_f(c, d, a, b, x2 + 0x242070dbU, 17);
    step_f(b, c, d, a, x3 + 0xc1bdceeeU, 22);
    step_f(a, b, c, d, x4 + 0xf57c0fafU, 7);
    step_f(d, a, b, c, x5 + 0x4787c62aU, 12);
    step_f(c, d, a, b, x6 + 0xa8304613U, 17);
    step_f(b, c, d, a, x7 + 0xfd469501U, 22);
    step_f(a, b, c, d, x8 + 0x698098d8U, 7);
    step_f(d, a, b, c, x9 + 0x8b44f7afU, 12);
    step_f(c, d, a, b, x10 + 0xffff5bb1U, 17);
    step_f(b, c, d, a, x11 + 0x895cd7beU, 22);
    step_f(a, b, c, d, x12 + 0x6b901122U, 7);
    step_f(d, a, b, c, x13 + 0xfd987193U, 12);
    step_f(c, d, a, b, x14 + 0xa679438eU, 17);
    step_f(b, c, d, a, x15 + 0x49b40821U, 22);

    step_g(a, b, c, d, x1 + 0xf61e2562U, 5);
    step_g(d, a, b, c, x6 + 0xc040b340U, 9);
    step_g(c, d, a, b, x11 + 0x265e5a51U, 14);
    step_g(b, c, d, a, x0 + 0xe9b6c7aaU, 20);
    step_g(a, b, c, d, x5 + 0xd62f105dU, 5);
    step_g(d, a, b, c, x10 + 0x02441453U, 9);
    step_g(c, d, a, b, x15 + 0xd8a1e681U, 14);
    step_g(b, c, d, a, x4 + 0xe7d3fbc8U, 20);
    step_g(a, b, c, d, x9 + 0x21e1cde6U, 5);
    step_g(d, a, b, c, x14 + 0xc33707d6U, 9);
    step_g(c, d, a, b, x3 + 0xf4d50d87U, 14);
    step_g(b, c, d, a, x8 + 0x455a14edU, 20);
    step_g(a, b, c, d, x13 + 0xa9e3e905U, 5);
    step_g(d, a, b, c, x2 + 0xfcefa3f8U, 9);
    step_g(c, d, a, b, x7 + 0x676f02d9U, 14);
    step_g(b, c, d, a, x12 + 0x8d2a4c8aU, 20);

    step_h(a, b, c, d, x5 + 0xfffa3942U, 4);
    step_h(d, a, b, c, x8 + 0x8771f681U, 11);
    step_h(c, d, a, b, x11 + 0x6d9d6122U, 16);
    step_h(b, c, d, a, x14 + 0xfde5380cU, 23);
    step_h(a, b, c, d, x1 + 0xa4beea44U, 4);
    step_h(d, a, b, c, x4 + 0x4bdecfa9U, 11);
    step_h(c, d, a, b, x7 + 0xf6bb4b60U, 16);
    step_h(b, c, d, a, x10 + 0xbebfbc70U, 23);
    step_h(a, b, c, d, x13 + 0x289b7ec6U, 4);
    step_h(d, a, b, c, x0 + 0xeaa127faU, 11);
    step_h(c, d, a, b, x3 + 0xd4ef3085U, 16);
    step_h(b, c, d, a, x6 + 0x04881d05U, 23);
    step_h(a, b, c, d, x9 + 0xd9d4d039U, 4);
    step_h(d, a, b, c, x12 + 0xe6db99e5U, 11);
    step_h(c, d, a, b, x15 + 0x1fa27cf8U, 16);
    step_h(b, c, d, a, x2 + 0xc4ac5665U, 23);

    step_i(a, b, c, d, x0 + 0xf4292244U, 6);
    step_i(d, a, b, c, x7 + 0x432aff97U, 10);
    step_i(c, d, a, b, x14 + 0xab9423a7U, 15);
    step_i(b, c, d, a, x5 + 0xfc93a039U, 21);
    step_i(a, b, c, d, x12 + 0x655b59c3U, 6);
    step_i(d, a, b, c, x3 + 0x8f0ccc92U, 10);
    step_i(c, d, a, b, x10 + 0xffeff47dU, 15);
    step_i(b, c, d, a, x1 + 0x85845dd1U, 21);
    step_i(a, b, c, d, x8 + 0x6fa87e4fU, 6);
    step_i(d, a, b, c, x15 + 0xfe2ce6e0U, 10);
    step_i(c, d, a, b, x6 + 0xa3014314U, 15);
    step_i(b, c, d, a, x13 + 0x4e0811a1U, 21);
    step_i(a, b, c, d, x4 + 0xf7537e82U, 6);
    step_i(d, a, b, c, x11 + 0xbd3af235U, 10);
    step_i(c, d, a, b, x2 + 0x2ad7d2bbU, 15);
    step_i(b, c, d, a, x9 + 0xeb86d391U, 21);

    ha += a;
    hb += b;
    hc += c;
    hd += d;
}

}  // namespace

void md5_begin(Md5Context* ctx) {
    ctx->chain[0] = 0x67452301U;
    ctx->chain[1] = 0xefcdab89U;
    ctx->chain[2] = 0x98badcfeU;
    ctx->chain[3] = 0x10325476U;
    ctx->bit_count[0] = 0;
    ctx->bit_count[1] = 0;
}

void md5_compress(Md5Context* ctx, const unsigned char block[64]) {
    compress_block(ctx->chain[0], ctx->chain[1], ctx->chain[2], ctx->chain[3], block);
}

void md5_add(Md5Context* ctx, const void* data, std::uint32_t len) {
    const auto* in = static_cast<const unsigned char*>(data);
    const std::uint32_t old = ctx->bit_count[0];
    ctx->bit_count[0] = old + (len << 3);
    if (ctx->bit_count[0] < old) {
        ++ctx->bit_count[1];
    }
    ctx->bit_count[1] += len >> 29;
    if (len == 0) {
        return;  // `data` may then be null, which memcpy must not see
    }

    const std::uint32_t index = (old >> 3) & 63U;
    if (index != 0) {
        const std::uint32_t space = 64 - index;
        if (len < space) {
            std::memcpy(ctx->buffer + index, in, len);
            return;
        }
        std::memcpy(ctx->buffer + index, in, space);
        md5_compress(ctx, ctx->buffer);
        in += space;
        len -= space;
    }
    // Blocks go through the context's buffer rather than being read in place,
    // so the caller's data needs no alignment and the block function sees one
    // fixed address.
    if (len >= 64) {
        std::uint32_t a = ctx->chain[0], b = ctx->chain[1], c = ctx->chain[2], d = ctx->chain[3];
        for (; len >= 64; in += 64, len -= 64) {
            std::memcpy(ctx->buffer, in, 64);
            compress_block(a, b, c, d, ctx->buffer);
        }
        ctx->chain[0] = a;
        ctx->chain[1] = b;
        ctx->chain[2] = c;
        ctx->chain[3] = d;
    }
    if (len != 0) {
        std::memcpy(ctx->buffer, in, len);
    }
}

void md5_end(Md5Context* ctx, Md5Digest* digest) {
    const std::uint32_t index = (ctx->bit_count[0] >> 3) & 63U;
    ctx->buffer[index] = 0x80;
    if (index < 56) {
        std::memset(ctx->buffer + index + 1, 0, 55 - index);
    } else {
        std::memset(ctx->buffer + index + 1, 0, 63 - index);
        md5_compress(ctx, ctx->buffer);
        std::memset(ctx->buffer, 0, 56);
    }
    store_le32(ctx->buffer + 56, ctx->bit_count[0]);
    store_le32(ctx->buffer + 60, ctx->bit_count[1]);
    md5_compress(ctx, ctx->buffer);
    for (int i = 0; i < 4; ++i) {
        store_le32(digest->bytes + 4 * i, ctx->chain[i]);
    }
}

char* md5_hex(const Md5Digest* digest, char text[kMd5TextSize]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        const unsigned v = digest->bytes[i];
        text[2 * i] = kDigits[v >> 4];
        text[2 * i + 1] = kDigits[v & 15U];
    }
    text[32] = '\0';
    return text;
}
