// The service's routes without a socket: what the program, a browser and a
// script are answered. Malformed digests, paths with "..", oversized bulk
// bodies and the like are sent to the running service by bad_input_test.py.
#include "lookup/wire.h"
#include "service/web/http_bytes.h"
#include "service/web/routes.h"
#include "service/web/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
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

// Two files, and three counts; a failing store reads nothing at all.
class MemoryStore : public Store {
public:
    explicit MemoryStore(bool failing) : failing_(failing) {}
    StoreStatus find_md5(const Md5Bytes& md5, FileRecord& out, std::string& error) override
    {
        return find(&FileRecord::md5, md5, out, error);
    }
    StoreStatus find_sha1(const Sha1Bytes& sha1, FileRecord& out, std::string& error) override
    {
        return find(&FileRecord::sha1, sha1, out, error);
    }
    StoreStatus find_sha256(const Sha256Bytes& sha256, FileRecord& out, std::string& error) override
    {
        return find(&FileRecord::sha256, sha256, out, error);
    }
    StoreStatus counts(std::vector<SourceCount>& out, std::string& error) override
    {
        out = {{"b-list", Verdict::Good, 7}, {"a-list", Verdict::Bad, 2}, {"b-list", Verdict::Bad, 1}};
        return failing_ ? (error = "disk gone", StoreStatus::Error) : StoreStatus::Ok;
    }
    std::unique_ptr<StoreImport> begin_import(std::string_view, std::string&) override { return {}; }
    std::string engine_version() const override { return "memory"; }
    int schema_version() const override { return 1; }

private:
    template <typename Member, typename Digest>
    StoreStatus find(Member member, const Digest& digest, FileRecord& out, std::string& error)
    {
        if (failing_)
            return error = "disk gone", StoreStatus::Error;
        const auto found = std::ranges::find(records_, digest, member);
        return found == records_.end() ? StoreStatus::NotFound : (out = *found, StoreStatus::Ok);
    }
    bool failing_;
    std::vector<FileRecord> records_ = {
        {.md5 = bytes<Md5Bytes>(kHeld), .sha1 = bytes<Sha1Bytes>(kSha1),
         .sha256 = bytes<Sha256Bytes>(kSha256), .size = 1234, .verdict = Verdict::Bad,
         .label = kHostile[1], .names = {kHostile[0], kHostile[3]},
         .sources = {{kHostile[2], "2026-01-02T03:04:05Z"}}},
        {.md5 = bytes<Md5Bytes>(kOdd), .sha1 = {}, .sha256 = {}, .size = {}, .label = {},
         .names = {"bad\xff\xfe name"}, .sources = {}},
    };
};

WebResponse ask(std::string method, std::string target, std::string body = {}, bool failing = false)
{
    MemoryStore store(failing);
    return route({std::move(method), std::move(target), std::move(body)}, store, "9.9");
}

TEST(Routes, Answer)
{
    const std::string consult = kConsultPath, bulk = "/api/v1/bulk/md5", located = kReplyMarker;
    // The request, then its status and a text its body, Location or Allow header holds.
    const std::tuple<std::string, std::string, std::string, unsigned, std::string> cases[] = {
        {"POST", consult, "hash=" + kHeld + "&x=166&y=22", 303, located + kReport + "\""},
        {"POST", consult, "hash=" + kCapitals + "&x=166&y=22", 303, located + kReport + "\""},
        {"POST", consult, "hash=" + kUnknown + "&x=166&y=22", 303,
         located + "/buscaHash.html?hash=" + kUnknown + "\""},
        {"POST", consult, "x=166&y=22", 400, "no hash"},
        {"GET", kReport, "", 200, "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"GET", kReport, "", 200, "list&lt;one&gt;"},
        {"GET", kReport, "", 200, "href=\"/api/v1/md5/" + kHeld},
        {"GET", "/qn/en/report/" + kCapitals, "", 200, "1234 bytes"},
        {"GET", "/qn/en/report/" + kUnknown + "/x", "", 404, "href=\"/buscaHash.html\""},
        {"HEAD", "/buscaHash.html", "", 200, "name=\"hash\""},
        {"GET", "/buscaHash.html?hash=" + kHeld, "", 303, kReport},
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
        {"POST", bulk, "[\"", 400, "array"},
        {"POST", bulk, "[1]", 400, "element 0"},
        {"POST", bulk, json{kSha1}.dump(), 400, "element 0"},
        {"GET", "/api/v1/info", "", 200,
         "[{\"name\":\"a-list\",\"good\":0,\"bad\":2,\"unknown\":0},"
         "{\"name\":\"b-list\",\"good\":7,\"bad\":1,\"unknown\":0}]"},
        {"GET", "/api/v1/openapi.json", "", 200, bulk},
        {"GET", "/api/v1/nothing", "", 404, "no such"},
        {"GET", "/favicon.ico", "", 404, "href=\"/buscaHash.html\""},
        {"GET", consult, "", 405, "POST"},
        {"POST", "/buscaHash.html", "hash=" + kHeld, 405, "GET, HEAD"},
        {"GET", bulk, "", 405, "POST"},
        {"DELETE", "/api/v1/md5/" + kHeld, "", 405, "GET, HEAD"},
    };
    for (const auto& [method, target, body, status, holds] : cases) {
        SCOPED_TRACE(method + " " + target.substr(0, 80) + " -> " + holds.substr(0, 60));
        const WebResponse response = ask(method, target, body);
        EXPECT_EQ(response.status, status);
        EXPECT_NE((response.body + response.location + response.allow).find(holds), std::string::npos)
            << response.body;
        if (method == "POST" && target == consult) {  // the program reads one receive, no more
            EXPECT_LT(serialize_response(response, 10, false, false).size(), kReplyReceiveMax);
        }
        if (response.content_type == "application/json") {
            EXPECT_TRUE(json::accept(response.body)) << response.body;
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
    for (const auto& [method, target, body] : asked) {
        const WebResponse response = ask(method, target, body, true);
        EXPECT_EQ(response.status, 500u) << target;
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

    // Pages forbid scripts and anything from elsewhere, should a slip in escaping let markup in.
    const std::string page = serialize_response(ask("GET", kReport), 11, false, false);
    EXPECT_NE(page.find("\r\nContent-Security-Policy: default-src 'none'; "), std::string::npos) << page;
}

TEST(Text, FormFieldAndLogLine)
{
    const std::pair<const char*, std::optional<std::string>> fields[] = {
        {"x=1&hash=ab", "ab"},        {"hash=ab&hash=cd", "ab"},  {"hash=&x=1", ""},
        {"hash", ""},                 {"x=1&y=2", std::nullopt},  {"hashes=ab", std::nullopt},
        {"h%61sh=ab", "ab"},          {"hash=a+b%2Bc%3d", "a b+c="}, {"hash=ab%4", "ab%4"},
        {"hash=%zz%", "%zz%"},        {"hash=a%00b", std::string("a\0b", 3)},
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
