// Lines of a list read through a buffer of fixed size, so that memory stays
// the same whatever the list's size or its longest line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class LineReader {
public:
    // No list line comes near this; anything longer is no list line.
    static constexpr std::size_t max_line = 64 * 1024;

    explicit LineReader(std::FILE* file) : file_(file) {}

    enum class Next { Line, TooLong, End, Error };

    // The next line without its line break. TooLong skips the line whole.
    Next next(std::string_view& line);

    std::uint64_t bytes_read() const { return bytes_read_; }
    std::uint64_t line_number() const { return line_number_; }

private:
    bool fill();

    std::FILE*    file_;
    char          buffer_[64 * 1024];
    std::size_t   begin_ = 0, end_ = 0;
    std::string   line_;
    std::uint64_t bytes_read_ = 0;
    std::uint64_t line_number_ = 0;
    bool          failed_ = false;
};
