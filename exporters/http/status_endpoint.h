#pragma once

// The HTTP endpoint of the host: /metrics (Prometheus), /api/state (per device the state
// payload), /api/status (line, alarms and counters per device), / (the status page) and the
// page's files under /page/. It is an
// export sink: the poll loop hands it copies; requests are answered from those copies on the
// server's own thread.

#include <memory>
#include <string>

#include "export_sink.h"
#include "http_server.h"
#include "klx/history_query.h"
#include "site_state.h"

namespace klxhost {

class StatusEndpoint : public ExportSink {
 public:
  // Listens on "[HOST:]PORT" (checked with parse_listen first); nullptr with the reason when it
  // cannot. With a history database, /api/history reads it through a read-only connection of
  // the HTTP thread's own (a database that cannot be opened so is warned about in `warning`, and
  // /api/history answers 404).
  static std::unique_ptr<StatusEndpoint> start(const std::string& listen, const std::string& site,
                                               const HttpLimits& limits, std::string& error,
                                               const std::string& db = "",
                                               std::string* warning = nullptr);

  // A device whose counters are copied on the poll loop's passes.
  void watch(uint32_t data_id, const std::string& port, CounterSources sources);
  std::string address() const;
  HttpReply handle(const std::string& target) const;

  void round_completed(const RoundEvent& e) override;
  void alarm_changed(const AlarmEvent& e) override;
  void line_changed(const LineEvent& e) override;
  void loop_pass(std::chrono::steady_clock::time_point now) override;
  void stopping() override;

 private:
  explicit StatusEndpoint(std::string site) : site_(std::move(site)) {}
  std::string state_json() const;
  std::string status_json() const;

  std::unique_ptr<klx::TrendReader> history_;  // the HTTP thread's own connection
  SiteState state_;  // declared before the server: the server's thread reads it until joined
  std::string site_;
  std::unique_ptr<HttpServer> server_;
};

// The status page, with the first state and status embedded so that it shows them at once.
std::string status_page(const std::string& state_json, const std::string& status_json);
// One of the page's own files (/page/status.js, /page/status.css); false when there is none.
bool page_file(const std::string& name, HttpReply& reply);

}  // namespace klxhost
