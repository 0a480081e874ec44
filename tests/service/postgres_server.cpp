#include "postgres_server.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr const char* superuser = "brantwicker";

std::string server_bin()
{
    if (const char* bin = std::getenv("BRANTWICKER_PG_BIN"))
        return bin;
    return "/usr/lib/postgresql/15/bin";
}

}  // namespace

bool running_under_ci()
{
    const char* ci = std::getenv("CI");
    return ci && *ci;
}

PostgresServer::PostgresServer() : bin_(server_bin())
{
    if (!fs::exists(bin_ + "/initdb") || !fs::exists(bin_ + "/pg_ctl")) {
        why_ = "no PostgreSQL server binaries in " + bin_ + " (install postgresql-15)";
        return;
    }
    char pattern[] = "/tmp/pg-test-XXXXXX";
    if (!mkdtemp(pattern)) {
        why_ = "cannot make a temporary directory";
        return;
    }
    dir_ = pattern;
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody || chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            why_ = "cannot hand " + dir_ + " to the user nobody";
            return;
        }
    }
    if (!run({bin_ + "/initdb", "-D", dir_ + "/data", "-U", superuser, "-A", "trust", "-E", "UTF8",
              "--locale=C", "--no-sync", "--no-instructions"})) {
        why_ = "initdb failed in " + dir_;
        return;
    }
    running_ = start();
    if (!running_)
        why_ = "the server did not start; its log is " + dir_ + "/log";
    else
        watch();
}

// A test killed (a time-out, a crash) runs no destructor: a process of its
// own, outside the test's process group, stops the server and removes its
// directory when the test process dies first.
void PostgresServer::watch()
{
    std::string cleanup = "cd / && " + bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w stop >/dev/null 2>&1;"
                        + " rm -rf " + dir_;
    if (geteuid() == 0)
        cleanup = "cd / && runuser -u nobody -- " + cleanup.substr(8);
    const pid_t parent = getpid();
    watchdog_ = fork();
    if (watchdog_ != 0)
        return;
    sigset_t dying;
    sigemptyset(&dying);
    sigaddset(&dying, SIGUSR1);
    sigprocmask(SIG_BLOCK, &dying, nullptr);
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGUSR1);
    int signal_number = 0;
    if (getppid() == parent)
        sigwait(&dying, &signal_number);
    execl("/bin/sh", "sh", "-c", cleanup.c_str(), static_cast<char*>(nullptr));
    _exit(1);
}

PostgresServer::~PostgresServer()
{
    if (watchdog_ > 0) {
        kill(watchdog_, SIGKILL);
        waitpid(watchdog_, nullptr, 0);
    }
    if (running_)
        run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", "immediate", "-w", "stop"});
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

bool PostgresServer::start()
{
    return run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/log", "-w", "-o",
                "-k " + dir_ + " -c listen_addresses= -c fsync=off -c full_page_writes=off", "start"});
}

bool PostgresServer::stop()
{
    return run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", "fast", "-w", "stop"});
}

std::string PostgresServer::uri(const std::string& database) const
{
    return "postgresql:///" + database + "?host=" + dir_ + "&user=" + superuser;
}

std::string PostgresServer::fresh_database()
{
    const std::string name = "store_" + std::to_string(++databases_);
    sql("postgres", "CREATE DATABASE " + name);
    return name;
}

std::string PostgresServer::sql(const std::string& database, const std::string& text) const
{
    PGconn* conn = PQconnectdb(uri(database).c_str());
    PGresult* result = PQexec(conn, text.c_str());
    std::string answer;
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        answer = std::string("error: ") + PQerrorMessage(conn);
    else if (status == PGRES_TUPLES_OK && PQntuples(result) > 0)
        answer = PQgetvalue(result, 0, 0);
    PQclear(result);
    PQfinish(conn);
    return answer;
}

bool PostgresServer::run(std::vector<std::string> argv) const
{
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"runuser", "-u", "nobody", "--"});
    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // Children started from the data directory's parent, which nobody can read.
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}
