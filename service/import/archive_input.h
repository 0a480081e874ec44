// Lists inside archives and compressed files, read as they are through
// libarchive: a zip of one list or several, or one list compressed with gzip,
// xz or bzip2. Each list is a byte stream read once, in fixed memory however
// far it expands.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service/import/line_reader.h"

struct archive;

// Whether a file starting with `first_bytes` (at least 6 of them when there
// are), or named `file_name`, is read through libarchive.
bool is_archive(std::string_view file_name, std::string_view first_bytes);

class ArchiveInput {
public:
    // Reads the archive from `raw`, which must outlive it. `file_name` names
    // the archive: a compressed list takes its name without the suffix.
    ArchiveInput(ByteSource& raw, std::string_view file_name);
    ~ArchiveInput();
    ArchiveInput(const ArchiveInput&) = delete;
    ArchiveInput& operator=(const ArchiveInput&) = delete;

    enum class Next { List, End, Error };

    // Moves to the next list (directories and links are passed over);
    // `name` is its path in the archive. Error: error() says why, and the
    // archive can be read no further.
    Next next_list(std::string& name);

    // The current list's bytes; a damaged stream is a read error.
    ByteSource& list() { return list_; }

    // The size the archive gives for the current list, when it gives one.
    std::optional<std::uint64_t> list_size() const { return list_size_; }

    // Whether the archive is one compressed list rather than a zip.
    bool compressed_stream() const;
    // Whether the archive was found damaged: nothing more can be read.
    bool failed() const { return failed_; }
    std::string error() const;

private:
    class ListSource final : public ByteSource {
    public:
        explicit ListSource(ArchiveInput& owner) : owner_(owner) {}
        long read(char* buffer, std::size_t size) override;
        std::uint64_t consumed() const override { return owner_.raw_.consumed(); }
        std::string error() const override { return owner_.error(); }

    private:
        ArchiveInput& owner_;
    };

    static long read_raw(struct archive*, void* self, const void** buffer);

    ByteSource&                   raw_;
    std::string                   stream_name_;  // a compressed list's name
    struct archive*               archive_;
    ListSource                    list_{*this};
    std::optional<std::uint64_t>  list_size_;
    std::unique_ptr<char[]>       buffer_;
    bool                          failed_ = false;
};
