// What the program and the service agree on, byte for byte. Both include this
// header, so neither side can change a path or the marker without the other.
#pragma once

#include <cstddef>
#include <string_view>

// The program posts `hash=<32 hex>&x=..&y=..` here.
inline constexpr char kConsultPath[] = "/qn/en/consultamd5";

// The program reads one receive of this many bytes and never reads again, so
// a reply must be whole and shorter than this.
inline constexpr std::size_t kReplyReceiveMax = 1024;

// In the reply, the report path follows the first occurrence of this text.
inline constexpr char kReplyMarker[] = "located <a href=\"";

// The program takes exactly this many characters after the marker.
inline constexpr std::size_t kReportPathLength = 86;

// A path after the marker that begins with this means "not held".
inline constexpr char kSearchPagePath[] = "/buscaHash.html";

// A report path: prefix, the MD5 as 32 lowercase hex digits, suffix. The
// suffix only pads the path to the length the program takes; the service
// accepts anything after the digest.
inline constexpr char kReportPathPrefix[] = "/qn/en/report/";
inline constexpr std::size_t kReportPathDigits = 32;
inline constexpr char kReportPathSuffix[] = "/quellarion-brantwicker-file-report.html";

static_assert(std::string_view(kReportPathPrefix).size() + kReportPathDigits +
                      std::string_view(kReportPathSuffix).size() ==
                  kReportPathLength,
              "a report path must be exactly as long as the program takes");
static_assert(!std::string_view(kReportPathPrefix).starts_with(kSearchPagePath),
              "a report path must not read as the search page");
