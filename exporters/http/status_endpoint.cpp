#include "status_endpoint.h"

#include <ctime>

#include "history_api.h"
#include "metrics.h"
#include "state_payload.h"

namespace klxhost {
namespace {

// The line counters and the line health (a median over the window) reach the endpoint this often:
// fresh enough for a scrape every 15 s, and a fifth of the work of doing it every second.
constexpr std::chrono::milliseconds kCounterCopy{5000};

Json::Value alarms_json(const klx::DeviceModel& d) {
  Json::Value out(Json::arrayValue);
  for (const klx::ActiveAlarm& a : d.alarms) {
    Json::Value v;
    v["key"] = a.key;
    v["alarm_id"] = a.alarm_id;
    v["level"] = a.level;
    v["name"] = a.text2;
    v["text"] = a.text1;
    v["since"] = iso_time(a.since);
    out.append(v);
  }
  return out;
}

Json::Value counters_json(const klx::LineCounters& d) {
  Json::Value c;
  c["commands"] = Json::UInt64(d.link.commands);
  c["answers"] = Json::UInt64(d.protocol.answers);
  c["timeouts"] = Json::UInt64(d.protocol.timeouts);
  c["rtn_errors"] = Json::UInt64(d.protocol.rtn_errors);
  c["bad_frames"] = Json::UInt64(d.protocol.bad_frames);
  c["lost"] = Json::UInt64(d.link.lost);
  c["reconnects"] = Json::UInt64(d.link.reconnects);
  return c;
}

Json::Value device_status(const klx::DeviceModel& d, std::time_t now) {
  const std::time_t last = d.fresh.last_round;
  Json::Value v;
  v["data_id"] = d.data_id;
  v["up"] = klx::device_up(d, now);
  v["port"] = d.port;
  v["line_up"] = d.fresh.line_up;
  v["line_error"] = d.fresh.line_error;
  v["rounds"] = d.fresh.rounds;
  v["last_round"] = last ? Json::Value(iso_time(last)) : Json::Value();
  v["age_s"] = last ? Json::Value(Json::Int64(now - last)) : Json::Value();
  v["alarms"] = alarms_json(d);
  v["counters"] = counters_json(d.counters);
  return v;
}

HttpReply json_reply(std::string body) { return {200, "application/json", std::move(body)}; }

}  // namespace

std::unique_ptr<StatusEndpoint> StatusEndpoint::start(const std::string& listen,
                                                      const std::string& site,
                                                      const HttpLimits& limits, std::string& error,
                                                      const std::string& db, std::string* warning) {
  std::string host;
  unsigned short port = 0;
  if (!parse_listen(listen, host, port, error)) return nullptr;
  std::unique_ptr<StatusEndpoint> e(new StatusEndpoint(site));
  std::string why;
  if (!db.empty() && !(e->history_ = klx::TrendReader::open(db, why)) && warning) *warning = why;
  StatusEndpoint* self = e.get();
  e->server_ = HttpServer::start(
      host, port, [self](const std::string& target) { return self->handle(target); }, limits,
      error);
  if (!e->server_) return nullptr;
  return e;
}

void StatusEndpoint::watch(uint32_t data_id, const std::string& port, CounterSources sources) {
  state_.watch(data_id, port, sources);
}

std::string StatusEndpoint::address() const {
  return server_ ? server_->local_address() : std::string();
}

std::string StatusEndpoint::state_json() const {
  Json::Value out(Json::objectValue);
  for (const DeviceView& d : state_.snapshot()) {
    const klx::DeviceModel& m = d.model;
    out[std::to_string(m.data_id)] =
        m.fresh.rounds ? state_payload(m, m.fresh.rounds, m.fresh.last_round) : Json::Value();
  }
  return compact_json(out);
}

std::string StatusEndpoint::status_json() const {
  const std::time_t now = std::time(nullptr);
  Json::Value out;
  out["time"] = iso_time(now);
  out["site"] = site_;
  out["devices"] = Json::Value(Json::arrayValue);
  for (const DeviceView& d : state_.snapshot()) out["devices"].append(device_status(d.model, now));
  return compact_json(out);
}

HttpReply StatusEndpoint::handle(const std::string& target) const {
  const std::string path = target.substr(0, target.find('?'));
  try {
    if (path == "/metrics")
      return {200, "text/plain; version=0.0.4; charset=utf-8",
              render_metrics(state_.snapshot(), site_, std::time(nullptr))};
    if (path == "/api/state") return json_reply(state_json());
    if (path == "/api/status") return json_reply(status_json());
    if (path == "/api/history")
      return history_reply(history_.get(),
                           target.size() > path.size() ? target.substr(path.size() + 1) : "",
                           std::time(nullptr));
    if (path == "/" || path == "/index.html")
      return {200, "text/html; charset=utf-8", status_page(state_json(), status_json())};
    HttpReply file;
    if (path.rfind("/page/", 0) == 0 && page_file(path.substr(6), file)) return file;
  } catch (const std::exception& e) {
    return {500, "text/plain; charset=utf-8", std::string(e.what()) + "\n"};
  }
  return {404, "text/plain; charset=utf-8", "not found\n"};
}

void StatusEndpoint::round_completed(const RoundEvent& e) {
  state_.round_completed(e);  // the model carries the counters as of its round
}

void StatusEndpoint::alarm_changed(const AlarmEvent& e) { state_.alarm_changed(e); }
void StatusEndpoint::line_changed(const LineEvent& e) { state_.line_changed(e); }

void StatusEndpoint::loop_pass(std::chrono::steady_clock::time_point now) {
  state_.refresh_counters(now, kCounterCopy);
}

void StatusEndpoint::stopping() { server_.reset(); }

}  // namespace klxhost
