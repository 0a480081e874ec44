// Pages for people: HTML5, small, no scripts and nothing from elsewhere.
// Every text that came from a request or an imported list is escaped.
#pragma once

#include <string>
#include <string_view>

#include "service/store/store.h"
#include "service/web/member_tree.h"
#include "service/web/message.h"
#include "service/web/unknown_digests.h"

// 200: everything held about one file.
// With its members as a tree, each with its verdict, when it is an archive;
// an analysed file's page says whether its bytes are kept (`sample_kept`).
// With `rescan`, a button to analyse the file's kept sample again, and with
// `key` a field for the key that asking for it needs.
WebResponse report_page(const FileRecord& record, const std::vector<MemberNode>& members = {},
                        bool sample_kept = false, bool rescan = false, bool key = false);

// The search form, with `digest` in its field. `notice` (plain text) says
// why the page is shown again; empty on a first visit. With `upload`, a form
// that sends a file to be scanned (POST /scan) follows; with `key` too, it
// asks for the uploader's key, in a password field named "key" sent before
// the file.
WebResponse search_page(unsigned status, std::string_view digest, std::string_view notice,
                        bool upload = false, bool key = false);

// Where the upload form sends its file.
inline constexpr std::string_view kScanPagePath = "/scan";

// 303 to `location`, with a link to it for clients that do not follow.
WebResponse see_other_page(std::string location);

// A short page for a status other than 200: a title, one sentence of plain
// text saying why, and a way back to the search page.
WebResponse message_page(unsigned status, std::string_view title, std::string_view why);

// For the operator: the digests most asked for and not held, and how far
// their counts may be off.
WebResponse unknown_page(const UnknownDigests::Listing& listing);
