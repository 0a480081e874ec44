// What an import reads entries from, one at a time: a text list line by line,
// or an RDS database row by row. Both say where they are, for the messages
// about skipped lines and for the progress shown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/import/line_reader.h"
#include "service/import/list_formats.h"
#include "service/import/rds_reader.h"

// One step through a list: an entry filled in, a line or row passed over or
// refused, its end, or a failure that ends it (error() says which).
struct Step {
    LineOutcome      outcome = LineOutcome::Ignored;
    std::string_view reason;
    enum { Going, End, Failed } state = Going;
};

class EntryFeed {
public:
    virtual ~EntryFeed() = default;
    virtual Step next(ImportEntry& entry) = 0;
    virtual std::uint64_t place() const = 0;  // the line or row of the last step
    virtual std::uint64_t bytes() const = 0;  // of the file read, so far
    virtual std::string error() const = 0;
};

// A hash list, line by line. Its head (list_formats.h) is read first, to tell
// its format and what it calls itself, and then given again like any other
// lines.
class TextFeed final : public EntryFeed {
public:
    explicit TextFeed(ByteSource& source);

    const std::string& head() const { return head_; }
    void set_format(ListFormat format) { format_ = format; }

    Step next(ImportEntry& entry) override;
    std::uint64_t place() const override { return place_; }
    std::uint64_t bytes() const override { return source_.consumed(); }
    std::string error() const override;

private:
    ByteSource&                              source_;
    LineReader                               reader_;
    ListFormat                               format_ = ListFormat::Md5sum;
    std::vector<std::optional<std::string>>  head_lines_;  // none for a line too long
    std::string                              head_;
    std::optional<LineReader::Next>          pending_;     // what ended the head
    std::size_t                              replayed_ = 0;
    std::uint64_t                            place_ = 0;
};

class RdsFeed final : public EntryFeed {
public:
    // `unpacked`: the bytes of the file read to unpack the database first, if
    // it came packed; else progress counts the database's own pages read.
    RdsFeed(RdsReader& reader, std::uint64_t unpacked) : reader_(reader), unpacked_(unpacked) {}

    Step next(ImportEntry& entry) override;
    std::uint64_t place() const override { return reader_.row_number(); }
    std::uint64_t bytes() const override { return unpacked_ ? unpacked_ : reader_.bytes_read(); }
    std::string error() const override;

private:
    RdsReader&    reader_;
    std::uint64_t unpacked_;
};
