// A throw-away PostgreSQL server for the store's tests: made by initdb in a
// temporary directory, listening only on a Unix socket there, stopped and
// removed with this object. As root it runs as the user "nobody", since
// initdb refuses root.
#pragma once

#include <string>
#include <vector>

class PostgresServer {
public:
    // Where the binaries are absent, `available()` is false and `why()` says so.
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    bool available() const { return running_; }
    const std::string& why() const { return why_; }

    // The name of a new empty database.
    std::string fresh_database();
    std::string uri(const std::string& database) const;

    // Runs SQL in `database` as the superuser; the text of the first field of
    // the first row, or the error message after "error: ".
    std::string sql(const std::string& database, const std::string& text) const;

    // pg_ctl stop (fast) and start again, as an operator would.
    bool stop();
    bool start();

private:
    bool run(std::vector<std::string> argv) const;
    void watch();

    std::string bin_, dir_, why_;
    bool        running_ = false;
    int         databases_ = 0;
    int         watchdog_ = 0;
};

// The CI environment variable turns a missing server into a failure.
bool running_under_ci();
