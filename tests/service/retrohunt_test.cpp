// Retro-hunts over kept samples the test writes with the sample store, and
// their records written as the upload analysis would: the built program's
// retrohunt subcommand, then the routes that run a hunt in the service.
#include "service/analysis/file_digests.h"
#include "service/hunt/hunt_runner.h"
#include "service/samples/sample_store.h"
#include "service/store/store.h"
#include "service/web/routes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <utime.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kMarkRule = "rule Marked { strings: $a = \"HUNT-TEST-MARK\" condition: $a }\n";

std::string bytes_with(std::string_view mark, char fill)
{
    return std::string(mark) + std::string(4000, fill) + "\n";
}

UploadedFile digested(const std::string& bytes, const std::string& name)
{
    FileDigests digests;
    digests.add(bytes);
    UploadedFile file;
    EXPECT_TRUE(digests.end(file));
    file.name = name;
    return file;
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

class RetroHunt : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/retrohunt-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        db_ = (dir_ / "store.db").string();
        ASSERT_TRUE(open_store(db_, StoreMode::ReadWrite, error_)) << error_;
        service_ = open_store(db_, StoreMode::Service, error_);
        ASSERT_TRUE(service_) << error_;
        samples_ = SampleStore::open((dir_ / "samples").string(), {}, error_);
        ASSERT_TRUE(samples_) << error_;

        // A plain sample, a zip with a marked member, an encrypted zip whose
        // member is a zip again, a clean file; each recorded as its upload
        // was, but for the innermost member, which no record names.
        plain_ = bytes_with("HUNT-TEST-MARK plain", 'p');
        payload_ = bytes_with("HUNT-TEST-MARK payload", 'q');
        deep_ = bytes_with("HUNT-TEST-MARK deep", 'r');
        const fs::path work = dir_ / "work";
        write_file(work / "inner" / "payload.exe", payload_);
        write_file(work / "readme.txt", bytes_with("nothing here", 'n'));
        write_file(work / "deep.bin", deep_);
        ASSERT_EQ(shell("cd " + work.string() + " && zip -q -9 bundle.zip inner/payload.exe readme.txt"
                        " && zip -q -9 nest.zip deep.bin && zip -q -P infected locked.zip nest.zip"), 0);
        keep(plain_, "plain.bin", {});
        const std::string bundle = read_file(work / "bundle.zip");
        const UploadedFile payload = digested(payload_, "inner/payload.exe");
        AnalysisRecord member{payload, {clean()}, "", "", "", {}, false, {}};
        ASSERT_EQ(service_->add_analyses(std::span(&member, 1), error_), StoreStatus::Ok) << error_;
        keep(bundle, "bundle.zip", {{"inner/payload.exe", payload.md5, payload.sha1, ""}});
        keep(read_file(work / "locked.zip"), "locked.zip", {});
        keep(bytes_with("clean", 'c'), "clean.txt", {});
    }

    // A Windows program's headers: MZ, and at 0x3C the offset of "PE\0\0".
    static std::string program_stub()
    {
        std::string stub(0x200, '\0');
        stub[0] = 'M', stub[1] = 'Z', stub[0x3C] = '\x80';
        stub.replace(0x80, 4, std::string("PE\0\0", 4));
        return stub;
    }
    void TearDown() override { fs::remove_all(dir_); }

    static ScanRecord clean() { return {"ClamAV", "1.4.6", "27001", "", false, ""}; }

    void keep(const std::string& bytes, const std::string& name, std::vector<MemberListing> members)
    {
        const UploadedFile file = digested(bytes, name);
        AnalysisRecord record{file, {clean()}, "", "", "", {}, !members.empty(), std::move(members)};
        ASSERT_EQ(service_->add_analyses(std::span(&record, 1), error_), StoreStatus::Ok) << error_;
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        ASSERT_TRUE(samples_->keep(file.sha256, {data, bytes.size()}, error_)) << error_;
    }

    int shell(const std::string& command) { return WEXITSTATUS(std::system(command.c_str())); }

    Outcome hunt(const std::string& rules, const std::string& options = "")
    {
        write_file(dir_ / "rules.yar", rules);
        Outcome run;
        run.status = shell(std::string(SERVICE_PROGRAM) + " retrohunt " + db_ + " --samples "
                           + (dir_ / "samples").string() + " " + (dir_ / "rules.yar").string() + " "
                           + options + " >" + (dir_ / "out").string() + " 2>" + (dir_ / "err").string());
        run.out = read_file(dir_ / "out");
        run.err = read_file(dir_ / "err");
        return run;
    }

    static std::string md5_hex(const std::string& bytes) { return to_hex(digested(bytes, "").md5); }

    static std::string today()
    {
        char day[11];
        const std::time_t now = std::time(nullptr);
        std::strftime(day, sizeof day, "%Y-%m-%d", std::gmtime(&now));
        return day;
    }

    // Every sample's file dated long ago, as a folder copied without its times.
    void age_samples()
    {
        for (const auto& entry : fs::recursive_directory_iterator(dir_ / "samples"))
            if (entry.is_regular_file()) {
                const utimbuf old{978307200, 978307200};  // 2001-01-01
                ASSERT_EQ(::utime(entry.path().c_str(), &old), 0);
            }
    }

    fs::path dir_;
    std::string db_, error_, plain_, payload_, deep_;
    std::unique_ptr<Store> service_;
    std::unique_ptr<SampleStore> samples_;
};

// The matches, one line each, as a set: the threads print in no set order.
std::set<std::string> lines(const std::string& text)
{
    std::set<std::string> out;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.insert(text.substr(start, end - start));
    return out;
}

TEST_F(RetroHunt, CommandFindsSamplesAndMembersAtAnyDepth)
{
    const Outcome run = hunt(kMarkRule);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string seen = today() + "T";
    const std::set<std::string> got = lines(run.out);
    ASSERT_EQ(got.size(), 3u) << run.out;
    const auto line = [&](const std::string& bytes) {
        const auto it = got.lower_bound(md5_hex(bytes));
        return it == got.end() ? std::string() : *it;
    };
    // The member's line names its own MD5, name and first sighting.
    EXPECT_TRUE(line(payload_).starts_with(md5_hex(payload_) + "\tMarked\tinner/payload.exe\t" + seen))
        << run.out;
    EXPECT_TRUE(line(plain_).starts_with(md5_hex(plain_) + "\tMarked\tplain.bin\t" + seen)) << run.out;
    // Behind the customary password, in a zip in a zip, and named by its path.
    EXPECT_EQ(line(deep_), md5_hex(deep_) + "\tMarked\tdeep.bin\t-") << run.out;
}

TEST_F(RetroHunt, ExitStatusSaysMatchedNoneOrError)
{
    Outcome run = hunt("rule Absent { strings: $a = \"NOT-IN-ANY-SAMPLE\" condition: $a }\n");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, "");

    run = hunt("rule Broken { condition: no_such_thing }\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("does not compile: line 1"), std::string::npos) << run.err;

    // A damaged sample is an error, though what was found is printed.
    write_file(dir_ / "samples" / "ab" / (std::string("ab") + std::string(62, '0') + ".zst"), "not zstd");
    run = hunt(kMarkRule);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(lines(run.out).size(), 3u) << run.out;
    EXPECT_NE(run.err.find("1 of 5 samples could not be hunted through"), std::string::npos) << run.err;

    fs::remove_all(dir_ / "samples");
    run = hunt(kMarkRule);
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(fs::exists(dir_ / "samples"));
}

// A self-extracting program is taken apart; one that holds no archive is
// scanned as it is.
TEST_F(RetroHunt, ProgramsThatHoldAnArchiveAreTakenApart)
{
    const fs::path work = dir_ / "work";
    const std::string inside = bytes_with("HUNT-TEST-MARK in a program", 'x');
    write_file(work / "tool" / "mark.dll", inside);
    write_file(work / "stub.exe", program_stub());
    ASSERT_EQ(shell("cd " + work.string() + " && zip -q -9 sfx.zip tool/mark.dll"
                    " && cat stub.exe sfx.zip > setup.exe && zip -q -A setup.exe"), 0);
    keep(read_file(work / "setup.exe"), "setup.exe", {});
    keep(program_stub() + "HUNT-TEST-MARK a plain program", "plain.exe", {});
    const std::set<std::string> got = lines(hunt(kMarkRule).out);
    EXPECT_EQ(got.size(), 5u);
    EXPECT_TRUE(got.contains(md5_hex(inside) + "\tMarked\ttool/mark.dll\t-"));
}

// A sample whose bytes changed on disk is an error, with or without the
// frame's own checksum, and never a match.
TEST_F(RetroHunt, DamagedSamplesAreErrors)
{
    std::string bytes = "HUNT-TEST-MARK damaged ";
    for (unsigned i = 0; i < 4000; ++i)
        bytes += static_cast<char>((i * 2654435761u) >> 13);  // incompressible: kept raw
    const UploadedFile file = digested(bytes, "");
    const std::string path = samples_->path_of(file.sha256);
    write_file(dir_ / "raw.bin", bytes);
    fs::create_directories(fs::path(path).parent_path());
    for (const std::string check : {"--check", "--no-check"}) {
        SCOPED_TRACE(check);
        ASSERT_EQ(shell("zstd -q -f " + check + " " + (dir_ / "raw.bin").string() + " -o " + path), 0);
        std::string packed = read_file(path);
        packed[packed.size() / 2] ^= 0x20;
        write_file(path, packed);
        const Outcome run = hunt(kMarkRule);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(lines(run.out).size(), 3u) << run.out;
        EXPECT_NE(run.err.find("damaged"), std::string::npos) << run.err;
    }
}

TEST_F(RetroHunt, SinceTakesSamplesKeptOrFirstSeenFromThatDay)
{
    EXPECT_EQ(hunt(kMarkRule, "--since 2999-01-01").status, 1);
    EXPECT_EQ(lines(hunt(kMarkRule, "--since " + today()).out).size(), 3u);
    EXPECT_EQ(hunt(kMarkRule, "--since 2024-02-30").status, 2);

    // Kept long ago by the files' dates: the store's first sighting counts,
    // and a sample no record names is left out.
    const std::string stray = bytes_with("HUNT-TEST-MARK stray", 's');
    const UploadedFile file = digested(stray, "");
    ASSERT_TRUE(samples_->keep(file.sha256, {reinterpret_cast<const unsigned char*>(stray.data()),
                                             stray.size()}, error_));
    age_samples();
    EXPECT_EQ(lines(hunt(kMarkRule, "--since " + today()).out).size(), 3u);
    EXPECT_EQ(lines(hunt(kMarkRule, "--since 2000-12-31").out).size(), 4u);
}

// The routes, in the process: the runner's own stores, as serve opens them.
class HuntRoutes : public RetroHunt {
protected:
    void SetUp() override
    {
        RetroHunt::SetUp();
        if (HasFatalFailure())
            return;
        live_ = open_sqlite_live_store(db_, error_);
        ASSERT_TRUE(live_) << error_;
        auto runner_live = open_sqlite_live_store(db_, error_);
        auto runner_store = open_store(db_, StoreMode::ReadOnly, error_);
        ASSERT_TRUE(runner_live && runner_store) << error_;
        reader_ = open_store(db_, StoreMode::ReadOnly, error_);
        runner_.emplace(*samples_, std::move(runner_live), std::move(runner_store), ExtractLimits{},
                        [](const std::string&) {});
        context_.sessions = live_.get();
        context_.hunts = &*runner_;
    }
    void TearDown() override
    {
        runner_.reset();
        RetroHunt::TearDown();
    }

    WebResponse ask(const std::string& method, const std::string& target, const std::string& body = "",
                    bool operator_side = true)
    {
        WebRequest request{method, target, body, operator_side};
        return route(request, *reader_, context_);
    }

    nlohmann::json state(const std::string& id)
    {
        const WebResponse response = ask("GET", "/api/v1/retrohunt/" + id);
        EXPECT_EQ(response.status, 200u) << response.body;
        return nlohmann::json::parse(response.body, nullptr, false);
    }

    std::unique_ptr<LiveStore> live_;
    std::unique_ptr<Store> reader_;
    std::optional<HuntRunner> runner_;
    RouteContext context_;
};

TEST_F(HuntRoutes, StartReportAndRefuse)
{
    // Only on the operator's address.
    EXPECT_EQ(ask("POST", "/api/v1/retrohunt", kMarkRule, false).status, 404u);
    EXPECT_EQ(ask("GET", "/api/v1/retrohunt", "").status, 405u);
    WebResponse response = ask("POST", "/api/v1/retrohunt", "rule Broken { condition: no_such_thing }");
    EXPECT_EQ(response.status, 400u);
    EXPECT_NE(response.body.find("line 1: "), std::string::npos) << response.body;
    EXPECT_NE(response.body.find("no_such_thing"), std::string::npos) << response.body;

    // Another instance's hunt runs: one at a time, until it falls silent.
    const std::string other(32, 'e');
    bool started = false;
    const std::int64_t now = std::time(nullptr);
    ASSERT_EQ(live_->start_hunt(other, now, now - 60, now - 1000, started, error_), StoreStatus::Ok);
    ASSERT_TRUE(started);
    EXPECT_EQ(ask("POST", "/api/v1/retrohunt", kMarkRule).status, 409u);
    EXPECT_EQ(state(other)["state"], "running");
    ASSERT_EQ(live_->update_hunt(other, {"running", 0, 9, 0, now - kHuntSilence.count() - 1, 0, {}}, {},
                                 error_), StoreStatus::Ok);
    EXPECT_EQ(state(other)["state"], "interrupted");

    response = ask("POST", "/api/v1/retrohunt", kMarkRule);
    ASSERT_EQ(response.status, 202u) << response.body;
    const std::string id = nlohmann::json::parse(response.body)["id"];
    EXPECT_EQ(response.location, "/api/v1/retrohunt/" + id);
    nlohmann::json hunt;
    for (auto until = std::chrono::steady_clock::now() + 30s;
         (hunt = state(id))["state"] == "running" && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(hunt["state"], "done");
    EXPECT_EQ(hunt["progress"]["done"], 4);
    EXPECT_EQ(hunt["progress"]["total"], 4);
    ASSERT_EQ(hunt["matches"].size(), 3u) << hunt.dump();
    bool member = false;
    for (const auto& match : hunt["matches"])
        member = member || (match["md5"] == md5_hex(payload_) && match["name"] == "inner/payload.exe"
                            && match["rule"] == "Marked");
    EXPECT_TRUE(member) << hunt.dump();
    EXPECT_EQ(ask("GET", "/api/v1/retrohunt/" + std::string(32, 'f')).status, 404u);
    EXPECT_EQ(ask("GET", "/api/v1/retrohunt/../../x").status, 404u);
}

}  // namespace
