// Fuzzes the MD5 engine's buffering against OpenSSL's MD5.
//
// Input: a first byte whose value modulo 32 is the number of cuts, then as
// many bytes each giving the length of the next piece (0 to 255), then the
// message. The pieces are fed to one context in turn and whatever the cuts
// leave over as the last piece; the digest must equal OpenSSL's of the whole
// message. No cuts at all is the message in one piece.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "digest/md5.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t cuts = std::min<std::size_t>(data[0] % 32u, size - 1);
    const std::uint8_t* msg = data + 1 + cuts;
    const auto len = static_cast<std::uint32_t>(size - 1 - cuts);

    Md5Digest want, pieces;
    if (EVP_Digest(msg, len, want.bytes, nullptr, EVP_md5(), nullptr) != 1)
        std::abort();
    Md5Context ctx;
    md5_begin(&ctx);
    std::uint32_t pos = 0;
    for (std::size_t i = 0; i < cuts; ++i) {
        const std::uint32_t n = std::min<std::uint32_t>(data[1 + i], len - pos);
        md5_add(&ctx, msg + pos, n);
        pos += n;
    }
    md5_add(&ctx, msg + pos, len - pos);
    md5_end(&ctx, &pieces);
    if (std::memcmp(pieces.bytes, want.bytes, 16) != 0)
        std::abort();
    return 0;
}
