#include "service/analysis/file_digests.h"

#include <openssl/evp.h>

#include "digest/md5.h"

struct FileDigests::State {
    Md5Context md5{};
    EVP_MD_CTX* sha1 = EVP_MD_CTX_new();
    EVP_MD_CTX* sha256 = EVP_MD_CTX_new();
    bool good = sha1 && sha256 && EVP_DigestInit_ex(sha1, EVP_sha1(), nullptr) == 1
             && EVP_DigestInit_ex(sha256, EVP_sha256(), nullptr) == 1;

    ~State()
    {
        EVP_MD_CTX_free(sha1);
        EVP_MD_CTX_free(sha256);
    }
};

FileDigests::FileDigests() : state_(std::make_unique<State>())
{
    md5_begin(&state_->md5);
}

FileDigests::~FileDigests() = default;

void FileDigests::add(std::string_view bytes)
{
    size_ += bytes.size();
    // md5_add takes 32-bit lengths; pieces here are far smaller, but stay safe.
    while (!bytes.empty()) {
        const std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
        md5_add(&state_->md5, bytes.data(), static_cast<std::uint32_t>(piece));
        state_->good = state_->good && EVP_DigestUpdate(state_->sha1, bytes.data(), piece) == 1
                    && EVP_DigestUpdate(state_->sha256, bytes.data(), piece) == 1;
        bytes.remove_prefix(piece);
    }
}

bool FileDigests::end(UploadedFile& out)
{
    Md5Digest md5{};
    md5_end(&state_->md5, &md5);
    std::copy(std::begin(md5.bytes), std::end(md5.bytes), out.md5.begin());
    out.size = size_;
    return state_->good && EVP_DigestFinal_ex(state_->sha1, out.sha1.data(), nullptr) == 1
        && EVP_DigestFinal_ex(state_->sha256, out.sha256.data(), nullptr) == 1;
}
