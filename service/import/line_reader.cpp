#include "service/import/line_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

long FileSource::read(char* buffer, std::size_t size)
{
    const std::size_t got = std::fread(buffer, 1, size, file_);
    consumed_ += got;
    if (got == 0 && std::ferror(file_)) {
        errno_ = errno;
        return -1;
    }
    return static_cast<long>(got);
}

std::string FileSource::error() const
{
    return std::strerror(errno_);
}

PeekedSource::PeekedSource(ByteSource& source, std::size_t count) : source_(source), first_(count, '\0')
{
    std::size_t got = 0;
    for (long part; got < count && (part = source_.read(first_.data() + got, count - got)) > 0;)
        got += static_cast<std::size_t>(part);
    first_.resize(got);  // a read error comes again on the next read
}

long PeekedSource::read(char* buffer, std::size_t size)
{
    if (given_ == first_.size())
        return source_.read(buffer, size);
    const std::size_t taken = std::min(size, first_.size() - given_);
    std::memcpy(buffer, first_.data() + given_, taken);
    given_ += taken;
    return static_cast<long>(taken);
}

bool LineReader::fill()
{
    begin_ = 0;
    end_ = 0;
    const long got = source_.read(buffer_, sizeof buffer_);
    if (got < 0)
        failed_ = true;
    else
        end_ = static_cast<std::size_t>(got);
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
