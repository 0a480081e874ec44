#include "service/web/find_digest.h"

#include <algorithm>

namespace {

// parse_digest made `bytes` as long as the kind needs; a query made by hand
// with another length finds nothing rather than reading past it.
template <typename Bytes>
bool fill(const DigestQuery& query, Bytes& out)
{
    if (query.bytes.size() != out.size())
        return false;
    std::copy(query.bytes.begin(), query.bytes.end(), out.begin());
    return true;
}

}  // namespace

StoreStatus find_digest(const DigestQuery& query, Store& store, FileRecord& out,
                        std::string& error)
{
    switch (query.kind) {
    case DigestKind::Md5: {
        Md5Bytes md5{};
        return fill(query, md5) ? store.find_md5(md5, out, error) : StoreStatus::NotFound;
    }
    case DigestKind::Sha1: {
        Sha1Bytes sha1{};
        return fill(query, sha1) ? store.find_sha1(sha1, out, error) : StoreStatus::NotFound;
    }
    case DigestKind::Sha256: {
        Sha256Bytes sha256{};
        return fill(query, sha256) ? store.find_sha256(sha256, out, error) : StoreStatus::NotFound;
    }
    }
    return StoreStatus::NotFound;
}
