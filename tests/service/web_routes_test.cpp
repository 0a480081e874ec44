// The service's routes without a socket: what the program, a browser and a
// script are answered, read back through the program's own reply rules.
// Malformed digests, paths with "..", oversized bulk bodies and the like are
// sent to the running service by bad_input_test.py.
#include "lookup/lookup_exchange.h"
#include "service/web/http_bytes.h"
#include "service/web/routes.h"
#include "service/web/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kHeld    = "0123456789abcdef0123456789abcdef";
const std::string kSha1    = "00112233445566778899aabbccddeeff00112233";
const std::string kSha256  = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kOdd     = "fedcba9876543210fedcba9876543210";  // a name that is not UTF-8
const std::string kUnknown = "ffffffffffffffffffffffffffffffff";
const std::string kReport  = "/qn/en/report/" + kHeld + "/quellarion-brantwicker-file-report.html";

// Texts that must reach a page only escaped.
const std::vector<std::string> kHostile = {"<script>alert(1)</script>", "Evil<Family>",
                                           "list<one>", "a\"b'c&d"};

std::string upper(std::string text)
{
    std::ranges::transform(text, text.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

class MemoryStore : public Store {
public:
    explicit MemoryStore(bool failing) : failing_(failing)
    {
        FileRecord& held = records_[0];
        EXPECT_TRUE(parse_hex(kHeld, held.md5));
        EXPECT_TRUE(parse_hex(kSha1, held.sha1.emplace()));
        EXPECT_TRUE(parse_hex(kSha256, held.sha256.emplace()));
        held.size = 1234;
        held.verdict = Verdict::Bad;
        held.label = kHostile[1];
        held.names = {kHostile[0], kHostile[3]};
        held.sources = {{kHostile[2], "2026-01-02T03:04:05Z"}};
        EXPECT_TRUE(parse_hex(kOdd, records_[1].md5));
        records_[1].names = {"bad\xff\xfe name"};
    }
    StoreStatus find_md5(const Md5Bytes& md5, FileRecord& out, std::string& error) override
    {
        return find([&](const FileRecord& r) { return r.md5 == md5; }, out, error);
    }
    StoreStatus find_sha1(const Sha1Bytes& sha1, FileRecord& out, std::string& error) override
    {
        return find([&](const FileRecord& r) { return r.sha1 == sha1; }, out, error);
    }
    StoreStatus find_sha256(const Sha256Bytes& sha256, FileRecord& out, std::string& error) override
    {
        return find([&](const FileRecord& r) { return r.sha256 == sha256; }, out, error);
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
    template <typename Match>
    StoreStatus find(Match match, FileRecord& out, std::string& error)
    {
        if (failing_)
            return error = "disk gone", StoreStatus::Error;
        const auto found = std::ranges::find_if(records_, match);
        return found == std::end(records_) ? StoreStatus::NotFound : (out = *found, StoreStatus::Ok);
    }
    bool failing_;
    FileRecord records_[2];
};

WebResponse ask(std::string method, std::string target, std::string body = {}, bool failing = false)
{
    MemoryStore store(failing);
    return route({std::move(method), std::move(target), std::move(body)}, store, "9.9");
}

TEST(Consult, ReplyAsTheProgramReadsIt)
{
    const std::string opened = "http://host.test" + kReport;
    const std::string search = "http://host.test/buscaHash.html?hash=" + kUnknown;
    const struct {
        std::string  body;
        bool         failing;
        unsigned     status;
        ReplyVerdict verdict;
        std::string  address;  // what the program would open
    } cases[] = {
        {"hash=" + kHeld + "&x=166&y=22", false, 303, ReplyVerdict::OpenReport, opened},
        {"hash=" + upper(kHeld) + "&x=166&y=22", false, 303, ReplyVerdict::OpenReport, opened},
        {"x=1&hash=" + kHeld, false, 303, ReplyVerdict::OpenReport, opened},
        {"hash=" + kUnknown + "&x=166&y=22", false, 303, ReplyVerdict::NotHeld, search},
        {"x=166&y=22", false, 400, ReplyVerdict::Unexpected, ""},
        // A store that cannot be read must not read as "not held".
        {"hash=" + kHeld, true, 500, ReplyVerdict::Unexpected, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const WebResponse response = ask("POST", "/qn/en/consultamd5", c.body, c.failing);
        EXPECT_EQ(response.status, c.status);
        const std::string bytes = serialize_response(response, 10, false, false);
        EXPECT_LT(bytes.size(), kReplyReceiveMax);
        const ReplyOutcome outcome = interpret_reply(bytes, "host.test");
        EXPECT_EQ(outcome.verdict, c.verdict) << bytes;
        // Past a search path the program keeps whatever follows, up to its 86.
        EXPECT_EQ(outcome.address.substr(0, c.verdict == ReplyVerdict::NotHeld ? c.address.size()
                                                                                : std::string::npos),
                  c.address);
    }
}

std::string digests(std::size_t count, const std::string& digest)
{
    std::string body = "[";
    for (std::size_t i = 0; i < count; ++i)
        body += (i ? ",\"" : "\"") + digest + "\"";
    return body + "]";
}

TEST(Routes, Answer)
{
    const std::string bulk = "/api/v1/bulk/md5";
    const struct {
        std::string method;
        std::string target;
        std::string body;
        unsigned    status;
        std::string contains;  // in the body, or the Location or Allow header
        bool        failing = false;
    } cases[] = {
        {"GET", kReport, "", 200, "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"GET", kReport, "", 200, "list&lt;one&gt;"},
        {"GET", kReport, "", 200, "href=\"/api/v1/md5/" + kHeld},
        {"GET", "/qn/en/report/" + upper(kHeld), "", 200, "1234 bytes"},
        {"GET", "/qn/en/report/" + kUnknown + "/x", "", 404, "href=\"/buscaHash.html\""},
        {"HEAD", "/buscaHash.html", "", 200, "name=\"hash\""},
        {"GET", "/buscaHash.html?hash=" + kHeld, "", 303, kReport},
        {"GET", "/buscaHash.html?hash=+" + upper(kSha1) + "%20", "", 303, kReport},
        {"GET", "/buscaHash.html?hash=" + kSha256, "", 303, kReport},
        {"GET", "/buscaHash.html?hash=" + kUnknown, "", 404, "not held: " + kUnknown},
        {"GET", "/buscaHash.html?hash=%22%3E%3Cb%3E", "", 400, "value=\"&quot;&gt;&lt;b&gt;\""},
        {"GET", "/api/v1/md5/" + upper(kHeld), "", 200, "\"sha256\":\"" + kSha256},
        {"GET", "/api/v1/sha1/" + kSha1, "", 200, "\"names\":[\"<script>"},
        {"GET", "/api/v1/sha256/" + kSha256, "", 200, "\"verdict\":\"bad\""},
        {"GET", "/api/v1/md5/" + kHeld, "", 200, "\"size\":1234"},
        {"GET", "/api/v1/md5/" + kOdd, "", 200, "bad\xef\xbf\xbd"},
        {"GET", "/api/v1/md5/" + kUnknown, "", 404, "not held"},
        {"GET", "/api/v1/md5/" + kSha1, "", 400, "not a md5"},
        {"POST", bulk, "[\"" + kUnknown + "\",\"" + upper(kHeld) + "\",\"" + kHeld + "\"]", 200,
         "[{\"md5\":\"" + kHeld},
        {"POST", bulk, digests(1000, kUnknown), 200, "[]"},
        {"POST", bulk, "{\"a\":1}", 400, "array"},
        {"POST", bulk, "[1]", 400, "element 0"},
        {"POST", bulk, digests(2, kSha1), 400, "element 0"},
        {"POST", bulk, "[\"", 400, "array"},
        {"GET", "/api/v1/info", "", 200,
         "[{\"name\":\"a-list\",\"good\":0,\"bad\":2,\"unknown\":0},"
         "{\"name\":\"b-list\",\"good\":7,\"bad\":1,\"unknown\":0}]"},
        {"GET", "/api/v1/openapi.json", "", 200, bulk},
        {"GET", "/api/v1/nothing", "", 404, "no such"},
        {"GET", "/favicon.ico", "", 404, "href=\"/buscaHash.html\""},
        {"GET", "/qn/en/consultamd5", "", 405, "POST"},
        {"POST", "/buscaHash.html", "hash=" + kHeld, 405, "GET, HEAD"},
        {"GET", bulk, "", 405, "POST"},
        {"DELETE", "/api/v1/md5/" + kHeld, "", 405, "GET, HEAD"},
        {"GET", kReport, "", 500, "could not be read", true},
        {"GET", "/buscaHash.html?hash=" + kHeld, "", 500, "could not", true},
        {"GET", "/api/v1/md5/" + kHeld, "", 500, "could not", true},
        {"POST", bulk, digests(1, kHeld), 500, "could not", true},
        {"GET", "/api/v1/info", "", 500, "could not", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.target.substr(0, 80) + " -> " + c.contains.substr(0, 60));
        const WebResponse response = ask(c.method, c.target, c.body, c.failing);
        EXPECT_EQ(response.status, c.status);
        EXPECT_NE((response.body + response.location + response.allow).find(c.contains),
                  std::string::npos)
            << response.body;
        if (response.content_type == "application/json") {
            EXPECT_TRUE(nlohmann::json::accept(response.body)) << response.body;
        }
        for (const std::string& text : kHostile)
            if (response.content_type.starts_with("text/html")) {
                EXPECT_EQ(response.body.find(text), std::string::npos) << text;
            }
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
