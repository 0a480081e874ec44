// The records a route reads and returns. The network edge fills a WebRequest
// from what it parsed and turns a WebResponse into bytes; nothing between
// them touches a socket.
#pragma once

#include <string>
#include <string_view>

struct WebRequest {
    std::string method;        // as sent: "GET", "POST", ...
    std::string target;        // path and query, as sent
    std::string body;
    bool        operator_side = false;  // came to the operator's address (--metrics-listen)
    std::string session{};      // the hashlookup_session (or hashlookup-session) header
    std::string if_none_match{};  // the If-None-Match header
    std::string authorization{};  // the Authorization header, as sent
    std::string peer{};           // the client's address
};

struct WebResponse {
    unsigned    status = 200;
    std::string content_type;  // empty with an empty body
    std::string location;      // sent when not empty
    std::string allow;         // sent when not empty (405)
    std::string retry_after;   // seconds; sent when not empty (503, 429)
    std::string www_authenticate;  // the scheme asked for; sent when not empty (401)
    // Full pages ask the browser to refuse scripts and anything from
    // elsewhere, so that a slip in escaping cannot run code.
    bool        page_policy = false;
    std::string etag;           // sent when not empty, with:
    std::string last_modified;  // an HTTP date
    std::string body;
    std::string log_note;      // for the access log only, never sent
    std::string_view route;    // the route's name in the metrics; empty from the edge itself
};
