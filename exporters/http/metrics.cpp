#include "metrics.h"

#include <cstdio>
#include <functional>
#include <set>
#include <utility>

#include "json_out.h"
#include "state_payload.h"

namespace klxhost {
namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

std::string escape_label(const std::string& v) {
  std::string out;
  for (const char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", v);
  return text;
}

// Writes families one after the other; the caller adds every sample of a family before the next.
class Exposition {
 public:
  explicit Exposition(Labels common) : common_(std::move(common)) {}

  void family(const std::string& name, const char* type, const char* help) {
    out_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const std::string& name, const Labels& labels, const std::string& value) {
    out_ += name;
    char sep = '{';
    for (const Labels* set : {static_cast<const Labels*>(&common_), &labels})
      for (const auto& [k, v] : *set) {
        out_ += sep + k + "=\"" + escape_label(v) + "\"";
        sep = ',';
      }
    out_ += (sep == ',' ? "} " : " ") + value + "\n";
  }
  void set_common(Labels common) { common_ = std::move(common); }
  std::string text() { return std::move(out_); }

 private:
  Labels common_;
  std::string out_;
};

// A value of the state JSON: a number, or absent (null, missing).
bool value_of(const Json::Value& v, double& out) {
  if (!v.isNumeric() || v.isBool()) return false;
  out = v.asDouble();
  return true;
}

unsigned count_of(const Json::Value& v, unsigned max) {
  return v.isUInt() ? std::min(v.asUInt(), max) : 0;
}

struct Device {
  const DeviceView* view;
  Json::Value state;
  Labels id;
};

using PerDevice = std::function<void(Exposition&, const Device&)>;

void each(Exposition& x, const std::vector<Device>& devices, const Labels& site,
          const PerDevice& fn) {
  for (const Device& d : devices) {
    Labels common = site;
    common.insert(common.end(), d.id.begin(), d.id.end());
    x.set_common(std::move(common));
    fn(x, d);
  }
}

// One gauge from a state JSON value, when it is present.
void gauge(Exposition& x, const char* name, const Labels& labels, const Json::Value& v) {
  double d = 0;
  if (value_of(v, d)) x.sample(name, labels, json_float(static_cast<float>(d)));
}

void ac_metrics(Exposition& x, const std::vector<Device>& devs, const Labels& site) {
  x.family("klx_ac_voltage_volts", "gauge", "Phase voltage of an AC input line.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    const unsigned lines = count_of(d.state["ac"]["channel_count"], d.state["acChannel"].size());
    for (unsigned i = 0; i < lines; ++i)
      for (const char* phase : {"a", "b", "c"})
        gauge(e, "klx_ac_voltage_volts", {{"line", std::to_string(i + 1)}, {"phase", phase}},
              d.state["acChannel"][i][phase]);
  });
  x.family("klx_ac_frequency_hertz", "gauge", "Frequency of an AC input line.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    const unsigned lines = count_of(d.state["ac"]["channel_count"], d.state["acChannel"].size());
    for (unsigned i = 0; i < lines; ++i)
      gauge(e, "klx_ac_frequency_hertz", {{"line", std::to_string(i + 1)}},
            d.state["acChannel"][i]["f"]);
  });
}

unsigned module_count(const Device& d) {
  return count_of(d.state["rc_channel_count"], d.state["rcChannel"].size());
}

void rectifier_metrics(Exposition& x, const std::vector<Device>& devs, const Labels& site) {
  x.family("klx_rectifier_output_voltage_volts", "gauge", "Output voltage of the rectifier shelf.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    gauge(e, "klx_rectifier_output_voltage_volts", {}, d.state["rc_voltage"]);
  });
  x.family("klx_rectifier_module_current_amperes", "gauge",
           "Output current of a rectifier module.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    for (unsigned i = 0; i < module_count(d); ++i)
      gauge(e, "klx_rectifier_module_current_amperes", {{"module", std::to_string(i + 1)}},
            d.state["rcChannel"][i]["current"]);
  });
  x.family("klx_rectifier_modules", "gauge", "Rectifier modules the shelf reports.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    if (d.state.isMember("rc_channel_count"))
      e.sample("klx_rectifier_modules", {}, std::to_string(module_count(d)));
  });
}

// The record has no panel count: a second panel that was never decoded stays all zero, and
// exporting it would show a collapsed bus. A panel with any value or count set is there.
bool second_panel_present(const Json::Value& p) {
  for (const char* key : {"voltage", "current", "m_count", "alert_m_count"}) {
    double v = 0;
    if (value_of(p[key], v) && v != 0) return true;
  }
  return false;
}

void dc_metrics(Exposition& x, const std::vector<Device>& devs, const Labels& site) {
  for (const auto& [name, field, help] :
       {std::make_tuple("klx_dc_voltage_volts", "voltage", "Bus voltage of a DC panel."),
        std::make_tuple("klx_dc_current_amperes", "current", "Load current of a DC panel.")}) {
    x.family(name, "gauge", help);
    each(x, devs, site, [name = name, field = field](Exposition& e, const Device& d) {
      gauge(e, name, {{"panel", "1"}}, d.state["dc"][field]);
      if (second_panel_present(d.state["dc_2"]))
        gauge(e, name, {{"panel", "2"}}, d.state["dc_2"][field]);
    });
  }
}

void counter_metrics(Exposition& x, const std::vector<Device>& devs, const Labels& site) {
  x.family("klx_rounds_total", "counter", "Polling rounds completed.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    e.sample("klx_rounds_total", {}, std::to_string(d.view->rounds));
  });
  x.family("klx_exchanges_total", "counter", "Command exchanges by their result.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    const klx::ProtocolCounters& p = d.view->protocol;
    for (const auto& [result, n] :
         {std::make_pair("answer", p.answers), std::make_pair("timeout", p.timeouts),
          std::make_pair("rtn", p.rtn_errors), std::make_pair("bad_frame", p.bad_frames)})
      e.sample("klx_exchanges_total", {{"result", result}}, std::to_string(n));
  });
  x.family("klx_frames_rejected_total", "counter",
           "Frames the parser did not hand over, by reason.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    const klx::FrameCounters& f = d.view->frames;
    for (const auto& [reason, n] :
         {std::make_pair("bad_hex", f.bad_hex), std::make_pair("bad_lchksum", f.bad_lchksum),
          std::make_pair("lenid_mismatch", f.lenid_mismatch),
          std::make_pair("bad_chksum", f.bad_chksum),
          std::make_pair("wrong_address", f.wrong_address), std::make_pair("oversize", f.oversize),
          std::make_pair("cut_off", f.cut_off), std::make_pair("echo", f.echo_skipped)})
      e.sample("klx_frames_rejected_total", {{"reason", reason}}, std::to_string(n));
  });
}

void status_metrics(Exposition& x, const std::vector<Device>& devs, const Labels& site,
                    std::time_t now) {
  x.family("klx_device_up", "gauge",
           "1 while the device answers: a round within 60 s and no communication alarm.");
  each(x, devs, site, [now](Exposition& e, const Device& d) {
    e.sample("klx_device_up", {}, device_up(*d.view, now) ? "1" : "0");
  });
  x.family("klx_alarm_active", "gauge", "Active alarms of the device, 1 each.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    // Alarms are kept by key; two keys of one identifier and level are one series.
    std::set<std::pair<std::string, int>> series;
    for (const auto& a : d.view->alarms) series.emplace(a.second.alarm_id, a.second.level);
    for (const auto& [id, level] : series)
      e.sample("klx_alarm_active", {{"alarm_id", id}, {"level", std::to_string(level)}}, "1");
  });
  x.family("klx_last_round_timestamp_seconds", "gauge", "Time the last round completed.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    if (d.view->last_round)
      e.sample("klx_last_round_timestamp_seconds", {}, std::to_string(d.view->last_round));
  });
}

void duration_metrics(Exposition& x, const std::vector<Device>& devs, const Labels& site) {
  x.family("klx_round_duration_seconds", "histogram",
           "Time from one completed round of a device to the next.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    const DurationHistogram& h = d.view->durations;
    uint64_t cumulative = 0;
    for (size_t i = 0; i < h.kBounds.size(); ++i) {
      cumulative += h.counts[i];
      e.sample("klx_round_duration_seconds_bucket", {{"le", number(h.kBounds[i])}},
               std::to_string(cumulative));
    }
    e.sample("klx_round_duration_seconds_bucket", {{"le", "+Inf"}}, std::to_string(h.count));
    e.sample("klx_round_duration_seconds_sum", {}, number(h.sum));
    e.sample("klx_round_duration_seconds_count", {}, std::to_string(h.count));
  });
}

// The window's shares and median: left out while the window holds no exchange.
void line_health_metrics(Exposition& x, const std::vector<Device>& devs, const Labels& site) {
  x.family("klx_line_error_ratio", "gauge",
           "Share of the exchanges in the line-health window that timed out or were rejected "
           "(kind all), and of each kind, echoes included.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    const LineHealthView& h = d.view->health;
    if (h.exchanges == 0) return;
    for (const auto& [kind, v] :
         {std::make_pair("all", h.error_ratio), std::make_pair("timeout", h.timeout_ratio),
          std::make_pair("rejected", h.rejected_ratio), std::make_pair("echo", h.echo_ratio)})
      e.sample("klx_line_error_ratio", {{"kind", kind}}, number(v));
  });
  x.family("klx_answer_latency_seconds", "gauge",
           "Median time from a command to its whole answer over the line-health window.");
  each(x, devs, site, [](Exposition& e, const Device& d) {
    if (d.view->health.median_latency_s >= 0)
      e.sample("klx_answer_latency_seconds", {}, number(d.view->health.median_latency_s));
  });
}

}  // namespace

std::string render_metrics(const std::vector<DeviceView>& views, const std::string& site,
                           std::time_t now) {
  std::vector<Device> devs;
  for (const DeviceView& v : views)
    devs.push_back({&v,
                    state_payload(v.record, v.rounds, v.last_round),
                    {{"data_id", std::to_string(v.data_id)}}});
  const Labels site_label = site.empty() ? Labels() : Labels{{"site", site}};
  Exposition x(site_label);
  ac_metrics(x, devs, site_label);
  rectifier_metrics(x, devs, site_label);
  dc_metrics(x, devs, site_label);
  counter_metrics(x, devs, site_label);
  status_metrics(x, devs, site_label, now);
  duration_metrics(x, devs, site_label);
  line_health_metrics(x, devs, site_label);
  return x.text();
}

}  // namespace klxhost
