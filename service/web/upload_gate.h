// Who may put work on the service: uploads, scans again and retro-hunts.
// With keys (--api-keys), each such request must carry one of them as
// `Authorization: Bearer KEY`; with or without keys, each client (its key's
// name, or its address where no keys are set) has a bound on uploads per
// minute. Look-ups and pages never pass through here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "service/web/message.h"

class UploadGate {
public:
    // No keys and no bound: everyone is admitted.
    UploadGate() = default;

    // Admits one request for work, or answers it: 401 for a wrong or missing
    // key, 429 with Retry-After past the client's bound. `authorization` is
    // the header as sent, `peer` the client's address. On admission,
    // `client` is the key's name (empty without keys), for the metrics.
    std::optional<WebResponse> admit(std::string_view authorization, std::string_view peer,
                                     std::string& client);
};
