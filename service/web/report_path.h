// The addresses the program is sent: a file's report path and the search page
// for a digest that is not held. Their layout is in lookup/wire.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "service/store/store.h"

// kReportPathPrefix, the MD5 in lowercase hex, kReportPathSuffix: always
// kReportPathLength characters.
std::string report_path(const Md5Bytes& md5);

// The MD5 named by a path that begins with kReportPathPrefix and 32 hex
// digits of any case, whatever follows them. Nothing for any other path.
std::optional<Md5Bytes> report_path_digest(std::string_view path);

// The search page asking for `digest_hex`.
std::string search_page_path(std::string_view digest_hex);
