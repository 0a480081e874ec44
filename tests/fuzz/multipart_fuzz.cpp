// Fuzzes the multipart/form-data reader: the body fed in pieces of sizes the
// input picks against the same body fed whole, which must give the same
// status, file bytes and name; and, when the reader says Done, a plain scan
// of the whole body as reference: the file's bytes stand in it right after an
// empty line that closes a part's headers, and right before a delimiter, with
// no delimiter inside.
//
// Input: a byte giving the boundary's length (1 to 16), the boundary, a byte
// seeding the piece sizes, then the body. Small limits, so that they are met.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/analysis/multipart_reader.h"

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

struct Outcome {
    MultipartStatus status;
    std::string file;
    std::string name;
};

constexpr MultipartReader::Limits kLimits{64, 4};

Outcome read(std::string_view boundary, std::string_view body, unsigned seed)
{
    Outcome out{};
    MultipartReader reader(boundary, [&](std::string_view bytes) {
        require(!bytes.empty());
        out.file.append(bytes);
        return true;
    }, kLimits);
    MultipartStatus status = MultipartStatus::More;
    while (!body.empty() && status == MultipartStatus::More) {
        // Pieces of 1 to 16 bytes when seeded, the whole body otherwise.
        std::size_t size = seed == 0 ? body.size() : 1 + (seed = seed * 1103515245u + 12345u) % 16;
        size = std::min(size, body.size());
        status = reader.feed(body.substr(0, size));
        body.remove_prefix(size);
    }
    out.status = status == MultipartStatus::More ? reader.finish() : status;
    out.name = reader.file_name();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t length = 1 + static_cast<unsigned char>(input[0]) % 16;
    if (size < 2 + length)
        return 0;
    const std::string_view boundary = input.substr(1, length);
    const unsigned seed = 1 + static_cast<unsigned char>(input[1 + length]);
    const std::string_view body = input.substr(2 + length);

    const Outcome whole = read(boundary, body, 0);
    const Outcome pieces = read(boundary, body, seed);
    require(whole.status == pieces.status && whole.file == pieces.file && whole.name == pieces.name);

    if (whole.status == MultipartStatus::Done) {
        const std::string text = "\r\n" + std::string(body);
        const std::string delimiter = "\r\n--" + std::string(boundary);
        require(whole.file.find(delimiter) == std::string::npos);
        bool placed = false;
        for (std::size_t at = text.find("\r\n\r\n" + whole.file + delimiter); !placed && at != std::string::npos;
             at = text.find("\r\n\r\n" + whole.file + delimiter, at + 1))
            placed = true;
        require(placed);
    }
    return 0;
}
