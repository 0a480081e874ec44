// A reader of multipart/form-data (RFC 7578) that takes the body as it
// arrives, in pieces of any size, and hands on the bytes of its one file part
// as soon as they are certain not to be the start of a boundary. What it
// keeps meanwhile is bounded: one boundary's length, or one part's header
// block.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The boundary a Content-Type of multipart/form-data names; nothing when it
// is another type or the boundary is missing or not 1 to 70 characters.
std::optional<std::string> multipart_boundary(std::string_view content_type);

enum class MultipartStatus {
    More,            // the body is not over yet
    Done,            // the closing boundary came, after exactly one file part
    Stopped,         // the file's receiver asked to stop
    NoFilePart,      // no part named "file"
    TwoFileParts,    // more than one
    Unterminated,    // the body ended before its closing boundary
    HeaderTooLarge,  // a part's header block went past its bound
    TooManyParts,
    Malformed,       // something after a boundary that is neither "--" nor a line end
};

class MultipartReader {
public:
    struct Limits {
        std::size_t header_block = 8192;
        std::size_t parts = 16;
    };
    // Takes a piece of the file part's bytes; false stops the reading.
    using FileSink = std::function<bool(std::string_view)>;
    // Told when the file part's headers are in, before any of its bytes;
    // false stops the reading (Stopped).
    using FileStart = std::function<bool()>;

    MultipartReader(std::string_view boundary, FileSink sink, Limits limits, FileStart start = {});

    // The next piece of the body. Past the first status other than More,
    // every further call returns that status again.
    MultipartStatus feed(std::string_view piece);
    // At the end of the body.
    MultipartStatus finish();

    // The file part's file name (its "filename" parameter), once its headers came.
    const std::string& file_name() const { return file_name_; }
    // The text of the first part named "password", an archive's password;
    // empty when there is none or it is longer than kPasswordMax.
    std::string password() const { return password_.size() > kPasswordMax ? std::string() : password_; }
    static constexpr std::size_t kPasswordMax = 1024;
    // The text of the first part named "key", so far: the key the service
    // asks for. Longer than kKeyMax, it is cut one byte past, so that it
    // matches no key. Nothing before such a part.
    const std::optional<std::string>& key() const { return key_; }
    static constexpr std::size_t kKeyMax = 1024;

private:
    enum class State { Preamble, AfterBoundary, Headers, Body, Closed };

    MultipartStatus step();
    MultipartStatus take_headers(std::string_view block);
    bool emit(std::size_t count);

    std::string delimiter_;  // CR LF "--" boundary
    FileSink sink_;
    FileStart start_;
    Limits limits_;
    std::string pending_;
    State state_ = State::Preamble;
    MultipartStatus status_ = MultipartStatus::More;
    std::size_t parts_ = 0;
    bool in_file_ = false;
    bool file_seen_ = false;
    std::string file_name_;
    bool in_password_ = false;
    bool password_seen_ = false;
    std::string password_;  // at most kPasswordMax + 1 bytes
    bool in_key_ = false;
    std::optional<std::string> key_;  // at most kKeyMax + 1 bytes
};
