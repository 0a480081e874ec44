#include "service/import/rds_reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <span>
#include <vector>

namespace {

// The mark this service's own store carries (PRAGMA application_id, "BWKS").
constexpr sqlite3_int64 store_application_id = 0x42574B53;

// What the import reads; every other column and table may come and go
// between releases.
struct Needed {
    const char*                      table;
    std::vector<std::string_view>    columns;
};
const Needed needed[] = {
    {"FILE", {"sha256", "sha1", "md5", "file_name", "file_size", "package_id"}},
    {"PKG", {"package_id", "name", "version"}},
};

constexpr const char* rows_sql =
    "SELECT f.md5, f.sha1, f.sha256, f.file_size, f.file_name, p.name, p.version"
    " FROM FILE AS f LEFT JOIN PKG AS p ON p.package_id = f.package_id";

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Statement prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    return Statement(statement);
}

std::string_view column_text(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string_view();
}

bool same_name(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return (x | 0x20) == (y | 0x20);
    });
}

// The names of `table`'s columns; empty when there is no such table.
std::vector<std::string> columns_of(sqlite3* db, const char* table)
{
    std::vector<std::string> names;
    Statement statement = prepare(db, "SELECT name FROM pragma_table_info(?1)");
    if (!statement)
        return names;
    sqlite3_bind_text(statement.get(), 1, table, -1, SQLITE_STATIC);
    while (sqlite3_step(statement.get()) == SQLITE_ROW)
        names.emplace_back(column_text(statement.get(), 0));
    return names;
}

// "file:PATH?immutable=1": nothing else writes a release while it is read, so
// SQLite neither locks it nor looks for a journal, and a copy whose name is
// already gone keeps being read.
std::string immutable_uri(std::string_view path)
{
    while (path.starts_with("//"))
        path.remove_prefix(1);  // else its first part would be read as a host
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char hex[] = "0123456789abcdef";
            uri += '%';
            uri += hex[static_cast<unsigned char>(c) >> 4];
            uri += hex[c & 0xf];
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

// A hex digest column: absent (NULL) is fine, anything but its hex is not.
template <std::size_t N>
bool read_digest(sqlite3_stmt* statement, int column, std::optional<std::array<unsigned char, N>>& out)
{
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return true;
    std::array<unsigned char, N> bytes{};
    if (!parse_hex(column_text(statement, column), bytes))
        return false;
    out = bytes;
    return true;
}

}  // namespace

bool is_sqlite(std::string_view first_bytes)
{
    return first_bytes.starts_with(std::string_view("SQLite format 3\0", 16));
}

std::unique_ptr<RdsReader> RdsReader::open(const std::string& path, std::string& error)
{
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(immutable_uri(path).c_str(), &raw,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)> db(raw, sqlite3_close_v2);
    if (opened != SQLITE_OK) {
        error = std::string("cannot open it: ") + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened));
        return nullptr;
    }
    Statement id = prepare(db.get(), "PRAGMA application_id");
    if (!id || sqlite3_step(id.get()) != SQLITE_ROW) {
        error = std::string("not an SQLite database: ") + sqlite3_errmsg(db.get());
        return nullptr;
    }
    if (sqlite3_column_int64(id.get(), 0) == store_application_id) {
        error = "a brantwicker-service store, not a list to import";
        return nullptr;
    }

    std::string missing;
    for (const Needed& table : needed) {
        const std::vector<std::string> present = columns_of(db.get(), table.table);
        if (present.empty()) {
            missing += std::string(missing.empty() ? "" : ", ") + "table " + table.table;
            continue;
        }
        for (const std::string_view column : table.columns)
            if (std::ranges::none_of(present, [&](const std::string& name) { return same_name(name, column); }))
                missing += std::string(missing.empty() ? "" : ", ") + table.table + "." + std::string(column);
    }
    if (!missing.empty()) {
        error = "not an NSRL RDS v3 database: no " + missing;
        return nullptr;
    }

    std::string release;
    if (Statement version = prepare(db.get(), "SELECT max(version) FROM VERSION");
        version && sqlite3_step(version.get()) == SQLITE_ROW && !column_text(version.get(), 0).empty())
        release = "NSRL " + std::string(column_text(version.get(), 0));

    Statement page = prepare(db.get(), "PRAGMA page_size");
    const sqlite3_int64 page_size = page && sqlite3_step(page.get()) == SQLITE_ROW ? sqlite3_column_int64(page.get(), 0) : 0;
    Statement rows = prepare(db.get(), rows_sql);
    if (!rows) {
        error = std::string("cannot read its FILE table: ") + sqlite3_errmsg(db.get());
        return nullptr;
    }
    return std::unique_ptr<RdsReader>(new RdsReader(db.release(), rows.release(), std::move(release),
                                                    static_cast<std::uint64_t>(page_size)));
}

RdsReader::RdsReader(sqlite3* db, sqlite3_stmt* rows, std::string release, std::uint64_t page_size)
    : db_(db), rows_statement_(rows), release_(std::move(release)), page_size_(page_size)
{
}

RdsReader::~RdsReader()
{
    sqlite3_finalize(rows_statement_);
    sqlite3_close_v2(db_);
}

RdsReader::Row RdsReader::next(ImportEntry& entry, std::string_view& reason)
{
    enum { md5, sha1, sha256, file_size, file_name, product, version };
    sqlite3_stmt* row = rows_statement_;
    const int status = sqlite3_step(row);
    if (status == SQLITE_DONE)
        return Row::End;
    if (status != SQLITE_ROW)
        return Row::Error;
    ++rows_;
    if (!parse_hex(column_text(row, md5), entry.md5))
        return reason = "not an MD5 digest", Row::Refused;
    if (!read_digest(row, sha1, entry.sha1))
        return reason = "not a SHA-1 digest", Row::Refused;
    if (!read_digest(row, sha256, entry.sha256))
        return reason = "not a SHA-256 digest", Row::Refused;
    switch (sqlite3_column_type(row, file_size)) {
    case SQLITE_NULL:
        break;
    case SQLITE_INTEGER:
        if (sqlite3_column_int64(row, file_size) >= 0) {
            entry.size = static_cast<std::uint64_t>(sqlite3_column_int64(row, file_size));
            break;
        }
        [[fallthrough]];
    default:
        return reason = "not a file size", Row::Refused;
    }
    entry.name.assign(column_text(row, file_name));
    const std::string_view name = column_text(row, product), release = column_text(row, version);
    entry.label.assign(name);
    if (!name.empty() && !release.empty())
        entry.label += ' ';
    entry.label.append(release);
    return Row::Entry;
}

std::uint64_t RdsReader::bytes_read() const
{
    int pages = 0, highest = 0;
    sqlite3_db_status(db_, SQLITE_DBSTATUS_CACHE_MISS, &pages, &highest, 0);
    return static_cast<std::uint64_t>(pages) * page_size_;
}

std::string RdsReader::error() const
{
    return sqlite3_errmsg(db_);
}
