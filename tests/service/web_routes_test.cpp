// The service's routes without a socket: what the program, a browser and a
// script are answered. Malformed digests, paths with "..", oversized bulk
// bodies and the like are sent to the running service by bad_input_test.py,
// which also checks the policy header the pages carry.
#include "lookup/wire.h"
#include "service/web/http_bytes.h"
#include "service/web/routes.h"
#include "service/web/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using nlohmann::json;

const std::string kHeld     = "0123456789abcdef0123456789abcdef";
const std::string kCapitals = "0123456789ABCDEF0123456789ABCDEF";  // the same file
const std::string kSha1     = "00112233445566778899aabbccddeeff00112233";
const std::string kSha256   = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kOdd      = "fedcba9876543210fedcba9876543210";  // a name that is not UTF-8
const std::string kUnknown  = "ffffffffffffffffffffffffffffffff";
const std::string kReport   = "/qn/en/report/" + kHeld + "/quellarion-brantwicker-file-report.html";

// Texts that must reach a page only escaped.
const std::vector<std::string> kHostile = {"<script>alert(1)</script>", "Evil<Family>",
                                           "list<one>", "a\"b'c&d"};

template <typename Bytes>
Bytes bytes(const std::string& hex)
{
    Bytes out{};
    parse_hex(hex, out);
    return out;
}

// A store that cannot be read: its every question fails.
class UnreadableStore : public Store {
public:
    StoreStatus find_md5(const Md5Bytes&, FileRecord&, std::string& error) override { return gone(error); }
    StoreStatus find_sha1(const Sha1Bytes&, FileRecord&, std::string& error) override { return gone(error); }
    StoreStatus find_sha256(const Sha256Bytes&, FileRecord&, std::string& error) override { return gone(error); }
    StoreStatus counts(std::vector<SourceCount>&, std::string& error) override { return gone(error); }
    std::unique_ptr<StoreImport> begin_import(std::string_view, std::string&) override { return {}; }
    std::string engine_version() const override { return "none"; }
    int schema_version() const override { return 1; }

private:
    static StoreStatus gone(std::string& error) { return error = "disk gone", StoreStatus::Error; }
};

// A real store, kept in memory (SQLite's name ":memory:"), filled through its
// own import: from a source named in markup, a bad file known by all three
// digests under two hostile names, and a file whose name is not UTF-8.
std::unique_ptr<Store> held_store()
{
    std::string error;
    std::unique_ptr<Store> store = open_sqlite_store(":memory:", StoreMode::ReadWrite, error);
    EXPECT_TRUE(store) << error;
    ImportEntry held{bytes<Md5Bytes>(kHeld), bytes<Sha1Bytes>(kSha1), bytes<Sha256Bytes>(kSha256),
                     1234, kHostile[0], Verdict::Bad, kHostile[1]};
    ImportEntry renamed = held;
    renamed.name = kHostile[3];
    const ImportEntry entries[] = {held, renamed,
                                   {bytes<Md5Bytes>(kOdd), {}, {}, {}, "bad\xff\xfe name", {}, {}}};
    const auto import = store ? store->begin_import(kHostile[2], error) : nullptr;
    EXPECT_TRUE(import && import->add_batch(entries, error) == StoreStatus::Ok
                && import->commit(error) == StoreStatus::Ok) << error;
    return store;
}

TEST(Routes, Answer)
{
    const std::string consult = kConsultPath, bulk = "/api/v1/bulk/md5", located = kReplyMarker;
    // The request, then its status and a text its body, Location or Allow header holds.
    const std::tuple<std::string, std::string, std::string, unsigned, std::string> cases[] = {
        {"POST", consult, "hash=" + kHeld + "&x=166&y=22", 303, located + kReport + "\""},
        {"POST", consult, "hash=" + kUnknown + "&x=166&y=22", 303,
         located + "/buscaHash.html?hash=" + kUnknown + "\""},
        {"GET", kReport, "", 200, "list&lt;one&gt;"},
        {"GET", kReport, "", 200, "href=\"/api/v1/md5/" + kHeld},
        {"GET", "/qn/en/report/" + kCapitals, "", 200, "1234 bytes"},
        {"GET", "/qn/en/report/" + kUnknown + "/x", "", 404, "href=\"/buscaHash.html\""},
        {"HEAD", "/buscaHash.html", "", 200, "name=\"hash\""},
        {"GET", "/buscaHash.html?hash=+00112233445566778899AABBCCDDEEFF00112233%20", "", 303, kReport},
        {"GET", "/buscaHash.html?hash=" + kSha256, "", 303, kReport},
        {"GET", "/buscaHash.html?hash=" + kUnknown, "", 404, "not held: " + kUnknown},
        {"GET", "/buscaHash.html?hash=%22%3E%3Cb%3E", "", 400, "value=\"&quot;&gt;&lt;b&gt;\""},
        {"GET", "/api/v1/md5/" + kCapitals, "", 200,
         "\"sha256\":\"" + kSha256 + "\",\"size\":1234,\"verdict\":\"bad\""},
        {"GET", "/api/v1/sha1/" + kSha1, "", 200, "\"names\":[\"<script>"},
        {"GET", "/api/v1/sha256/" + kSha256, "", 200, "\"md5\":\"" + kHeld},
        {"GET", "/api/v1/md5/" + kOdd, "", 200, "bad\xef\xbf\xbd"},
        {"GET", "/api/v1/md5/" + kUnknown, "", 404, "not held"},
        {"POST", bulk, json{kUnknown, kCapitals, kHeld}.dump(), 200, "[{\"md5\":\"" + kHeld},
        {"POST", bulk, json(std::vector(1000, kUnknown)).dump(), 200, "[]"},
        {"POST", bulk, "{\"a\":1}", 400, "array"},
        {"POST", bulk, "[1]", 400, "element 0"},
        {"POST", bulk, json{kSha1}.dump(), 400, "element 0"},
        {"GET", "/api/v1/info", "", 200,
         "[{\"name\":\"list<one>\",\"good\":0,\"bad\":1,\"unknown\":1}]"},
        {"GET", "/api/v1/openapi.json", "", 200, bulk},
        {"GET", "/api/v1/nothing", "", 404, "no such"},
        {"GET", consult, "", 405, "POST"},
        {"GET", bulk, "", 405, "POST"},
        {"DELETE", "/api/v1/md5/" + kHeld, "", 405, "GET, HEAD"},
    };
    const std::unique_ptr<Store> store = held_store();
    ASSERT_TRUE(store);
    for (const auto& [method, target, body, status, holds] : cases) {
        SCOPED_TRACE(method + " " + target.substr(0, 80) + " -> " + holds.substr(0, 60));
        const WebResponse response = route({method, target, body}, *store, "9.9");
        EXPECT_EQ(response.status, status);
        EXPECT_NE((response.body + response.location + response.allow).find(holds), std::string::npos)
            << response.body;
        if (method == "POST" && target == consult) {  // the program reads one receive, no more
            EXPECT_LT(serialize_response(response, 10, false, false).size(), kReplyReceiveMax);
        }
        for (const std::string& text : kHostile)
            if (response.content_type.starts_with("text/html")) {
                EXPECT_EQ(response.body.find(text), std::string::npos) << text;
            }
    }
}

// Above all the program's question: a store that cannot be read must not
// read as "not held".
TEST(Routes, StoreThatCannotBeReadIsAnError)
{
    const std::tuple<std::string, std::string, std::string> asked[] = {
        {"POST", kConsultPath, "hash=" + kHeld},  {"GET", kReport, ""},
        {"GET", "/buscaHash.html?hash=" + kHeld, ""}, {"GET", "/api/v1/md5/" + kHeld, ""},
        {"POST", "/api/v1/bulk/md5", json{kHeld}.dump()}, {"GET", "/api/v1/info", ""},
    };
    UnreadableStore store;
    for (const auto& [method, target, body] : asked) {
        const WebResponse response = route({method, target, body}, store, "9.9");
        EXPECT_EQ(response.status, 503u) << target;
        EXPECT_NE(response.body.find("could not be read"), std::string::npos) << response.body;
    }
}

TEST(Routes, ReplyBytes)
{
    WebResponse gone;
    gone.status = 404;
    gone.content_type = "text/plain";
    gone.body = "gone\n";
    const std::string head = " 404 Not Found\r\nContent-Type: text/plain\r\n";
    const std::string tail = "Content-Length: 5\r\n\r\n";
    EXPECT_EQ(serialize_response(gone, 10, false, false), "HTTP/1.0" + head + tail + "gone\n");
    EXPECT_EQ(serialize_response(gone, 10, true, false),
              "HTTP/1.0" + head + "Connection: keep-alive\r\n" + tail + "gone\n");
    EXPECT_EQ(serialize_response(gone, 11, false, false),
              "HTTP/1.1" + head + "Connection: close\r\n" + tail + "gone\n");
    EXPECT_EQ(serialize_response(gone, 11, true, true), "HTTP/1.1" + head + tail);
}

TEST(Text, FormFieldAndLogLine)
{
    const std::pair<const char*, std::optional<std::string>> fields[] = {
        {"x=1&hash=ab", "ab"},       {"hash=ab&hash=cd", "ab"}, {"hash", ""},
        {"hashes=ab", std::nullopt}, {"h%61sh=ab", "ab"},       {"hash=a+b%2Bc%3d", "a b+c="},
        {"hash=ab%4", "ab%4"},       {"hash=%zz%", "%zz%"},     {"hash=a%00b", std::string("a\0b", 3)},
    };
    for (const auto& [form, hash] : fields)
        EXPECT_EQ(form_field(form, "hash"), hash) << form;

    const std::tuple<std::string, std::size_t, const char*> logged[] = {
        {"/a\n1.2.3.4 \"GET / HTTP/1.1\" 200", 64, "/a\\x0a1.2.3.4 \\x22GET / HTTP/1.1\\x22 200"},
        {"a\\x41", 64, "a\\x5cx41"},
        {"\xff\x7f", 64, "\\xff\\x7f"},
        {"abcdef", 3, "abc..."},
        {"abc", 3, "abc"},
    };
    for (const auto& [text, limit, line] : logged)
        EXPECT_EQ(log_safe(text, limit), line) << text;
}

}  // namespace
