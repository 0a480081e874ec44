#include "service/import/line_reader.h"

#include <cstring>

bool LineReader::fill()
{
    begin_ = 0;
    end_ = std::fread(buffer_, 1, sizeof buffer_, file_);
    bytes_read_ += end_;
    if (end_ == 0 && std::ferror(file_))
        failed_ = true;
    return end_ > 0;
}

LineReader::Next LineReader::next(std::string_view& line)
{
    line_.clear();
    bool too_long = false;
    bool any = false;
    for (;;) {
        if (begin_ == end_ && !fill()) {
            if (failed_)
                return Next::Error;
            if (!any)
                return Next::End;
            break;  // a last line without a line break
        }
        any = true;
        const char* start = buffer_ + begin_;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
        const std::size_t length = newline ? static_cast<std::size_t>(newline - start) : end_ - begin_;
        if (newline && line_.empty() && !too_long) {
            // The whole line is in the buffer: no copy.
            begin_ += length + 1;
            ++line_number_;
            line = std::string_view(start, length);
            return length <= max_line ? Next::Line : Next::TooLong;
        }
        if (!too_long && line_.size() + length <= max_line)
            line_.append(start, length);
        else
            too_long = true;
        begin_ += length + (newline ? 1 : 0);
        if (newline)
            break;
    }
    ++line_number_;
    if (too_long)
        return Next::TooLong;
    line = line_;
    return Next::Line;
}
