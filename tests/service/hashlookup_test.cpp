// What hash-lookup clients are answered, without a socket, and the Bloom
// filter's arithmetic. The filter's bytes are read back by independent
// readers in hashlookup_clients_test.py.
#include "service/bloom/bloom_filter.h"
#include "service/web/api.h"
#include "service/web/routes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

using nlohmann::json;

TEST(BloomFilter, FnvAndSizingAsTheReadersHaveThem)
{
    const std::pair<std::string, std::uint64_t> fnv[] = {
        {"", 0xcbf29ce484222325ull}, {"a", 0xaf63bd4c8601b7beull}, {"test", 0x8c093f7e9fccbf69ull}};
    for (const auto& [text, hash] : fnv)
        EXPECT_EQ(fnv1_64({reinterpret_cast<const unsigned char*>(text.data()), text.size()}), hash)
            << text;

    // Values, p; then n, m and k as the readers compute them again. A bit
    // count that is a power of two (512, 64, 2^20) moves the capacity up.
    const std::tuple<std::uint64_t, double, std::uint64_t, std::uint64_t, std::uint64_t> sizes[] = {
        {1000, 1e-4, 1000, 19170, 14},      {10'000'000, 1e-4, 10'000'000, 191701167, 14},
        {0, 1e-4, 1, 19, 14},               {3, 0.01, 3, 28, 7},
        {107, 0.1, 108, 517, 4},            {45, 0.5, 46, 66, 1},
        {109397, 0.01, 109398, 1048586, 7},
    };
    for (const auto& [values, p, n, m, k] : sizes) {
        const BloomSizing sizing = bloom_sizing(values, p);
        EXPECT_EQ(std::tie(sizing.n, sizing.m, sizing.k), std::tie(n, m, k)) << values << " " << p;
    }
}

TEST(BloomFilter, LayoutAndCounting)
{
    BloomFilter filter(bloom_sizing(3, 0.01));
    const std::string value(40, 'A');
    filter.add(value);
    filter.add(value);  // sets no new bit: not counted
    EXPECT_TRUE(filter.contains(value));
    EXPECT_FALSE(filter.contains(std::string(40, 'B')));
    EXPECT_EQ(filter.added(), 1u);

    const std::string bytes = filter.bytes();
    ASSERT_EQ(bytes.size(), 48u + 8u);  // 28 bits: one word
    const auto field = [&](std::size_t i) {
        std::uint64_t read = 0;
        for (int b = 7; b >= 0; --b)
            read = read << 8 | static_cast<unsigned char>(bytes[8 * i + static_cast<std::size_t>(b)]);
        return read;
    };
    double p = 0;
    const std::uint64_t p_bits = field(2);
    std::memcpy(&p, &p_bits, sizeof p);
    EXPECT_EQ(std::make_tuple(field(0), field(1), p, field(3), field(4), field(5)),
              std::make_tuple(1ull, 3ull, 0.01, 7ull, 28ull, 1ull));
    std::uint64_t expected_word = 0;
    for (const std::uint64_t bit : filter.positions(value))
        expected_word |= std::uint64_t{1} << bit;
    EXPECT_EQ(field(6), expected_word);

    // Many at once, as an export adds them, or one by one: the same file.
    BloomFilter one_by_one(bloom_sizing(1000, 0.001)), at_once(one_by_one.sizing());
    std::vector<std::string> texts;
    for (int i = 0; i < 1000; ++i)
        texts.push_back(std::to_string(i % 900));  // some twice
    const std::vector<std::string_view> values(texts.begin(), texts.end());
    for (const std::string_view text : values)
        one_by_one.add(text);
    at_once.add_all(values);
    EXPECT_EQ(at_once.bytes(), one_by_one.bytes());
    EXPECT_EQ(at_once.added(), 900u);
}

const std::string kBad     = "0123456789abcdef0123456789abcdef";
const std::string kSha1    = "00112233445566778899aabbccddeeff00112233";
const std::string kSha256  = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kGood    = "00000000000000000000000000000001";  // no SHA-1 known
const std::string kArchive = "00000000000000000000000000000002";
const std::string kArchiveSha1 = "ab00000000000000000000000000000000000000";
const std::string kMissing = "ffffffffffffffffffffffffffffffff";
const std::string kLoose1  = std::string(40, '1');  // parents not held
const std::string kLoose2  = std::string(40, '2');

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

template <typename Bytes>
Bytes bytes(const std::string& hex)
{
    Bytes out{};
    parse_hex(hex, out);
    return out;
}

// The real store, but for the archive links, which another part records:
// here a fixed table of them, paged as the store pages them.
class LinkedStore : public Store {
public:
    explicit LinkedStore(std::unique_ptr<Store> real) : real_(std::move(real)) {}

    std::map<std::pair<std::string, LinkDirection>, std::vector<std::string>> links;

    StoreStatus archive_links(const Sha1Bytes& sha1, LinkDirection direction,
                              const std::optional<Sha1Bytes>& after, std::size_t limit,
                              LinkPage& out, std::string&) override
    {
        out = {};
        const auto found = links.find({to_hex(sha1), direction});
        if (found == links.end())
            return StoreStatus::Ok;
        out.total = found->second.size();
        for (const std::string& hex : found->second)
            if ((!after || hex > to_hex(*after)) && out.sha1s.size() < limit)
                out.sha1s.push_back(bytes<Sha1Bytes>(hex));
        return StoreStatus::Ok;
    }
    StoreStatus find_md5(const Md5Bytes& d, FileRecord& o, std::string& e) override { return real_->find_md5(d, o, e); }
    StoreStatus find_sha1(const Sha1Bytes& d, FileRecord& o, std::string& e) override { return real_->find_sha1(d, o, e); }
    StoreStatus find_sha256(const Sha256Bytes& d, FileRecord& o, std::string& e) override { return real_->find_sha256(d, o, e); }
    StoreStatus counts(std::vector<SourceCount>& o, std::string& e) override { return real_->counts(o, e); }
    StoreStatus scan_count(std::uint64_t& o, std::string& e) override { return real_->scan_count(o, e); }
    StoreStatus add_upload(const UploadedFile& f, const ScanRecord* s, std::string& e) override { return real_->add_upload(f, s, e); }
    StoreStatus add_analyses(std::span<const AnalysisRecord> r, std::string& e) override { return real_->add_analyses(r, e); }
    StoreStatus probe(std::string& e) override { return real_->probe(e); }
    StoreStatus files_by_verdict(std::array<std::uint64_t, 3>& o, std::string& e) override { return real_->files_by_verdict(o, e); }
    std::unique_ptr<StoreImport> begin_import(std::string_view s, std::string& e) override { return real_->begin_import(s, e); }
    StoreStatus count_files(const FileFilter& f, std::uint64_t& o, std::string& e) override { return real_->count_files(f, o, e); }
    StoreStatus walk_files(const FileFilter& f, const std::function<bool(std::span<const HeldDigests>)>& v,
                           std::string& e) override { return real_->walk_files(f, v, e); }
    std::string engine_version() const override { return real_->engine_version(); }
    int schema_version() const override { return real_->schema_version(); }

private:
    std::unique_ptr<Store> real_;
};

class HashlookupRoutes : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/hashlookup-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const std::string path = (dir_ / "store.db").string();
        std::string error;
        auto real = open_sqlite_store(path, StoreMode::ReadWrite, error);
        ASSERT_TRUE(real) << error;
        ImportEntry bad{bytes<Md5Bytes>(kBad), bytes<Sha1Bytes>(kSha1), bytes<Sha256Bytes>(kSha256),
                        1234, "/bin/evil\xff", Verdict::Bad, "Family<x>"};
        ImportEntry good{bytes<Md5Bytes>(kGood), {}, {}, {}, "good.txt", Verdict::Good, ""};
        ImportEntry archive{bytes<Md5Bytes>(kArchive), bytes<Sha1Bytes>(kArchiveSha1), {}, 9,
                            "pack.zip", Verdict::Unknown, ""};
        for (const auto& [source, entries] :
             {std::pair{"list one", std::vector{bad, good, archive}},
              std::pair{"RDS_2024.03.1_modern", std::vector{good}},
              std::pair{"RDS_2023.12.1_legacy", std::vector{good}}}) {
            auto import = real->begin_import(source, error);
            ASSERT_TRUE(import && import->add_batch(entries, error) == StoreStatus::Ok &&
                        import->commit(error) == StoreStatus::Ok) << error;
        }
        FileRecord record;
        ASSERT_EQ(real->find_md5(bytes<Md5Bytes>(kGood), record, error), StoreStatus::Ok);
        for (const SourceListing& source : record.sources) {
            std::tm parts{};
            strptime(source.imported.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
            const std::string seconds = std::to_string(timegm(&parts));
            first_import_ = first_import_.empty() ? seconds : std::min(first_import_, seconds);
        }
        store_ = std::make_unique<LinkedStore>(std::move(real));
        store_->links[{kSha1, LinkDirection::Parents}] = {kLoose1, kLoose2, kArchiveSha1};
        store_->links[{kArchiveSha1, LinkDirection::Children}] = {kSha1};
        sessions_ = open_sqlite_live_store(path, error);
        ASSERT_TRUE(sessions_) << error;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path        dir_;
    std::unique_ptr<LinkedStore> store_;
    std::unique_ptr<LiveStore>   sessions_;
    std::string                  first_import_;
};

// Each request, the session header it carries, and the exact answer:
// status and body ({T} stands for the first import's time; an empty body is
// the last one given again, "*" any).
TEST_F(HashlookupRoutes, AnswerAsTheirClientsExpect)
{
    const std::string T = "{T}";
    const std::string bad_record =
        "{\"FileName\":\"/bin/evil\xef\xbf\xbd\"," R"("FileSize":"1234","MD5":")" + upper(kBad) +
        R"(","SHA-1":")" + upper(kSha1) + R"(","SHA-256":")" + upper(kSha256) +
        R"(","source":"list one","insert-timestamp":"{T}","KnownMalicious":"list one: Family<x>")";
    const std::string archive_record = R"({"FileName":"pack.zip","FileSize":"9","MD5":")" +
        upper(kArchive) + R"(","SHA-1":")" + upper(kArchiveSha1) +
        R"(","source":"list one","insert-timestamp":"{T}"})";
    const std::string good_record = R"({"FileName":"good.txt","MD5":")" + upper(kGood) +
        R"(","source":"RDS_2023.12.1_legacy, RDS_2024.03.1_modern, list one","insert-timestamp":"{T}"})";
    const std::string format = R"({"message":"JSON format incorrect. An array of hashes in the key 'hashes' is expected."})";
    const std::tuple<std::string, std::string, std::string, std::string, unsigned, std::string> cases[] = {
        {"GET", "/lookup/md5/" + kBad, "", "", 200,
         bad_record + R"(,"hashlookup:parent-total":3,"parents":[{"SHA-1":")" + upper(kLoose1) +
         R"("},{"SHA-1":")" + upper(kLoose2) + R"("},)" + archive_record + R"(],"hashlookup:trust":45})"},
        {"GET", "//lookup/sha1/" + upper(kSha1) + "/", "", "", 200, ""},  // the same record
        {"GET", "/lookup/sha256/" + kSha256, "", "", 200, ""},
        {"HEAD", "/lookup/md5/" + kArchive, "", "", 200, archive_record.substr(0, archive_record.size() - 1) +
         R"(,"hashlookup:trust":50})"},
        {"GET", "/lookup/md5/" + upper(kGood), "", "s1", 200, good_record.substr(0, good_record.size() - 1) +
         R"(,"hashlookup:trust":50})"},
        {"GET", "/lookup/md5/" + upper(kMissing), "", "s1", 404,
         R"({"message":"Non existing MD5","query":")" + upper(kMissing) + R"("})"},
        {"GET", "/lookup/sha1/" + kLoose1, "", "", 404,
         R"({"message":"Non existing SHA-1","query":")" + kLoose1 + R"("})"},
        {"GET", "/lookup/sha256/" + std::string(64, 'e'), "", "", 404,
         R"({"message":"Non existing SHA-256","query":")" + std::string(64, 'e') + R"("})"},
        {"GET", "/lookup/md5/" + kSha1, "", "", 400,
         R"({"message":"MD5 value incorrect, expecting a MD5 value in hex format"})"},
        {"GET", "/lookup/sha1/" + kBad, "", "", 400,
         R"({"message":"SHA1 value incorrect, expecting a SHA1 value in hex format"})"},
        {"GET", "/lookup/sha256/zz", "", "", 400,
         R"({"message":"SHA-256 value incorrect, expecting a SHA-256 value in hex format"})"},
        {"POST", "/lookup/md5/" + kBad, "", "", 405,
         R"({"message":"The method is not allowed for the requested URL."})"},
        {"POST", "/bulk/md5", json{{"hashes", {kMissing, upper(kGood), "nonsense", 7, kBad}}}.dump(), "", 200,
         "[" + good_record + "," + bad_record + "}]"},
        {"POST", "/bulk/sha1", json{{"hashes", {kArchiveSha1, kBad}}}.dump(), "", 200, "[" + archive_record + "]"},
        {"POST", "/bulk/md5", json{{"hashes", std::vector(1000, kMissing)}}.dump(), "", 200, "[]"},
        {"POST", "/bulk/md5", json{{"hashes", std::vector(1001, kMissing)}}.dump(), "", 400,
         R"({"message":"At most 1000 hashes at once"})"},
        {"POST", "/bulk/md5", R"({"hash":[]})", "", 404, format},
        {"POST", "/bulk/md5", R"([")" + kBad + R"("])", "", 404, format},
        {"POST", "/bulk/sha1", R"({"hashes":")" + kSha1 + R"("})", "", 404, format},
        {"POST", "/bulk/md5", "{nope", "", 400, R"({"message":"The body is not JSON"})"},
        {"GET", "/bulk/md5", "", "", 405, R"({"message":"The method is not allowed for the requested URL."})"},
        {"GET", "/info", "", "", 200,
         R"({"nsrl-version":"RDS_2024.03.1_modern","stat:hashlookup_total_keys":5,"hashlookup-version":"1.2",)"
         R"("service":"brantwicker-service","version":"9.9"})"},
        {"GET", "/stats/top", "", "", 400, R"({"message":"Public statistics not enabled"})"},
        {"GET", "/session/create/s1", "", "", 200,
         R"({"message":"Session s1 created and session will expire in 600 seconds"})"},
        {"GET", "/lookup/sha1/" + kSha1, "", "s1", 200, "*"},
        {"GET", "/lookup/sha256/" + std::string(64, 'e'), "", "s1", 404, "*"},
        {"GET", "/session/get/s1", "", "", 200,
         R"({"nx":[")" + std::string(64, 'E') + R"("],"exist":[")" + upper(kSha1) + R"("],"info":""})"},
        {"GET", "/session/get/s2", "", "", 404, R"({"message":"Non-existing session"})"},
        {"GET", "/session/create/" + std::string(121, 'n'), "", "", 400,
         R"({"message":"Session name too long: at most 120 characters"})"},
        {"GET", "/session/create/" + std::string(120, 'n'), "", "", 200,
         R"({"message":"Session )" + std::string(120, 'n') + R"( created and session will expire in 600 seconds"})"},
        {"GET", "/parents/" + kSha1 + "/2/0", "", "", 200,
         R"({"parents":[")" + kLoose1 + R"(",")" + kLoose2 + R"("],"cursor":")" + kLoose2 + R"(","total":3})"},
        {"GET", "/parents/" + kSha1 + "/2/" + kLoose2, "", "", 200,
         R"({"parents":[")" + upper(kArchiveSha1) + R"("],"cursor":"0","total":3})"},
        {"GET", "/parents/" + kSha1 + "/3/0", "", "", 200,
         R"({"parents":[")" + kLoose1 + R"(",")" + kLoose2 + R"(",")" + upper(kArchiveSha1) +
         R"("],"cursor":"0","total":3})"},
        {"GET", "/children/" + kArchiveSha1 + "/10/0", "", "", 200,
         R"({"children":[")" + upper(kSha1) + R"("],"cursor":"0","total":1})"},
        {"GET", "/parents/" + kArchiveSha1 + "/10/0", "", "", 404,
         R"({"message":"The SHA1 value has no known parent."})"},
        {"GET", "/children/" + kSha1 + "/10/0", "", "", 404, R"({"message":"The SHA1 value has no known child."})"},
        {"GET", "/children/" + kBad + "/10/0", "", "", 400,
         R"({"message":"SHA1 value incorrect, expecting a SHA1 value in hex format"})"},
        {"GET", "/children/" + kSha1 + "/0/0", "", "", 400,
         R"({"message":"The count must be a whole number from 1 to 1000"})"},
        {"GET", "/children/" + kSha1 + "/10/x", "", "", 400,
         R"({"message":"The cursor must be 0 or a SHA1 value in hex format"})"},
        {"GET", "/bloom/known-sha1.bloom", "", "", 404, R"({"message":"The Bloom filter is not offered here"})"},
        {"GET", "/lookup/crc32/00", "", "", 404, R"({"message":"Not found"})"},
    };
    UnknownDigests unknown(10);
    RouteContext context{"9.9", 0, &unknown, {}, nullptr};
    context.sessions = sessions_.get();
    context.session_ttl = std::chrono::seconds(600);
    std::string previous;
    for (const auto& [method, target, body, session, status, expected] : cases) {
        SCOPED_TRACE(method + " " + target.substr(0, 90));
        WebRequest request{method, target, body};
        request.session = session;
        const WebResponse response = route(request, *store_, context);
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.content_type, "application/json");
        std::string wanted = expected.empty() && status == 200 ? previous : expected;
        for (std::size_t at; (at = wanted.find(T)) != std::string::npos;)
            wanted.replace(at, T.size(), first_import_);
        if (expected != "*" && (!expected.empty() || status == 200)) {
            EXPECT_EQ(response.body, wanted + "\n");
        }
        if (!expected.empty() && expected != "*")
            previous = expected;
    }
    // Misses counted for the operator's /stats/top, with what bulk asked.
    WebRequest stats{"GET", "//stats/top/", ""};
    stats.operator_side = true;
    EXPECT_EQ(route(stats, *store_, context).body,
              R"({"nx":[[")" + upper(kMissing) + R"(",1002],[")" + std::string(64, 'E') + R"(",2],[")" +
                  upper(kLoose1) + R"(",1]],"exist":[]})" "\n");
    context.public_stats = true;
    EXPECT_EQ(route({"GET", "/stats/top", ""}, *store_, context).status, 200u);

    const json described = json::parse(route({"GET", "/api/v1/openapi.json", ""}, *store_, context).body);
    for (const char* path : {"/lookup/md5/{digest}", "/lookup/sha1/{digest}", "/lookup/sha256/{digest}",
                             "/bulk/md5", "/bulk/sha1", "/info", "/stats/top", "/session/create/{name}",
                             "/session/get/{name}", "/parents/{sha1}/{count}/{cursor}",
                             "/children/{sha1}/{count}/{cursor}", "/bloom/known-sha1.bloom"})
        EXPECT_TRUE(described["paths"].contains(path)) << path;
}

// The served filter: the bytes made, with validators that spare a client
// the download when nothing changed.
TEST_F(HashlookupRoutes, BloomFilterIsServedWithValidators)
{
    PublishedBloom published;
    RouteContext context{"9.9", 0, nullptr, {}, nullptr};
    context.bloom = &published;
    EXPECT_EQ(route({"GET", "/bloom/known-sha1.bloom", ""}, *store_, context).status, 503u);
    published.publish(std::make_shared<const PublishedFile>(PublishedFile{"bits", "\"1\"", "Mon"}));
    const WebResponse whole = route({"GET", "/bloom/known-sha1.bloom", ""}, *store_, context);
    EXPECT_EQ(std::tie(whole.status, whole.body, whole.etag, whole.last_modified),
              std::make_tuple(200u, std::string("bits"), std::string("\"1\""), std::string("Mon")));
    WebRequest again{"GET", "/bloom/known-sha1.bloom", ""};
    again.if_none_match = "\"1\"";
    const WebResponse unchanged = route(again, *store_, context);
    EXPECT_EQ(std::tie(unchanged.status, unchanged.body), std::make_tuple(304u, std::string()));
    again.if_none_match = "\"0\"";
    EXPECT_EQ(route(again, *store_, context).status, 200u);
}

TEST(HashlookupTrust, FromParentsAndMalice)
{
    const std::tuple<std::uint64_t, bool, int> cases[] = {
        {0, false, 50}, {0, true, 30}, {3, true, 45}, {10, false, 100}, {14, true, 100},
        {13, true, 95}, {1'000'000, false, 100}, {1'000'000, true, 100}};
    for (const auto& [parents, malicious, trust] : cases)
        EXPECT_EQ(hashlookup_trust(parents, malicious), trust) << parents << " " << malicious;
}

// Bulk bodies may hold as many digests of any kind as a bulk may ask, each
// in a pretty-printed array, and no more than a bound.
TEST(BulkBodyBound, FollowsFromTheDigestBound)
{
    for (const auto& [path, digits] : {std::pair{"/api/v1/bulk/sha256", 64}, {"/api/v1/bulk/md5", 32},
                                       {"/bulk/sha1", 40}, {"//bulk/md5/", 32}}) {
        const json asked = std::vector(kBulkMax, std::string(static_cast<std::size_t>(digits), 'a'));
        const std::size_t pretty = json{{"hashes", asked}}.dump(4).size();
        EXPECT_GE(request_body_limit(path, 65536), pretty) << path;
        EXPECT_LT(request_body_limit(path, 65536), 4 * pretty) << path;
    }
    EXPECT_EQ(request_body_limit("/qn/en/consultamd5", 65536), 65536u);
    EXPECT_EQ(request_body_limit("/api/v1/bulk/sha512", 1000), 1000u);
}

}  // namespace
