// Who may upload, in the process: the keys file as operators write it (and
// get it wrong), the gate's answers to keys right, wrong and missing, and
// the per-minute bound on a clock the test moves.
#include "service/web/upload_gate.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "service/web/http_bytes.h"

namespace {

// SHA-256 of "abc" (FIPS 180-2's example) and of "k2".
constexpr std::string_view kAbcHex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string hex(const Sha256Bytes& digest)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char byte : digest) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

std::string line(std::string_view name, std::string_view key)
{
    return std::string(name) + " " + hex(api_key_digest(key)) + "\n";
}

std::vector<ApiKey> keys(const std::string& text)
{
    std::vector<ApiKey> out;
    std::string error;
    EXPECT_TRUE(parse_api_keys(text, "keys", out, error)) << error;
    return out;
}

TEST(KeysFile, ReadsTheLinesOperatorsWrite)
{
    EXPECT_EQ(hex(api_key_digest("abc")), kAbcHex);
    std::string upper(kAbcHex);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::vector<ApiKey> read = keys("# who may upload\n\n   \n"
                                          "lab-1\t" + upper + "   # the lab's\r\n"
                                          "  ci_robot.2 " + hex(api_key_digest("k2")));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].name, "lab-1");
    EXPECT_EQ(hex(read[0].digest), kAbcHex);
    EXPECT_EQ(read[1].name, "ci_robot.2");
    EXPECT_EQ(read[1].digest, api_key_digest("k2"));
}

TEST(KeysFile, RefusesABadLineByNumberWithoutRepeatingIt)
{
    const std::string good = line("alice", "k1");
    // The text, the line named, and what the message must not repeat.
    const std::tuple<std::string, std::string, std::string> bad[] = {
        {good + "bob\n", "keys:2:", "bob"},
        {"# a\nbob " + hex(api_key_digest("k2")) + " extra\n", "keys:2:", "extra"},
        // The key itself where its digest belongs.
        {good + "\nbob hunter2-plain-key\n", "keys:3:", "hunter2"},
        {"bob " + std::string(kAbcHex.substr(1)) + "\n", "keys:1:", "ba7816"},
        {"bob " + std::string(kAbcHex.substr(0, 63)) + "g\n", "keys:1:", "ba7816"},
        {"bo/b " + std::string(kAbcHex) + "\n", "keys:1:", "bo/b"},
        {std::string(65, 'n') + " " + std::string(kAbcHex) + "\n", "keys:1:", "nnnn"},
        {good + line("alice", "k2"), "keys:2:", "k2"},
        {good + line("bob", "k1"), "keys:2:", "bob"},
        {"\n# none\n", "keys: no keys", "#"},
    };
    for (const auto& [text, where, secret] : bad) {
        std::vector<ApiKey> read = {ApiKey{"kept", {}}};
        std::string error;
        EXPECT_FALSE(parse_api_keys(text, "keys", read, error)) << text;
        EXPECT_TRUE(error.starts_with(where)) << error;
        EXPECT_EQ(error.find(secret), std::string::npos) << error;
        ASSERT_EQ(read.size(), 1u) << "a refused file leaves the keys as they were";
    }
    std::vector<ApiKey> read;
    std::string error;
    EXPECT_FALSE(read_api_keys("/nonexistent/keys.txt", read, error));
    EXPECT_NE(error.find("/nonexistent/keys.txt"), std::string::npos);
}

TEST(UploadGate, AdmitsTheRightKeyOnly)
{
    UploadGate gate(keys(line("alice", "k1") + line("bob", "k2")), 0);
    ASSERT_TRUE(gate.needs_key());
    std::string client = "stale";
    for (const auto& [header, name] : {std::pair{"Bearer k1", "alice"}, {"Bearer k2", "bob"},
                                       {"bearer  k2 ", "bob"}, {"BEARER\tk1", "alice"}}) {
        EXPECT_FALSE(gate.admit(header, "10.0.0.1", client)) << header;
        EXPECT_EQ(client, name) << header;
    }
    for (const std::string_view header : {"", "Bearer", "Bearer ", "Bearer k3", "Bearer k1x",
                                          "Bearer k", "Basic k1", "Digest k1", "Bearerk1", "k1", "Bearer K1"}) {
        client = "stale";
        const std::optional<WebResponse> refused = gate.admit(header, "10.0.0.1", client);
        ASSERT_TRUE(refused) << header;
        EXPECT_EQ(refused->status, 401u);
        EXPECT_EQ(refused->www_authenticate, "Bearer");
        EXPECT_NE(serialize_response(*refused, 11, false, false).find("WWW-Authenticate: Bearer\r\n"),
                  std::string::npos);
        EXPECT_TRUE(client.empty()) << header;
        EXPECT_EQ(refused->content_type.find("json") != std::string::npos, true);
    }
    // The form's field, answered with a page.
    EXPECT_FALSE(gate.admit_key("k2", "10.0.0.1", client, UploadGate::Reply::Page));
    EXPECT_EQ(client, "bob");
    for (const std::string_view key : {"", "k3"}) {
        const std::optional<WebResponse> refused =
            gate.admit_key(key, "10.0.0.1", client, UploadGate::Reply::Page);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 401u);
        EXPECT_EQ(refused->content_type.find("html") != std::string::npos, true);
    }

    // Keys read again replace the old ones.
    gate.replace_keys(keys(line("carol", "k3")));
    EXPECT_TRUE(gate.admit("Bearer k1", "10.0.0.1", client));
    EXPECT_FALSE(gate.admit("Bearer k3", "10.0.0.1", client));
    EXPECT_EQ(client, "carol");

    UploadGate open;
    EXPECT_FALSE(open.needs_key());
    EXPECT_FALSE(open.admit("", "10.0.0.1", client));
    EXPECT_FALSE(open.admit("Bearer whatever", "10.0.0.1", client));
    EXPECT_TRUE(client.empty());
}

TEST(RateWindow, AllowsSoManyInAnySixtySeconds)
{
    RateWindow window(3, 100);
    const std::string a = "a";
    EXPECT_FALSE(window.take(a, 100));
    EXPECT_FALSE(window.take(a, 130));
    EXPECT_FALSE(window.take(a, 150));
    // The slot taken at 100 frees at 160.
    EXPECT_EQ(window.take(a, 155), 5u);
    EXPECT_EQ(window.take(a, 159), 1u);
    EXPECT_FALSE(window.take(a, 160));
    EXPECT_EQ(window.take(a, 160), 30u);
    // Others are counted apart.
    EXPECT_FALSE(window.take("b", 160));
    // A slot given back is free again; one more is not.
    window.give_back(a);
    EXPECT_FALSE(window.take(a, 161));
    EXPECT_EQ(window.take(a, 161), 29u);
    // Three at once, then a long pause: the whole window has gone.
    RateWindow burst(3, 100);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(burst.take(a, 1000));
    EXPECT_EQ(burst.take(a, 1000), 60u);
    EXPECT_EQ(burst.take(a, 1059), 1u);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(burst.take(a, 1060 + 1000 * i));
}

TEST(RateWindow, KeepsABoundedTableOfClients)
{
    RateWindow window(2, 50);
    const std::string busy = "10.9.9.9";
    EXPECT_FALSE(window.take(busy, 10));
    EXPECT_FALSE(window.take(busy, 10));
    for (int i = 0; i < 10000; ++i) {
        EXPECT_FALSE(window.take("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), 11));
        // The one seen lately stays counted, however many others come.
        if (i % 20 == 0) {
            ASSERT_EQ(window.take(busy, 11), 59u) << i;
        }
    }
    EXPECT_EQ(window.clients(), 50u);
}

TEST(UploadGate, BoundsEachKeyOrEachAddress)
{
    UploadGate keyed(keys(line("alice", "k1") + line("bob", "k2")), 2);
    std::string client;
    // Per key, from any address.
    EXPECT_FALSE(keyed.admit("Bearer k1", "10.0.0.1", client));
    EXPECT_FALSE(keyed.admit("Bearer k1", "10.0.0.2", client));
    std::optional<WebResponse> refused = keyed.admit("Bearer k1", "10.0.0.3", client);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 429u);
    const unsigned wait = static_cast<unsigned>(std::stoul(refused->retry_after));
    EXPECT_GE(wait, 59u);
    EXPECT_LE(wait, 60u);
    EXPECT_NE(refused->body.find("Too many uploads"), std::string::npos);
    EXPECT_FALSE(keyed.admit("Bearer k2", "10.0.0.1", client));
    // A wrong key takes no slot of anyone's.
    EXPECT_EQ(keyed.admit("Bearer k3", "10.0.0.1", client)->status, 401u);
    EXPECT_FALSE(keyed.admit_key("k2", "10.0.0.1", client, UploadGate::Reply::Page));
    EXPECT_EQ(keyed.admit_key("k2", "10.0.0.1", client, UploadGate::Reply::Page)->status, 429u);
    // Work that did not start gives its slot back.
    keyed.give_back("bob", "10.0.0.1");
    EXPECT_FALSE(keyed.admit("Bearer k2", "10.0.0.9", client));

    UploadGate open({}, 1);
    EXPECT_FALSE(open.admit("", "10.0.0.1", client));
    EXPECT_EQ(open.admit("Bearer k1", "10.0.0.1", client)->status, 429u);
    EXPECT_FALSE(open.admit("", "10.0.0.2", client));
    EXPECT_TRUE(client.empty());
}

}  // namespace
