// The pieces of the HTTP endpoint that need no running host: the listen address, the metrics
// text for records with absent values, and the host-wide configuration.
#ifdef KLX_HAVE_RUNNER

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>

#include "acquisition/record.h"
#include "config.h"
#include "http_request.h"
#include "http_server.h"
#include "klx/site_model.h"
#include "metrics.h"
#include "state_payload.h"

namespace klxhost {
namespace {

TEST(ListenAddress, BarePortIsLoopbackAndBadTextIsRefused) {
  const struct {
    const char* text;
    const char* host;  // nullptr: refused
    unsigned port;
  } rows[] = {
      {"9419", "127.0.0.1", 9419},
      {"0.0.0.0:80", "0.0.0.0", 80},
      {"[::1]:9419", "::1", 9419},
      {"localhost:0", "localhost", 0},
      {"", nullptr, 0},
      {"abc", nullptr, 0},
      {"1:99999", nullptr, 0},
      {":80", nullptr, 0},
      {"80:", nullptr, 0},
      {"[::1]", nullptr, 0},
      {"9419 ", nullptr, 0},
      {"-1", nullptr, 0},
  };
  for (const auto& r : rows) {
    std::string host, error;
    unsigned short port = 1;
    const bool ok = parse_listen(r.text, host, port, error);
    ASSERT_EQ(ok, r.host != nullptr) << r.text;
    if (!ok) {
      EXPECT_NE(error.find(r.text), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(host, r.host) << r.text;
    EXPECT_EQ(port, r.port) << r.text;
  }
}

std::vector<uint8_t> bytes_of(const korvantis_419_Data_t& rec) {
  const auto* p = reinterpret_cast<const uint8_t*>(&rec);
  return std::vector<uint8_t>(p, p + sizeof rec);
}

DeviceView view_of(uint32_t data_id, const korvantis_419_Data_t& rec, klx::DeviceLayout layout) {
  DeviceView v;
  v.model.data_id = data_id;
  v.model.layout = layout;
  v.model.plant = klx::read_plant(bytes_of(rec), layout);
  v.model.fresh.rounds = 1;
  return v;
}

klx::DeviceLayout with_dc() {
  klx::DeviceLayout l;
  l.has_dc = true;
  return l;
}

// Two devices: one with a record whose absent values take every form, one whose record is all
// zero (a collapsed bus on panel 1, no second panel).
std::vector<DeviceView> two_devices() {
  korvantis_419_Data_t rec{};
  rec.data_id = 7;
  rec.ac.channel_count = 1;
  rec.acChannel[0].a = 230.1f;
  rec.acChannel[0].b = -0.1f;                      // the invalid marker
  std::memset(rec.acChannel[0].c.bytes, 0x20, 4);  // absent on the wire
  rec.acChannel[0].f = std::numeric_limits<float>::quiet_NaN();
  rec.rc_voltage = 53.5f;
  rec.rc_channel_count = 2;
  rec.rcChannel[0].current = 10.25f;
  std::memset(rec.rcChannel[1].current.bytes, 0xFF, 4);
  rec.dc.voltage = 53.4f;
  rec.dc_2.voltage = -0.1f;
  DeviceView a = view_of(7, rec, with_dc());
  a.model.fresh.rounds = 3;
  a.model.fresh.last_round = 1000;
  a.durations.add(2.5);
  a.model.alarms.push_back({"k", klx::kCommAlarmId, 1, "", "lost", 990});
  return {a, view_of(8, korvantis_419_Data_t{}, with_dc())};
}

TEST(Metrics, AbsentValuesAreLeftOutAndFamiliesStayTogether) {
  const std::string m = render_metrics(two_devices(), "a \"b\"\\\nc", 1010);
  const std::string id = R"(site="a \"b\"\\\nc",data_id="7")";
  for (const std::string& present :
       {"klx_ac_voltage_volts{" + id + R"(,line="1",phase="a"} 230.1)",
        "klx_rectifier_module_current_amperes{" + id + R"(,module="1"} 10.25)",
        "klx_dc_voltage_volts{" + id + R"(,panel="1"} 53.4)", "klx_rectifier_modules{" + id + "} 2",
        "klx_device_up{" + id + "} 0", "klx_round_duration_seconds_bucket{" + id + R"(,le="3"} 1)",
        "klx_last_round_timestamp_seconds{" + id + "} 1000",
        std::string(R"(klx_dc_voltage_volts{site="a \"b\"\\\nc",data_id="8",panel="1"} 0)")})
    EXPECT_NE(m.find(present + "\n"), std::string::npos) << present << "\n" << m;
  for (const char* absent : {"phase=\"b\"", "phase=\"c\"", "klx_ac_frequency_hertz{",
                             "module=\"2\"", "panel=\"2\"", "-0.1", "nan"})
    EXPECT_EQ(m.find(absent), std::string::npos) << absent << "\n" << m;
  // Every family is announced once, and its samples follow it without another family between.
  std::map<std::string, int> seen;
  std::string current;
  for (size_t at = 0, end; at < m.size(); at = end + 1) {
    end = m.find('\n', at);
    const std::string line = m.substr(at, end - at);
    if (line.rfind("# TYPE ", 0) == 0) {
      current = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_EQ(++seen[current], 1) << current;
    } else if (line[0] != '#') {
      EXPECT_EQ(line.rfind(current, 0), 0u) << line;
    }
  }
}

// Hardware that is not there has no series and no state entry: a device without DC, a
// single-phase line, and a shelf whose module count dropped (the record keeps the old module's
// bytes beyond the count).
TEST(Metrics, AbsentHardwareHasNoSeriesNorState) {
  korvantis_419_Data_t rec{};
  rec.ac.channel_count = 1;
  rec.acChannel[0].a = 230.0f;
  rec.acChannel[0].b = 231.0f;
  rec.acChannel[0].c = 232.0f;
  rec.rc_channel_count = 2;
  for (auto& module : rec.rcChannel) module.current = 10.0f;
  rec.dc.voltage = 53.5f;
  rec.dc_2.voltage = 53.1f;
  klx::DeviceLayout single_phase_no_dc;
  single_phase_no_dc.phase[1] = single_phase_no_dc.phase[2] = false;
  const DeviceView v = view_of(7, rec, single_phase_no_dc);
  const std::string m = render_metrics({v}, "", 1000);
  for (const char* absent : {"phase=\"b\"", "phase=\"c\"", "klx_dc_voltage_volts{",
                             "klx_dc_current_amperes{", "module=\"3\""})
    EXPECT_EQ(m.find(absent), std::string::npos) << absent << "\n" << m;
  EXPECT_NE(m.find(R"(klx_rectifier_module_current_amperes{data_id="7",module="2"} 10)"),
            std::string::npos);
  const Json::Value state = state_payload(v.model, 1, 1000);
  EXPECT_FALSE(state.isMember("dc") || state.isMember("dc_2"));
  EXPECT_FALSE(state["acChannel"][0].isMember("b") || state["acChannel"][0].isMember("c"));
  EXPECT_EQ(state["rcChannel"].size(), 2u);
  // With DC, both panels the record holds are exported; the second only because it is there.
  const std::string both = render_metrics({view_of(7, rec, with_dc())}, "", 1000);
  EXPECT_NE(both.find(R"(klx_dc_voltage_volts{data_id="7",panel="2"} 53.1)"), std::string::npos);
}

TEST(SiteConfig, HttpListenAndSite) {
  const struct {
    const char* more;
    const char* listen;  // nullptr: refused
    const char* site;
  } rows[] = {
      {"", "", ""},
      {R"(, "http": {"listen": "9419"}, "mqtt": {"site": "north"})", "9419", "north"},
      {R"(, "http": {"_comment": "x"}, "snmp": {}, "history": {"_comment": "x", "raw_days": 1})",
       "", ""},
      {R"(, "http": "9419")", nullptr, nullptr},
      {R"(, "http": {"listen": 9419})", nullptr, nullptr},
      {R"(, "mqtt": {"site": 5})", nullptr, nullptr},
      {R"(, "http": {"allowed_hosts": ["a b"]})", nullptr, nullptr},
      {R"(, "http": {"allowed_hosts": []})", nullptr, nullptr},
      {", \"mqtt\": {\"site\": \"nor\xe9\"}", nullptr, nullptr},  // Latin-1, not UTF-8
      {R"(, "mqtt": {"site": "\udc80"})", nullptr, nullptr},          // a lone surrogate
      {", \"mqtt\": {\"site\": \"nord \xc3\xa9\"}", "", "nord \xc3\xa9"},
  };
  for (const auto& r : rows) {
    const std::string text = std::string(R"({"devices": [{"data_id": 1}])") + r.more + "}";
    if (!r.listen) {
      EXPECT_THROW(parse_site_config(text, "c.json"), ConfigError) << text;
      continue;
    }
    const SiteConfig c = parse_site_config(text, "c.json");
    EXPECT_EQ(c.http.listen, r.listen) << text;
    EXPECT_EQ(c.mqtt.site, r.site) << text;
  }
}

// The checks around the parser, on whole requests as a connection would send them.
TEST(HttpRequests, MethodHostAndLimitsAroundTheHandler) {
  HttpLimits limits;
  limits.allowed_hosts = {"klx.example"};
  const auto handler = [](const std::string& target) {
    return HttpReply{200, "text/plain", "at " + target};
  };
  const struct {
    std::string request;
    const char* status;  // "": no answer at all
  } rows[] = {
      {"GET /metrics HTTP/1.1\r\nHost: klx.example:9419\r\n\r\n", "200"},
      {"GET / HTTP/1.1\r\nHost: KLX.Example.\r\n\r\n", "200"},
      {"GET / HTTP/1.1\r\nHost: 192.0.2.7:9419\r\n\r\n", "200"},
      {"GET / HTTP/1.1\r\nHost: [::1]:9419\r\n\r\n", "200"},
      {"GET / HTTP/1.1\r\nHost: rebound.example\r\n\r\n", "403"},
      {"GET / HTTP/1.1\r\nHost: klx.example.rebound.example\r\n\r\n", "403"},
      {"GET / HTTP/1.0\r\n\r\n", "403"},
      {"PUT / HTTP/1.1\r\nHost: klx.example\r\n\r\n", "405"},
      {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "400"},
      {"GET / HTTP/1.1\r\nHost: klx.exa", "400"},  // closed mid-header
      {"", ""},
  };
  for (const auto& r : rows) {
    const std::string a = answer_buffer(r.request, handler, limits);
    if (!*r.status) {
      EXPECT_EQ(a, "") << r.request;
      continue;
    }
    EXPECT_EQ(a.substr(0, 12), std::string("HTTP/1.1 ") + r.status) << r.request.substr(0, 60);
  }
  EXPECT_TRUE(host_allowed("anything", {})) << "no list: any host";
}

}  // namespace
}  // namespace klxhost

#endif  // KLX_HAVE_RUNNER
