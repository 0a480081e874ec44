// The three digests of a file and its size, taken in one pass as its bytes
// go by: MD5 with the project's own library, SHA-1 and SHA-256 with
// OpenSSL's libcrypto.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "service/store/store.h"

class FileDigests {
public:
    FileDigests();
    ~FileDigests();
    FileDigests(const FileDigests&) = delete;
    FileDigests& operator=(const FileDigests&) = delete;

    void add(std::string_view bytes);
    std::uint64_t size() const { return size_; }
    // Ends the pass: fills in the digests and size; the name is the caller's.
    // False when libcrypto failed.
    bool end(UploadedFile& out);

private:
    struct State;
    std::unique_ptr<State> state_;
    std::uint64_t size_ = 0;
};
