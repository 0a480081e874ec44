#include "service/web/health.h"

WebResponse health(std::span<const HealthCheck> checks, unsigned worker)
{
    WebResponse response;
    response.content_type = "text/plain; charset=utf-8";
    for (const HealthCheck& check : checks) {
        std::string why;
        const bool up = check.probe(worker, why);
        response.body += check.name + (up ? " ok\n" : " failing\n");
        if (!up) {
            response.status = 503;
            response.log_note += (response.log_note.empty() ? "" : "; ") + check.name + ": " + why;
        }
    }
    return response;
}
