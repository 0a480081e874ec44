// Files, streams, standard input, the status texts and the verification.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "digest/md5.h"

namespace {

namespace fs = std::filesystem;

std::string hex_of(const Md5Digest& d) {
    char text[kMd5TextSize];
    return md5_hex(&d, text);
}

std::string openssl_hex(const std::string& data) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int raw_len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), raw, &raw_len, EVP_md5(), nullptr), 1);
    Md5Digest d{};
    std::memcpy(d.bytes, raw, sizeof d.bytes);
    return hex_of(d);
}

// Stands for "never written" in a digest that a failing call must not touch.
Md5Digest untouched() {
    Md5Digest d;
    std::memset(d.bytes, 0xEE, sizeof d.bytes);
    return d;
}

bool is_untouched(const Md5Digest& d) {
    return hex_of(d) == hex_of(untouched());
}

// Standard output of `fn`; the library writes with printf, so both ends flush.
template <class Fn>
std::string stdout_of(Fn fn) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class Md5Inputs : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) /
               ("md5_inputs_" + std::to_string(::getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write_file(const std::string& name, const std::string& content) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

    static std::string pattern(std::size_t n) {
        std::string s(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            s[i] = static_cast<char>((i * 7919) >> 3);
        }
        return s;
    }

    fs::path dir_;
};

TEST_F(Md5Inputs, FilesAroundTheChunkSize) {
    for (const std::size_t size : {0U, 1U, 1023U, 1024U, 1025U, 2048U, 70000U}) {
        const std::string content = pattern(size);
        const std::string path = write_file(std::to_string(size) + ".bin", content);
        Md5Digest d = untouched();
        EXPECT_EQ(md5_file_digest(path.c_str(), &d), MD5_OK) << size;
        EXPECT_EQ(hex_of(d), openssl_hex(content)) << size;
    }
}

TEST_F(Md5Inputs, UnopenablePathPrintsOneLineAndLeavesTheDigest) {
    const std::string missing = (dir_ / "no such file").string();
    const std::string expected_for_missing =
        "Error: FileName='" + missing + "' -- " + std::strerror(ENOENT) + "\n";
    const std::string expected_for_empty =
        std::string("Error: FileName='' -- ") + std::strerror(ENOENT) + "\n";
    struct Case { std::string path, line; };
    for (const Case& c : {Case{missing, expected_for_missing}, Case{"", expected_for_empty}}) {
        Md5Digest d = untouched();
        int status = -1;
        EXPECT_EQ(stdout_of([&] { status = md5_file_digest(c.path.c_str(), &d); }), c.line);
        EXPECT_EQ(status, MD5_OPEN_ERROR);
        EXPECT_TRUE(is_untouched(d));
    }
}

// A directory opens but cannot be read: a read error on a named file.
TEST_F(Md5Inputs, ReadErrorOnANamedFileIsStatus3WithoutALine) {
    Md5Digest d = untouched();
    int status = -1;
    EXPECT_EQ(stdout_of([&] { status = md5_file_digest(dir_.c_str(), &d); }), "");
    EXPECT_EQ(status, MD5_IO_ERROR);
    EXPECT_TRUE(is_untouched(d));
}

TEST_F(Md5Inputs, StreamIsReadFromWhereItStandsAndLeftOpenAtItsEnd) {
    const std::string content = pattern(5000);
    std::FILE* f = std::fopen(write_file("s", content).c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, 100, SEEK_SET), 0);
    Md5Digest d = untouched();
    EXPECT_EQ(md5_stream_digest(f, &d), MD5_OK);
    EXPECT_EQ(hex_of(d), openssl_hex(content.substr(100)));
    EXPECT_EQ(std::ftell(f), 5000);
    std::fclose(f);
}

TEST_F(Md5Inputs, StreamWithItsErrorIndicatorSetIsStatus3) {
    const std::string path = write_file("e", pattern(3000));
    struct Case { const char* mode; bool set_error_first; };
    for (const Case c : {Case{"wb", false}, Case{"rb", true}}) {
        std::FILE* f = std::fopen(path.c_str(), c.mode);
        ASSERT_NE(f, nullptr);
        if (c.set_error_first) {
            EXPECT_EQ(std::fputc('x', f), EOF);  // writing a read-only stream
            ASSERT_NE(std::ferror(f), 0);
        }
        Md5Digest d = untouched();
        EXPECT_EQ(md5_stream_digest(f, &d), MD5_IO_ERROR) << c.mode;
        EXPECT_TRUE(is_untouched(d)) << c.mode;
        EXPECT_NE(std::ferror(f), 0) << c.mode;
        std::fclose(f);
    }
}

TEST_F(Md5Inputs, NullPathDigestsStandardInputToItsEndAndLeavesItOpen) {
    const std::string content = pattern(10000);
    const int file = ::open(write_file("in", content).c_str(), O_RDONLY);
    ASSERT_GE(file, 0);
    const int saved = ::dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::dup2(file, STDIN_FILENO), STDIN_FILENO);
    ::close(file);
    std::clearerr(stdin);

    Md5Digest d = untouched();
    const int status = md5_file_digest(nullptr, &d);
    const bool fd_open = ::fcntl(STDIN_FILENO, F_GETFD) != -1;
    const int next = std::fgetc(stdin);

    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    std::clearerr(stdin);
    EXPECT_EQ(status, MD5_OK);
    EXPECT_EQ(hex_of(d), openssl_hex(content));
    EXPECT_TRUE(fd_open);
    EXPECT_EQ(next, EOF);
}

TEST(Md5Status, TextsAndTheFallbackForUnknownCodes) {
    struct Case { std::uint32_t code; const char* text; };
    const Case cases[] = {
        {0, "md5:000:Invalid Message Code."},
        {1, "md5:001:Syntax Error -- check help for usage."},
        {2, "md5:002:File Error Opening/Creating Files."},
        {3, "md5:003:File I/O Error -- Note: file cleanup not done."},
        {4, "md5:004:Missing input -- nothing to hash."},
        {5, "md5:005:Error on output file close."},
        {6, "md5:006:Syntax: Too many arguments."},
        {7, "md5:007:Test Failure."},
        {8, "md5:000:Invalid Message Code."},
        {0xFFFFFFFFU, "md5:000:Invalid Message Code."},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(md5_status_text(c.code), c.text) << c.code;
    }
}

TEST_F(Md5Inputs, VerifyPrintsBothTextsAndComparesExactly) {
    const std::string path = write_file("v", "abc");
    const std::string actual = "900150983cd24fb0d6963f7d28e17f72";
    struct Case { std::string expected; int status; };
    const Case cases[] = {
        {actual, MD5_OK},
        {"900150983CD24FB0D6963F7D28E17F72", MD5_TEST_FAILURE},
        {"900150983cd24fb0d6963f7d28e17f73", MD5_TEST_FAILURE},
        {actual + "0", MD5_TEST_FAILURE},
    };
    for (const Case& c : cases) {
        int status = -1;
        const std::string out =
            stdout_of([&] { status = md5_verify_file(path.c_str(), c.expected.c_str()); });
        EXPECT_EQ(status, c.status) << c.expected;
        EXPECT_EQ(out, c.expected + " << Expected Hash Value\n" + actual +
                           " << Actual Hash Value\n");
    }
}

// With no digest there is nothing to show or compare: the failure itself is
// the answer, and never a match.
TEST_F(Md5Inputs, VerifyWithoutADigestReturnsTheFileStatus) {
    const std::string missing = (dir_ / "gone").string();
    const char* empty_digest = "d41d8cd98f00b204e9800998ecf8427e";
    int status = -1;
    EXPECT_EQ(stdout_of([&] { status = md5_verify_file(missing.c_str(), empty_digest); }),
              "Error: FileName='" + missing + "' -- " + std::strerror(ENOENT) + "\n");
    EXPECT_EQ(status, MD5_OPEN_ERROR);
    EXPECT_EQ(stdout_of([&] { status = md5_verify_file(dir_.c_str(), empty_digest); }), "");
    EXPECT_EQ(status, MD5_IO_ERROR);
}

}  // namespace
