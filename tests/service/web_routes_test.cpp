// The service's routes without a socket: what the program, a browser and a
// script are answered, read back through the program's own reply rules.
#include "lookup/lookup_exchange.h"
#include "service/web/http_bytes.h"
#include "service/web/routes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
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
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

template <typename Bytes>
Bytes bytes_of(const std::string& hex)
{
    Bytes bytes{};
    EXPECT_TRUE(parse_hex(hex, bytes));
    return bytes;
}

class MemoryStore : public Store {
public:
    bool failing = false;

    MemoryStore()
    {
        FileRecord held;
        held.md5 = bytes_of<Md5Bytes>(kHeld);
        held.sha1 = bytes_of<Sha1Bytes>(kSha1);
        held.sha256 = bytes_of<Sha256Bytes>(kSha256);
        held.size = 1234;
        held.verdict = Verdict::Bad;
        held.label = kHostile[1];
        held.names = {kHostile[0], kHostile[3]};
        held.sources = {{kHostile[2], "2026-01-02T03:04:05Z"}};
        FileRecord odd;
        odd.md5 = bytes_of<Md5Bytes>(kOdd);
        odd.names = {"bad\xff\xfe name"};
        records_ = {held, odd};
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
        return failing ? (error = "disk gone", StoreStatus::Error) : StoreStatus::Ok;
    }
    std::unique_ptr<StoreImport> begin_import(std::string_view, std::string&) override { return {}; }
    std::string engine_version() const override { return "memory"; }
    int schema_version() const override { return 1; }

private:
    template <typename Match>
    StoreStatus find(Match match, FileRecord& out, std::string& error)
    {
        if (failing) {
            error = "disk gone";
            return StoreStatus::Error;
        }
        for (const FileRecord& record : records_)
            if (match(record)) {
                out = record;
                return StoreStatus::Ok;
            }
        return StoreStatus::NotFound;
    }
    std::vector<FileRecord> records_;
};

WebResponse ask(std::string method, std::string target, std::string body = {}, bool failing = false)
{
    MemoryStore store;
    store.failing = failing;
    return route({std::move(method), std::move(target), std::move(body)}, store, "9.9");
}

// The program's exchange: the serialized reply is read by the program's own
// rules, as its one receive would deliver it.
struct ConsultCase {
    const char*  name;
    std::string  body;
    bool         failing;
    unsigned     status;
    ReplyVerdict verdict;
    std::string  address;  // what the program would open
};

void PrintTo(const ConsultCase& c, std::ostream* os) { *os << c.name; }

class Consult : public testing::TestWithParam<ConsultCase> {};

TEST_P(Consult, ReplyAsTheProgramReadsIt)
{
    const ConsultCase& c = GetParam();
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
    if (c.status == 303) {
        EXPECT_EQ("http://host.test" + response.location, c.address);
    }
}

const std::string kOpened = "http://host.test" + kReport;
const std::string kSearch = "http://host.test/buscaHash.html?hash=" + kUnknown;

INSTANTIATE_TEST_SUITE_P(
    Cases, Consult,
    testing::Values(
        ConsultCase{"Held", "hash=" + kHeld + "&x=166&y=22", false, 303, ReplyVerdict::OpenReport, kOpened},
        ConsultCase{"HeldUpperCase", "hash=" + upper(kHeld) + "&x=166&y=22", false, 303,
                    ReplyVerdict::OpenReport, kOpened},
        ConsultCase{"HashNotFirst", "x=1&hash=" + kHeld, false, 303, ReplyVerdict::OpenReport, kOpened},
        ConsultCase{"NotHeld", "hash=" + kUnknown + "&x=166&y=22", false, 303, ReplyVerdict::NotHeld,
                    kSearch},
        ConsultCase{"NoHash", "x=166&y=22", false, 400, ReplyVerdict::Unexpected, ""},
        ConsultCase{"EmptyBody", "", false, 400, ReplyVerdict::Unexpected, ""},
        ConsultCase{"ShortHash", "hash=" + kHeld.substr(1), false, 400, ReplyVerdict::Unexpected, ""},
        ConsultCase{"LongHash", "hash=" + kHeld + "0", false, 400, ReplyVerdict::Unexpected, ""},
        ConsultCase{"NotHex", "hash=" + kHeld.substr(1) + "g", false, 400, ReplyVerdict::Unexpected, ""},
        // A store that cannot be read must not read as "not held".
        ConsultCase{"StoreFails", "hash=" + kHeld, true, 500, ReplyVerdict::Unexpected, ""}),
    [](const auto& test) { return std::string(test.param.name); });

struct RouteCase {
    const char* name;
    std::string method;
    std::string target;
    std::string body;
    unsigned    status;
    std::string contains;  // in the body, or the Location or Allow header
    bool        failing = false;
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }

class Routes : public testing::TestWithParam<RouteCase> {};

TEST_P(Routes, Answer)
{
    const RouteCase& c = GetParam();
    const WebResponse response = ask(c.method, c.target, c.body, c.failing);
    EXPECT_EQ(response.status, c.status);
    EXPECT_NE((response.body + response.location + response.allow).find(c.contains),
              std::string::npos)
        << response.body;
    if (response.content_type == "application/json") {
        EXPECT_TRUE(nlohmann::json::accept(response.body)) << response.body;
    }
    if (response.content_type.starts_with("text/html")) {
        for (const std::string& text : kHostile)
            EXPECT_EQ(response.body.find(text), std::string::npos) << text;
    }
}

std::string digests(std::size_t count, const std::string& digest)
{
    std::string body = "[";
    for (std::size_t i = 0; i < count; ++i)
        body += (i ? ",\"" : "\"") + digest + "\"";
    return body + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Routes,
    testing::Values(
        RouteCase{"Report", "GET", kReport, "", 200, "&lt;script&gt;alert(1)&lt;/script&gt;"},
        RouteCase{"ReportSource", "GET", kReport, "", 200, "list&lt;one&gt;"},
        RouteCase{"ReportJsonLink", "GET", kReport, "", 200, "href=\"/api/v1/md5/" + kHeld},
        RouteCase{"ReportAnySuffix", "GET", "/qn/en/report/" + upper(kHeld), "", 200, "1234 bytes"},
        RouteCase{"ReportUnknown", "GET", "/qn/en/report/" + kUnknown + "/x", "", 404,
                  "href=\"/buscaHash.html\""},
        RouteCase{"ReportMalformed", "GET", "/qn/en/report/../../etc/passwd", "", 404, "No such"},
        RouteCase{"DotDot", "GET", "/../../etc/passwd", "", 404, "Not found"},
        RouteCase{"SearchBlank", "GET", "/buscaHash.html", "", 200, "name=\"hash\""},
        RouteCase{"SearchHead", "HEAD", "/buscaHash.html", "", 200, "name=\"hash\""},
        RouteCase{"SearchMd5", "GET", "/buscaHash.html?hash=" + kHeld, "", 303, kReport},
        RouteCase{"SearchSha1Spaced", "GET", "/buscaHash.html?hash=+" + upper(kSha1) + "%20", "", 303,
                  kReport},
        RouteCase{"SearchSha256", "GET", "/buscaHash.html?hash=" + kSha256, "", 303, kReport},
        RouteCase{"SearchUnknown", "GET", "/buscaHash.html?hash=" + kUnknown, "", 404,
                  "not held: " + kUnknown},
        RouteCase{"SearchMalformed", "GET", "/buscaHash.html?hash=%3Cscript%3Ealert(1)%3C/script%3E",
                  "", 400, "value=\"&lt;script&gt;alert(1)&lt;/script&gt;\""},
        RouteCase{"SearchQuote", "GET", "/buscaHash.html?hash=%22%3E%3Cb%3E", "", 400,
                  "value=\"&quot;&gt;&lt;b&gt;\""},
        RouteCase{"ApiMd5", "GET", "/api/v1/md5/" + upper(kHeld), "", 200, "\"sha256\":\"" + kSha256},
        RouteCase{"ApiSha1", "GET", "/api/v1/sha1/" + kSha1, "", 200, "\"names\":[\"<script>"},
        RouteCase{"ApiSha256", "GET", "/api/v1/sha256/" + kSha256, "", 200, "\"verdict\":\"bad\""},
        RouteCase{"ApiNotUtf8", "GET", "/api/v1/md5/" + kOdd, "", 200, "bad\xef\xbf\xbd"},
        RouteCase{"ApiUnknown", "GET", "/api/v1/md5/" + kUnknown, "", 404, "not held"},
        RouteCase{"ApiWrongKind", "GET", "/api/v1/md5/" + kSha1, "", 400, "not a md5"},
        RouteCase{"ApiNotHex", "GET", "/api/v1/sha1/" + kSha1.substr(1) + "x", "", 400, "not a sha1"},
        RouteCase{"Bulk", "POST", "/api/v1/bulk/md5",
                  "[\"" + kUnknown + "\",\"" + upper(kHeld) + "\",\"" + kHeld + "\"]", 200,
                  "[{\"md5\":\"" + kHeld},
        RouteCase{"BulkAtMost", "POST", "/api/v1/bulk/md5", digests(1000, kUnknown), 200, "[]"},
        RouteCase{"BulkTooMany", "POST", "/api/v1/bulk/md5", digests(1001, kHeld), 400, "at most"},
        RouteCase{"BulkNotArray", "POST", "/api/v1/bulk/md5", "{\"a\":1}", 400, "array"},
        RouteCase{"BulkNotString", "POST", "/api/v1/bulk/md5", "[1]", 400, "element 0"},
        RouteCase{"BulkBadDigest", "POST", "/api/v1/bulk/md5", digests(2, kSha1), 400, "element 0"},
        RouteCase{"BulkBroken", "POST", "/api/v1/bulk/md5", "[\"", 400, "array"},
        RouteCase{"BulkDeep", "POST", "/api/v1/bulk/md5", std::string(60000, '['), 400, "array"},
        RouteCase{"Info", "GET", "/api/v1/info", "", 200,
                  "[{\"name\":\"a-list\",\"good\":0,\"bad\":2,\"unknown\":0},"
                  "{\"name\":\"b-list\",\"good\":7,\"bad\":1,\"unknown\":0}]"},
        RouteCase{"OpenApi", "GET", "/api/v1/openapi.json", "", 200, "/api/v1/bulk/md5"},
        RouteCase{"ApiNowhere", "GET", "/api/v1/nothing", "", 404, "no such"},
        RouteCase{"Nowhere", "GET", "/favicon.ico", "", 404, "href=\"/buscaHash.html\""},
        RouteCase{"ConsultByGet", "GET", "/qn/en/consultamd5", "", 405, "POST"},
        RouteCase{"SearchByPost", "POST", "/buscaHash.html", "hash=" + kHeld, 405, "GET, HEAD"},
        RouteCase{"BulkByGet", "GET", "/api/v1/bulk/md5", "", 405, "POST"},
        RouteCase{"ApiByDelete", "DELETE", "/api/v1/md5/" + kHeld, "", 405, "GET, HEAD"},
        RouteCase{"ReportStoreFails", "GET", kReport, "", 500, "could not be read", true},
        RouteCase{"SearchStoreFails", "GET", "/buscaHash.html?hash=" + kHeld, "", 500, "could not", true},
        RouteCase{"ApiStoreFails", "GET", "/api/v1/md5/" + kHeld, "", 500, "could not", true},
        RouteCase{"BulkStoreFails", "POST", "/api/v1/bulk/md5", digests(1, kHeld), 500, "could not", true},
        RouteCase{"InfoStoreFails", "GET", "/api/v1/info", "", 500, "could not", true}),
    [](const auto& test) { return std::string(test.param.name); });

struct WireCase {
    const char* name;
    unsigned    version;
    bool        keep_alive;
    bool        head;
    std::string expected;
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class Wire : public testing::TestWithParam<WireCase> {};

TEST_P(Wire, Bytes)
{
    const WireCase& c = GetParam();
    WebResponse response;
    response.status = 404;
    response.content_type = "text/plain";
    response.body = "gone\n";
    EXPECT_EQ(serialize_response(response, c.version, c.keep_alive, c.head), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Wire,
    testing::Values(
        WireCase{"Http10", 10, false, false,
                 "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\ngone\n"},
        WireCase{"Http10KeepAlive", 10, true, false,
                 "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nConnection: keep-alive\r\n"
                 "Content-Length: 5\r\n\r\ngone\n"},
        WireCase{"Http11Close", 11, false, false,
                 "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                 "Content-Length: 5\r\n\r\ngone\n"},
        WireCase{"HeadKeepsLength", 11, true, true,
                 "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\n"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
