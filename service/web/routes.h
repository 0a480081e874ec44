// Every route of the service: one call from a parsed request to a response.
#pragma once

#include <string_view>

#include "service/scan/scanner.h"
#include "service/store/store.h"
#include "service/web/message.h"

// Answers `request` from `store`. HEAD is answered as GET; the edge leaves
// out the body. Unknown paths get 404, known paths with another method 405.
// With a `scanner`, the search page offers uploads and the information page
// reports it; the uploads themselves are taken by upload_routes.h.
WebResponse route(const WebRequest& request, Store& store, std::string_view service_version,
                  Scanner* scanner = nullptr);
