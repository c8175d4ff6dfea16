#include "history_api.h"

#include <algorithm>
#include <map>

#include "klx/history_series.h"

namespace klxhost {
namespace {

constexpr int64_t kLatest = int64_t(1) << 40;     // far beyond any clock, still exact
constexpr int64_t kLongest = 10LL * 366 * 86400;  // ten years in one answer at most
constexpr size_t kMaxSeries = 32, kMaxPoints = 2000;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unescape(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+') {
      out += ' ';
    } else if (in[i] != '%') {
      out += in[i];
    } else {
      if (i + 2 >= in.size()) return false;
      const int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return true;
}

bool whole(const std::string& text, int64_t low, int64_t high, int64_t& out) {
  if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::stoll(text);
  return out >= low && out <= high;
}

bool parse_series(const std::string& text, std::vector<uint8_t>& out, std::string& error) {
  out.clear();
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string name = text.substr(at, comma - at);
    const auto id = klx::series::id_of(name);
    if (!id) return error = "series: no series \"" + name.substr(0, 40) + "\"", false;
    if (std::find(out.begin(), out.end(), *id) == out.end()) out.push_back(*id);
    if (out.size() > kMaxSeries)
      return error = "series: at most " + std::to_string(kMaxSeries), false;
    at = comma + 1;
  }
  return true;
}

}  // namespace

bool parse_history_query(const std::string& query, std::time_t now, klx::TrendRequest& r, bool& csv,
                         std::string& error) {
  std::map<std::string, std::string> p;
  size_t at = 0;
  while (at < query.size()) {
    const size_t amp = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, amp - at);
    at = amp + 1;
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    std::string key, value;
    if (!unescape(pair.substr(0, eq), key) ||
        !unescape(eq == std::string::npos ? "" : pair.substr(eq + 1), value))
      return error = "a parameter is not URL-encoded", false;
    static const char* const kKeys[] = {"data_id", "from", "to", "series", "format", "points"};
    if (std::none_of(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return key == k; }))
      return error = "unknown parameter \"" + key.substr(0, 40) + "\"", false;
    if (!p.emplace(key, value).second) return error = key + ": given twice", false;
  }
  int64_t id = 0, to = now, from = 0, points = kMaxPoints;
  if (!p.count("data_id") || !whole(p["data_id"], 0, UINT32_MAX, id))
    return error = "data_id: a device number from 0 to 4294967295 is required", false;
  if (p.count("to") && !whole(p["to"], 0, kLatest, to)) return error = "to: epoch seconds", false;
  from = to - 86400;
  if (p.count("from") && !whole(p["from"], 0, kLatest, from))
    return error = "from: epoch seconds", false;
  if (from > to || to - from > kLongest)
    return error = "from must not be after to, nor more than ten years before it", false;
  if (p.count("points") && !whole(p["points"], 1, kMaxPoints, points))
    return error = "points: 1 to " + std::to_string(kMaxPoints), false;
  const std::string format = p.count("format") ? p["format"] : "json";
  if (format != "json" && format != "csv") return error = "format: json or csv", false;
  r = klx::TrendRequest{};
  r.data_id = static_cast<uint32_t>(id);
  r.from = std::max<int64_t>(from, 0);
  r.to = to;
  r.max_points = static_cast<size_t>(points);
  r.series = klx::series::defaults();
  if (p.count("series") && !parse_series(p["series"], r.series, error)) return false;
  csv = format == "csv";
  return true;
}

HttpReply history_reply(klx::TrendReader* reader, const std::string& query, std::time_t now) {
  if (!reader)
    return {404, "text/plain; charset=utf-8", "no history: the host runs without --db\n"};
  klx::TrendRequest r;
  bool csv = false;
  std::string error;
  if (!parse_history_query(query, now, r, csv, error))
    return {400, "text/plain; charset=utf-8", error + "\n"};
  const klx::TrendAnswer a = reader->query(r);  // a database error: 500 from the caller
  if (csv) return {200, "text/csv; charset=utf-8", klx::trend_csv(a)};
  return {200, "application/json", klx::trend_json(r, a)};
}

}  // namespace klxhost
