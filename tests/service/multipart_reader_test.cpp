// The multipart/form-data reader over small forms, each fed whole and cut at
// every pair of places, as the network may cut it: the same status, file
// bytes and name every time, and never an empty piece handed on (an empty
// piece would end a scanner's stream).
#include "service/analysis/multipart_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
    MultipartStatus status = MultipartStatus::More;
    std::string file;
    std::string name;
    bool empty_piece = false;

    bool operator==(const Outcome&) const = default;
};

constexpr std::string_view kBoundary = "b0und";
constexpr MultipartReader::Limits kLimits{64, 4};

Outcome read(const std::vector<std::string_view>& pieces)
{
    Outcome out;
    MultipartReader reader(kBoundary, [&](std::string_view bytes) {
        out.empty_piece |= bytes.empty();
        out.file.append(bytes);
        return true;
    }, kLimits);
    for (const std::string_view piece : pieces)
        out.status = reader.feed(piece);
    if (out.status == MultipartStatus::More)
        out.status = reader.finish();
    out.name = reader.file_name();
    return out;
}

std::string part(std::string_view name, std::string_view content, std::string_view extra = "")
{
    return "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"" +
           std::string(name) + "\"" + std::string(extra) + "\r\n\r\n" + std::string(content) + "\r\n";
}

const std::string kClose = "--" + std::string(kBoundary) + "--\r\n";
// Bytes that start like a delimiter and are not one, at the file's ends too.
const std::string kTricky = "\r\n--b0un\r\n-\r\n--b0unX\r\n--b0un";

TEST(MultipartReader, ReadsTheSameHoweverTheFormIsCut)
{
    const std::tuple<const char*, std::string, Outcome> forms[] = {
        {"file and field", part("note", "hi") + part("file", kTricky, "; filename=\"a.bin\"") + kClose,
         {MultipartStatus::Done, kTricky, "a.bin"}},
        {"file first, preamble", "preamble\r\n" + part("file", "x\r\n") + part("n", "") + kClose,
         {MultipartStatus::Done, "x\r\n", ""}},
        {"empty file", part("file", "") + kClose, {MultipartStatus::Done, "", ""}},
        // Bytes that may yet be a delimiter are held back, even at the end.
        {"no closing boundary", part("file", "abc"), {MultipartStatus::Unterminated, "", ""}},
        {"cut inside the closing boundary", part("file", "abc") + "--b0un",
         {MultipartStatus::Unterminated, "abc", ""}},
        {"no file part", part("other", "abc") + kClose, {MultipartStatus::NoFilePart, "", ""}},
        {"two file parts", part("file", "1") + part("file", "2") + kClose,
         {MultipartStatus::TwoFileParts, "1", ""}},
        {"header block too large", part("file", "abc", "; x=\"" + std::string(70, 'a') + "\"") + kClose,
         {MultipartStatus::HeaderTooLarge, "", ""}},
        {"junk after a boundary", "--b0undjunk\r\n" + part("file", "a") + kClose,
         {MultipartStatus::Malformed, "", ""}},
    };
    for (const auto& [what, body, expected] : forms) {
        ASSERT_EQ(read({body}), expected) << what << ", whole";
        const std::string_view bytes = body;
        for (std::size_t i = 0; i <= bytes.size(); ++i)
            for (std::size_t j = i; j <= bytes.size(); ++j)
                ASSERT_EQ(read({bytes.substr(0, i), bytes.substr(i, j - i), bytes.substr(j)}),
                          expected) << what << ", cut at " << i << " and " << j;
    }
}

// The key the service asks for comes in a field before the file: when the
// file part begins, the whole key is in, however the form was cut; a key
// after the file is not there yet, and a refusal at the start stops the
// reading before any of the file's bytes are handed on.
TEST(MultipartReader, HasTheKeyWhenTheFileBegins)
{
    const auto read_key = [](const std::vector<std::string_view>& pieces, bool admit) {
        std::optional<std::string> at_start = std::string("never asked");
        std::string file;
        MultipartReader* self = nullptr;
        MultipartReader reader(kBoundary, [&](std::string_view bytes) {
            file.append(bytes);
            return true;
        }, kLimits, [&] {
            at_start = self->key();
            return admit;
        });
        self = &reader;
        MultipartStatus status = MultipartStatus::More;
        for (const std::string_view piece : pieces)
            status = reader.feed(piece);
        return std::tuple{status == MultipartStatus::More ? reader.finish() : status, at_start, file};
    };
    const std::string key_first = part("password", "pw") + part("key", "s3cr\r\nt") +
                                  part("key", "other") + part("file", "abc") + kClose;
    const std::string_view bytes = key_first;
    for (std::size_t i = 0; i <= bytes.size(); ++i) {
        const std::vector<std::string_view> cut = {bytes.substr(0, i), bytes.substr(i)};
        ASSERT_EQ(read_key(cut, true),
                  std::tuple(MultipartStatus::Done, std::optional<std::string>("s3cr\r\nt"), "abc"))
            << "cut at " << i;
        ASSERT_EQ(read_key(cut, false),
                  std::tuple(MultipartStatus::Stopped, std::optional<std::string>("s3cr\r\nt"), ""))
            << "cut at " << i;
    }
    EXPECT_EQ(std::get<1>(read_key({part("file", "abc") + part("key", "late") + kClose}, true)),
              std::nullopt);
    // A key past its bound is kept cut one byte past it, so that it matches none.
    const std::string long_key(MultipartReader::kKeyMax + 100, 'k');
    MultipartReader reader(kBoundary, [](std::string_view) { return true; }, {8192, 4});
    EXPECT_EQ(reader.feed(part("key", long_key) + part("file", "x") + kClose), MultipartStatus::Done);
    EXPECT_EQ(reader.key()->size(), MultipartReader::kKeyMax + 1);
}

}  // namespace
