// A client of ClamAV's daemon, clamd, over its own socket protocol (the
// "z"-commands, whose replies end in a NUL): VERSION and PING, and INSTREAM,
// which takes a file as length-prefixed chunks and scans it once the last,
// empty chunk arrives. Every wait is bounded; what went wrong comes back as a
// ScanFault, with a line for the log in `detail`.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A Unix socket path ("/run/clamav/clamd.ctl"), or HOST:PORT for a TCP clamd.
struct ClamdAddress {
    std::string    unix_path;  // empty for TCP
    std::string    host;
    unsigned short port = 0;
};

// A path is anything holding a '/'; otherwise HOST:PORT (IPv6 as [ADDR]:PORT).
std::optional<ClamdAddress> parse_clamd_address(std::string_view text);

enum class ScanFault {
    None,
    Unreachable,  // no connection, or it broke: scanning is unavailable
    Busy,         // clamd's queue of connections stayed full
    TimedOut,     // clamd did not answer in time
    Garbled,      // an answer that is not clamd's, or clamd's own error
    TooLarge,     // clamd's "size limit exceeded"
};

// "ClamAV 1.0.7/27120/Mon Dec  7 08:00:00 2026", or without signatures of
// its official databases, "ClamAV 1.0.7".
struct EngineVersion {
    std::string engine;      // "ClamAV"
    std::string version;     // "1.0.7"
    std::string signatures;  // "27120", or empty
};
std::optional<EngineVersion> parse_version_reply(std::string_view reply);

// "stream: OK", "stream: NAME FOUND", "INSTREAM size limit exceeded. ERROR".
struct ScanVerdict {
    bool        found = false;
    std::string signature;
};
ScanFault parse_scan_reply(std::string_view reply, ScanVerdict& out);

ScanFault clamd_version(const ClamdAddress& address, std::chrono::milliseconds timeout,
                        EngineVersion& out, std::string& detail);

// One INSTREAM scan: open(), send() the file in pieces, then finish() for the
// verdict, or drop it unfinished, which closes the connection before the last
// chunk so that clamd scans nothing.
class ClamdStream {
public:
    ClamdStream() = default;
    ClamdStream(const ClamdStream&) = delete;
    ClamdStream& operator=(const ClamdStream&) = delete;
    ~ClamdStream();

    // `timeout` bounds every later wait too: one chunk taken, the verdict.
    ScanFault open(const ClamdAddress& address, std::chrono::milliseconds timeout,
                   std::string& detail);
    ScanFault send(std::string_view piece, std::string& detail);
    ScanFault finish(ScanVerdict& out, std::string& detail);

private:
    // After a broken send: clamd may have said why before it closed.
    ScanFault broken(std::string& detail);

    int fd_ = -1;
    std::chrono::milliseconds timeout_{0};
};
