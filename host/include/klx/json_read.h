#pragma once

// The one way the host and its tools read JSON from a file, a script line or a client: strict
// JSON (no comments, no duplicate keys, nothing after the value), a bounded nesting depth and a
// bounded size, and every failure a message rather than an exception.

#include <json/value.h>

#include <cstddef>
#include <string>

#include "klx/api.h"

namespace klx {

// Our documents nest a few levels; jsoncpp recurses once per level, so hostile nesting is refused
// long before it could exhaust a small controller's stack.
constexpr int kJsonMaxDepth = 64;

// Parses `text` into `out`; false with the reason (jsoncpp's text, or the depth limit).
KLX_API bool parse_json(const char* begin, const char* end, Json::Value& out, std::string& error);
KLX_API bool parse_json(const std::string& text, Json::Value& out, std::string& error);

// Reads a whole file of at most `max_bytes` into `text`; false with the reason: the system's text
// ("No such file or directory"), "is a directory", or "larger than N MiB". Messages do not repeat
// the path: callers say which file it was.
KLX_API bool read_file_capped(const std::string& path, size_t max_bytes, std::string& text,
                              std::string& error);

}  // namespace klx
