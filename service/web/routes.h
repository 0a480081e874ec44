// Every route of the service: one call from a parsed request to a response.
#pragma once

#include <string_view>

#include "service/store/store.h"
#include "service/web/message.h"

// Answers `request` from `store`. HEAD is answered as GET; the edge leaves
// out the body. Unknown paths get 404, known paths with another method 405.
WebResponse route(const WebRequest& request, Store& store, std::string_view service_version);
