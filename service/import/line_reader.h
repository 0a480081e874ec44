// Lines of a list read through a buffer of fixed size, so that memory stays
// the same whatever the list's size or its longest line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Where a list's bytes come from: a file, or one list inside an archive.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes into `buffer`: how many, 0 at the end, or -1 with
    // error() saying why.
    virtual long read(char* buffer, std::size_t size) = 0;
    // Bytes of the file on disk consumed so far: what progress counts.
    virtual std::uint64_t consumed() const = 0;
    virtual std::string error() const = 0;
};

class FileSource final : public ByteSource {
public:
    explicit FileSource(std::FILE* file) : file_(file) {}
    long read(char* buffer, std::size_t size) override;
    std::uint64_t consumed() const override { return consumed_; }
    std::string error() const override;

private:
    std::FILE*    file_;
    std::uint64_t consumed_ = 0;
    int           errno_ = 0;
};

// Another source whose first bytes were taken to tell what it holds: they
// are given again first. Reading `first` takes at most `count` bytes.
class PeekedSource final : public ByteSource {
public:
    PeekedSource(ByteSource& source, std::size_t count);
    const std::string& first() const { return first_; }
    long read(char* buffer, std::size_t size) override;
    std::uint64_t consumed() const override { return source_.consumed(); }
    std::string error() const override { return source_.error(); }

private:
    ByteSource& source_;
    std::string first_;
    std::size_t given_ = 0;
};

class LineReader {
public:
    // No list line comes near this; anything longer is no list line.
    static constexpr std::size_t max_line = 64 * 1024;

    explicit LineReader(ByteSource& source) : source_(source) {}

    enum class Next { Line, TooLong, End, Error };

    // The next line without its line break. TooLong skips the line whole.
    Next next(std::string_view& line);

    std::uint64_t line_number() const { return line_number_; }

private:
    bool fill();

    ByteSource&   source_;
    char          buffer_[64 * 1024];
    std::size_t   begin_ = 0, end_ = 0;
    std::string   line_;
    std::uint64_t line_number_ = 0;
    bool          failed_ = false;
};
