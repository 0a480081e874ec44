// The network edge: accepts connections, reads HTTP/1.0 and HTTP/1.1
// requests within limits, hands each to a handler and writes the reply in one
// piece, with one access-log line per request on standard error.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "service/web/message.h"
#include "service/web/metrics.h"

struct ServerOptions {
    std::string    address = "127.0.0.1";
    unsigned short port    = 80;
    unsigned       threads = 1;
    // A request must arrive whole within this time, and an idle connection is
    // closed after it; a reply the client does not take within it is dropped.
    std::chrono::milliseconds read_timeout{10000};
    std::size_t    max_connections = 512;   // beyond it: 503 and close
    std::size_t    header_limit    = 8192;  // request line and headers; beyond it 431
    std::size_t    body_limit      = 65536; // beyond it 413
    // When set, the body bound of a request for each target instead.
    std::function<std::size_t(std::string_view target)> body_limit_for;
    // A second address for the operator (--metrics-listen); its requests are
    // marked operator_side. None when the port is 0.
    std::string    operator_address;
    unsigned short operator_port   = 0;
    Metrics*       metrics         = nullptr;  // when set, connections and replies are counted
};

// How many connections fit in `descriptors` open files while `taken` are held
// otherwise, each connection taking two; at most `wanted`. 0 when not one fits.
std::size_t connections_within(std::uint64_t descriptors, std::uint64_t taken, std::size_t wanted);

// Called on worker thread `worker` (0 .. threads-1), never on two threads
// with the same `worker` at once, so each worker may own a store connection.
using RequestHandler = std::function<WebResponse(unsigned worker, const WebRequest& request)>;

// A request whose body is streamed rather than read whole (uploads), as the
// edge hands it over once its header block is in.
struct UploadStart {
    std::string method;
    std::string target;
    std::string content_type;
    std::optional<std::uint64_t> content_length;  // none when chunked or not given
    bool        expect_continue = false;
    unsigned    version = 11;  // 10 or 11
    std::string peer;
    std::string authorization;  // the Authorization header, as sent
    int         fd = -1;       // the connection, non-blocking
    std::string early;         // what was read past the header block
};

// The routes that take their requests' bodies as they come. take() runs on an
// edge thread and must not wait: it either takes the request and with it the
// connection (and returns nothing), or answers at once, leaving the
// connection to the edge.
class UploadRoutes {
public:
    virtual ~UploadRoutes() = default;
    virtual bool handles(std::string_view target) const = 0;
    virtual std::optional<WebResponse> take(UploadStart& start) = 0;
};

// Listens and serves until SIGTERM or SIGINT, then stops accepting, closes
// idle connections, finishes the requests in flight and returns 0. A second
// signal ends the process at once, with status 1. Returns 1 with `error` set
// when it cannot listen.
int run_server(const ServerOptions& options, const RequestHandler& handler, std::string& error,
               UploadRoutes* uploads = nullptr);

// One access-log line on standard error, in one write: time, client, request
// line, status, bytes sent, microseconds.
void log_access(std::string_view peer, std::string_view request_line, unsigned status,
                std::size_t bytes, std::chrono::microseconds took);
// Any other line for the log, as one write.
void log_line(std::string line);
