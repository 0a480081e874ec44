#include "service/import/entry_feed.h"

TextFeed::TextFeed(ByteSource& source) : source_(source), reader_(source)
{
    std::string_view line;
    while (head_lines_.size() < list_head_lines) {
        const LineReader::Next next = reader_.next(line);
        if (next == LineReader::Next::TooLong) {
            head_lines_.emplace_back();  // no line of any list: refused when given again
            continue;
        }
        if (next != LineReader::Next::Line) {
            pending_ = next;
            break;
        }
        head_lines_.emplace_back(line);
        head_.append(line).append(1, '\n');
        if (!line.starts_with('#') && line.find_first_not_of(" \t\r") != std::string_view::npos)
            break;
    }
}

Step TextFeed::next(ImportEntry& entry)
{
    std::string_view line;
    LineReader::Next next = LineReader::Next::Line;
    if (replayed_ < head_lines_.size()) {
        const std::optional<std::string>& head_line = head_lines_[replayed_++];
        next = head_line ? LineReader::Next::Line : LineReader::Next::TooLong;
        line = head_line ? *head_line : std::string_view();
        place_ = replayed_;
    } else {
        next = pending_ ? *pending_ : reader_.next(line);
        pending_.reset();
        place_ = reader_.line_number();
    }
    switch (next) {
    case LineReader::Next::End:     return {LineOutcome::Ignored, {}, Step::End};
    case LineReader::Next::Error:   return {LineOutcome::Ignored, {}, Step::Failed};
    case LineReader::Next::TooLong: return {LineOutcome::Refused, "line too long"};
    case LineReader::Next::Line:    break;
    }
    const ParsedLine parsed = parse_list_line(format_, line, entry);
    return {parsed.outcome, parsed.reason};
}

std::string TextFeed::error() const
{
    return "read error after line " + std::to_string(reader_.line_number()) + ": " + source_.error();
}

Step RdsFeed::next(ImportEntry& entry)
{
    std::string_view reason;
    switch (reader_.next(entry, reason)) {
    case RdsReader::Row::Entry:   return {LineOutcome::Entry, {}};
    case RdsReader::Row::Refused: return {LineOutcome::Refused, reason};
    case RdsReader::Row::End:     return {LineOutcome::Ignored, {}, Step::End};
    case RdsReader::Row::Error:   break;
    }
    return {LineOutcome::Ignored, {}, Step::Failed};
}

std::string RdsFeed::error() const
{
    return "read error after row " + std::to_string(reader_.row_number()) + ": " + reader_.error();
}
