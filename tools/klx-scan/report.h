#pragma once

// What the scan found, for a person (a table), for a program (JSON) and for klx-host (a
// configuration).

#include <json/value.h>

#include <ostream>
#include <string>
#include <vector>

#include "found.h"

namespace klxscan {

void print_table(std::ostream& out, const std::vector<Found>& found);
Json::Value to_json(const std::vector<Found>& found);
// The klx-host configuration of the usable devices on `port`, with notes saying how each setting
// was decided.
Json::Value to_config(const std::vector<Found>& found, const std::string& port);

// Writes `text` to `path` through a temporary file beside it: flushed, then linked in place (an
// existing file is refused) or, with `force`, renamed over it. False with the reason.
bool write_file(const std::string& path, const std::string& text, bool force, std::string& error);

}  // namespace klxscan
