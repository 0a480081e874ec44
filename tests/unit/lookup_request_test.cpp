#include "lookup/lookup_exchange.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";

std::string expected_request(const std::string& host)
{
    return "POST /qn/en/consultamd5 HTTP/1.0\r\nHost: " + host +
           "\r\nUser-Agent: el.Agent [by el.Quo]\r\nContent-Length: 48\r\n\r\n"
           "hash=0123456789abcdef0123456789abcdef&x=166&y=22";
}

TEST(LookupRequest, BytesForGivenHosts)
{
    for (const std::string& host : std::vector<std::string>{"h", "quellarion.example", std::string(1000, 'a')}) {
        std::vector<char> buffer(kRequestBufferSize, '\x5a');
        const std::size_t length =
            format_lookup_request(buffer.data(), buffer.size(), host, kDigest);
        ASSERT_EQ(length, 146 + host.size()) << host;
        EXPECT_EQ(std::string(buffer.data(), length), expected_request(host));
        // The rest of the buffer is cleared, terminator included.
        for (std::size_t i = length; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], '\0') << "byte " << i;
    }
}

TEST(LookupRequest, ConfiguredHostFits)
{
    char buffer[kRequestBufferSize];
    EXPECT_EQ(format_lookup_request(buffer, sizeof buffer, kServiceHost, kDigest),
              146 + std::strlen(kServiceHost));
}

TEST(LookupRequest, NothingWhenItDoesNotFit)
{
    const std::string host = "host.test";
    std::vector<char> buffer(146 + host.size(), 'x');  // one byte short: no room for the NUL
    EXPECT_EQ(format_lookup_request(buffer.data(), buffer.size(), host, kDigest), 0u);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(buffer.size(), '\0'));
    EXPECT_EQ(format_lookup_request(buffer.data(), buffer.size(), host, nullptr), 0u);
}

}  // namespace
