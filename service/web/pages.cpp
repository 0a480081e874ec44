#include "service/web/pages.h"

#include <algorithm>
#include <string>

#include "service/store/digest_text.h"
#include "service/web/report_path.h"
#include "service/web/text.h"
#include "lookup/wire.h"

namespace {

// One column that fits a phone; digests break anywhere rather than widen it.
constexpr std::string_view kStyle =
    "body{font:16px/1.5 system-ui,sans-serif;max-width:46rem;margin:0 auto;padding:1rem;"
    "color:#222;background:#fff}"
    "header a{color:#222;font-weight:bold;text-decoration:none}"
    "h1{font-size:1.4rem}"
    "code{font-size:.9rem;word-break:break-all}"
    "dt{font-weight:bold;margin-top:.5rem}dd{margin-left:1rem}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;padding:.25rem .5rem;border-bottom:1px solid #ddd}"
    ".verdict{font-size:1.2rem;font-weight:bold;padding:.5rem 1rem;border-radius:.25rem}"
    ".good{background:#d8f3dc;color:#1b4332}.bad{background:#fdd;color:#7a0010}"
    ".unknown{background:#eee;color:#333}"
    ".notice{padding:.5rem 1rem;background:#fff3cd}"
    "input[type=text]{width:100%;box-sizing:border-box;font:inherit;padding:.4rem}"
    "button{font:inherit;margin-top:.5rem;padding:.4rem 1rem}";

std::string page(std::string_view title, std::string_view content)
{
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    html += html_escape(title);
    html += " - Quellarion Brantwicker</title>\n<style>";
    html += kStyle;
    html += "</style>\n</head>\n<body>\n<header><a href=\"";
    html += kSearchPagePath;
    html += "\">Quellarion Brantwicker</a></header>\n<main>\n";
    html += content;
    html += "</main>\n</body>\n</html>\n";
    return html;
}

WebResponse html_response(unsigned status, std::string html)
{
    WebResponse response;
    response.status = status;
    response.content_type = "text/html; charset=utf-8";
    response.page_policy = true;
    response.body = std::move(html);
    return response;
}

std::string_view verdict_text(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Good:    return "Good: known software";
    case Verdict::Bad:     return "Bad: known to be harmful";
    case Verdict::Unknown: return "Unknown: listed without a verdict";
    }
    return "Unknown: listed without a verdict";
}

void add_term(std::string& html, std::string_view term, std::string_view escaped_value)
{
    html += "<dt>";
    html += term;
    html += "</dt><dd>";
    html += escaped_value;
    html += "</dd>\n";
}

std::string search_form(std::string_view digest)
{
    std::string html = "<form method=\"get\" action=\"";
    html += kSearchPagePath;
    html += "\">\n<label for=\"hash\">MD5, SHA-1 or SHA-256 of a file</label>\n"
            "<input type=\"text\" id=\"hash\" name=\"hash\" maxlength=\"128\" "
            "autocomplete=\"off\" spellcheck=\"false\" value=\"";
    html += html_escape(digest);
    html += "\">\n<button type=\"submit\">Search</button>\n</form>\n";
    return html;
}

// Scripts are off on these pages: the browser's own file field and a button.
std::string upload_form(bool key)
{
    std::string html = "<form method=\"post\" action=\"";
    html += kScanPagePath;
    html += "\" enctype=\"multipart/form-data\">\n";
    // Before the file, so that the service knows the key before the file's
    // first byte.
    if (key)
        html += "<label for=\"key\">Your key for uploads</label>\n"
                "<input type=\"password\" id=\"key\" name=\"key\" required autocomplete=\"off\">\n";
    html += "<label for=\"file\">A file to be scanned for malware</label>\n"
            "<input type=\"file\" id=\"file\" name=\"file\" required>\n"
            // An archive's own password, tried before "infected".
            "<label for=\"password\">Its password, if it is an archive that has one</label>\n"
            "<input type=\"text\" id=\"password\" name=\"password\" autocomplete=\"off\">\n"
            "<button type=\"submit\">Scan the file</button>\n</form>\n";
    return html;
}

// "2026-12-07T08:00:00Z" as "2026-12-07 08:00:00 UTC".
std::string shown_time(std::string_view iso)
{
    std::string text(iso);
    if (text.size() == 20 && text[10] == 'T' && text[19] == 'Z')
        text = text.substr(0, 10) + " " + text.substr(11, 8) + " UTC";
    return html_escape(text);
}

std::string scan_line(const ScanRecord& scan)
{
    std::string line = "Scanned on " + shown_time(scan.scanned) + " by " + html_escape(scan.engine)
                     + " " + html_escape(scan.engine_version);
    line += scan.signature_version.empty()
                ? " (signatures of its own)"
                : ", signatures " + html_escape(scan.signature_version);
    line += scan.found ? ", found <strong>" + html_escape(scan.signature) + "</strong>."
                       : ", nothing found.";
    if (scan.matches.empty())
        return line;
    // Every rule that matched, those tagged "info" too.
    line += "\n<ul class=\"matches\">\n";
    for (const RuleMatch& match : scan.matches) {
        line += "<li>Rule <strong>" + html_escape(match.rule) + "</strong> of "
              + html_escape(match.rule_namespace);
        if (!match.tags.empty())
            line += ", tags " + html_escape(match.tags);
        if (!match.description.empty())
            line += ": " + html_escape(match.description);
        if (!match.author.empty())
            line += " (by " + html_escape(match.author) + ")";
        line += "</li>\n";
    }
    return line + "</ul>";
}

void add_members(std::string& html, const std::vector<MemberNode>& members)
{
    html += "<ul>\n";
    for (const MemberNode& member : members) {
        html += "<li>";
        if (!member.listing.skipped.empty()) {
            html += html_escape(member.listing.name) + ": <em>not analysed, "
                  + html_escape(member.listing.skipped) + "</em>";
        } else {
            html += "<a href=\"" + report_path(*member.listing.md5) + "\">"
                  + html_escape(member.listing.name) + "</a> <span class=\"member "
                  + std::string(verdict_name(member.verdict)) + "\">"
                  + std::string(verdict_name(member.verdict)) + "</span>";
            if (!member.label.empty())
                html += " " + html_escape(member.label);
            if (!member.members.empty())
                add_members(html, member.members);
        }
        html += "</li>\n";
    }
    html += "</ul>\n";
}

}  // namespace

WebResponse report_page(const FileRecord& record, const std::vector<MemberNode>& members,
                        bool sample_kept, bool rescan, bool key)
{
    const std::string md5 = to_hex(record.md5);
    std::string html = "<h1>Report on ";
    html += record.names.empty() ? "<code>" + md5 + "</code>" : html_escape(record.names.front());
    html += "</h1>\n<p class=\"verdict ";
    html += verdict_name(record.verdict);
    html += "\">";
    html += verdict_text(record.verdict);
    html += "</p>\n<dl>\n";
    add_term(html, "MD5", "<code>" + md5 + "</code>");
    if (record.sha1)
        add_term(html, "SHA-1", "<code>" + to_hex(*record.sha1) + "</code>");
    if (record.sha256)
        add_term(html, "SHA-256", "<code>" + to_hex(*record.sha256) + "</code>");
    if (record.size)
        add_term(html, "Size", std::to_string(*record.size) + " bytes");
    if (!record.label.empty())
        add_term(html, "Label", html_escape(record.label));
    if (!record.mime.empty())
        add_term(html, "MIME type", "<code>" + html_escape(record.mime) + "</code>");
    if (!record.type.empty())
        add_term(html, "Type", html_escape(record.type));
    if (!record.ssdeep.empty())
        add_term(html, "ssdeep", "<code>" + html_escape(record.ssdeep) + "</code>");
    // Only what was uploaded can have been kept: a file the lists alone
    // name says nothing of it.
    if (sample_kept || !record.scans.empty())
        add_term(html, "Sample", sample_kept ? "<span class=\"sample\">Sample kept</span>"
                                             : "<span class=\"sample\">Sample not kept</span>");
    html += "</dl>\n<h2>Names</h2>\n";
    if (record.names.empty()) {
        html += "<p>No list gave a name.</p>\n";
    } else {
        html += "<ul>\n";
        for (const std::string& name : record.names)
            html += "<li>" + html_escape(name) + "</li>\n";
        html += "</ul>\n";
    }
    html += "<h2>Sources</h2>\n<table>\n<tr><th>Source</th><th>Imported</th></tr>\n";
    for (const SourceListing& source : record.sources)
        html += "<tr><td>" + html_escape(source.name) + "</td><td>" +
                html_escape(source.imported) + "</td></tr>\n";
    html += "</table>\n";
    if (!record.scans.empty()) {
        html += "<h2>Scans</h2>\n<p>Newest first: each scan again adds its own.</p>\n<ul>\n";
        for (const ScanRecord& scan : record.scans)
            html += "<li>" + scan_line(scan) + "</li>\n";
        html += "</ul>\n";
    }
    if (rescan && record.sha256)
        html += "<form method=\"post\" action=\"/files/" + to_hex(*record.sha256) +
                "/rescan\">\n" +
                (key ? std::string("<label for=\"key\">Key</label>\n"
                                   "<input type=\"password\" id=\"key\" name=\"key\" required "
                                   "autocomplete=\"off\">\n")
                     : std::string()) +
                "<button type=\"submit\">Scan again with today's signatures</button>\n</form>\n";
    if (!record.faults.empty()) {
        html += "<h2>Not analysed</h2>\n<ul>\n";
        for (const AnalyserFault& fault : record.faults)
            html += "<li>" + html_escape(fault.analyser) + ": " + html_escape(fault.detail) + "</li>\n";
        html += "</ul>\n";
    }
    if (!record.members.empty()) {
        html += "<h2>Members</h2>\n<div class=\"members\">\n";
        add_members(html, members);
        html += "</div>\n";
    }
    if (!record.parents.empty()) {
        html += "<h2>Found in</h2>\n<ul>\n";
        for (const ArchiveParent& parent : record.parents)
            html += "<li><a href=\"" + report_path(parent.md5) + "\">" + to_hex(parent.md5)
                  + "</a> as " + html_escape(parent.name) + "</li>\n";
        html += "</ul>\n";
    }
    html += "<p><a href=\"/api/v1/md5/" + md5 + "\">This record as JSON</a></p>\n";
    return html_response(200, page("Report on " + md5, html));
}

WebResponse search_page(unsigned status, std::string_view digest, std::string_view notice,
                        bool upload, bool key)
{
    std::string html = "<h1>Search for a file</h1>\n";
    if (!notice.empty())
        html += "<p class=\"notice\">" + html_escape(notice) + "</p>\n";
    // A digest not held is offered the scan first.
    if (upload && status == 404)
        html += upload_form(key);
    html += search_form(digest);
    if (upload && status != 404)
        html += "<h2>Scan a file</h2>\n" + upload_form(key);
    return html_response(status, page("Search", html));
}

WebResponse see_other_page(std::string location)
{
    WebResponse response;
    response.status = 303;
    response.content_type = "text/html; charset=utf-8";
    response.body = "<!DOCTYPE html>\n<title>See Other</title>\n<p><a href=\"" + html_escape(location) +
                    "\">The report</a></p>\n";
    response.location = std::move(location);
    return response;
}

WebResponse message_page(unsigned status, std::string_view title, std::string_view why)
{
    std::string html = "<h1>" + html_escape(title) + "</h1>\n<p>" + html_escape(why) +
                       "</p>\n<p><a href=\"" + kSearchPagePath + "\">Search for a file</a></p>\n";
    return html_response(status, page(title, html));
}

WebResponse unknown_page(const UnknownDigests::Listing& listing)
{
    const std::uint64_t bound = listing.asked / std::max<std::size_t>(listing.capacity, 1);
    std::string html = "<h1>Most asked, not held</h1>\n<p>" + std::to_string(listing.asked) +
                       " look-ups of digests not held have been counted. Each count below is "
                       "at most its error too high, and no error exceeds " +
                       std::to_string(bound) + "; the " + std::to_string(listing.capacity) +
                       " most asked are kept.</p>\n";
    if (listing.digests.empty()) {
        html += "<p>No digest that is not held has been asked for.</p>\n";
        return html_response(200, page("Most asked, not held", html));
    }
    html += "<table>\n<tr><th>Digest</th><th>Asked</th><th>Error</th><th>First asked</th>"
            "<th>Last asked</th></tr>\n";
    for (const UnknownDigest& digest : listing.digests)
        html += "<tr><td><code>" + to_hex(digest.digest) + "</code></td><td>" +
                std::to_string(digest.count) + "</td><td>" + std::to_string(digest.error) +
                "</td><td>" + utc_text(digest.first_asked) + "</td><td>" +
                utc_text(digest.last_asked) + "</td></tr>\n";
    html += "</table>\n";
    return html_response(200, page("Most asked, not held", html));
}
