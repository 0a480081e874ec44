#include "service/web/server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <unistd.h>

// Under the sanitizers GCC 12 takes Boost 1.74's optional content length in
// the request parser for uninitialized; it is not.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "service/web/http_bytes.h"
#include "service/web/text.h"

namespace asio  = boost::asio;
namespace beast = boost::beast;
namespace http  = beast::http;
using tcp = asio::ip::tcp;

// Every thread runs the one event loop, so that a thread the scheduler has
// put aside holds up no connection; each connection's handlers run in turn
// on a strand of its own, whose type is spelled out rather than erased.
using Executor = asio::strand<asio::io_context::executor_type>;
using Socket   = asio::basic_stream_socket<tcp, Executor>;
using Timer    = asio::basic_waitable_timer<std::chrono::steady_clock,
                                            asio::wait_traits<std::chrono::steady_clock>, Executor>;

namespace {

// How long a connection that was answered with an error may still send what
// it had queued before it is closed. Closing with unread bytes would reset
// the connection, and the reset can destroy the answer before it is read.
constexpr std::chrono::seconds kDrainTime{2};

// After a failed accept (out of descriptors, most likely) the acceptor waits
// this long instead of spinning.
constexpr std::chrono::milliseconds kAcceptPause{100};

thread_local unsigned this_worker = 0;

void write_all(std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        done += static_cast<std::size_t>(wrote);
    }
}

// The lines a thread logs while it runs the loop are written together once
// no handler is ready, before the thread waits: one write(2) for a busy
// moment's requests rather than one each, and at once when idle.
struct LogBatch {
    static constexpr std::size_t kMax = 64 * 1024;

    std::string lines;

    void flush()
    {
        write_all(lines);
        lines.clear();
    }
};

thread_local LogBatch* this_batch = nullptr;

// Whole lines, one write(2) each time: lines from several threads never
// interleave.
void write_log_line(std::string line)
{
    line += '\n';
    LogBatch* batch = this_batch;
    if (batch == nullptr)
        return write_all(line);
    batch->lines += line;
    if (batch->lines.size() >= LogBatch::kMax)
        batch->flush();
}

WebResponse plain_error(unsigned status, std::string_view why)
{
    WebResponse response;
    response.status = status;
    response.content_type = "text/plain; charset=utf-8";
    response.body = std::string(why) + '\n';
    return response;
}

class Server;

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Socket socket, Server& server, bool operator_side);
    ~Session();
    void start();
    void refuse();           // over the connection bound: 503 and close
    void stop_if_idle();     // the server is stopping

private:
    void read_request();
    void read_header_piece();
    void on_header_piece(beast::error_code error, std::size_t consumed);
    void read_body();
    void hand_off();
    void on_request(beast::error_code error);
    void answer_error(unsigned status, std::string_view why);
    // `linger`: the request may not have been read to its end.
    void send(const WebResponse& response, std::string request_line, bool keep_alive, bool head,
              bool linger);
    void drain();
    void close();
    bool request_started() const;
    // Past `limit` the pending operation is cancelled and `timed_out_` set.
    void arm(std::chrono::steady_clock::duration limit);

    Socket socket_;
    Timer timer_;
    Server& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::size_t header_bytes_ = 0;
    std::string out_;
    std::array<char, 4096> scratch_{};
    std::string peer_;
    std::chrono::steady_clock::time_point started_;
    unsigned version_ = 11;
    bool reading_ = false;
    bool timed_out_ = false;
    bool refused_ = false;
    bool started_session_ = false;
    bool operator_side_;
};

class Server {
public:
    Server(const ServerOptions& options, const RequestHandler& handler, UploadRoutes* uploads)
        : options_(options), handler_(handler), uploads_(uploads),
          io_(static_cast<int>(std::max(options.threads, 1U))), strand_(asio::make_strand(io_)),
          acceptor_(strand_), operator_acceptor_(strand_), signals_(strand_, SIGINT, SIGTERM),
          pause_(strand_)
    {
    }

    bool listen(std::string& error)
    {
        return listen_on(acceptor_, options_.address, options_.port, error) &&
               (options_.operator_port == 0 ||
                listen_on(operator_acceptor_, options_.operator_address, options_.operator_port,
                          error));
    }

    bool listen_on(tcp::acceptor& acceptor, const std::string& where, unsigned short port,
                   std::string& error)
    {
        beast::error_code ec;
        const asio::ip::address address = asio::ip::make_address(where, ec);
        if (ec) {
            error = "not an IP address: " + where;
            return false;
        }
        const tcp::endpoint endpoint{address, port};
        if (acceptor.open(endpoint.protocol(), ec) ||
            acceptor.set_option(asio::socket_base::reuse_address(true), ec) ||
            acceptor.bind(endpoint, ec) ||
            acceptor.listen(asio::socket_base::max_listen_connections, ec)) {
            error = "cannot listen on " + where + ":" + std::to_string(port) + ": " + ec.message();
            return false;
        }
        const tcp::endpoint bound = acceptor.local_endpoint(ec);
        write_log_line("brantwicker-service: listening on " + bound.address().to_string() + ":" +
                       std::to_string(bound.port()));
        return true;
    }

    void run()
    {
        accept(acceptor_, false);
        if (operator_acceptor_.is_open())
            accept(operator_acceptor_, true);
        signals_.async_wait([this](beast::error_code ec, int) { on_signal(ec); });
        std::vector<std::thread> workers;
        for (unsigned i = 1; i < std::max(options_.threads, 1U); ++i)
            workers.emplace_back([this, i] { run_loop(i); });
        run_loop(0);
        for (std::thread& worker : workers)
            worker.join();
    }

    const ServerOptions& options() const { return options_; }
    bool stopping() const { return stopping_.load(); }
    WebResponse handle(const WebRequest& request) { return handler_(this_worker, request); }
    UploadRoutes* uploads() const { return uploads_; }

    // Sessions answering 503; they hold a descriptor for a moment too.
    std::atomic<std::size_t> refusing{0};

    void enter(Session* session, const std::shared_ptr<Session>& shared)
    {
        const std::lock_guard lock(mutex_);
        live_.emplace(session, shared);
    }

    void leave(Session* session)
    {
        bool last = false;
        {
            const std::lock_guard lock(mutex_);
            live_.erase(session);
            last = live_.empty() && stopping_;
        }
        if (last)
            asio::post(strand_, [this] { finish(); });
    }

private:
    // Runs the handlers that are ready, and writes this thread's log lines
    // before it waits for more.
    void run_loop(unsigned i)
    {
        LogBatch batch;
        this_worker = i;
        this_batch = &batch;
        for (;;) {
            if (io_.poll_one() != 0)
                continue;
            batch.flush();
            if (io_.run_one() == 0)
                break;
        }
        this_batch = nullptr;
        batch.flush();
    }

    // Once the last session has left.
    void finish() { signals_.cancel(); }

    void accept(tcp::acceptor& acceptor, bool operator_side)
    {
        acceptor.async_accept(asio::make_strand(io_), [this, &acceptor, operator_side](
                                                          beast::error_code ec, Socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor.is_open())
                return;
            if (ec) {
                pause_.expires_after(kAcceptPause);
                pause_.async_wait([this, &acceptor, operator_side](beast::error_code) {
                    if (acceptor.is_open())
                        accept(acceptor, operator_side);
                });
                return;
            }
            const auto session = std::make_shared<Session>(std::move(socket), *this, operator_side);
            std::size_t live = 0;
            {
                const std::lock_guard lock(mutex_);
                live = live_.size();
            }
            // Past a second bound a connection is closed without a word.
            if (live < options_.max_connections)
                session->start();
            else if (refusing.load() < options_.max_connections)
                session->refuse();
            else if (options_.metrics)
                options_.metrics->connection_refused();
            accept(acceptor, operator_side);
        });
    }

    void on_signal(beast::error_code ec)
    {
        if (ec)
            return;
        if (stopping_.exchange(true)) {
            // The second signal: no more waiting, and no unwinding of
            // sessions that are still under way.
            write_log_line("brantwicker-service: stopped at once");
            if (this_batch != nullptr)
                this_batch->flush();
            std::_Exit(1);
        }
        write_log_line("brantwicker-service: stopping; finishing the requests in flight");
        beast::error_code ignored;
        acceptor_.close(ignored);
        operator_acceptor_.close(ignored);
        pause_.cancel();
        std::vector<std::shared_ptr<Session>> sessions;
        {
            const std::lock_guard lock(mutex_);
            for (const auto& [pointer, weak] : live_)
                if (auto session = weak.lock())
                    sessions.push_back(std::move(session));
        }
        for (const auto& session : sessions)
            session->stop_if_idle();
        // Waits again for a second signal; the last session to leave cancels it.
        signals_.async_wait([this](beast::error_code next, int) { on_signal(next); });
        if (sessions.empty())
            finish();
    }

    const ServerOptions& options_;
    const RequestHandler& handler_;
    UploadRoutes* uploads_;
    asio::io_context io_;
    Executor strand_;
    tcp::acceptor acceptor_;
    tcp::acceptor operator_acceptor_;
    asio::signal_set signals_;
    asio::steady_timer pause_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::unordered_map<Session*, std::weak_ptr<Session>> live_;
};

Session::Session(Socket socket, Server& server, bool operator_side)
    : socket_(std::move(socket)), timer_(socket_.get_executor()), server_(server),
      operator_side_(operator_side)
{
    beast::error_code ec;
    const tcp::endpoint peer = socket_.remote_endpoint(ec);
    peer_ = ec ? "-" : peer.address().to_string();
}

Session::~Session()
{
    if (refused_)
        --server_.refusing;
    if (started_session_ && server_.options().metrics)
        server_.options().metrics->connection_closed();
    server_.leave(this);
}

void Session::start()
{
    server_.enter(this, shared_from_this());
    started_session_ = true;
    if (server_.options().metrics)
        server_.options().metrics->connection_opened();
    asio::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->read_request(); });
}

void Session::refuse()
{
    refused_ = true;
    ++server_.refusing;
    if (server_.options().metrics)
        server_.options().metrics->connection_refused();
    asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
        self->answer_error(503, "Too many connections; try again shortly.");
    });
}

void Session::stop_if_idle()
{
    asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
        // A request under way, or a reply being written, ends on its own.
        if (self->reading_ && !self->request_started()) {
            beast::error_code ignored;
            self->socket_.cancel(ignored);
        }
    });
}

bool Session::request_started() const
{
    return buffer_.size() > 0 || (parser_ && parser_->got_some());
}

void Session::arm(std::chrono::steady_clock::duration limit)
{
    timed_out_ = false;
    timer_.expires_after(limit);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (ec)
            return;  // re-armed or cancelled
        self->timed_out_ = true;
        beast::error_code ignored;
        self->socket_.cancel(ignored);
    });
}

void Session::read_request()
{
    if (server_.stopping())
        return close();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options().header_limit));
    // Bounded once the header block says which route it is for: uploads
    // take larger bodies, as they come.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    header_bytes_ = 0;
    arm(server_.options().read_timeout);
    reading_ = true;
    read_header_piece();
}

// The parser's own header limit bounds only the part of the header block not
// yet parsed; the whole block is bounded here, piece by piece, so that many
// small header lines cannot grow a request without end.
void Session::read_header_piece()
{
    http::async_read_some(socket_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, std::size_t consumed) {
                              self->on_header_piece(ec, consumed);
                          });
}

void Session::on_header_piece(beast::error_code error, std::size_t consumed)
{
    header_bytes_ += consumed;
    if (!error && header_bytes_ > server_.options().header_limit)
        error = http::error::header_limit;
    if (error)
        return on_request(error);
    if (!parser_->is_header_done())
        return read_header_piece();

    const auto& request = parser_->get();
    const beast::string_view target = request.target();
    if (server_.uploads() && server_.uploads()->handles({target.data(), target.size()}))
        return hand_off();
    const std::size_t body_limit = server_.options().body_limit_for
        ? server_.options().body_limit_for({target.data(), target.size()})
        : server_.options().body_limit;
    if (parser_->content_length().value_or(0) > body_limit)
        return on_request(http::error::body_limit);
    parser_->body_limit(body_limit);
    // Clients that wait for leave to send a body (curl, from 1 KiB on) get it
    // at once instead of after their own time-out.
    if (request.version() >= 11 && beast::iequals(request[http::field::expect], "100-continue") &&
        !parser_->is_done()) {
        out_ = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(socket_, asio::buffer(out_),
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec)
                                  return self->on_request(ec);
                              self->read_body();
                          });
        return;
    }
    read_body();
}

void Session::read_body()
{
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                         self->on_request(ec);
                     });
}

// An upload's body is read by the route that takes it, off the edge's
// threads; the connection leaves the edge with it.
void Session::hand_off()
{
    reading_ = false;
    timer_.cancel();
    started_ = std::chrono::steady_clock::now();
    const auto& request = parser_->get();
    version_ = request.version() >= 11 ? 11 : 10;
    UploadStart start;
    start.method = std::string(request.method_string());
    start.target = std::string(request.target());
    start.content_type = std::string(request[http::field::content_type]);
    if (!request.chunked() && parser_->content_length())
        start.content_length = *parser_->content_length();
    start.expect_continue = version_ == 11 && beast::iequals(request[http::field::expect], "100-continue");
    start.version = version_;
    start.peer = peer_;
    start.authorization = std::string(request[http::field::authorization]);
    const auto early = buffer_.data();  // a flat buffer: one piece
    start.early.assign(static_cast<const char*>(early.data()), early.size());
    const std::string line = log_safe(start.method, 16) + " " + log_safe(start.target, 256) +
                             (version_ == 11 ? " HTTP/1.1" : " HTTP/1.0");
    // Released from the edge's event loop before anything else may read it.
    beast::error_code ec;
    const tcp::endpoint local = socket_.local_endpoint(ec);
    start.fd = socket_.release(ec);
    if (ec)
        return close();
    std::optional<WebResponse> answer = server_.uploads()->take(start);
    if (!answer)
        return;
    // Refused at once: the edge answers, on the same connection.
    socket_.assign(local.protocol(), start.fd, ec);
    if (ec) {
        ::close(start.fd);
        return;
    }
    send(*answer, line, false, false, true);
}

void Session::on_request(beast::error_code error)
{
    reading_ = false;
    if (timed_out_) {
        if (request_started())
            return answer_error(408, "The request did not arrive in time.");
        return close();
    }
    if (error == http::error::header_limit)
        return answer_error(431, "The request's header block is too large.");
    if (error == http::error::body_limit)
        return answer_error(413, "The request's body is too large.");
    if (error == http::error::end_of_stream || error == http::error::partial_message ||
        (error && error.category() != http::make_error_code(http::error::bad_method).category()))
        return close();  // the client went away, or the server is stopping
    if (error)
        return answer_error(400, "The request is not well-formed HTTP.");

    timer_.cancel();
    started_ = std::chrono::steady_clock::now();
    version_ = parser_->get().version() >= 11 ? 11 : 10;
    http::request<http::string_body> message = parser_->release();
    WebRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.body = std::move(message.body());
    request.operator_side = operator_side_;
    for (const beast::string_view name : {"hashlookup_session", "hashlookup-session"})
        if (const auto field = message.find(name); field != message.end())
            request.session = std::string(field->value());
    request.if_none_match = std::string(message[http::field::if_none_match]);
    request.authorization = std::string(message[http::field::authorization]);
    request.peer = peer_;
    const WebResponse response = server_.handle(request);

    std::string line = log_safe(request.method, 16) + " " + log_safe(request.target, 256) +
                       (version_ == 11 ? " HTTP/1.1" : " HTTP/1.0");
    const bool keep_alive = message.keep_alive() && !server_.stopping();
    send(response, std::move(line), keep_alive, message.method() == http::verb::head, false);
    if (!response.log_note.empty())
        write_log_line("brantwicker-service: " + log_safe(response.log_note, 512));
}

void Session::answer_error(unsigned status, std::string_view why)
{
    started_ = std::chrono::steady_clock::now();
    version_ = parser_ && parser_->is_header_done() && parser_->get().version() < 11 ? 10 : 11;
    send(plain_error(status, why), "-", false, false, true);
}

void Session::send(const WebResponse& response, std::string request_line, bool keep_alive,
                   bool head, bool linger)
{
    out_ = serialize_response(response, version_, keep_alive, head);

    const auto took = std::chrono::steady_clock::now() - started_;
    if (server_.options().metrics)
        server_.options().metrics->replied(response.route, response.status, took);
    log_access(peer_, request_line, response.status, out_.size(),
               std::chrono::duration_cast<std::chrono::microseconds>(took));

    arm(server_.options().read_timeout);
    // One buffer, one write: the program reads its reply in a single receive.
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this(), keep_alive, linger](beast::error_code ec,
                                                                      std::size_t) {
                          if (ec)
                              return self->close();
                          if (keep_alive)
                              return self->read_request();
                          if (!linger)
                              return self->close();
                          beast::error_code ignored;
                          self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                          self->arm(kDrainTime);
                          self->drain();
                      });
}

void Session::drain()
{
    socket_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](
                                                        beast::error_code ec, std::size_t) {
        if (ec)
            return self->close();  // the client's end of stream, or kDrainTime
        self->drain();
    });
}

void Session::close()
{
    timer_.cancel();
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace

void log_access(std::string_view peer, std::string_view request_line, unsigned status,
                std::size_t bytes, std::chrono::microseconds took)
{
    write_log_line(utc_text(std::time(nullptr)) + " " + std::string(peer) + " \"" + std::string(request_line) + "\" " +
                   std::to_string(status) + " " + std::to_string(bytes) + " " +
                   std::to_string(took.count()) + "us");
}

void log_line(std::string line)
{
    write_log_line(std::move(line));
}

int run_server(const ServerOptions& options, const RequestHandler& handler, std::string& error,
               UploadRoutes* uploads)
{
    // A log reader that went away must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
    Server server(options, handler, uploads);
    if (!server.listen(error))
        return 1;
    server.run();
    write_log_line("brantwicker-service: stopped");
    return 0;
}

std::size_t connections_within(std::uint64_t descriptors, std::uint64_t taken, std::size_t wanted)
{
    if (descriptors <= taken)
        return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(wanted, (descriptors - taken) / 2));
}
