#include "service/import/archive_input.h"

#include <archive.h>
#include <archive_entry.h>

namespace {

constexpr std::size_t block = 64 * 1024;

struct Kind {
    std::string_view suffix, magic;
    bool             compressed;  // one stream, not a zip
};

constexpr Kind kinds[] = {
    {".zip", std::string_view("PK\3\4", 4), false},
    {".zip", std::string_view("PK\5\6", 4), false},
    {".gz", "\x1f\x8b", true},
    {".xz", std::string_view("\xfd" "7zXZ\0", 6), true},
    {".bz2", "BZh", true},
};

const Kind* kind_by_suffix(std::string_view file_name)
{
    for (const Kind& kind : kinds)
        if (file_name.ends_with(kind.suffix))
            return &kind;
    return nullptr;
}

}  // namespace

bool is_archive(std::string_view file_name, std::string_view first_bytes)
{
    for (const Kind& kind : kinds)
        if (first_bytes.starts_with(kind.magic))
            return true;
    return kind_by_suffix(file_name) != nullptr;
}

ArchiveInput::ArchiveInput(ByteSource& raw, std::string_view file_name)
    : raw_(raw), archive_(archive_read_new()), buffer_(new char[block])
{
    const std::size_t slash = file_name.find_last_of('/');
    stream_name_ = file_name.substr(slash == std::string_view::npos ? 0 : slash + 1);
    if (const Kind* kind = kind_by_suffix(stream_name_); kind && kind->compressed)
        stream_name_.resize(stream_name_.size() - kind->suffix.size());

    // Only what the feeds come in: every other reader stays out of reach of
    // the bytes given to it.
    archive_read_support_filter_gzip(archive_);
    archive_read_support_filter_xz(archive_);
    archive_read_support_filter_bzip2(archive_);
    archive_read_support_format_zip(archive_);
    archive_read_support_format_raw(archive_);
    failed_ = archive_read_open(archive_, this, nullptr, read_raw, nullptr) != ARCHIVE_OK;
}

ArchiveInput::~ArchiveInput()
{
    archive_read_free(archive_);
}

long ArchiveInput::read_raw(struct archive* archive, void* self, const void** buffer)
{
    auto& input = *static_cast<ArchiveInput*>(self);
    *buffer = input.buffer_.get();
    const long got = input.raw_.read(input.buffer_.get(), block);
    if (got < 0)
        archive_set_error(archive, EIO, "%s", input.raw_.error().c_str());
    return got;
}

ArchiveInput::Next ArchiveInput::next_list(std::string& name)
{
    for (;;) {
        if (failed_)
            return Next::Error;
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(archive_, &entry);
        if (status == ARCHIVE_EOF)
            return Next::End;
        if (status < ARCHIVE_WARN) {
            failed_ = true;
            return Next::Error;
        }
        // Named as an archive but holding nothing libarchive knows (which
        // its raw reader would pass through as it is): damaged, not a list.
        const bool raw = archive_format(archive_) == ARCHIVE_FORMAT_RAW;
        if (raw && archive_filter_code(archive_, 0) == ARCHIVE_FILTER_NONE) {
            failed_ = true;
            archive_set_error(archive_, EINVAL, "neither a zip archive nor a gzip, xz or bzip2 stream");
            return Next::Error;
        }
        if (archive_entry_filetype(entry) != AE_IFREG)
            continue;
        name = raw ? stream_name_ : archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        list_size_.reset();
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) >= 0)
            list_size_ = static_cast<std::uint64_t>(archive_entry_size(entry));
        return Next::List;
    }
}

bool ArchiveInput::compressed_stream() const
{
    return archive_format(archive_) == ARCHIVE_FORMAT_RAW;
}

std::string ArchiveInput::error() const
{
    const char* text = archive_error_string(archive_);
    return text ? text : "the archive cannot be read";
}

long ArchiveInput::ListSource::read(char* buffer, std::size_t size)
{
    const la_ssize_t got = archive_read_data(owner_.archive_, buffer, size);
    if (got < 0)
        owner_.failed_ = true;
    return got < 0 ? -1 : static_cast<long>(got);
}
