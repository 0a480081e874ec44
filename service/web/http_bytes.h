// A response as the bytes that go on the wire: status line, headers and body
// in one buffer, so the edge sends it in one write and the program's one
// receive gets all of it.
#pragma once

#include <string>

#include "service/web/message.h"

// `version` is 10 or 11. Without `keep_alive` an HTTP/1.1 reply says
// "Connection: close"; with it an HTTP/1.0 reply says "keep-alive". `head`
// keeps the Content-Length of the body but leaves the body out.
std::string serialize_response(const WebResponse& response, unsigned version, bool keep_alive,
                               bool head);
