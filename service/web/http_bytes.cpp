#include "service/web/http_bytes.h"

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http.hpp>

namespace http = boost::beast::http;

namespace {

constexpr char kPagePolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'";

}  // namespace

std::string serialize_response(const WebResponse& response, unsigned version, bool keep_alive,
                               bool head)
{
    http::response<http::string_body> message;
    message.version(version);
    message.result(response.status);
    if (!response.content_type.empty())
        message.set(http::field::content_type, response.content_type);
    if (!response.location.empty())
        message.set(http::field::location, response.location);
    if (!response.allow.empty())
        message.set(http::field::allow, response.allow);
    if (!response.retry_after.empty())
        message.set(http::field::retry_after, response.retry_after);
    if (!response.www_authenticate.empty())
        message.set(http::field::www_authenticate, response.www_authenticate);
    if (!response.etag.empty())
        message.set(http::field::etag, response.etag);
    if (!response.last_modified.empty())
        message.set(http::field::last_modified, response.last_modified);
    if (response.page_policy) {
        message.set("Content-Security-Policy", kPagePolicy);
        message.set("X-Content-Type-Options", "nosniff");
    }
    message.body() = response.body;
    message.keep_alive(keep_alive);
    message.prepare_payload();

    std::string bytes;
    bytes.reserve(256 + (head ? 0 : response.body.size()));
    http::serializer<false, http::string_body> serializer{message};
    serializer.split(head);
    boost::beast::error_code error;
    while (!(head ? serializer.is_header_done() : serializer.is_done()) && !error) {
        serializer.next(error, [&](boost::beast::error_code&, const auto& buffers) {
            std::size_t taken = 0;
            for (const auto piece : boost::beast::buffers_range_ref(buffers)) {
                bytes.append(static_cast<const char*>(piece.data()), piece.size());
                taken += piece.size();
            }
            serializer.consume(taken);
        });
    }
    return bytes;
}
