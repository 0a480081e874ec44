// GET /healthz, for load balancers: each part the service needs is asked
// once, cheaply, and the answer is 200 when all answer and 503 naming those
// that did not. The store is one part; a scanner adds itself as another.
#pragma once

#include <functional>
#include <span>
#include <string>

#include "service/web/message.h"

struct HealthCheck {
    std::string name;  // as the reply names it: "store", "clamd"
    // Whether the part answers, asked from worker thread `worker`; `why`
    // says what failed, for the log.
    std::function<bool(unsigned worker, std::string& why)> probe;
};

// One line per part, "NAME ok" or "NAME failing"; the reasons go to the log
// only, as a load balancer's probe may come from anywhere.
WebResponse health(std::span<const HealthCheck> checks, unsigned worker);
