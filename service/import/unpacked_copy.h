// A database that comes packed (inside an archive, or on a pipe) copied to a
// temporary file, since SQLite reads only files. The copy's name is removed
// as soon as SQLite has the file open, on every failure, and when SIGINT,
// SIGTERM or SIGHUP ends the import while the copy is made.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "service/import/line_reader.h"

class UnpackedCopy {
public:
    UnpackedCopy() = default;
    ~UnpackedCopy();
    UnpackedCopy(const UnpackedCopy&) = delete;
    UnpackedCopy& operator=(const UnpackedCopy&) = delete;

    // Copies `source` to a new file in `directory`, after checking that
    // `size` (when the archive gives it), and then what is written, fits the
    // free space there. `copied` is told the bytes of `source` consumed.
    // False with `error` saying why; nothing is left behind.
    bool make(const std::string& directory, ByteSource& source, std::optional<std::uint64_t> size,
              const std::function<void(std::uint64_t)>& copied, std::string& error);

    const std::string& path() const { return path_; }

    // Removes the copy's name; the file itself goes when SQLite closes it.
    void remove_name();

private:
    std::string path_;
    int         fd_ = -1;
};
