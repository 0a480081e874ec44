// The service's routes without a socket: what the program, a browser and a
// script are answered. Malformed digests, paths with "..", oversized bulk
// bodies and the like are sent to the running service by bad_input_test.py,
// which also checks the policy header the pages carry.
#include "lookup/wire.h"
#include "service/web/http_bytes.h"
#include "service/web/routes.h"
#include "service/web/server.h"
#include "service/web/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
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
const std::string kGood     = "00000000000000000000000000000001";
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
    StoreStatus scan_count(std::uint64_t&, std::string& error) override { return gone(error); }
    StoreStatus add_upload(const UploadedFile&, const ScanRecord*, std::string& error) override { return gone(error); }
    StoreStatus add_analyses(std::span<const AnalysisRecord>, std::string& error) override { return gone(error); }
    StoreStatus archive_links(const Sha1Bytes&, LinkDirection, const std::optional<Sha1Bytes>&, std::size_t, LinkPage&, std::string& error) override { return gone(error); }
    StoreStatus files_by_verdict(std::array<std::uint64_t, 3>&, std::string& error) override { return gone(error); }
    StoreStatus probe(std::string& error) override { return gone(error); }
    StoreStatus count_files(const FileFilter&, std::uint64_t&, std::string& error) override { return gone(error); }
    StoreStatus walk_files(const FileFilter&, const std::function<bool(std::span<const HeldDigests>)>&,
                           std::string& error) override { return gone(error); }
    std::unique_ptr<StoreImport> begin_import(std::string_view, std::string&) override { return {}; }
    std::string engine_version() const override { return "none"; }
    int schema_version() const override { return 1; }

private:
    static StoreStatus gone(std::string& error) { return error = "disk gone", StoreStatus::Error; }
};

// A real store, kept in memory (SQLite's name ":memory:"), filled through its
// own import: from a source named in markup, a bad file known by all three
// digests under two hostile names, a file whose name is not UTF-8 (and no
// verdict), and a good one.
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
                                   {bytes<Md5Bytes>(kOdd), {}, {}, {}, "bad\xff\xfe name", {}, {}},
                                   {bytes<Md5Bytes>(kGood), {}, {}, {}, "", Verdict::Good, "pkg"}};
    const auto import = store ? store->begin_import(kHostile[2], error) : nullptr;
    EXPECT_TRUE(import && import->add_batch(entries, error) == StoreStatus::Ok
                && import->commit(error) == StoreStatus::Ok) << error;
    return store;
}

// The health check the service makes of its store.
std::vector<HealthCheck> store_check(Store& store)
{
    return {{"store", [&store](unsigned, std::string& why) {
                 return store.probe(why) == StoreStatus::Ok;
             }}};
}

TEST(Routes, Answer)
{
    const std::unique_ptr<Store> store = held_store();
    ASSERT_TRUE(store);
    FileRecord record;  // every file was imported at once
    std::string error;
    ASSERT_EQ(store->find_md5(bytes<Md5Bytes>(kHeld), record, error), StoreStatus::Ok) << error;
    const std::string consult = kConsultPath, bulk = "/api/v1/bulk/md5", located = kReplyMarker;
    // The request, then its status and a text its body, Location or Allow header holds.
    const std::tuple<std::string, std::string, std::string, unsigned, std::string> cases[] = {
        {"POST", consult, "hash=" + kHeld + "&x=166&y=22", 303, located + kReport + "\""},
        {"POST", consult, "hash=" + kUnknown + "&x=166&y=22", 303,
         located + "/buscaHash.html?hash=" + kUnknown + "\""},
        {"GET", kReport, "", 200, "href=\"/api/v1/md5/" + kHeld},
        {"GET", kReport, "", 200, "<p class=\"verdict bad\">Bad: known to be harmful</p>"},
        {"GET", kReport, "", 200, "<td>list&lt;one&gt;</td><td>" + record.sources[0].imported + "</td>"},
        {"GET", "/qn/en/report/" + kGood, "", 200, "<p class=\"verdict good\">Good: known software</p>"},
        {"GET", "/qn/en/report/" + kOdd, "", 200,
         "<p class=\"verdict unknown\">Unknown: listed without a verdict</p>"},
        {"GET", "/qn/en/report/" + kCapitals, "", 200, "1234 bytes"},
        {"GET", kReport, "", 200, "<dt>Label</dt><dd>Evil&lt;Family&gt;</dd>"},
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
        {"POST", bulk, json{kGood, kUnknown, kGood}.dump(), 200, R"([{"md5":")" + kGood +
         R"(","sha1":null,"sha256":null,"size":null,"verdict":"good","label":"pkg","names":[],)"
         R"("sources":[{"name":"list<one>","imported":")" + record.sources[0].imported +
         R"("}],"scans":[],"sample_kept":false,"report":"/qn/en/report/)" + kGood + R"(/quellarion-brantwicker-file-report.html"}])"},
        {"POST", bulk, json(std::vector(1000, kUnknown)).dump(), 200, "[]"},
        {"POST", bulk, "{\"a\":1}", 400, "array"},
        {"POST", bulk, "[1]", 400, "element 0"},
        {"POST", bulk, json{kSha1}.dump(), 400, "element 0"},
        {"POST", "/api/v1/bulk/sha1", json{kUnknown + "00000000", kSha1}.dump(), 200,
         "[{\"md5\":\"" + kHeld},
        {"POST", "/api/v1/bulk/sha256", json{kSha256, kSha256}.dump(), 200,
         "\"sha256\":\"" + kSha256 + "\",\"size\":1234,\"verdict\":\"bad\",\"label\":\"Evil<Family>\""},
        {"POST", "/api/v1/bulk/sha256", json{kSha1}.dump(), 400, "element 0 is not a sha256"},
        {"GET", "/healthz", "", 200, "store ok"},
        {"GET", "/metrics", "", 404, "Not found"},  // the operator's address only
        {"GET", "/api/v1/unknown", "", 404, "no such"},
        {"GET", "/api/v1/info", "", 200,
         "[{\"name\":\"list<one>\",\"good\":1,\"bad\":1,\"unknown\":1}]"},
        {"GET", "/api/v1/openapi.json", "", 200, bulk},
        {"GET", "/api/v1/nothing", "", 404, "no such"},
        {"GET", consult, "", 405, "POST"},
        {"GET", bulk, "", 405, "POST"},
        {"DELETE", "/api/v1/md5/" + kHeld, "", 405, "GET, HEAD"},
        // Without kept samples nothing can be scanned again, and the report
        // offers no button.
        {"POST", "/api/v1/files/" + kSha256 + "/rescan", "", 404, "keeps no samples"},
        {"POST", "/files/" + kSha256 + "/rescan", "", 404, "keeps no samples"},
        {"POST", "/api/v1/files/" + kSha1 + "/rescan", "", 400, "SHA-256"},
        {"POST", "/api/v1/files//rescan", "", 400, "SHA-256"},
        {"GET", "/api/v1/files/" + kSha256 + "/rescan", "", 405, "POST"},
    };
    UnknownDigests unknown(10);
    const std::vector<HealthCheck> checks = store_check(*store);
    const RouteContext context{"9.9", 0, &unknown, checks, nullptr};
    for (const auto& [method, target, body, status, holds] : cases) {
        SCOPED_TRACE(method + " " + target.substr(0, 80) + " -> " + holds.substr(0, 60));
        const WebResponse response = route({method, target, body}, *store, context);
        EXPECT_EQ(response.status, status);
        EXPECT_NE((response.body + response.location + response.allow).find(holds), std::string::npos)
            << response.body;
        if (response.content_type == "application/json") {
            EXPECT_FALSE(json::parse(response.body, nullptr, false).is_discarded()) << response.body;
        }
        if (method == "POST" && target == consult) {  // the program reads one receive, no more
            EXPECT_LT(serialize_response(response, 10, false, false).size(), kReplyReceiveMax);
        }
        for (const std::string& text : kHostile)
            if (response.content_type.starts_with("text/html")) {
                EXPECT_EQ(response.body.find(text), std::string::npos) << text;
            }
    }
    // Each route that looks up counts what it did not find, once per request:
    // the consult, the search page, the API's look-up and its bulk of 1000.
    UnknownDigests::Listing listing;
    ASSERT_EQ(unknown.top(10, *store, listing, error), StoreStatus::Ok) << error;
    ASSERT_EQ(listing.digests.size(), 2u);
    EXPECT_EQ(to_hex(listing.digests[0].digest), kUnknown);
    EXPECT_EQ(listing.digests[0].count, 6u);
    EXPECT_EQ(to_hex(listing.digests[1].digest), kUnknown + "00000000");
}

// With a samples folder, records and report pages say whether the file's
// bytes are kept; no address, however asked, serves them back.
TEST(Routes, RecordsSayWhetherTheSampleIsKept)
{
    const std::unique_ptr<Store> store = held_store();
    ASSERT_TRUE(store);
    char pattern[] = "/tmp/routes-samples-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string error;
    const std::unique_ptr<SampleStore> samples = SampleStore::open(pattern, {}, error);
    ASSERT_TRUE(samples) << error;
    const std::string secret = "SAMPLE-BYTES-NEVER-SERVED";
    ASSERT_TRUE(samples->keep(bytes<Sha256Bytes>(kSha256),
                              {reinterpret_cast<const unsigned char*>(secret.data()), secret.size()},
                              error)) << error;
    RouteContext context{"9.9", 0, nullptr, {}, nullptr};
    context.samples = samples.get();
    const std::string path = samples->path_of(bytes<Sha256Bytes>(kSha256));
    const std::tuple<std::string, std::string, std::string, unsigned, std::string> cases[] = {
        {"GET", "/api/v1/md5/" + kHeld, "", 200, "\"sample_kept\":true"},
        {"GET", "/api/v1/md5/" + kGood, "", 200, "\"sample_kept\":false"},
        {"POST", "/api/v1/bulk/md5", json{kGood, kHeld}.dump(), 200,
         "\"sample_kept\":false,\"report\":\"/qn/en/report/" + kGood},
        {"POST", "/api/v1/bulk/md5", json{kGood, kHeld}.dump(), 200,
         "\"sample_kept\":true,\"report\":\"/qn/en/report/" + kHeld},
        {"GET", kReport, "", 200, "<dt>Sample</dt><dd><span class=\"sample\">Sample kept</span>"},
        {"GET", "/api/v1/sha256/" + kSha256 + "/sample", "", 400, ""},
        {"GET", "/api/v1/samples/" + kSha256, "", 404, ""},
        {"GET", "/samples/" + kSha256.substr(0, 2) + "/" + kSha256 + ".zst", "", 404, ""},
        {"GET", "/" + path, "", 404, ""},
        {"GET", "/qn/en/report/../../../.." + path, "", 404, ""},
    };
    for (const auto& [method, target, body, status, holds] : cases) {
        SCOPED_TRACE(method + " " + target);
        const WebResponse response = route({method, target, body}, *store, context);
        EXPECT_EQ(response.status, status);
        EXPECT_NE(response.body.find(holds), std::string::npos) << response.body;
        EXPECT_EQ(response.body.find(secret), std::string::npos);
    }
    // Without a samples folder nothing is kept, whatever lies on disk.
    context.samples = nullptr;
    const WebResponse response = route({"GET", "/api/v1/md5/" + kHeld, ""}, *store, context);
    EXPECT_NE(response.body.find("\"sample_kept\":false"), std::string::npos);
    std::filesystem::remove_all(pattern);
}

// Above all the program's question: a store that cannot be read must not
// read as "not held".
TEST(Routes, StoreThatCannotBeReadIsAnError)
{
    const std::tuple<std::string, std::string, std::string, unsigned, std::string> asked[] = {
        {"POST", kConsultPath, "hash=" + kHeld, 503, "could not be read"},
        {"GET", kReport, "", 503, "could not be read"},
        {"GET", "/buscaHash.html?hash=" + kHeld, "", 503, "could not be read"},
        {"GET", "/api/v1/md5/" + kHeld, "", 503, "could not be read"},
        {"POST", "/api/v1/bulk/sha1", json{kSha1}.dump(), 503, "could not be read"},
        {"GET", "/api/v1/info", "", 503, "could not be read"},
        {"GET", "/healthz", "", 503, "store failing"},
    };
    UnreadableStore store;
    UnknownDigests unknown(10);
    const std::vector<HealthCheck> checks = store_check(store);
    const RouteContext context{"9.9", 0, &unknown, checks, nullptr};
    for (const auto& [method, target, body, status, holds] : asked) {
        const WebResponse response = route({method, target, body}, store, context);
        EXPECT_EQ(response.status, status) << target;
        EXPECT_NE(response.body.find(holds), std::string::npos) << response.body;
    }
    EXPECT_EQ(unknown.total(), 0u);  // a failed look-up is no "not held"
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

// Two descriptors per connection beside those taken otherwise: never a bound
// that wraps round or reaches zero while one would fit.
TEST(Server, ConnectionsWithinTheDescriptorLimit)
{
    const std::tuple<std::uint64_t, std::uint64_t, std::size_t, std::size_t> cases[] = {
        {1024, 68, 512, 478},    {1 << 20, 68, 512, 512}, {256, 264, 512, 0},
        {264, 264, 512, 0},      {265, 264, 512, 0},      {266, 264, 512, 1},
        {100, 68, 512, 16},      {64, 65, 512, 0},        {0, 0, 512, 0},
    };
    for (const auto& [descriptors, taken, wanted, fits] : cases)
        EXPECT_EQ(connections_within(descriptors, taken, wanted), fits)
            << descriptors << " descriptors, " << taken << " taken";
}

}  // namespace
