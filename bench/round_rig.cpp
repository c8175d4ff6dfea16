#include "round_rig.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "klx/device_setup.h"
#include "klx/frame.h"
#include "klx/transport.h"
#include "sim/answers.h"
#include "support/fake_clock.h"
#include "support/rule_catalogue.h"

namespace bench {
namespace {

constexpr uint8_t kAddress = 1;
constexpr uint32_t kDataId = 1;

// Reports on every round: a period of 0 minutes is due whenever the clock has moved, and the
// change bounds are computed too.
KLXVDevice::BAOSetting report_always() {
  KLXVDevice::BAOSetting s;
  s.abs_enabled = true;
  s.abs_delta = 0.5f;
  s.pct_enabled = true;
  s.pct_delta = 1.0f;
  s.period_enabled = true;
  s.period_minutes = 0.0f;
  return s;
}

// Answers each command with the round's frame for it, readable at once; no copy is made until
// the host reads it.
class AnsweringLine : public klx::Transport {
 public:
  AnsweringLine(LineTally& tally, const std::vector<Exchange>& exchanges)
      : tally_(tally), exchanges_(exchanges) {}
  bool open(std::string&) override { return open_ = true; }
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  bool write(const uint8_t* frame, size_t n) override {
    ++tally_.commands;
    tally_.chars += n;
    pending_ = nullptr;
    // SOI, VER, ADR, then CID1 and CID2 as hex: characters 5 to 8.
    if (n < 9) return true;
    const auto byte_at = [frame](size_t i) {
      const auto nibble = [](uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
      return static_cast<uint8_t>(nibble(frame[i]) << 4 | nibble(frame[i + 1]));
    };
    for (const auto& e : exchanges_)
      if (e.cid1 == byte_at(5) && e.cid2 == byte_at(7)) {
        pending_ = &e.answer;
        taken_ = 0;
        ++tally_.answers;
      }
    return true;
  }
  long read(uint8_t* buf, size_t cap) override {
    if (!pending_) return 0;
    const size_t n = std::min(cap, pending_->size() - taken_);
    std::memcpy(buf, pending_->data() + taken_, n);
    taken_ += n;
    if (taken_ == pending_->size()) pending_ = nullptr;
    return static_cast<long>(n);
  }
  std::string describe() const override { return "bench line"; }

 private:
  LineTally& tally_;
  const std::vector<Exchange>& exchanges_;
  const std::vector<uint8_t>* pending_ = nullptr;
  size_t taken_ = 0;
  bool open_ = false;
};

}  // namespace

sim::Model largest_round_model() {
  return sim::load_model_file(KLX_BENCH_DIR "/models/largest_round.json");
}

std::vector<Exchange> largest_round_exchanges(const sim::Model& m) {
  const struct {
    uint8_t cid1, cid2;
    sim::Bytes (*info)(const sim::Model&);
  } order[] = {{0x40, 0x41, sim::info_40_41}, {0x40, 0x43, sim::info_40_43},
               {0x40, 0x44, sim::info_40_44}, {0x41, 0x41, sim::info_41_41},
               {0x41, 0x43, sim::info_41_43}, {0x41, 0x44, sim::info_41_44},
               {0x42, 0x41, sim::info_42_41}, {0x42, 0x44, sim::info_42_44}};
  std::vector<Exchange> out;
  for (const auto& o : order) {
    Exchange e;
    e.cid1 = o.cid1;
    e.cid2 = o.cid2;
    e.info = o.info(m);
    const std::string frame =
        klx::encode_frame(m.version, kAddress, o.cid1, 0x00, e.info.data(), e.info.size());
    e.answer.assign(frame.begin(), frame.end());
    out.push_back(std::move(e));
  }
  return out;
}

DeviceSetup device_setup(int mode) {
  DeviceSetup s;
  s.settings_json = "{\"appSetting\":{\"has_dc\":\"1\",\"ac_line\":\"3\",\"b_mode\":\"" +
                    std::to_string(mode) + "\"}}";
  const rule_catalogue::Catalogue& every = rule_catalogue::every_rule();
  for (const auto& code : every.alarm_codes) s.tables.alarm_levels[code] = 1;
  s.tables.thresholds = every.thresholds;
  if (mode == 1)
    for (const auto& key : every.report_keys) s.tables.ao_settings[key] = report_always();
  return s;
}

std::string host_config_json(int mode, const std::string& port) {
  const DeviceSetup s = device_setup(mode);
  Json::Value dev;
  dev["data_id"] = kDataId;
  dev["address"] = kAddress;
  dev["port"] = port;
  Json::Reader().parse(s.settings_json, dev["settings"]);
  for (const auto& [code, level] : s.tables.alarm_levels) dev["alarm_levels"][code] = level;
  for (const auto& [code, value] : s.tables.thresholds) dev["thresholds"][code] = value;
  for (const auto& [key, b] : s.tables.ao_settings) {
    Json::Value& o = dev["ao_settings"][key];
    o["abs_enabled"] = b.abs_enabled;
    o["abs_delta"] = b.abs_delta;
    o["pct_enabled"] = b.pct_enabled;
    o["pct_delta"] = b.pct_delta;
    o["period_enabled"] = b.period_enabled;
    o["period_minutes"] = b.period_minutes;
  }
  Json::Value root;
  root["devices"].append(dev);
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, root) + "\n";
}

void CountingEvents::on_command(KLXVDevice&, uint8_t, uint8_t, const uint8_t*, size_t) {
  ++commands;
}
void CountingEvents::on_publish(KLXVDevice&, int, const uint8_t*, size_t) { ++publishes; }
void CountingEvents::on_history(KLXVDevice&, const uint8_t*, size_t) { ++histories; }
void CountingEvents::on_check(KLXVDevice&, const std::string&, const std::string&, float, int) {
  ++checks;
}
bool CountingEvents::on_batch(KLXVDevice&, const std::vector<rule_value>& rules) {
  ++batches;
  if (rules.size() > largest_batch) largest_batch = rules.size();
  return true;
}
void CountingEvents::on_report(KLXVDevice&, const std::string&, float) { ++reports; }

RoundRig::RoundRig(int mode, klx::DeviceEvents* events) : RoundRig(Deferred{}, mode, events) {
  create_device();
}

RoundRig::RoundRig(Deferred, int mode, klx::DeviceEvents* events)
    : mode_(mode),
      events_(events),
      exchanges_(largest_round_exchanges(largest_round_model())),
      tally_(std::make_unique<LineTally>()) {
  test_clock::set(1700000000);
  if (!events_) {
    own_events_ = std::make_unique<CountingEvents>();
    events_ = own_events_.get();
  }
  auto link =
      std::make_unique<klx::Link>(std::make_unique<AnsweringLine>(*tally_, exchanges_), kBaud);
  link->set_time(now_);
  loop_ = std::make_unique<klx::PollLoop>(now_);
  loop_->add_line(std::move(link));
}

std::unique_ptr<korvantis_419> make_device(const DeviceSetup& s, uint32_t data_id, uint8_t address,
                                           klx::DeviceEvents& events) {
  Json::Value settings;
  if (!Json::Reader().parse(s.settings_json, settings))
    throw std::runtime_error("bad bench settings");
  auto dev = std::make_unique<korvantis_419>();
  klx::set_up_device(*dev, &events, data_id, address, settings, s.tables);
  return dev;
}

void RoundRig::create_device() {
  dev_ = make_device(device_setup(mode_), kDataId, kAddress, *events_);
  dev_->set_link(&loop_->line(0));
  if (!dev_->OpenPort()) throw std::runtime_error("bench line does not open");
  loop_->add_device(0, dev_.get());
}

RoundRig::~RoundRig() {
  if (!dev_) return;
  dev_->set_link(nullptr);
  dev_->set_events(nullptr);
}

int RoundRig::run_round() {
  test_clock::advance(2);
  now_ += std::chrono::seconds(2);
  const uint64_t chars_before = tally_->chars;
  const uint64_t answers_before = tally_->answers;
  loop_->pass(now_);
  last_command_chars_ = tally_->chars - chars_before;
  return static_cast<int>(tally_->answers - answers_before);
}

size_t RoundRig::answer_chars() const {
  size_t n = 0;
  for (const auto& e : exchanges_) n += e.answer.size();
  return n;
}

std::string RoundRig::verify() {
  const unsigned rounds = loop_->rounds(0);
  const uint64_t commands = tally_->commands;
  const uint64_t answers = dev_->protocol_counters().answers;
  const int fed = run_round();
  std::ostringstream why;
  if (fed != static_cast<int>(exchanges_.size())) why << "the round took " << fed << " answers; ";
  if (tally_->commands - commands != exchanges_.size())
    why << (tally_->commands - commands) << " commands sent; ";
  if (dev_->protocol_counters().answers - answers != exchanges_.size())
    why << "only " << (dev_->protocol_counters().answers - answers) << " answers accepted; ";
  if (loop_->rounds(0) != rounds + 1 || dev_->cmd_state_ != PMBUSPOWER_IDLE)
    why << "no RoundDone; ";
  return why.str();
}

}  // namespace bench
