// The retro-hunt routes, on the operator's address only:
// POST /api/v1/retrohunt (the rules' text as the body) starts a hunt over
// the kept samples and answers 202 with its id and Location;
// GET /api/v1/retrohunt/<id> says how it stands and what it found.
#pragma once

#include <cstddef>
#include <string_view>

#include "service/web/message.h"
#include "service/web/routes.h"

inline constexpr std::string_view kHuntPath = "/api/v1/retrohunt";
// The most bytes of rules a hunt takes: rules are text an analyst writes.
inline constexpr std::size_t kHuntRulesMax = std::size_t{1} << 20;

bool is_hunt_path(std::string_view path);

WebResponse hunt_route(std::string_view method, std::string_view path, const WebRequest& request,
                       const RouteContext& context);
