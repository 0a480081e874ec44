#include "service/web/consult.h"

#include <string>

#include "lookup/wire.h"
#include "service/store/digest_text.h"
#include "service/web/report_path.h"
#include "service/web/text.h"

namespace {

// The program looks for the marker in its one receive and takes the path
// after it, so the body stays a few lines and the headers stay few.
WebResponse see_other(const std::string& path, std::string_view before_marker)
{
    WebResponse response;
    response.status = 303;
    response.content_type = "text/html; charset=utf-8";
    response.location = path;
    response.body = "<!DOCTYPE html>\n<title>See Other</title>\n<p>";
    response.body += before_marker;
    response.body += kReplyMarker;
    response.body += path;
    response.body += "\">here</a>.</p>\n";
    return response;
}

// Every answer on this route, refusals too, fits the program's one receive.
WebResponse short_page(unsigned status, std::string_view title, std::string_view why)
{
    WebResponse response;
    response.status = status;
    response.content_type = "text/html; charset=utf-8";
    response.body = "<!DOCTYPE html>\n<title>";
    response.body += title;
    response.body += "</title>\n<p>";
    response.body += why;
    response.body += "</p>\n";
    return response;
}

}  // namespace

WebResponse consult(std::string_view form_body, Store& store, UnknownDigests* unknown)
{
    const std::optional<std::string> hash = form_field(form_body, "hash");
    if (!hash)
        return short_page(400, "Bad request", "The form has no hash field.");
    Md5Bytes md5{};
    if (!parse_hex(*hash, md5))
        return short_page(400, "Bad request", "The hash must be 32 hexadecimal digits.");

    FileRecord record;
    std::string error;
    switch (store.find_md5(md5, record, error)) {
    case StoreStatus::Ok:
        return see_other(report_path(md5), "The report is ");
    case StoreStatus::NotFound:
        if (unknown)
            unknown->asked(md5);
        return see_other(search_page_path(to_hex(md5)), "This file is not held; a search is ");
    case StoreStatus::Error:
        break;
    }
    WebResponse failed = short_page(503, "Store unavailable", "The store could not be read.");
    failed.log_note = error;
    return failed;
}
