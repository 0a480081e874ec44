// The file's type, through libmagic: one pair of handles per thread, since
// a handle serves one thread at a time, opened on the thread's first file.
#include "service/analysis/analysers.h"

#include <magic.h>

namespace {

struct MagicHandles {
    magic_t mime = nullptr;
    magic_t text = nullptr;
    bool    loaded = false;

    MagicHandles()
    {
        mime = magic_open(MAGIC_MIME_TYPE | MAGIC_ERROR);
        text = magic_open(MAGIC_ERROR);
        loaded = mime && text && magic_load(mime, nullptr) == 0 && magic_load(text, nullptr) == 0;
    }
    ~MagicHandles()
    {
        if (mime)
            magic_close(mime);
        if (text)
            magic_close(text);
    }
    MagicHandles(const MagicHandles&) = delete;
    MagicHandles& operator=(const MagicHandles&) = delete;
};

Findings file_type(std::span<const unsigned char> bytes)
{
    thread_local MagicHandles handles;
    Findings found;
    if (!handles.loaded) {
        found.fault = ScanFault::Unreachable;
        found.detail = "libmagic's database could not be loaded";
        return found;
    }
    const char* mime = magic_buffer(handles.mime, bytes.data(), bytes.size());
    const char* text = magic_buffer(handles.text, bytes.data(), bytes.size());
    if (!mime || !text) {
        found.fault = ScanFault::Garbled;
        const char* why = magic_error(mime ? handles.text : handles.mime);
        found.detail = why ? why : "libmagic failed";
        return found;
    }
    found.mime = mime;
    found.type = text;
    return found;
}

class FileTypeAnalyser final : public Analyser {
public:
    std::string_view name() const override { return "file type"; }
    // libmagic bounds its own work (its recursion and byte limits).
    std::chrono::milliseconds timeout() const override { return std::chrono::seconds(10); }
    bool known_in(const FileRecord& record) const override { return !record.type.empty(); }

    std::unique_ptr<Analysis> begin(ScanFault&, std::string&) override
    {
        return std::make_unique<WholeFileAnalysis>(
            [](std::span<const unsigned char> bytes, const FileFacts&) { return file_type(bytes); });
    }
};

}  // namespace

std::unique_ptr<Analyser> make_file_type_analyser()
{
    return std::make_unique<FileTypeAnalyser>();
}
