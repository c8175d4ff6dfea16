#pragma once

// GET /api/history?data_id=N&from=T&to=T&series=a,b&format=csv&points=N: a device's trends from
// the history database, read through a read-only connection of the HTTP thread's own.
// Every parameter is checked and bounded: a bad one is a 400 naming it.

#include <ctime>
#include <string>

#include "http_server.h"
#include "klx/history_query.h"

namespace klxhost {

// The request a query string asks for (to defaults to `now`, from to a day before it, the
// series to klx::series::defaults()); false with the reason when it is not a valid one.
bool parse_history_query(const std::string& query, std::time_t now, klx::TrendRequest& r, bool& csv,
                         std::string& error);

HttpReply history_reply(klx::TrendReader* reader, const std::string& query, std::time_t now);

}  // namespace klxhost
