// NSRL's RDS v3: an SQLite database whose FILE table lists files by their
// digests and whose PKG table names the products they came in. Read
// read-only, one FILE row at a time joined to its PKG row.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "service/store/store.h"

struct sqlite3;
struct sqlite3_stmt;

// Whether a file starting with `first_bytes` is an SQLite database.
bool is_sqlite(std::string_view first_bytes);

class RdsReader {
public:
    // Opens the database in `path` and checks that it is an RDS v3 one. Null,
    // with `error` saying what is missing, for any other database (this
    // service's own store among them) or a file that is none.
    static std::unique_ptr<RdsReader> open(const std::string& path, std::string& error);
    ~RdsReader();

    // "NSRL 2024.12.1", from the VERSION table; empty when it has none.
    const std::string& release() const { return release_; }

    enum class Row { Entry, Refused, End, Error };

    // The next FILE row into `entry` (digests, size, name, and the product
    // as label: "name version"); Refused says why in `reason`, Error in
    // error().
    Row next(ImportEntry& entry, std::string_view& reason);

    std::uint64_t row_number() const { return rows_; }
    // Bytes of the database read from disk so far.
    std::uint64_t bytes_read() const;
    std::string   error() const;

private:
    RdsReader(sqlite3* db, sqlite3_stmt* rows, std::string release, std::uint64_t page_size);

    sqlite3*      db_;
    sqlite3_stmt* rows_statement_;
    std::string   release_;
    std::uint64_t page_size_;
    std::uint64_t rows_ = 0;
};
