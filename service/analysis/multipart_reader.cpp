#include "service/analysis/multipart_reader.h"

#include <algorithm>
#include <cctype>

namespace {

bool same_word(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The parameters after the first ';' of a header value: name=token or
// name="quoted", where \" and \\ stand for themselves (browsers write a quote
// in a file name either so or as %22). Calls `take` for each.
template <class Take>
void parameters(std::string_view value, Take take)
{
    std::size_t at = value.find(';');
    while (at != std::string_view::npos && at < value.size()) {
        ++at;
        const std::size_t equals = value.find('=', at);
        if (equals == std::string_view::npos)
            return;
        const std::string_view name = trim(value.substr(at, equals - at));
        std::string text;
        at = equals + 1;
        while (at < value.size() && value[at] == ' ')
            ++at;
        if (at < value.size() && value[at] == '"') {
            for (++at; at < value.size() && value[at] != '"'; ++at) {
                if (value[at] == '\\' && at + 1 < value.size()
                    && (value[at + 1] == '"' || value[at + 1] == '\\'))
                    ++at;
                text += value[at];
            }
            at = value.find(';', at);
        } else {
            const std::size_t end = value.find(';', at);
            text = std::string(trim(value.substr(at, end == std::string_view::npos ? end : end - at)));
            at = end;
        }
        take(name, text);
    }
}

}  // namespace

std::optional<std::string> multipart_boundary(std::string_view content_type)
{
    const std::size_t semicolon = content_type.find(';');
    if (!same_word(trim(content_type.substr(0, semicolon)), "multipart/form-data"))
        return std::nullopt;
    std::optional<std::string> boundary;
    parameters(content_type, [&](std::string_view name, const std::string& value) {
        if (!boundary && same_word(name, "boundary"))
            boundary = value;
    });
    if (!boundary || boundary->empty() || boundary->size() > 70)
        return std::nullopt;
    return boundary;
}

MultipartReader::MultipartReader(std::string_view boundary, FileSink sink, Limits limits,
                                 FileStart start)
    : delimiter_("\r\n--" + std::string(boundary)), sink_(std::move(sink)), start_(std::move(start)),
      limits_(limits),
      // The first boundary may open the body, without a line end before it.
      pending_("\r\n")
{
}

MultipartStatus MultipartReader::feed(std::string_view piece)
{
    if (status_ != MultipartStatus::More)
        return status_;
    pending_.append(piece);
    return status_ = step();
}

MultipartStatus MultipartReader::finish()
{
    if (status_ == MultipartStatus::More)
        status_ = MultipartStatus::Unterminated;
    return status_;
}

// Hands on the first `count` pending bytes when inside the file part, and
// drops them from what is pending.
bool MultipartReader::emit(std::size_t count)
{
    // Kept to one byte past its bound, so that a longer one is known as such.
    if (in_password_) {
        const std::size_t room = kPasswordMax + 1 - std::min(password_.size(), kPasswordMax + 1);
        password_.append(pending_, 0, std::min(count, room));
    }
    if (in_key_) {
        const std::size_t room = kKeyMax + 1 - std::min(key_->size(), kKeyMax + 1);
        key_->append(pending_, 0, std::min(count, room));
    }
    const bool go_on = !in_file_ || count == 0 || sink_(std::string_view(pending_).substr(0, count));
    pending_.erase(0, count);
    return go_on;
}

MultipartStatus MultipartReader::step()
{
    for (;;) {
        switch (state_) {
        case State::Preamble:
        case State::Body: {
            const std::size_t at = pending_.find(delimiter_);
            if (at == std::string::npos) {
                // What could still be the start of a boundary stays.
                const std::size_t keep = std::min(pending_.size(), delimiter_.size() - 1);
                return emit(pending_.size() - keep) ? MultipartStatus::More : MultipartStatus::Stopped;
            }
            if (!emit(at))
                return MultipartStatus::Stopped;
            pending_.erase(0, delimiter_.size());
            in_file_ = in_password_ = in_key_ = false;
            state_ = State::AfterBoundary;
            break;
        }
        case State::AfterBoundary:
            if (pending_.size() < 2)
                return MultipartStatus::More;
            if (pending_.starts_with("--")) {
                state_ = State::Closed;
                pending_.clear();
                return file_seen_ ? MultipartStatus::Done : MultipartStatus::NoFilePart;
            }
            if (!pending_.starts_with("\r\n"))
                return MultipartStatus::Malformed;
            state_ = State::Headers;
            break;
        case State::Headers: {
            // The block runs from the line end after the boundary to an empty line.
            const std::size_t end = pending_.find("\r\n\r\n");
            // Past the bound only once no end can start within it, so that
            // where the pieces were cut does not matter.
            if (end == std::string::npos)
                return pending_.size() > limits_.header_block + 3 ? MultipartStatus::HeaderTooLarge
                                                                  : MultipartStatus::More;
            if (end > limits_.header_block)
                return MultipartStatus::HeaderTooLarge;
            const MultipartStatus taken =
                take_headers(end < 2 ? std::string_view() : std::string_view(pending_).substr(2, end - 2));
            pending_.erase(0, end + 4);
            if (taken != MultipartStatus::More)
                return taken;
            state_ = State::Body;
            break;
        }
        case State::Closed:
            pending_.clear();
            return MultipartStatus::Done;
        }
    }
}

MultipartStatus MultipartReader::take_headers(std::string_view block)
{
    if (++parts_ > limits_.parts)
        return MultipartStatus::TooManyParts;
    bool file = false;
    bool password = false;
    bool key_part = false;
    std::string name;
    for (std::size_t start = 0; start < block.size();) {
        std::size_t end = block.find("\r\n", start);
        if (end == std::string_view::npos)
            end = block.size();
        const std::string_view line = block.substr(start, end - start);
        start = end + 2;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !same_word(trim(line.substr(0, colon)), "Content-Disposition"))
            continue;
        const std::string_view value = trim(line.substr(colon + 1));
        if (!same_word(trim(value.substr(0, value.find(';'))), "form-data"))
            continue;
        parameters(value, [&](std::string_view key, const std::string& text) {
            if (same_word(key, "name")) {
                file = text == "file";
                password = text == "password";
                key_part = text == "key";
            }
            else if (same_word(key, "filename"))
                name = text;
        });
    }
    if (password && !password_seen_)
        password_seen_ = in_password_ = true;
    if (key_part && !key_) {
        key_.emplace();
        in_key_ = true;
    }
    if (!file)
        return MultipartStatus::More;
    if (file_seen_)
        return MultipartStatus::TwoFileParts;
    file_seen_ = in_file_ = true;
    file_name_ = std::move(name);
    return !start_ || start_() ? MultipartStatus::More : MultipartStatus::Stopped;
}
