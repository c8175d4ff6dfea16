#include "metrics.h"

#include <cstdio>
#include <functional>
#include <set>
#include <tuple>
#include <utility>

#include "json_out.h"

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

std::string label_text(const Labels& labels) {
  std::string out;
  for (const auto& [k, v] : labels)
    out += (out.empty() ? "" : ",") + k + "=\"" + escape_label(v) + "\"";
  return out;
}

// Writes families one after the other; the caller adds every sample of a family before the next.
// The labels every sample of a device carries are rendered once per device.
class Exposition {
 public:
  void family(const std::string& name, const char* type, const char* help) {
    out_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const std::string& name, const Labels& labels, const std::string& value) {
    out_ += name;
    out_ += '{';
    out_ += *common_;
    bool first = common_->empty();
    for (const auto& [k, v] : labels) {
      if (!first) out_ += ',';
      first = false;
      out_ += k + "=\"" + escape_label(v) + "\"";
    }
    if (first) out_.pop_back();  // no labels at all
    out_ += (first ? " " : "} ") + value + "\n";
  }
  void set_common(const std::string& rendered) { common_ = &rendered; }
  std::string text() { return std::move(out_); }

 private:
  const std::string* common_ = &empty_;
  std::string empty_;
  std::string out_;
};

struct Device {
  const DeviceView* view;
  std::string labels;  // site and data_id, rendered
  const klx::DeviceModel& model() const { return view->model; }
  const klx::PlantReading& plant() const { return view->model.plant; }
};

using PerDevice = std::function<void(Exposition&, const Device&)>;

void each(Exposition& x, const std::vector<Device>& devices, const PerDevice& fn) {
  for (const Device& d : devices) {
    x.set_common(d.labels);
    fn(x, d);
  }
}

// One gauge, when the model has the value.
void gauge(Exposition& x, const char* name, const Labels& labels, const klx::Reading& v) {
  if (v) x.sample(name, labels, json_float(*v));
}

void ac_metrics(Exposition& x, const std::vector<Device>& devs) {
  static const char* const kPhase[3] = {"a", "b", "c"};
  x.family("klx_ac_voltage_volts", "gauge", "Phase voltage of an AC input line.");
  each(x, devs, [](Exposition& e, const Device& d) {
    for (const klx::AcLine& l : d.plant().ac.lines)
      for (unsigned p = 0; p < 3; ++p)
        gauge(e, "klx_ac_voltage_volts", {{"line", std::to_string(l.number)}, {"phase", kPhase[p]}},
              l.phase[p]);
  });
  x.family("klx_ac_frequency_hertz", "gauge", "Frequency of an AC input line.");
  each(x, devs, [](Exposition& e, const Device& d) {
    for (const klx::AcLine& l : d.plant().ac.lines)
      gauge(e, "klx_ac_frequency_hertz", {{"line", std::to_string(l.number)}}, l.frequency);
  });
}

void rectifier_metrics(Exposition& x, const std::vector<Device>& devs) {
  x.family("klx_rectifier_output_voltage_volts", "gauge", "Output voltage of the rectifier shelf.");
  each(x, devs, [](Exposition& e, const Device& d) {
    gauge(e, "klx_rectifier_output_voltage_volts", {}, d.plant().shelf.voltage);
  });
  x.family("klx_rectifier_module_current_amperes", "gauge",
           "Output current of a rectifier module.");
  each(x, devs, [](Exposition& e, const Device& d) {
    for (const klx::Module& m : d.plant().shelf.modules)
      gauge(e, "klx_rectifier_module_current_amperes", {{"module", std::to_string(m.number)}},
            m.current);
  });
  x.family("klx_rectifier_modules", "gauge", "Rectifier modules the shelf reports.");
  each(x, devs, [](Exposition& e, const Device& d) {
    if (d.plant().valid)
      e.sample("klx_rectifier_modules", {}, std::to_string(d.plant().shelf.modules.size()));
  });
}

void dc_metrics(Exposition& x, const std::vector<Device>& devs) {
  using Field = klx::Reading klx::DcPanel::*;
  for (const auto& [name, field, help] :
       {std::make_tuple("klx_dc_voltage_volts", Field(&klx::DcPanel::voltage),
                        "Bus voltage of a DC panel."),
        std::make_tuple("klx_dc_current_amperes", Field(&klx::DcPanel::current),
                        "Load current of a DC panel.")}) {
    x.family(name, "gauge", help);
    each(x, devs, [name = name, field = field](Exposition& e, const Device& d) {
      for (const klx::DcPanel& p : d.plant().dc)
        if (p.present) gauge(e, name, {{"panel", std::to_string(p.number)}}, p.*field);
    });
  }
}

void counter_metrics(Exposition& x, const std::vector<Device>& devs) {
  x.family("klx_rounds_total", "counter", "Polling rounds completed.");
  each(x, devs, [](Exposition& e, const Device& d) {
    e.sample("klx_rounds_total", {}, std::to_string(d.model().fresh.rounds));
  });
  x.family("klx_exchanges_total", "counter", "Command exchanges by their result.");
  each(x, devs, [](Exposition& e, const Device& d) {
    const klx::ProtocolCounters& p = d.model().counters.protocol;
    for (const auto& [result, n] :
         {std::make_pair("answer", p.answers), std::make_pair("timeout", p.timeouts),
          std::make_pair("rtn", p.rtn_errors), std::make_pair("bad_frame", p.bad_frames)})
      e.sample("klx_exchanges_total", {{"result", result}}, std::to_string(n));
  });
  x.family("klx_frames_rejected_total", "counter",
           "Frames the parser did not hand over, by reason.");
  each(x, devs, [](Exposition& e, const Device& d) {
    const klx::FrameCounters& f = d.model().counters.frames;
    for (const auto& [reason, n] :
         {std::make_pair("bad_hex", f.bad_hex), std::make_pair("bad_lchksum", f.bad_lchksum),
          std::make_pair("lenid_mismatch", f.lenid_mismatch),
          std::make_pair("bad_chksum", f.bad_chksum),
          std::make_pair("wrong_address", f.wrong_address), std::make_pair("oversize", f.oversize),
          std::make_pair("cut_off", f.cut_off), std::make_pair("echo", f.echo_skipped)})
      e.sample("klx_frames_rejected_total", {{"reason", reason}}, std::to_string(n));
  });
}

void status_metrics(Exposition& x, const std::vector<Device>& devs, std::time_t now) {
  x.family("klx_device_up", "gauge",
           "1 while the device answers: a round within 60 s, its line open and no communication "
           "alarm.");
  each(x, devs, [now](Exposition& e, const Device& d) {
    e.sample("klx_device_up", {}, klx::device_up(d.model(), now) ? "1" : "0");
  });
  x.family("klx_alarm_active", "gauge", "Active alarms of the device, 1 each.");
  each(x, devs, [](Exposition& e, const Device& d) {
    // Alarms are kept by key; two keys of one identifier and level are one series.
    std::set<std::pair<std::string, int>> series;
    for (const auto& a : d.model().alarms) series.emplace(a.alarm_id, a.level);
    for (const auto& [id, level] : series)
      e.sample("klx_alarm_active", {{"alarm_id", id}, {"level", std::to_string(level)}}, "1");
  });
  x.family("klx_last_round_timestamp_seconds", "gauge", "Time the last round completed.");
  each(x, devs, [](Exposition& e, const Device& d) {
    if (const std::time_t t = d.model().fresh.last_round)
      e.sample("klx_last_round_timestamp_seconds", {}, std::to_string(t));
  });
}

void duration_metrics(Exposition& x, const std::vector<Device>& devs) {
  x.family("klx_round_duration_seconds", "histogram",
           "Time from one completed round of a device to the next.");
  each(x, devs, [](Exposition& e, const Device& d) {
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
void line_health_metrics(Exposition& x, const std::vector<Device>& devs) {
  x.family("klx_line_error_ratio", "gauge",
           "Share of the exchanges in the line-health window that timed out or were rejected "
           "(kind all), and of each kind, echoes included.");
  each(x, devs, [](Exposition& e, const Device& d) {
    const LineHealthView& h = d.view->health;
    if (h.exchanges == 0) return;
    for (const auto& [kind, v] :
         {std::make_pair("all", h.error_ratio), std::make_pair("timeout", h.timeout_ratio),
          std::make_pair("rejected", h.rejected_ratio), std::make_pair("echo", h.echo_ratio)})
      e.sample("klx_line_error_ratio", {{"kind", kind}}, number(v));
  });
  x.family("klx_answer_latency_seconds", "gauge",
           "Median time from a command to its whole answer over the line-health window.");
  each(x, devs, [](Exposition& e, const Device& d) {
    if (d.view->health.median_latency_s >= 0)
      e.sample("klx_answer_latency_seconds", {}, number(d.view->health.median_latency_s));
  });
}

}  // namespace

std::string render_metrics(const std::vector<DeviceView>& views, const std::string& site,
                           std::time_t now) {
  const Labels site_label = site.empty() ? Labels() : Labels{{"site", site}};
  std::vector<Device> devs;
  devs.reserve(views.size());
  for (const DeviceView& v : views) {
    Labels labels = site_label;
    labels.emplace_back("data_id", std::to_string(v.model.data_id));
    devs.push_back({&v, label_text(labels)});
  }
  Exposition x;
  ac_metrics(x, devs);
  rectifier_metrics(x, devs);
  dc_metrics(x, devs);
  counter_metrics(x, devs);
  status_metrics(x, devs, now);
  duration_metrics(x, devs);
  line_health_metrics(x, devs);
  return x.text();
}

}  // namespace klxhost
