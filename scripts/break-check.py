#!/usr/bin/env python3
"""Breaks the product on purpose, one place at a time, and records which
breaks the native test suite catches. It checks the tests; it is not a test.

Every break is one exact text in one product file (it must occur there exactly
once) and what replaces it, with what a user would notice. The breaks are
applied in a private copy of a committed tree, never in the checkout: the copy
is built once with the dev preset, then for each break the file is changed,
the build brought up to date, the suite run (ctest, stopping at the first
failure), and the file restored. A break whose build fails counts as no
behaviour break at all; warnings are not errors here, so that a dropped call
leaving an unused name still builds.

  scripts/break-check.py                      every break, at HEAD of this checkout
  scripts/break-check.py --only 'tool-*'      the breaks whose names match
  scripts/break-check.py --list               the breaks, each checked against the tree
  scripts/break-check.py --overlay tests      HEAD, with tests/ as it stands in the checkout
  scripts/break-check.py --save before.json   keep the results; --compare before.json
                                              sets them beside a later run

Runs at low priority; a whole run takes a while (minutes per break on a busy
machine)."""

import argparse
import fnmatch
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass


@dataclass(frozen=True)
class Break:
    name: str
    path: str
    find: str
    replace: str
    notice: str  # what a user would see go wrong


B = Break
BREAKS = [
    # -- digest library -------------------------------------------------------
    B("md5-carry-dropped", "digest/md5_engine.cpp",
      "        ++ctx->bit_count[1];\n", "",
      "files of 512 MiB and more get a wrong digest"),
    B("md5-high-length-dropped", "digest/md5_engine.cpp",
      "ctx->bit_count[1] += len >> 29;", "",
      "one piece of 512 MiB or more is counted short, so its digest is wrong"),
    B("md5-pad-boundary", "digest/md5_engine.cpp",
      "if (index < 56) {", "if (index <= 56) {",
      "a message 56 bytes past a block gets a wrong digest"),
    B("md5-length-high-word", "digest/md5_engine.cpp",
      "    store_le32(ctx->buffer + 60, ctx->bit_count[1]);\n", "",
      "digests of files of 512 MiB and more are wrong"),
    B("md5-fill-boundary", "digest/md5_engine.cpp",
      "if (len < space) {", "if (len <= space) {",
      "data that exactly fills a partial block is hashed wrongly"),
    B("md5-round-constant", "digest/md5_engine.cpp",
      "x9 + 0x8b44f7afU", "x9 + 0x8b44f7aeU",
      "every digest is wrong"),
    B("md5-hex-uppercase", "digest/md5_engine.cpp",
      '"0123456789abcdef"', '"0123456789ABCDEF"',
      "digests are printed in capitals"),
    B("md5-hex-unterminated", "digest/md5_engine.cpp",
      "    text[32] = '\\0';\n", "",
      "junk may follow the 32 digits"),
    B("md5-begin-high-word", "digest/md5_engine.cpp",
      "    ctx->bit_count[1] = 0;\n", "",
      "a reused or uninitialised context gives a wrong digest"),
    B("md5-read-error-ignored", "digest/md5_inputs.cpp",
      "if (std::ferror(stream) != 0) {", "if (std::ferror(stream) != 0 && false) {",
      "an unreadable file (a directory) gets a digest and success"),
    B("md5-open-error-text", "digest/md5_inputs.cpp",
      "\"Error: FileName='%s' -- %s\\n\"", "\"Error: FileName=%s -- %s\\n\"",
      "the error line for a missing file changes"),
    B("md5-open-error-status", "digest/md5_inputs.cpp",
      "return {MD5_OPEN_ERROR, false};", "return {MD5_IO_ERROR, false};",
      "a missing file exits 3 (read error) instead of 2"),
    B("md5-status-text", "digest/md5_inputs.cpp",
      '"md5:006:Syntax: Too many arguments."', '"md5:006:Syntax: Too many argument."',
      "the too-many-arguments message is misspelt"),
    B("md5-check-prefix", "digest/md5_inputs.cpp",
      "std::strcmp(expected, text) == 0", "std::strncmp(expected, text, 32) == 0",
      "--check passes a longer expected text that starts with the digest"),
    B("md5-check-missing-file", "digest/md5_inputs.cpp",
      "        return outcome.status;\n", "        return MD5_TEST_FAILURE;\n",
      "--check on a missing file says mismatch (7) instead of 2"),
    # -- the digest tool ------------------------------------------------------
    B("tool-dash-is-a-file", "tools/md5_tool.cpp",
      'std::strcmp(arg, "-") == 0', 'std::strcmp(arg, "--") == 0',
      '"-" is opened as a file instead of reading standard input'),
    B("tool-check-too-many", "tools/md5_tool.cpp",
      "if (argc > 4) {", "if (argc > 5) {",
      "--check with two files ignores the second instead of refusing"),
    B("tool-too-many", "tools/md5_tool.cpp",
      "if (argc > 2) {", "if (argc > 3) {",
      "two files digest the first instead of refusing"),
    B("tool-option-test", "tools/md5_tool.cpp",
      "return arg[0] == '-' && arg[1] != '\\0';", "return arg[0] == '-' && arg[1] == '\\0';",
      "an unknown option is opened as a file; \"-\" is refused"),
    B("tool-flush-unchecked", "tools/md5_tool.cpp",
      "if (std::fflush(stdout) != 0 && status == MD5_OK) {",
      "if (std::fflush(stdout) != 0 && status == MD5_OK && false) {",
      "a digest lost on a full disk still exits 0"),
    B("tool-help", "tools/md5_tool.cpp",
      'std::strcmp(argv[1], "--help") == 0', 'std::strcmp(argv[1], "-help") == 0',
      "--help is a usage error instead of the usage text"),
    B("tool-read-error-silent", "tools/md5_tool.cpp",
      "if (status == MD5_IO_ERROR) {", "if (status == MD5_OPEN_ERROR) {",
      "a read error is not told on standard error, a missing file is told twice"),
    # -- the lookup ---------------------------------------------------------------
    B("lookup-path-max", "lookup/lookup_exchange.cpp",
      "tail.substr(1, kReportPath", "tail.substr(1, -1 + kReportPath",
      "the report address loses its last character"),
    B("lookup-off-host", "lookup/lookup_exchange.cpp",
      "path.front() != '/'", "path.front() == '\\\\'",
      "a reply can send the browser to another host"),
    B("lookup-path-offset", "lookup/lookup_exchange.cpp",
      "tail.substr(1, kReportPath", "tail.substr(0, kReportPath",
      "every report is an unexpected reply"),
    B("lookup-search-page", "lookup/lookup_exchange.cpp",
      "+ std::string(kSearchPagePath)", '+ std::string("/buscahash.html")',
      "an unknown hash opens the search page instead of the box"),
    B("lookup-search-page-query", "lookup/lookup_exchange.cpp",
      "outcome.address.starts_with(search_page)", "outcome.address == search_page",
      "an unknown hash with a query opens the browser"),
    B("lookup-nul-ignored", "lookup/lookup_exchange.cpp",
      "if (nul == nullptr)", "if (nul == nullptr || true)",
      "bytes after a NUL in the reply are used"),
    B("lookup-receive-size", "lookup/lookup_exchange.cpp",
      "char received[kReceiveBufferSize];", "char received[2 * kReceiveBufferSize];",
      "a marker after the first 1024 bytes is used"),
    B("lookup-first-marker", "lookup/lookup_exchange.cpp",
      "reply.find(kReplyMarker)", "reply.rfind(kReplyMarker)",
      "a page with two markers opens the path after the last one"),
    B("lookup-not-held-text", "lookup/lookup_exchange.h",
      '"Quellarion don\'t known this hash!"', '"Quellarion doesn\'t know this hash!"',
      "the unknown-hash box says something else"),
    B("lookup-not-held-icon", "lookup/lookup_exchange.cpp",
      "show_message_box(kTextNotHeld, kMessageBoxTitle, kIconInformation);",
      "show_message_box(kTextNotHeld, kMessageBoxTitle, kIconError);",
      "the unknown-hash box shows an error icon"),
    B("lookup-connect-text", "lookup/lookup_exchange.cpp",
      "show_message_box(kTextConnectFailed, kMessageBoxTitle, kIconError);",
      "show_message_box(kTextResolveFailed, kMessageBoxTitle, kIconError);",
      "a refused connection is told as a name that does not resolve"),
    B("lookup-content-length", "lookup/lookup_exchange.cpp",
      '"Content-Length: 48\\r\\n"', '"Content-Length: 47\\r\\n"',
      "the service reads the request body one byte short"),
    B("lookup-send-dropped", "lookup/lookup_exchange.cpp",
      "    net_send(socket, request, request_length);\n", "",
      "the service never gets the request"),
    B("lookup-digest-line-dropped", "lookup/driver.cpp",
      "    std::puts(md5_hex(&digest, text));\n", "    md5_hex(&digest, text);\n",
      "the digest is not printed"),
    B("lookup-open-failure-ignored", "lookup/driver.cpp",
      "if (md5_file_digest(argv[1], &digest) != MD5_OK)",
      "if (md5_file_digest(argv[1], &digest) != MD5_OK && false)",
      "a file that cannot be read is looked up anyway"),
    B("lookup-read-failure-ignored", "lookup/driver.cpp",
      "if (md5_file_digest(argv[1], &digest) != MD5_OK)",
      "if (md5_file_digest(argv[1], &digest) == MD5_OPEN_ERROR)",
      "a file that opens but cannot be read (a folder) has a digest it never computed posted"),
    B("lookup-search-page-anywhere", "lookup/lookup_exchange.cpp",
      "outcome.address.starts_with(search_page)",
      "outcome.address.find(kSearchPagePath) != std::string::npos",
      "a report whose path merely holds the search page's name is told as not held"),
    B("lookup-no-file-icon", "lookup/driver.cpp",
      "show_message_box(kTextNoFile, kMessageBoxTitle, kIconError);",
      "show_message_box(kTextNoFile, kMessageBoxTitle, kIconInformation);",
      "the no-file box shows an information icon"),
    B("lookup-replace-overlap", "lookup/replace_all.cpp",
      "scan = found + pattern.size();", "scan = found + 1;",
      "a second marker in the path is not turned into one blank"),
    # -- the POSIX platform edge -----------------------------------------------
    B("posix-box-line", "lookup/platform/platform_posix.cpp",
      '"%s: %s\\n", title, text', '"%s - %s\\n", title, text',
      "boxes are not told on standard error as TITLE: TEXT"),
    B("posix-display-ignored", "lookup/platform/platform_posix.cpp",
      '{"DISPLAY", "WAYLAND_DISPLAY"}', '{"WAYLAND_DISPLAY"}',
      "no dialog on an X11 desktop"),
    B("posix-box-kind", "lookup/platform/platform_posix.cpp",
      '(flags & 0x40u) != 0 ? "--info" : "--error"', '(flags & 0x10u) != 0 ? "--info" : "--error"',
      "error boxes show as information and the other way round"),
    B("posix-markup", "lookup/platform/platform_posix.cpp",
      "text_arg.data(), no_markup, nullptr}", "text_arg.data(), nullptr}",
      "box texts are read as markup"),
    B("posix-browser-ignored", "lookup/platform/platform_posix.cpp",
      "(browser != nullptr && *browser != '\\0') ? browser : fallback", "fallback",
      "the user's BROWSER is ignored"),
    B("posix-child-stdout", "lookup/platform/platform_posix.cpp",
      '    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);\n',
      "",
      "the browser's and the dialog's output mix with the digest line"),
    B("posix-port-order", "lookup/platform/platform_posix.cpp",
      "target.sin_port = htons(port);", "target.sin_port = port;",
      "the program never reaches the service (wrong port)"),
    # -- the service ------------------------------------------------------------
    B("service-unknown-opens-report", "service/web/consult.cpp",
      "return see_other(search_page_path(to_hex(md5)),", "return see_other(report_path(md5),",
      "an unknown file opens a report page instead of the information box"),
    B("service-marker-dropped", "service/web/consult.cpp",
      "    response.body += kReplyMarker;\n", "",
      "every lookup ends in \"Unexpected reply from server!\""),
    B("service-escape-lt", "service/web/text.cpp",
      "case '<':  out += \"&lt;\";", "case '<':  out += \"<\";",
      "a file name with markup runs as markup in the report page"),
    B("service-hex-capital-f", "service/store/digest_text.cpp",
      "if (c >= 'A' && c <= 'F')", "if (c >= 'A' && c <= 'E')",
      "a digest typed in capitals with an F in it is refused"),
    B("service-hex-length", "service/store/digest_text.cpp",
      "if (text.size() != 2 * out.size())", "if (text.size() < 2 * out.size())",
      "a digest with a stray character after it is taken for the digest"),
    B("service-report-path-offset", "service/web/report_path.cpp",
      "parse_hex(path.substr(0, kReportPathDigits), md5)",
      "parse_hex(path.substr(1, kReportPathDigits), md5)",
      "no report page is ever found"),
    B("service-import-uncommitted", "service/store/sqlite_store.cpp",
      'if (!merge(error) || !::commit(db_, error)) {', "if (!merge(error)) {",
      "an import reports success and leaves the store as it was"),
    B("service-verdict-downgrade", "service/store/sqlite_store.cpp",
      '" verdict = max(verdict, excluded.verdict)"', '" verdict = excluded.verdict"',
      "a file listed as bad is reported good once a later good list names it"),
    B("service-api-size", "service/web/api.cpp",
      'out += record.size ? std::to_string(*record.size) : "null";', 'out += "null";',
      "the JSON API never gives a file's size"),
    B("service-api-sha1-as-md5", "service/web/routes.cpp",
      '{"sha1/", DigestKind::Sha1}', '{"sha1/", DigestKind::Md5}',
      "the JSON API never finds a file by its SHA-1"),
    B("service-api-bulk-bound", "service/web/api.cpp",
      "if (asked.size() > kBulkMax)", "if (asked.size() > 10 * kBulkMax)",
      "one bulk request may ask for any number of digests"),
    B("service-api-utf8", "service/web/api.cpp",
      'out.append(length ? text.substr(i, length) : std::string_view("\\xef\\xbf\\xbd"));',
      "out.append(text.substr(i, length ? length : 1));",
      "a file whose name is not UTF-8 gets a JSON record that is not UTF-8"),
    B("service-search-redirect", "service/web/routes.cpp",
      "return see_other_page(report_path(record.md5));", 'return see_other_page("/");',
      "a held digest typed into the search form does not lead to its report"),
    B("service-escape-quote", "service/web/text.cpp",
      'case \'"\':  out += "&quot;"; break;', 'case \'"\':  out += "\\""; break;',
      "a file name with a quote breaks out of an attribute in a page"),
    B("service-page-policy", "service/web/http_bytes.cpp",
      'message.set("Content-Security-Policy", kPagePolicy);', "",
      "pages lose their guard against injected scripts and outside fetches"),
    B("service-header-block-bound", "service/web/server.cpp",
      "header_bytes_ > server_.options().header_limit",
      "header_bytes_ > 100 * server_.options().header_limit",
      "a client may send a header block of any size in small pieces"),
    B("service-slow-request-unanswered", "service/web/server.cpp",
      'return answer_error(408, "The request did not arrive in time.");', "return close();",
      "a client too slow to send its request is cut off without an answer"),
    B("service-body-bound-unanswered", "service/web/server.cpp",
      'return answer_error(413, "The request\'s body is too large.");', "return close();",
      "a client sending too large a body is cut off without an answer"),
    B("service-connection-bound", "service/web/server.cpp",
      "if (live < options_.max_connections)", "if (true)",
      "any number of connections is taken on"),
    B("service-foreign-store", "service/store/sqlite_store.cpp",
      "if (id != layout.mark)", "if (id != layout.mark && false)",
      "another program's SQLite file is taken for a store and written into"),
    B("service-newer-schema", "service/store/sqlite_store.cpp",
      "if (version > layout.schema)", "if (version > layout.schema + 100)",
      "a store made by a newer version is opened by an older one"),
    # -- the service run for real: metrics, health, unknown digests, bulk ------
    B("service-metrics-buckets-not-cumulative", "service/web/metrics.cpp",
      "below += route->buckets[i].load(relaxed);", "below = route->buckets[i].load(relaxed);",
      "latency quantiles in Grafana are wrong: the histogram's buckets are not cumulative"),
    B("service-metrics-status-lost", "service/web/metrics.cpp",
      "counted.by_status[status - 100].fetch_add(1, relaxed);",
      "counted.by_status[200 - 100].fetch_add(1, relaxed);",
      "every request is counted as a 200: error rates read zero"),
    B("service-metrics-route-lost", "service/web/routes.cpp",
      "        response.route = route_name(path);\n", "        (void)route_name(path);\n",
      "requests are not counted by route"),
    B("service-metrics-public", "service/web/routes.cpp",
      "if (request.operator_side)", 'if (request.operator_side || target.path == "/metrics")',
      "the metrics are served to anyone on the public port"),
    B("service-health-ignores-store", "service/web/serve_command.cpp",
      "return stores[worker]->probe(why) == StoreStatus::Ok;",
      "return stores[worker]->probe(why) == StoreStatus::Ok || true;",
      "the load balancer keeps sending requests to a service whose store is gone"),
    B("service-unknown-search-uncounted", "service/web/routes.cpp",
      "            context.unknown->asked(digest->bytes);\n", "",
      "digests typed into the search page and not held are not counted"),
    B("service-unknown-held-kept", "service/web/unknown_digests.cpp",
      "if (status == StoreStatus::NotFound) {", "if (status != StoreStatus::Error) {",
      "a digest imported since stays in the most-asked-not-held list"),
    B("service-unknown-lost-at-stop", "service/web/serve_command.cpp",
      "                lock.unlock();\n                save();\n", "                lock.unlock();\n",
      "a restart loses the counts of the last minute"),
    B("service-heavy-hitters-no-error", "service/web/heavy_hitters.cpp",
      "smallest.error = smallest.count;", "smallest.error = 0;",
      "a digest's count is shown as exact when it may include others' asks"),
    B("service-bulk-kind-unchecked", "service/web/api.cpp",
      "        if (!query || query->kind != kind)\n            return api_error(400, \"element \"",
      "        if (!query)\n            return api_error(400, \"element \"",
      "a bulk request for SHA-256 digests takes SHA-1s and MD5s too"),
    B("service-recent-records-kept", "service/store/sqlite_store.cpp",
      "if (version != recent_version_ || recent_.size() >= kRecentMax) {",
      "if (recent_.size() >= kRecentMax) {",
      "a running service keeps answering from before an import, for files it was asked about"),
    B("service-store-version-never-reread", "service/store/sqlite_store.cpp",
      "kVersionRecheck = std::chrono::milliseconds(1);", "kVersionRecheck = std::chrono::hours(1);",
      "a running service goes on answering from before an import made by the import command"),
    B("service-own-commit-not-announced", "service/store/sqlite_store.cpp",
      "        return false;\n    process_commits.fetch_add(1, std::memory_order_release);",
      "        return false;",
      "a service's other threads answer from before its own import or scan for up to a millisecond"),
    B("service-log-lines-held", "service/web/server.cpp",
      "                continue;\n            batch.flush();\n", "                continue;\n",
      "the access log shows a quiet service's requests only once it stops"),
    B("service-json-quote-unescaped", "service/web/api.cpp",
      "if (c == '\"' || c == '\\\\') {", "if (c == '\\\\') {",
      "a file name with a quote makes the JSON record unreadable"),
    # -- the store on PostgreSQL -----------------------------------------------
    B("pg-import-uncommitted", "service/store/postgres_store.cpp",
      '            || !run_fixed(link_, "COMMIT", error)) {', "            ) {",
      "an import into PostgreSQL reports success and is never seen by the service"),
    B("pg-verdict-downgrade", "service/store/postgres_store.cpp",
      '" verdict = greatest(f.verdict, s.verdict),"', '" verdict = s.verdict,"',
      "on PostgreSQL a file listed as bad turns good once a later good list names it"),
    B("pg-size-replaced", "service/store/postgres_store.cpp",
      '" size = coalesce(f.size, s.size),"', '" size = s.size,"',
      "on PostgreSQL a file's known size is replaced by a later list's"),
    B("pg-generation-not-bumped", "service/store/postgres_store.cpp",
      '            || !run_fixed(link_, "UPDATE brantwicker_store SET generation = generation + 1", error)\n',
      "",
      "a service on PostgreSQL keeps answering from before an import, for files it was asked about"),
    B("pg-recent-kept-across-generations", "service/store/postgres_store.cpp",
      "        if (generation != generation_)\n            records_.clear();\n", "",
      "a service on PostgreSQL keeps answering from before an import, for files it was asked about"),
    B("pg-recent-never-rechecked", "service/store/postgres_store.cpp",
      "return now - confirmed_ < postgres_recent_bound;", "return true;",
      "a service on PostgreSQL answers a file it was asked about as it was then, for ever"),
    B("pg-name-twice", "service/store/postgres_store.cpp",
      "array_agg(DISTINCT name)", "array_agg(name)",
      "a list that names a file twice under one name fails to import into PostgreSQL"),
    B("pg-listed-again", "service/store/postgres_store.cpp",
      '"  WHERE f.md5 IS NULL OR position($1::bytea IN f.sources) = 0 GROUP BY s.verdict),"',
      '"  GROUP BY s.verdict),"',
      "a list imported again into PostgreSQL fails instead of adding what is new"),
    B("pg-names-order", "service/store/postgres_store.cpp",
      '" ORDER BY part, o, a"', '" ORDER BY part, o, a DESC"',
      "lookup prints another first name from PostgreSQL than from SQLite"),
    B("pg-size-field", "service/store/postgres_store.cpp",
      "                put32(buffer_, static_cast<std::uint32_t>(*entry.size >> 32));\n", "",
      "every list that gives sizes fails to import into PostgreSQL"),
    B("pg-foreign-database", "service/store/postgres_store.cpp",
      "c.relkind IN ('r', 'p', 'v', 'm', 'f')", "c.relkind IN ('x')",
      "an import writes the store's tables into another program's database"),
    B("pg-newer-schema", "service/store/postgres_store.cpp",
      "if (version != current_schema) {", "if (version < current_schema) {",
      "a PostgreSQL store made by a newer version is used by an older one"),
    B("pg-imports-unserialised", "service/store/postgres_store.cpp",
      "|| !run_fixed(primary, lock.c_str(), error)) {", ") {",
      "two imports into one database run at once instead of one after the other"),
    B("pg-no-reconnect", "service/store/postgres_store.cpp",
      "if (link.connection() || link.resting() || Clock::now() >= deadline)", "if (true)",
      "after a database restart the service answers 503 until the next pause is over"),
    B("pg-no-fallback", "service/store/postgres_store.cpp",
      "        for (Link& link : links_) {",
      "        for (Link& link : std::span(links_).first(1)) {",
      "with one replica down the service answers 503 although others are up"),
    B("pg-wait-unbounded", "service/store/postgres_store.cpp",
      "    if (deadline == no_deadline)\n", "    if (true)\n",
      "a database server that hangs makes every request hang with it"),
    B("pg-scan-not-written", "service/store/postgres_store.cpp",
      "WHERE $11::text = 't'", "WHERE $11::text = 'x'",
      "on PostgreSQL an upload is answered with its scan, which is then kept nowhere"),
    B("pg-scans-oldest-first", "service/store/postgres_store.cpp",
      '" UNION ALL SELECT 4, -x.id,', '" UNION ALL SELECT 4, x.id,',
      "on PostgreSQL the report lists the scans oldest first"),
    B("pg-scan-not-found-by-sha1", "service/store/postgres_store.cpp",
      'RECORD_OF(KEY_BY("sha1"),',
      'RECORD_OF("k AS (SELECT md5 FROM files WHERE " FILE_BY("sha1", "$1::bytea") " LIMIT 1), ",',
      "on PostgreSQL an uploaded file that no list holds is not found by its SHA-1"),
    B("pg-upload-found-counts-unknown", "service/store/postgres_store.cpp",
      "(2 * found)::smallint", "0::smallint",
      "on PostgreSQL uploads clamd found something in are counted as unknown files"),
    B("pg-scan-generation-kept", "service/store/postgres_store.cpp",
      '" UPDATE brantwicker_store SET generation = generation + 1"',
      '" UPDATE brantwicker_store SET generation = generation"',
      "instances keep answering from cached records that a scan has since changed"),
    B("pg-unknown-overwritten", "service/store/postgres_store.cpp",
      '" ON CONFLICT (digest) DO UPDATE SET count = u.count + excluded.count,"',
      '" ON CONFLICT (digest) DO UPDATE SET count = excluded.count,"',
      "instances' counts of an unknown digest overwrite each other instead of adding up"),
    B("pg-unknown-whole-counts-again", "service/store/postgres_store.cpp",
      "if (saved != saved_.end() && saved->second.first <= count) {", "if (false) {",
      "each flush adds an instance's whole count again, so the counts grow every minute"),
    B("pg-unknown-first-asked-latest", "service/store/postgres_store.cpp",
      "first_asked = least(u.first_asked,", "first_asked = greatest(u.first_asked,",
      "a digest's first ask is shown as the latest instance's first ask"),
    B("pg-unknown-held-kept", "service/store/postgres_store.cpp",
      "|| !run(drop_held_sql, {}, deadline, error)", "",
      "a digest imported since stays in the shared most-asked-not-held list"),
    B("pg-unknown-unbounded", "service/store/postgres_store.cpp",
      "|| !run(bound_unknown_sql, bound, deadline, error)", "",
      "the shared table of unknown digests grows without bound"),
    B("scan-store-down-500", "service/web/upload_routes.cpp",
      'failure(api, 503, "Store unavailable"', 'failure(api, 500, "Store unavailable"',
      "an upload while the primary database is down is answered 500, not 503"),
    B("pg-stronger-verdict-keeps-label", "service/store/postgres_store.cpp",
      "\" label = CASE WHEN s.verdict > f.verdict OR", "\" label = CASE WHEN (s.verdict > f.verdict AND s.label <> '') OR",
      "on PostgreSQL a file a later list calls bad keeps the product label an earlier good list gave"),
    B("pg-fold-label-of-weaker-verdict", "service/store/postgres_store.cpp",
      "CASE WHEN (array_agg(verdict) FILTER (WHERE label <> ''))[1] = max(verdict)", "CASE WHEN true",
      "on PostgreSQL a file one list names bad and good is labelled with the good line's product"),
    B("pg-rewrite-grants-lost", "service/store/postgres_store.cpp",
      "if (!run_fixed(link_, copy_grants, error))", "if (false)",
      "after a large import into PostgreSQL the service's own role may no longer read the files"),
    B("pg-rewrite-drops-held", "service/store/postgres_store.cpp",
      "                                 || !run_fixed(link_, copy_held, error)\n", "",
      "a list longer than the PostgreSQL store replaces everything it held"),
    B("pg-name-added-later-lost", "service/store/postgres_store.cpp",
      '" OR NOT s.names <@ array_prepend(f.name, f.more_names))"', '")"',
      "on PostgreSQL a name a source gives a file it already listed is dropped"),
    B("pg-folded-left-behind", "service/store/postgres_store.cpp",
      '                || !run_fixed(link_, "DROP TABLE import_folded", error))\n', "                )\n",
      "every import into a PostgreSQL store that holds files fails after the first"),
    B("pg-any-scheme", "service/store/store.cpp",
      "if (is_postgres_location(location))", "if (location.starts_with(\"postgresql://\"))",
      "a postgres:// URI is taken for a SQLite file name"),
    B("service-store-error-500", "service/web/consult.cpp",
      'short_page(503, "Store unavailable"', 'short_page(500, "Store unavailable"',
      "a store that went away answers the program with 500, not 503"),
    B("service-md5sum-newline-name", "service/import/list_formats.cpp",
      "case 'n':  name += '\\n'; break;", "case 'n':  name += 'n'; break;",
      "a name holding a line break is imported from an md5sum list as another name"),
    B("service-md5sum-binary-marker", "service/import/list_formats.cpp",
      "(line[33] != ' ' && line[33] != '*')", "line[33] != ' '",
      "every line of a list made by md5sum in binary mode is skipped"),
    B("service-hdb-any-size", "service/import/list_formats.cpp",
      'if (fields[1] != "*" && !parse_size(fields[1], size))', "if (!parse_size(fields[1], size))",
      "signatures that match a file of any size are skipped"),
    B("service-nsrl-doubled-quote", "service/import/list_formats.cpp",
      "field += line[++at];", "break;",
      "an NSRL name with a quote in it is cut short"),
    B("service-skipped-line-text", "service/import/import_command.cpp",
      '"%s:%s%llu: skipped: %.*s\\n"', '"%s:%s%llu: ignored: %.*s\\n"',
      "the import no longer says on which line a bad line was"),
    # -- the scanner and uploads ---------------------------------------------
    B("scan-found-not-bad", "service/store/store.cpp",
      "        out.verdict = Verdict::Bad;\n", "",
      "a file clamd found something in is not reported bad"),
    B("scan-clean-counts-as-found", "service/store/store.cpp",
      "[](const ScanRecord& scan) { return scan.found; });", "[](const ScanRecord&) { return true; });",
      "a clean scan makes a known good file bad"),
    B("scan-oldest-first", "service/store/sqlite_store.cpp",
      "FROM scans WHERE md5 = ?1 ORDER BY id DESC", "FROM scans WHERE md5 = ?1 ORDER BY id",
      "the report lists the scans oldest first"),
    B("scan-upload-only-not-found", "service/store/sqlite_store.cpp",
      "return read_uploads(md5, false, out, error);", "return StoreStatus::NotFound;",
      "a scanned file that no list holds has no report, and the program still says it is unknown"),
    B("scan-live-file-not-made", "service/store/sqlite_store.cpp",
      "(mode == StoreMode::Service && !prepare_live_file(live, error))", "false",
      "scan results are kept nowhere that the pages read"),
    B("scan-always-rescanned", "service/analysis/pipeline.cpp",
      "(now && work.held && std::any_of(", "(now && false && std::any_of(",
      "a file uploaded again is scanned again with the same signatures"),
    B("scan-stall-bounds-whole-upload", "service/web/upload_routes.cpp",
      "if (!ready(POLLIN, Clock::now() + timeout_))", "if (!ready(POLLIN, started_ + timeout_))",
      "a slow but steady upload is cut off once the read time-out has passed in all"),
    B("scan-limit-off-by-one", "service/web/upload_routes.cpp",
      "digests.size() + bytes.size() > options_.max_bytes", "digests.size() + bytes.size() >= options_.max_bytes",
      "a file of exactly --scan-max-bytes is refused"),
    B("scan-jobs-unbounded", "service/analysis/scan_pool.cpp",
      "if (busy_ >= threads_.size())", "if (false)",
      "uploads past --scan-jobs wait without end instead of a 503"),
    B("scan-busy-without-retry-after", "service/web/upload_routes.cpp",
      "    busy.retry_after = std::string(kRetryBusy);\n", "",
      "a busy service does not say when to try again"),
    B("scan-no-length-taken", "service/web/upload_routes.cpp",
      "if (!start.content_length)", "if (false)",
      "an upload without a Content-Length is taken for an empty file"),
    B("scan-garbage-as-down", "service/analysis/clamd_client.cpp",
      '    detail = "not clamd\'s answer to VERSION: \\"" + printable(reply) + "\\"";\n    return ScanFault::Garbled;',
      '    detail = "not clamd\'s answer to VERSION: \\"" + printable(reply) + "\\"";\n    return ScanFault::Unreachable;',
      "something else in clamd's place is told as clamd being down"),
    B("scan-timeout-as-down", "service/analysis/clamd_client.cpp",
      'detail = "clamd did not answer in time";\n                return ScanFault::TimedOut;',
      'detail = "clamd did not answer in time";\n                return ScanFault::Unreachable;',
      "a hung clamd is told as one that is down, not as a time-out"),
    B("scan-size-limit-as-garbage", "service/analysis/clamd_client.cpp",
      "    if (reply.find(\"size limit exceeded\") != std::string_view::npos)\n        return ScanFault::TooLarge;\n", "",
      "clamd's own size limit gives 502 instead of 413"),
    B("scan-killed-clamd-as-garbage", "service/analysis/clamd_client.cpp",
      "        fault = send_all(fd_, piece, deadline, detail);\n    return fault == ScanFault::Unreachable ? broken(detail) : fault;",
      "        fault = send_all(fd_, piece, deadline, detail);\n    return fault == ScanFault::Unreachable ? ScanFault::Garbled : fault;",
      "clamd going away during a scan gives 502 instead of 503"),
    B("scan-chunk-length-order", "service/analysis/clamd_client.cpp",
      "static_cast<char>(size >> 24), static_cast<char>(size >> 16)", "static_cast<char>(size), static_cast<char>(size >> 16)",
      "clamd is sent wrong chunk lengths and no upload is scanned"),
    B("scan-sha256-wrong", "service/analysis/file_digests.cpp",
      "EVP_DigestInit_ex(sha256, EVP_sha256(), nullptr)", "EVP_DigestInit_ex(sha256, EVP_sha224(), nullptr)",
      "uploads are kept under a wrong SHA-256"),
    B("scan-two-file-parts", "service/analysis/multipart_reader.cpp",
      "    if (file_seen_)\n        return MultipartStatus::TwoFileParts;\n", "",
      "a form with two files is scanned as their bytes run together"),
    B("scan-part-header-unbounded", "service/analysis/multipart_reader.cpp",
      "pending_.size() > limits_.header_block + 3", "pending_.size() > 1000 * limits_.header_block",
      "a part's header block may grow without bound"),
    B("scan-early-body-lost", "service/web/server.cpp",
      "    start.early.assign(static_cast<const char*>(early.data()), early.size());\n", "",
      "an upload sent with its headers in one piece stalls and is cut off"),
    B("scan-body-bound-skipped", "service/web/server.cpp",
      "if (parser_->content_length().value_or(0) > body_limit)", "if (false)",
      "any route reads a body of any size"),
    B("scan-not-offered-when-not-held", "service/web/pages.cpp",
      "    if (upload && status == 404)\n        html += upload_form();\n", "",
      "the not-held notice offers no upload"),
    B("scan-clean-not-said", "service/web/pages.cpp",
      ': ", nothing found.";', ': ".";',
      "the report of a clean file does not say that nothing was found"),
    B("scan-count-not-reported", "service/web/api.cpp",
      '        {"scans", scans},\n', '        {"scans", 0},\n',
      "the information page does not count the scans"),
    # -- feeds: RDS, MalwareBazaar, VirusShare, archives ------------------------
    B("feed-xz-unread", "service/import/archive_input.cpp",
      "    archive_read_support_filter_xz(archive_);\n", "",
      "a list compressed with xz is refused as damaged"),
    B("feed-raw-passthrough", "service/import/archive_input.cpp",
      "if (raw && archive_filter_code(archive_, 0) == ARCHIVE_FILTER_NONE) {", "if (false) {",
      "a file named .gz that holds no gzip stream is read as a list instead of refused"),
    B("feed-damaged-list-stored", "service/import/entry_feed.cpp",
      "case LineReader::Next::Error:   return {LineOutcome::Ignored, {}, Step::Failed};",
      "case LineReader::Next::Error:   return {LineOutcome::Ignored, {}, Step::End};",
      "the part of a damaged zip read before the damage is stored"),
    B("feed-zip-first-list-only", "service/import/import_command.cpp",
      "        if (archive.failed())\n            return;", "        return;",
      "a zip holding several lists imports only the first"),
    B("feed-readme-fails-zip", "service/import/import_command.cpp",
      "if (!format && in_zip) {", "if (!format && in_zip && false) {",
      "a feed's zip with a read-me beside its list fails the import"),
    B("feed-sqlite-as-text", "service/import/import_command.cpp",
      "if (options.format && *options.format != ListFormat::Rds)", "if (false)",
      "a database given with --format bazaar is imported as an RDS one all the same"),
    B("feed-copy-kept", "service/import/unpacked_copy.cpp",
      "        ::unlink(path_.c_str());\n", "",
      "every RDS import from a zip leaves a full copy of the database in TMPDIR"),
    B("feed-free-space-unchecked", "service/import/unpacked_copy.cpp",
      "if (size && *size > free_bytes)", "if (false)",
      "a database larger than TMPDIR's room is unpacked until the disk is full"),
    B("feed-copy-kept-on-ctrl-c", "service/import/unpacked_copy.cpp",
      "    ::unlink(signalled_path);\n", "",
      "Ctrl-C while an RDS database is unpacked leaves the copy in TMPDIR"),
    B("feed-bazaar-label-order", "service/import/list_formats.cpp",
      "{signature, clamav, file_type}", "{file_type, signature, clamav}",
      "MalwareBazaar samples are labelled by file type rather than by their family"),
    B("feed-bazaar-na-kept", "service/import/list_formats.cpp",
      'if (fields[found] == "n/a")', "if (false)",
      "MalwareBazaar samples without a SHA-1 or SHA-256 are skipped"),
    B("feed-virusshare-unguessed", "service/import/list_formats.cpp",
      "            if (!virusshare_name(line).empty())\n                return ListFormat::VirusShare;\n", "",
      "a VirusShare list needs --format"),
    B("feed-virusshare-source", "service/import/list_formats.cpp",
      "name.empty() ? named : std::string(name)", "name.empty() ? named : named",
      "a VirusShare list is recorded under its file name, not the list's own name"),
    B("feed-rds-schema-unchecked", "service/import/rds_reader.cpp",
      "    if (!missing.empty()) {", "    if (false) {",
      "an RDS database without its columns is refused without saying what is missing"),
    B("feed-rds-own-store", "service/import/rds_reader.cpp",
      "== store_application_id)", "== -1)",
      "importing the store itself is refused only as a foreign database"),
    B("feed-rds-release", "service/import/rds_reader.cpp",
      'release = "NSRL " + std::string', "release = std::string",
      "an RDS release is recorded as a bare version number"),
    B("feed-rds-product-version", "service/import/rds_reader.cpp",
      "    entry.label.append(release);\n", "",
      "NSRL files are labelled with the product without its version"),
    B("feed-bomb-line-kept", "service/import/line_reader.cpp",
      "if (!too_long && line_.size() + length <= max_line)", "if (!too_long)",
      "a compressed stream of one endless line fills memory"),
    B("feed-digest-index-dropped", "service/store/sqlite_store.cpp",
      "(rebuild && (!run(db_, schema_sql[1], error) || !run(db_, schema_sql[2], error)))", "false",
      "after a large import, look-ups by SHA-1 and SHA-256 scan the whole store"),
    B("service-lookup-newline", "service/shell_text.cpp",
      'case \'\\n\': out += "\\\\n";  continue;', 'case \'\\n\': out += "\\n";  continue;',
      "a name holding a line break splits a lookup record over two lines"),
    B("service-report-verdict-text", "service/web/pages.cpp",
      'case Verdict::Bad:     return "Bad: known to be harmful";',
      'case Verdict::Bad:     return "Good: known software";',
      "a bad file's report page says \"Good: known software\""),
    B("service-report-verdict-colour", "service/web/pages.cpp",
      "    html += verdict_name(record.verdict);\n", '    html += "good";\n',
      "every report's verdict line is coloured as good"),
    B("service-report-label", "service/web/pages.cpp",
      '    if (!record.label.empty())\n        add_term(html, "Label", html_escape(record.label));\n', "",
      "the report page no longer names the signature or package that listed the file"),
    B("service-report-date", "service/web/pages.cpp",
      'html_escape(source.imported) + "</td></tr>\\n";', 'html_escape(source.name) + "</td></tr>\\n";',
      "the report page's Imported column shows the source's name, not its date"),
    B("service-api-date", "service/web/api.cpp",
      "add_string(out, record.sources[i].imported);", "add_string(out, record.sources[i].name);",
      "the JSON record gives a source's name as its import date"),
    B("service-reimport-date", "service/store/sqlite_store.cpp",
      '" ON CONFLICT (name) DO UPDATE SET imported = excluded.imported"',
      '" ON CONFLICT (name) DO UPDATE SET name = excluded.name"',
      "a source imported again keeps showing its first import's date"),
    B("service-api-bulk-twice", "service/web/api.cpp",
      "if (!seen.emplace(query.bytes.begin(), query.bytes.end()).second)",
      "if (!seen.emplace(query.bytes.begin(), query.bytes.end()).second && false)",
      "a file asked for twice in one bulk request is answered twice"),
    B("service-lookup-status", "service/query_commands.cpp",
      "            status = some_not_held;\n", "",
      "lookup exits 0 when some digests are not held"),
    B("service-lookup-not-held-line", "service/query_commands.cpp",
      '"%s  not held\\n"', '"%s  unknown\\n"',
      "lookup prints a digest it does not hold as if held without a verdict"),
    B("service-lookup-typo-skipped", "service/query_commands.cpp",
      "hash.c_str());\n            return usage_or_store_error;", "hash.c_str());\n            continue;",
      "lookup passes over a mistyped digest and exits as if all were held"),
    B("service-stats-count", "service/query_commands.cpp",
      "static_cast<unsigned long long>(count.files)", "static_cast<unsigned long long>(counts.size())",
      "stats shows the number of rows instead of each source's file count"),
    B("service-import-status", "service/import/import_command.cpp",
      "return totals.failed_files == 0 ? 0 : 1;", "return 0;",
      "an import where a list was not imported exits 0"),
    B("service-import-read-error", "service/import/line_reader.cpp",
      "if (got == 0 && std::ferror(file_)) {", "if (false) {",
      "a list that opens but cannot be read (a folder) is imported as empty, and the import exits 0"),
    B("service-import-already-listed", "service/import/import_progress.cpp",
      "std::to_string(totals.entries - totals.new_listings)", "std::to_string(totals.entries)",
      "the import's summary counts new files as already listed too"),
    B("service-import-more-skipped", "service/import/import_command.cpp",
      "static_cast<unsigned long long>(result.skipped - reported_lines)",
      "static_cast<unsigned long long>(result.skipped)",
      "the count of skipped lines past the first ten includes those ten"),
    # -- faults found by reading, and outcomes held since -----------------------
    B("serve-descriptor-bound-wraps", "service/web/server.cpp",
      "    if (descriptors <= taken)\n        return 0;\n", "",
      "with a descriptor limit below the threads and the reserve, connections are unbounded"),
    B("serve-descriptors-guessed", "service/web/serve_command.cpp",
      "const std::uint64_t taken = open ? *open", "const std::uint64_t taken = false ? *open",
      "the connection bound counts one descriptor per store, and the service runs out under load"),
    B("merge-product-label-on-bad-sqlite", "service/store/sqlite_store.cpp",
      "\" label = CASE WHEN excluded.verdict > verdict\"",
      "\" label = CASE WHEN excluded.label <> '' AND excluded.verdict > verdict\"",
      "a bad file listed good elsewhere reads as bad with the product's name as its family"),
    B("merge-product-label-on-bad-postgres", "service/store/postgres_store.cpp",
      "\" label = CASE WHEN s.verdict > f.verdict OR",
      "\" label = CASE WHEN s.label <> '' AND s.verdict > f.verdict OR",
      "on PostgreSQL, a bad file listed good elsewhere carries the product's name as its family"),
    B("metric-uploads-only-missing-sqlite", "service/store/sqlite_store.cpp",
      "\"  WHERE NOT EXISTS (SELECT 1 FROM files AS f WHERE f.md5 = u.md5) GROUP BY found\"",
      "\"  WHERE false GROUP BY found\"",
      "files known only from uploads are missing from brantwicker_store_files"),
    B("metric-uploads-only-missing-postgres", "service/store/postgres_store.cpp",
      "\"  WHERE NOT EXISTS (SELECT FROM files AS f WHERE f.md5 = u.md5) GROUP BY found\"",
      "\"  WHERE false GROUP BY found\"",
      "on PostgreSQL, files known only from uploads are missing from brantwicker_store_files"),
    B("upload-found-stays-good", "service/store/store.cpp",
      "(out.verdict != Verdict::Bad || out.label.empty())", "out.verdict == Verdict::Unknown",
      "a file a list calls good stays good when a scan finds it infected"),
    B("multipart-holds-a-byte-short", "service/analysis/multipart_reader.cpp",
      "std::min(pending_.size(), delimiter_.size() - 1);", "std::min(pending_.size(), delimiter_.size() - 2);",
      "a form cut one byte before its boundary's end gets a wrong file, or none"),
    B("import-packed-by-suffix-only", "service/import/archive_input.cpp",
      "if (first_bytes.starts_with(kind.magic))", "if (first_bytes.starts_with(kind.magic) && first_bytes.empty())",
      "a packed list without its suffix, or piped in, is read as text and imports nothing"),
    B("clamd-full-queue-taken-as-connected", "service/analysis/clamd_client.cpp",
      "if (error == EAGAIN && family == AF_UNIX) {", "if (error == EAGAIN && family == AF_UNIX && false) {",
      "a busy clamd is told as unreachable"),
    B("clamd-busy-not-retried", "service/analysis/clamd_client.cpp",
      "if (Clock::now() + kBusyPause >= deadline) {", "if (true) {",
      "an upload gets 503 while clamd's queue frees within the scan time-out"),
    B("clamd-empty-piece-ends-stream", "service/analysis/clamd_client.cpp",
      "    if (piece.empty())\n        return ScanFault::None;  // an empty chunk would end the stream\n", "",
      "an upload whose body comes after its headers is scanned as nothing, and a bad file comes back clean"),
    B("health-waits-out-scan-timeout", "service/analysis/scanner.cpp",
      "std::min(timeout_, kReportWait)", "timeout_",
      "health and the information page wait out the scan time-out on a clamd that never answers"),
    B("rescan-skipped-after-signature-update", "service/analysis/clamav_analyser.cpp",
      ": scan.signature_version == now.signature_version;", ": !scan.signature_version.empty();",
      "a file scanned before a signature update is answered from the old scan"),
    B("pg-service-tables-left-to-the-service", "service/store/postgres_store.cpp",
      "        for (const char* sql : service_tables_sql)\n            ok = ok && run_fixed(link, sql, error);\n", "",
      "on PostgreSQL with the documented roles, every upload and every look-up session fails"),
    # -- kept samples analysed again ---------------------------------------------
    B("rescan-claim-shared-sqlite", "service/store/sqlite_store.cpp",
      '"SELECT sha256, asked, newest FROM rescan_queue WHERE claimed IS NULL"',
      '"SELECT sha256, asked, newest FROM rescan_queue WHERE 1 OR claimed IS NULL"',
      "two workers analyse one sample at once"),
    B("rescan-claim-shared-pg", "service/store/postgres_store.cpp",
      "            if (column_integer(locked.get(), 0, 0) == 0)\n                continue;\n", "",
      "on PostgreSQL two instances analyse one sample at once"),
    B("rescan-order-queued-sqlite", "service/store/sqlite_store.cpp",
      '" ORDER BY asked DESC, newest DESC, queued LIMIT 1"', '" ORDER BY queued LIMIT 1"',
      "the samples most asked for wait behind all the others"),
    B("rescan-order-queued-pg", "service/store/postgres_store.cpp",
      '" ORDER BY asked DESC, newest DESC, queued LIMIT 64"', '" ORDER BY queued LIMIT 64"',
      "on PostgreSQL the samples most asked for wait behind all the others"),
    B("rescan-requeue-keeps-count", "service/store/sqlite_store.cpp",
      '"UPDATE rescan_queue SET asked = max(asked, ?2) WHERE sha256 = ?1"',
      '"UPDATE rescan_queue SET asked = asked WHERE sha256 = ?1"',
      "a sample asked for again keeps its late place in the queue"),
    B("rescan-claims-kept-on-close", "service/store/sqlite_store.cpp",
      "~SqliteStore() override { release_claims(); }", "~SqliteStore() override {}",
      "samples a closed connection held are never analysed again by this process"),
    B("rescan-dead-claims-kept", "service/store/sqlite_store.cpp",
      '" OR substr(claimed, 1, length(?1)) <> ?1"', '" OR 0"',
      "after a crash the sample in hand is never analysed again and the queue never empties"),
    B("rescan-change-unnoticed", "service/web/rescans.cpp",
      "if (seen != seen_text(*now))", "if (false && seen != seen_text(*now))",
      "a kept file stays clean after clamd's signatures learn it"),
    B("rescan-change-uncounted", "service/web/rescans.cpp",
      "        metrics_.verdict_changed(static_cast<int>(was), static_cast<int>(after.verdict));\n", "",
      "brantwicker_verdict_changes_total stays 0 when a kept file turns bad"),
    B("rescan-clamd-away-dropped", "service/web/rescans.cpp",
      "return passing ? Outcome::Retry : Outcome::Dropped;", "return passing && false ? Outcome::Retry : Outcome::Dropped;",
      "a sample queued while clamd is away is never analysed again"),
    B("rescan-route-200", "service/web/api.cpp",
      "WebResponse response = json_response(202, json);", "WebResponse response = json_response(200, json);",
      "POST .../rescan answers 200 for work not yet done"),
    B("rescan-button-missing", "service/web/pages.cpp",
      "if (rescan && record.sha256)", "if (false && rescan && record.sha256)",
      "the report of a kept file offers no button to scan it again"),
    B("rescan-uploads-not-kept", "service/web/upload_routes.cpp",
      "if (options_.samples && outcome.fault == ScanFault::None && !outcome.store_failed) {",
      "if (false) {",
      "with --samples no upload is kept, and nothing can be analysed again"),
    # -- command lines, man pages, packages, the read-me's links ----------------
    B("cli-help-lists-no-options", "service/command_line.h",
      "                print_row(row.name, row.value, row.help);\n", "                (void)row;\n",
      "a subcommand's --help, and so its man page, lists none of its options"),
    B("cli-help-on-stderr", "service/command_line.h",
      "print_usage(stdout, table.name, table.operands);",
      "print_usage(stderr, table.name, table.operands);",
      "--help prints its first line on standard error"),
    B("cli-wrong-use-status", "service/command_line.h",
      "return parsed == Parsed::Wrong ? 2 : 0;", "return parsed == Parsed::Wrong ? 1 : 0;",
      "a wrong use of the service exits 1, as a failed import does, instead of 2"),
    B("cli-import-without-files", "service/import/import_command.cpp",
      "        return !o.files.empty();\n", "        return true;\n",
      "import DB --format rds with no file runs, imports nothing and exits 0"),
    B("cli-md5-version", "tools/md5_tool.cpp",
      'std::puts("brantwicker-md5 " BRANTWICKER_VERSION);', 'std::puts("brantwicker-md5");',
      "brantwicker-md5 --version prints no version"),
    B("cli-desktop-any-option-is-help", "lookup/driver.cpp",
      'std::strcmp(argv[1], "--help") == 0', 'std::strncmp(argv[1], "--", 2) == 0',
      "a file whose name starts with -- is never looked up: the help is printed"),
    B("man-page-loses-plain-options", "packaging/man/man_page.cmake",
      'string(APPEND page ".TP\\n.B ${name}\\n")', 'string(APPEND page ".TP\\n")',
      "the man page's options that take no value lose their names"),
    B("man-page-names-a-missing-option", "packaging/man/brantwicker-service.8.in",
      '.BR "\\-\\-metrics\\-listen 127.0.0.1:9100" ).',
      '.BR "\\-\\-metrics\\-port 127.0.0.1:9100" ).',
      "the man page tells operators to use an option the service does not have"),
    B("deb-man-pages-timestamped", "packaging/man/man_pages.cmake",
      "COMMAND ${BRANTWICKER_GZIP} -9nkf ${out}", "COMMAND ${BRANTWICKER_GZIP} -kf ${out}",
      "the man pages are compressed with a time stamp and not to the most: lintian warns"),
    B("deb-no-copyright", "cmake/Packaging.cmake",
      "  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright\n", "  install(FILES\n",
      "the package has no copyright file: lintian's error"),
    B("completion-no-formats", "packaging/brantwicker-service.bash-completion",
      "s/^FORMAT is one of \\(.*\\)\\.$/\\1/p", "s/^FORMATS: \\(.*\\)\\.$/\\1/p",
      "bash offers no formats after import --format"),
    B("msi-verb-key", "packaging/brantwicker.wxs",
      'Key="*\\shell\\Brantwicker\\command"', 'Key="*\\shell\\Brantwicker\\cmd"',
      "the right-click entry has no command: choosing it does nothing"),
    B("msi-verb-no-file", "packaging/brantwicker.wxs",
      "brantwicker.exe&quot; &quot;%1&quot;", "brantwicker.exe&quot;",
      "the right-click entry starts the program without the file: 'Can't get file!'"),
    B("msi-no-major-upgrade", "packaging/brantwicker.wxs",
      '<MajorUpgrade DowngradeErrorMessage="A newer Quellarion Brantwicker is already installed."/>',
      "",
      "a newer installer installs beside the old version instead of replacing it"),
    B("msi-send-to-elsewhere", "packaging/brantwicker.wxs",
      '<DirectoryRef Id="SendToFolder">', '<DirectoryRef Id="INSTALLDIR">',
      "'Look up with Brantwicker' is missing from the Send to menu"),
    B("docs-link-to-nothing", "README.md",
      "(docs/service.md)", "(docs/services.md)",
      "the read-me's link to running the service leads nowhere"),
    B("docs-anchor-to-nothing", "docs/api.md",
      "[Running the service](service.md)", "[Running the service](service.md#running)",
      "a link from the API page points at a heading that does not exist"),
    # -- analysis ---------------------------------------------------------------
    B("yara-info-rule-counts", "service/analysis/yara_analyser.cpp",
      "if (!info && !out->counts) {", "if (!out->counts) {",
      "a rule tagged info makes a file bad"),
    B("yara-bad-file-in-the-set", "service/analysis/yara_rules.cpp",
      'errors.push_back({file.name, message.empty() ? "does not compile" : message});\n            continue;',
      'errors.push_back({file.name, message.empty() ? "does not compile" : message});',
      "one rule file that does not compile turns all YARA matching off"),
    B("yara-reload-drops-old-set", "service/analysis/yara_rules.cpp",
      "    errors_ = std::move(errors);\n    if (!good) {\n",
      "    errors_ = std::move(errors);\n    if (!good) {\n        current_ = nullptr;\n",
      "a SIGHUP with nothing that compiles leaves no rules in force"),
    B("yara-other-rule-set-answers", "service/analysis/analyser.h",
      "            && earlier.signature_version == now.signature_version;", ";",
      "a file matched under an old rule set is not matched again under the new one"),
    B("yara-timeout-ignored", "service/analysis/yara_analyser.cpp",
      "on_scan, &collected, seconds);", "on_scan, &collected, 0);",
      "a slow rule holds an upload far past --yara-timeout"),
    B("analysis-fault-refuses-upload", "service/analysis/pipeline.cpp",
      "if (depth == 0 && analysers_[i]->required()) {", "if (depth == 0) {",
      "a YARA time-out refuses the upload instead of showing the fault beside clamd's scan"),
    B("analysis-mime-is-description", "service/analysis/file_type_analyser.cpp",
      "    found.mime = mime;\n", "    found.mime = text;\n",
      "the MIME type shows libmagic's description"),
    B("archive-member-verdict-ignored", "service/analysis/pipeline.cpp",
      "if (member_verdict == Verdict::Bad && contains.empty())", "if (false && contains.empty())",
      "a zip holding a bad member is not bad"),
    B("archive-member-unnamed", "service/analysis/pipeline.cpp",
      "                inside.name = member.name;\n", "",
      "a member's report does not name its path inside the archive"),
    B("archive-password-ignored", "service/analysis/pipeline.cpp",
      "        extract_.passwords.push_back(password);\n", "        (void)password;\n",
      "the uploader's password is never tried"),
    B("archive-depth-off-by-one", "service/analysis/pipeline.cpp",
      "const bool too_deep = depth >= limits_.depth;", "const bool too_deep = depth > limits_.depth;",
      "archives are opened one level past --extract-depth"),
    B("form-password-ignored", "service/analysis/multipart_reader.cpp",
      'password = text == "password";', "password = false;",
      "the password given in the upload form is never tried"),
    B("store-links-direction", "service/store/sqlite_store.cpp",
      "const bool children = direction == LinkDirection::Children;",
      "const bool children = direction != LinkDirection::Children;",
      "/parents and /children answer each other's question"),
    B("store-members-out-of-order", "service/store/sqlite_store.cpp",
      '" ORDER BY position", error))', '" ORDER BY name", error))',
      "an archive's members are listed out of its order"),
    B("store-members-unbounded", "service/store/sqlite_store.cpp",
      '" AND position < 2000" // kMembersListed', '" AND position >= 0"',
      "every look-up of an archive of a hundred thousand members reads them all"),
    B("store-old-faults-kept", "service/store/sqlite_store.cpp",
      '"DELETE FROM analyser_faults WHERE md5 = ?1"', '"DELETE FROM analyser_faults WHERE 0"',
      "a fault fixed since is still shown on the report"),
    B("pg-store-members-out-of-order", "service/store/postgres_store.cpp",
      '" ORDER BY part, o, q, p", 1};', '" ORDER BY part, o, q, a", 1};',
      "on PostgreSQL, an archive's members are listed out of its order"),
    # -- archive reader ---------------------------------------------------------
    B("archive-passwords-ignored", "service/analysis/archive_reader.cpp",
      "archive_read_add_passphrase(reader, password.c_str());", "static_cast<void>(password);",
      "a zip packed with the password infected is listed as encrypted, never analysed"),
    B("archive-bytes-uncharged", "service/analysis/archive_reader.cpp",
      "    budget_.bytes_left -= std::min(unpacked, budget_.bytes_left);\n", "",
      "a nest of archives unpacks its full size whatever --extract-max-bytes says"),
    B("archive-byte-bound-ignored", "service/analysis/archive_reader.cpp",
      "        if (unpacked > budget_.bytes_left) {", "        if (false) {",
      "one member unpacks past --extract-max-bytes"),
    B("archive-byte-bound-counts-a-file", "service/analysis/archive_reader.cpp",
      "        ++budget_.files_left;", "        static_cast<void>(0);",
      "members left unread for want of bytes use up the file bound too, and are mislabelled"),
    B("archive-file-bound-ignored", "service/analysis/archive_reader.cpp",
      "    if (budget_.files_left == 0) {", "    if (false) {",
      "an archive of 100,000 files has every one of them analysed"),
    B("archive-claimed-size-trusted", "service/analysis/archive_reader.cpp",
      "std::min<std::uint64_t>(static_cast<std::uint64_t>(archive_entry_size(entry)), limit)",
      "static_cast<std::uint64_t>(archive_entry_size(entry))",
      "a zip member claiming 4 GiB makes the service ask for 4 GiB of memory"),
    B("archive-bomb-ratio-ignored", "service/analysis/archive_reader.cpp",
      "        if (unpacked > bomb_limit()) {", "        if (false) {",
      "a member that unpacks a thousandfold is read to the byte bound"),
    B("archive-bomb-floor-dropped", "service/analysis/archive_reader.cpp",
      "    return std::max(bomb_floor, static_cast<std::uint64_t>(limit));",
      "    return static_cast<std::uint64_t>(limit);",
      "small, well-compressed files are taken for bombs and left unanalysed"),
    B("archive-costly-skip-goes-on", "service/analysis/archive_reader.cpp",
      "    if (cut_short && !skips_cheaply()) {", "    if (false) {",
      "a bomb in a tar.gz is unpacked to its end just to pass over it"),
    B("archive-costly-skip-undrained", "service/analysis/archive_reader.cpp",
      "        return skips_cheaply() || drain(out);", "        return true;",
      "members past the file bound in a tar.gz are unpacked to their end to list what follows"),
    B("archive-name-dotdot-kept", "service/analysis/archive_reader.cpp",
      'step == "." || step == ".." || drive', 'step == "." || drive',
      "a member named ../../etc/passwd keeps its climb out of the archive"),
    B("archive-name-backslash-kept", "service/analysis/archive_reader.cpp",
      "        if (c == '\\\\')\n", "        if (false)\n",
      "a member named ..\\..\\win.ini keeps its Windows separators"),
    B("archive-name-utf8-unchecked", "service/analysis/archive_reader.cpp",
      "    if (lead < 0x80)\n        return 1;", "    if (lead < 0x80 || true)\n        return 1;",
      "a member name that is not UTF-8 reaches the report and the JSON as it is"),
    B("archive-stream-name-unsafe", "service/analysis/archive_reader.cpp",
      'safe_name(gzip_stream_name(bytes_), "data")', "gzip_stream_name(bytes_)",
      "the name a gzip stream records reaches the report unchecked"),
    B("archive-hardlink-read", "service/analysis/archive_reader.cpp",
      " || archive_entry_hardlink(entry) != nullptr) {", ") {",
      "a hard link in a tar is listed as an empty file that was read"),
    B("archive-zero-block-hides-stream", "service/analysis/archive_reader.cpp",
      "        return run();", "        return out;",
      "a gzip file that starts with 512 zero bytes hides what follows it from the analysis"),
    B("archive-listing-unbounded", "service/analysis/archive_reader.cpp",
      "        if (out.members.size() >= max_listed || listed_name_bytes_ >= max_listed_name_bytes) {",
      "        if (false) {",
      "a few kilobytes of packed tar make the service list millions of members in memory"),
    # -- hash-lookup routes and the Bloom filter ------------------------------
    B("hashlookup-fnv-1a", "service/bloom/bloom_filter.cpp",
      "        hash *= kFnvPrime;\n        hash ^= byte;\n",
      "        hash ^= byte;\n        hash *= kFnvPrime;\n",
      "the filter's bits are not where offline tools look: no digest is found"),
    B("hashlookup-bloom-power-of-two", "service/bloom/bloom_filter.cpp",
      "while (sizing.m < 2 || std::has_single_bit(sizing.m))", "while (sizing.m < 2)",
      "some store sizes get a filter far worse than the rate asked"),
    B("hashlookup-bloom-bit-off-by-one", "service/bloom/bloom_filter.cpp",
      "        bit(h % sizing.m);", "        bit((h + 1) % sizing.m);",
      "the filter's bits are not where offline tools look"),
    B("hashlookup-bloom-count-every-value", "service/bloom/bloom_filter.cpp",
      "    if (fresh)\n        ++added_;", "    ++added_;",
      "the filter's header counts values that set no new bit"),
    B("hashlookup-lower-case", "service/web/hashlookup_routes.cpp",
      "        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));", "        (void)c;",
      "digests are answered in lower case, which clients compare against upper case"),
    B("hashlookup-trust-malice", "service/web/hashlookup_routes.cpp",
      "(malicious ? 20 : 0)", "(malicious ? 0 : 0)",
      "a file known to be malicious is trusted as much as any other"),
    B("hashlookup-miss-no-query", "service/web/hashlookup_routes.cpp",
      'Json{{"message", kind.missing}, {"query", hex}}', 'Json{{"message", kind.missing}}',
      "a miss no longer says which digest was asked"),
    B("hashlookup-bulk-bound", "service/web/hashlookup_routes.cpp",
      "if (hashes->size() > kBulkMax)", "if (hashes->size() > 10 * kBulkMax)",
      "one bulk request of a hash-lookup client may ask for any number of digests"),
    B("hashlookup-doubled-slash", "service/web/hashlookup_routes.cpp",
      "if (c != '/' || plain.empty() || plain.back() != '/')", "if (true)",
      "a client whose root URL ends in '/' gets 404 for everything"),
    B("hashlookup-bloom-etag-ignored", "service/web/hashlookup_routes.cpp",
      "if (request.if_none_match == file->etag) {",
      "if (request.if_none_match == file->last_modified) {",
      "clients download the whole filter again each time though it did not change"),
    B("hashlookup-bloom-never-published", "service/web/bloom_publisher.cpp",
      "    into_.publish(std::make_shared<const PublishedFile>(",
      "    (void)(std::make_shared<const PublishedFile>(",
      "the service never offers its Bloom filter"),
    B("hashlookup-session-underscore", "service/web/server.cpp",
      '{"hashlookup_session", "hashlookup-session"}', '{"hashlookup-session"}',
      "scripts' look-ups with a hashlookup_session header are not added to their session"),
    B("hashlookup-session-never-expires", "service/store/sqlite_store.cpp",
      '"SELECT 1 FROM lookup_sessions WHERE name = ?1 AND expires > ?2"',
      '"SELECT 1 FROM lookup_sessions WHERE name = ?1 AND ?2 = ?2"',
      "sessions never expire"),
    B("hashlookup-session-never-expires-pg", "service/store/postgres_store.cpp",
      '"  AND expires > $4::text::bigint),"', '"  AND $4::text::bigint IS NOT NULL),"',
      "sessions kept in PostgreSQL keep taking digests after they expired"),
    B("hashlookup-walk-verdict", "service/store/sqlite_store.cpp",
      "(?1 < 0 OR f.verdict = ?1)", "(?1 < 0 OR f.verdict >= ?1)",
      "export-bloom --verdict good exports the bad files too"),
    B("hashlookup-walk-sources-pg", "service/store/postgres_store.cpp",
      "\" AND ($2::text = '0' OR f.sha1 IS NOT NULL) AND ($3::text = '' OR EXISTS (SELECT 1\"",
      "\" AND ($2::text = '0' OR f.sha1 IS NOT NULL) AND ($3::text <> '' OR EXISTS (SELECT 1\"",
      "export-bloom --source on PostgreSQL exports every source's files"),
    B("hashlookup-bulk-body-bound", "service/web/routes.cpp",
      "return std::max(base, bulk_body_limit(kind));", "return base;",
      "POST /api/v1/bulk/sha256 with 1000 digests is refused with 413"),
]


def run(argv: list[str], cwd: str, log) -> int:
    log.write(f"$ {' '.join(argv)}\n")
    log.flush()
    return subprocess.run(argv, cwd=cwd, stdout=log, stderr=subprocess.STDOUT).returncode


def stage_tree(checkout: str, rev: str, overlay: list[str], stage: str) -> str:
    """Extracts `rev` (with the overlay paths from the working tree) into `stage`."""
    commit = subprocess.run(["git", "-C", checkout, "rev-parse", "--verify", rev + "^{commit}"],
                            check=True, capture_output=True, text=True).stdout.strip()
    archive = subprocess.Popen(["git", "-C", checkout, "archive", commit], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", stage], stdin=archive.stdout, check=True)
    if archive.wait() != 0:
        raise SystemExit(f"git archive {commit} failed")
    ignore = shutil.ignore_patterns("__pycache__", "*.pyc")
    for path in overlay:
        source, target = os.path.join(checkout, path), os.path.join(stage, path)
        if os.path.isdir(target):
            shutil.rmtree(target)
        elif os.path.exists(target):
            os.remove(target)
        if os.path.isdir(source):
            shutil.copytree(source, target, ignore=ignore)
        elif os.path.exists(source):
            shutil.copy2(source, target)
    return commit


def sync_tree(stage: str, src: str) -> None:
    """Makes `src` hold what `stage` holds, writing only files that differ, so
    that the build in it stays incremental. Build folders are left alone."""
    wanted = set()
    for root, _, files in os.walk(stage):
        for name in files:
            rel = os.path.relpath(os.path.join(root, name), stage)
            wanted.add(rel)
            target = os.path.join(src, rel)
            with open(os.path.join(root, name), "rb") as new:
                data = new.read()
            if os.path.exists(target):
                with open(target, "rb") as old:
                    if old.read() == data:
                        continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                out.write(data)
            shutil.copymode(os.path.join(root, name), target)
    for root, dirs, files in os.walk(src):
        if root == src:
            dirs[:] = [d for d in dirs if d != "build"]
        for name in files:
            rel = os.path.relpath(os.path.join(root, name), src)
            if rel not in wanted:
                os.remove(os.path.join(root, name))


def failed_tests(build: str) -> list[str]:
    log = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if not os.path.exists(log):
        return []
    with open(log) as lines:
        return [line.strip().split(":", 1)[-1] for line in lines if line.strip()]


def build_and_test(src: str, build: str, jobs: int, log, every: bool = False,
                   exclude: str | None = None) -> tuple[str, list[str]]:
    if run(["cmake", "--build", build, "-j", str(jobs)], src, log) != 0:
        return "no-build", []
    stale = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if os.path.exists(stale):
        os.remove(stale)
    stop = [] if every else ["--stop-on-failure"]
    stop += ["--exclude-regex", exclude] if exclude else []
    status = run(["ctest", "--test-dir", build, "-j", str(jobs), *stop,
                  "--output-on-failure", "--timeout", "300"], src, log)
    return ("caught" if status != 0 else "survived"), failed_tests(build)


def apply_break(src: str, b: Break) -> bytes | None:
    """Applies `b`; returns the file's original bytes, or None if the text is
    not there exactly once."""
    path = os.path.join(src, b.path)
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        original = f.read()
    text = original.decode()
    if text.count(b.find) != 1:
        return None
    with open(path, "w") as f:
        f.write(text.replace(b.find, b.replace))
    return original


def main() -> int:
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", default=here, help="the git checkout to take the tree from")
    parser.add_argument("--rev", default="HEAD", help="the commit to break (default HEAD)")
    parser.add_argument("--overlay", action="append", default=[], metavar="PATH",
                        help="take PATH from the checkout's working tree instead (repeatable)")
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "break-check"),
                        help="private folder for the copy and its build")
    parser.add_argument("--only", action="append", default=[], metavar="PATTERN",
                        help="only the breaks whose names match (shell pattern, repeatable)")
    parser.add_argument("--list", action="store_true", help="list the breaks and stop")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--every-test", action="store_true",
                        help="run the whole suite on each break, to list every test that catches it")
    parser.add_argument("--exclude", metavar="REGEX",
                        help="leave out the tests whose names match (say, ones red at this commit)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the unbroken tree")
    parser.add_argument("--save", help="write the results as JSON here")
    parser.add_argument("--compare", help="results of an earlier run, shown beside these")
    options = parser.parse_args()

    chosen = [b for b in BREAKS
              if not options.only or any(fnmatch.fnmatch(b.name, p) for p in options.only)]
    if options.list:
        for b in chosen:
            shown = subprocess.run(["git", "-C", options.tree, "show", f"{options.rev}:{b.path}"],
                                   capture_output=True, text=True).stdout
            found = "" if shown.count(b.find) == 1 else " [text not there exactly once]"
            print(f"{b.name:30} {b.path:38} {b.notice}{found}")
        return 0
    os.nice(10)

    work = os.path.abspath(options.work)
    src, build = os.path.join(work, "src"), os.path.join(work, "src", "build", "break")
    os.makedirs(src, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=work) as stage:
        commit = stage_tree(os.path.abspath(options.tree), options.rev, options.overlay, stage)
        sync_tree(stage, src)
    log_path = os.path.join(work, "break-check.log")
    print(f"tree {commit[:12]}{' + ' + ', '.join(options.overlay) if options.overlay else ''}"
          f" in {src}; build log {log_path}", flush=True)

    with open(log_path, "w") as log:
        if run(["cmake", "--preset", "dev", "-B", build, "-DBRANTWICKER_WERROR=OFF"],
               src, log) != 0:
            print("configure failed; see the log")
            return 2
        if not options.no_baseline:
            result, failed = build_and_test(src, build, options.jobs, log,
                                            exclude=options.exclude)
            if result != "survived":
                print(f"the unbroken tree does not pass ({result}: {', '.join(failed)}); see the log")
                return 2
            print("unbroken tree: builds and passes", flush=True)

        results = {}
        for b in chosen:
            started = time.monotonic()
            original = apply_break(src, b)
            if original is None:
                results[b.name] = {"result": "not-found", "tests": []}
            else:
                try:
                    log.write(f"\n=== {b.name}\n")
                    result, failed = build_and_test(src, build, options.jobs, log,
                                                    options.every_test, options.exclude)
                finally:
                    with open(os.path.join(src, b.path), "wb") as f:
                        f.write(original)
                results[b.name] = {"result": result, "tests": failed}
            r = results[b.name]
            print(f"{b.name:30} {r['result']:9} {time.monotonic() - started:5.0f}s "
                  f"{', '.join(r['tests'])}", flush=True)
        # Leaves the build matching the unbroken tree for the next run.
        run(["cmake", "--build", build, "-j", str(options.jobs)], src, log)

    earlier = {}
    if options.compare:
        with open(options.compare) as f:
            earlier = json.load(f)["results"]
    print()
    print("| break | file | a user would notice | " + ("before | " if earlier else "")
          + "result | caught by |")
    print("|---|---|---|" + ("---|" if earlier else "") + "---|---|")
    for b in chosen:
        r = results[b.name]
        before = f"{earlier.get(b.name, {}).get('result', '-')} | " if earlier else ""
        print(f"| {b.name} | {b.path} | {b.notice} | {before}{r['result']} | "
              f"{', '.join(r['tests'])} |")
    behaviour = [n for n, r in results.items() if r["result"] in ("caught", "survived")]
    caught = [n for n in behaviour if results[n]["result"] == "caught"]
    print(f"\ncaught {len(caught)} of {len(behaviour)} behaviour breaks"
          f" ({len(results) - len(behaviour)} did not build or were not found)")
    if earlier:
        lost = [n for n in caught + [n for n in behaviour if n not in caught]
                if earlier.get(n, {}).get("result") == "caught" and n not in caught]
        was = sum(1 for n in behaviour if earlier.get(n, {}).get("result") == "caught")
        print(f"earlier run: caught {was} of these; caught then and not now: "
              f"{', '.join(lost) or 'none'}")
    if options.save:
        with open(options.save, "w") as f:
            json.dump({"commit": commit, "overlay": options.overlay, "results": results}, f,
                      indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
