#include "service/web/report_path.h"

#include "lookup/wire.h"
#include "service/store/digest_text.h"

std::string report_path(const Md5Bytes& md5)
{
    std::string path = kReportPathPrefix;
    path += to_hex(md5);
    path += kReportPathSuffix;
    return path;
}

std::optional<Md5Bytes> report_path_digest(std::string_view path)
{
    const std::string_view prefix = kReportPathPrefix;
    if (!path.starts_with(prefix))
        return std::nullopt;
    path.remove_prefix(prefix.size());
    Md5Bytes md5{};
    if (!parse_hex(path.substr(0, kReportPathDigits), md5))
        return std::nullopt;
    return md5;
}

std::string search_page_path(std::string_view digest_hex)
{
    std::string path = kSearchPagePath;
    path += "?hash=";
    path += digest_hex;
    return path;
}
