#include "service/store.h"

#include <algorithm>

std::string_view verdict_name(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Unknown: return "unknown";
    case Verdict::Good:    return "good";
    case Verdict::Bad:     return "bad";
    }
    return "unknown";
}

StoreStatus find_digest(Store& store, const DigestQuery& query, FileRecord& out, std::string& error)
{
    switch (query.kind) {
    case DigestKind::Md5: {
        Md5Bytes md5{};
        if (query.bytes.size() != md5.size())
            break;
        std::copy(query.bytes.begin(), query.bytes.end(), md5.begin());
        return store.find_md5(md5, out, error);
    }
    case DigestKind::Sha1: {
        Sha1Bytes sha1{};
        if (query.bytes.size() != sha1.size())
            break;
        std::copy(query.bytes.begin(), query.bytes.end(), sha1.begin());
        return store.find_sha1(sha1, out, error);
    }
    case DigestKind::Sha256: {
        Sha256Bytes sha256{};
        if (query.bytes.size() != sha256.size())
            break;
        std::copy(query.bytes.begin(), query.bytes.end(), sha256.begin());
        return store.find_sha256(sha256, out, error);
    }
    }
    error = "a digest of the wrong length for its kind";
    return StoreStatus::Error;
}
