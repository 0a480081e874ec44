// The program's question: POST kConsultPath with the form `hash=<md5>&x=..&y=..`.
#pragma once

#include <string_view>

#include "service/store/store.h"
#include "service/web/message.h"
#include "service/web/unknown_digests.h"

// 303 to the report page or to the search page, with the marker and the path
// in the body as the program reads them; 400 for a missing or malformed hash;
// 503 when the store cannot be read, which the program must not take for
// "not held". A digest not held is counted in `unknown`, when not null.
WebResponse consult(std::string_view form_body, Store& store, UnknownDigests* unknown);
