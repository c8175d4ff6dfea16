#include "line_health.h"

#include <algorithm>
#include <cstdio>

namespace klxhost {
namespace {

// A device polled every 100 ms fills a 10-minute window with 6,000 exchanges; the cap only
// bounds a window configured far longer.
constexpr size_t kMaxEntries = 100000;

std::string percent(double r) {
  char s[16];
  std::snprintf(s, sizeof s, "%.1f %%", r * 100);
  return s;
}

}  // namespace

bool read_line_health(const Json::Value& v, LineHealthSettings& out, std::string& error) {
  if (!v.isObject()) return error = "must be an object", false;
  for (const auto& name : v.getMemberNames()) {
    if (name.rfind('_', 0) == 0) continue;
    const Json::Value& m = v[name];
    const bool number = m.isNumeric() && !m.isBool();
    const double d = number ? m.asDouble() : 0;
    if (name == "window_s") {
      if (!m.isUInt() || m.isBool() || d < 1 || d > 86400)
        return error = "\"window_s\" must be 1 to 86400 seconds", false;
      out.window = std::chrono::seconds(m.asUInt());
    } else if (name == "degrading" || name == "failing") {
      if (!number || !(d > 0 && d < 1))
        return error = "\"" + name + "\" must be above 0 and below 1", false;
      (name == "degrading" ? out.degrading : out.failing) = d;
    } else {
      return error = "unknown key \"" + name + "\" (window_s, degrading, failing)", false;
    }
  }
  if (out.degrading > out.failing) return error = "\"degrading\" is above \"failing\"", false;
  return true;
}

ExchangeResult classify_exchange(const ExchangeCounts& before, const ExchangeCounts& after,
                                 bool answered, bool& echoed) {
  const klx::FrameCounters& f = after.frames;
  const klx::FrameCounters& o = before.frames;
  const uint64_t rejected = (f.bad_hex - o.bad_hex) + (f.bad_lchksum - o.bad_lchksum) +
                            (f.lenid_mismatch - o.lenid_mismatch) + (f.bad_chksum - o.bad_chksum) +
                            (f.wrong_address - o.wrong_address) + (f.oversize - o.oversize) +
                            (f.cut_off - o.cut_off);
  echoed = f.echo_skipped != o.echo_skipped;
  if (!answered && after.timeouts != before.timeouts) return ExchangeResult::kTimeout;
  if (!answered || rejected > 0) return ExchangeResult::kRejected;
  return ExchangeResult::kAnswer;
}

bool is_host_key(const std::string& key) { return key.rfind(kHostKeyPrefix, 0) == 0; }

void LineHealth::record(Clock::time_point now, ExchangeResult r, bool echoed, double latency_s) {
  if (!started_) first_ = now, started_ = true;
  entries_.push_back({now, r, echoed, static_cast<float>(latency_s)});
  if (entries_.size() > kMaxEntries) entries_.pop_front();
}

void LineHealth::prune(Clock::time_point now) {
  while (!entries_.empty() && entries_.front().at <= now - s_.window) entries_.pop_front();
}

LineHealthView LineHealth::view(Clock::time_point now) const {
  LineHealthView v;
  std::vector<float> latencies;
  uint64_t timeouts = 0, rejected = 0, echoed = 0;
  for (const Entry& e : entries_) {
    if (e.at <= now - s_.window) continue;
    ++v.exchanges;
    timeouts += e.result == ExchangeResult::kTimeout;
    rejected += e.result == ExchangeResult::kRejected;
    echoed += e.echoed;
    if (e.latency_s >= 0) latencies.push_back(e.latency_s);
  }
  if (v.exchanges) {
    const double n = static_cast<double>(v.exchanges);
    v.timeout_ratio = static_cast<double>(timeouts) / n;
    v.rejected_ratio = static_cast<double>(rejected) / n;
    v.echo_ratio = static_cast<double>(echoed) / n;
    v.error_ratio = v.timeout_ratio + v.rejected_ratio;
  }
  if (!latencies.empty()) {
    auto mid = latencies.begin() + static_cast<long>(latencies.size() / 2);
    std::nth_element(latencies.begin(), mid, latencies.end());
    v.median_latency_s = *mid;
  }
  v.degrading = levels_[0].active;
  v.failing = levels_[1].active;
  return v;
}

// Nothing is decided before a whole window has been seen, nor on a handful of exchanges (a line
// that carries nothing stays as it was).
std::vector<klx::AlarmTransition> LineHealth::evaluate(Clock::time_point now) {
  std::vector<klx::AlarmTransition> out;
  prune(now);
  if (!started_ || now - first_ < s_.window) return out;
  const LineHealthView v = view(now);
  const bool enough = v.exchanges >= s_.min_exchanges;
  for (Level& l : levels_) {
    const double threshold = s_.*l.threshold;
    if (!l.active && enough && v.error_ratio > threshold) {
      l.active = true;
      out.push_back(transition(l, true, v));
    } else if (l.active && enough && v.error_ratio < threshold * s_.clear_factor) {
      l.active = false;
      out.push_back(transition(l, false, v));
    }
  }
  return out;
}

void LineHealth::restore(const std::string& key) {
  for (Level& l : levels_)
    if (key == l.key) l.active = true;
}

klx::AlarmTransition LineHealth::transition(const Level& l, bool raised,
                                            const LineHealthView& v) const {
  klx::AlarmTransition t;
  t.raised = raised;
  t.level = l.threshold == &LineHealthSettings::failing ? 1 : 2;
  t.key = l.key;
  t.alarm_id = l.key;
  t.text1 = percent(v.error_ratio) + " of " + std::to_string(v.exchanges) + " exchanges in " +
            std::to_string(s_.window.count()) + " s (timed out " + percent(v.timeout_ratio) +
            ", rejected " + percent(v.rejected_ratio) + ")";
  t.text2 = l.name;
  return t;
}

}  // namespace klxhost
