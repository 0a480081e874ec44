#include "service/web/hunt_routes.h"

#include <ctime>

#include <nlohmann/json.hpp>

#include "service/hunt/hunt_runner.h"
#include "service/web/api.h"

namespace {

using Json = nlohmann::ordered_json;

WebResponse json_reply(unsigned status, const Json& value)
{
    WebResponse response;
    response.status = status;
    response.content_type = "application/json";
    response.body = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return response;
}

WebResponse method_refused(const char* allow)
{
    WebResponse response = api_error(405, "method not allowed");
    response.allow = allow;
    return response;
}

bool is_hunt_id(std::string_view id)
{
    return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

WebResponse start(const WebRequest& request, const RouteContext& context)
{
    if (context.gate) {
        std::string client;
        if (std::optional<WebResponse> refused =
                context.gate->admit(request.authorization, request.peer, client))
            return *refused;
    }
    std::string error;
    std::shared_ptr<const CompiledRules> rules = compile_hunt_rules(request.body, error);
    if (!rules)
        return api_error(400, "the rules do not compile: " + error);
    std::string id;
    switch (context.hunts->start(*context.sessions, std::move(rules), id, error)) {
    case HuntRunner::Start::Started: {
        WebResponse response = json_reply(202, Json{{"id", id}});
        response.location = std::string(kHuntPath) + "/" + id;
        return response;
    }
    case HuntRunner::Start::Busy:
        return api_error(409, "a retro-hunt runs already; one runs at a time");
    case HuntRunner::Start::Failed:
        break;
    }
    WebResponse failed = api_error(503, "the retro-hunt could not be started");
    failed.log_note = error;
    return failed;
}

WebResponse show(std::string_view id, const RouteContext& context)
{
    if (!is_hunt_id(id))
        return api_error(404, "no such retro-hunt");
    HuntState hunt;
    std::string error;
    switch (context.sessions->read_hunt(id, hunt, error)) {
    case StoreStatus::Ok:
        break;
    case StoreStatus::NotFound:
        return api_error(404, "no such retro-hunt");
    case StoreStatus::Error: {
        WebResponse failed = api_error(503, "the store could not be read");
        failed.log_note = error;
        return failed;
    }
    }
    hunt = hunt_as_seen(std::move(hunt), static_cast<std::int64_t>(std::time(nullptr)));
    Json matches = Json::array();
    for (const HuntMatch& match : hunt.matches)
        matches.push_back({{"md5", match.md5}, {"rule", match.rule}, {"name", match.name},
                           {"first_seen", match.first_seen.empty() ? Json() : Json(match.first_seen)}});
    return json_reply(200, Json{
        {"id", id},
        {"state", hunt.state},
        {"progress", {{"done", hunt.done}, {"total", hunt.total}}},
        {"found", hunt.found},
        {"matches", std::move(matches)},
    });
}

}  // namespace

bool is_hunt_path(std::string_view path)
{
    return path == kHuntPath || (path.starts_with(kHuntPath) && path.substr(kHuntPath.size()).starts_with('/'));
}

WebResponse hunt_route(std::string_view method, std::string_view path, const WebRequest& request,
                       const RouteContext& context)
{
    if (!context.hunts || !context.sessions)
        return api_error(404, "retro-hunts need kept samples (serve --samples)");
    if (path == kHuntPath)
        return method == "POST" ? start(request, context) : method_refused("POST");
    if (method != "GET")
        return method_refused("GET, HEAD");
    return show(path.substr(kHuntPath.size() + 1), context);
}
