#include "service/web/upload_gate.h"

std::optional<WebResponse> UploadGate::admit(std::string_view, std::string_view, std::string& client) {
    client.clear();
    return std::nullopt;
}
