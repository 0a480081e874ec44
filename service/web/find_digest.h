// One look-up for a digest of any of the three kinds.
#pragma once

#include <string>

#include "service/digest_text.h"
#include "service/store.h"

StoreStatus find_digest(const DigestQuery& query, Store& store, FileRecord& out,
                        std::string& error);
