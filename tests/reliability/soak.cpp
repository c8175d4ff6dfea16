#include "soak.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "counting_new.h"
#include "in_process_host.h"
#include "sim/model.h"
#include "support/fake_clock.h"
#include "support/rule_catalogue.h"

namespace soak {
namespace {

constexpr double kPeriod = 400.0;  // seconds of the repeating schedule

sim::Event event(sim::Event::Kind kind, double at, double duration, int target) {
  sim::Event e;
  e.kind = kind;
  e.at = at;
  e.duration = duration;
  e.target = target;
  return e;
}

void add_period(std::vector<sim::Event>& events, double p) {
  using K = sim::Event::Kind;
  events.push_back(event(K::MainsFailure, p + 20, 30, 1));
  events.push_back(event(K::ModuleFail, p + 60, 40, 2));
  events.push_back(event(K::DcAlarm, p + 100, 20, 1));
  sim::Event more = event(K::ModuleCount, p + 140, 0, 0);
  more.count = 8;
  events.push_back(more);
  events.push_back(event(K::ModuleStop, p + 160, 30, 7));
  sim::Event fewer = event(K::ModuleCount, p + 220, 0, 0);
  fewer.count = 6;
  events.push_back(fewer);
  events.push_back(event(K::MainsFailure, p + 240, 40, 2));
  events.push_back(event(K::MainsFailure, p + 260, 10, 1));  // both lines down: no current
  sim::Event ramp_down = event(K::DcRamp, p + 300, 20, 1);
  ramp_down.to = 46.0f;
  events.push_back(ramp_down);
  sim::Event ramp_up = event(K::DcRamp, p + 340, 10, 1);
  ramp_up.to = 53.5f;
  events.push_back(ramp_up);
  events.push_back(event(K::Switch, p + 370, 15, 1));
}

sim::FaultRule fault(sim::FaultRule::Kind kind, double probability) {
  sim::FaultRule f;
  f.kind = kind;
  f.probability = probability;
  return f;
}

sim::Model model(uint64_t rounds) {
  sim::Model m = sim::default_model();
  m.seed = 7;
  // A round takes two seconds; the schedule covers the whole run and a margin.
  const double span = static_cast<double>(rounds) * 2.0 + 2 * kPeriod;
  for (double p = 0; p < span; p += kPeriod) add_period(m.events, p);
  using F = sim::FaultRule::Kind;
  m.faults = {fault(F::BadChecksum, 0.004),  fault(F::NoAnswer, 0.004),
              fault(F::Rtn, 0.002),          fault(F::GarbageInside, 0.002),
              fault(F::WrongAddress, 0.002), fault(F::Garbage, 0.01)};
  sim::FaultRule split = fault(F::Split, 0.02);
  split.pause_ms = 0;
  m.faults.push_back(split);
  return m;
}

std::string settings(int mode) {
  return R"({"appSetting":{"has_dc":"1","b_mode":")" + std::to_string(mode) + R"("}})";
}

// The change-report settings of mode 1, under the keys its rules share.
void configure_reports(korvantis_419& dev) {
  KLXVDevice::BAOSetting s;
  s.abs_enabled = true;
  s.abs_delta = 2.0f;
  s.period_enabled = true;
  s.period_minutes = 5.0f;
  for (const auto& key : rule_catalogue::every_rule().report_keys) dev.ao_settings_[key] = s;
}

// The device's diagnostics are many lines a round: they go to /dev/null for the run.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1), close(null);
  }
  ~QuietStdout() {
    std::cout.flush();
    std::fflush(stdout);
    if (saved_ >= 0) dup2(saved_, 1), close(saved_);
  }

 private:
  int saved_ = -1;
};

// The heap is compared at the same point of the schedule, when every event has ended and the
// shelf holds its six modules again: the simulator's answers (and the buffers they fill) are the
// same size then.
bool quiet_phase(const reliability::InProcessHost& host) {
  const double phase = std::fmod(host.simulator().elapsed(), kPeriod);
  return phase >= kPeriod - 10.0;
}

Checkpoint measure(uint64_t round, korvantis_419& dev) {
  return {round, counting_new::live_bytes(), counting_new::live_blocks(), dev.ao_settings_.size(),
          dev.alarm_levels_.size()};
}

}  // namespace

std::string describe_model() {
  return "built-in power system (2 mains lines, 6 modules, 1 DC panel); every 400 s: line 1 "
         "fails 30 s, module 2 fails 40 s, a DC alarm 20 s, the shelf grows to 8 modules and "
         "module 7 stops 30 s, back to 6, line 2 fails 40 s with line 1 down 10 s of it, the DC "
         "bus ramps to 46 V and back, a switch changes 15 s; answers with a bad CHKSUM 0.4 %, "
         "none 0.4 %, RTN 06 0.2 %, bad hex 0.2 %, another address 0.2 %, noise before 1 %, split "
         "2 %";
}

Result run(const Options& o) {
  Result r;
  const auto started = std::chrono::steady_clock::now();
  test_clock::Frozen clock(1700000000);
  QuietStdout quiet;
  reliability::InProcessHost host(model(o.rounds), settings(o.mode));
  korvantis_419& dev = host.device();
  reliability::configure_every_rule(dev);
  configure_reports(dev);
  r.report_bound = dev.ao_settings_.size() + rule_catalogue::every_rule().report_identifiers;

  r.checkpoints.reserve(o.checkpoints.size() + 1);
  size_t next_checkpoint = 0;
  while (host.rounds() < o.rounds || !quiet_phase(host)) {
    const uint64_t before = host.rounds();
    host.tick();
    ++r.ticks;
    if (!dev.rules_.empty()) ++r.ticks_with_rules_left;
    host.host().clear_transitions();
    if (host.rounds() == before || !quiet_phase(host)) continue;
    if (next_checkpoint < o.checkpoints.size() && host.rounds() >= o.checkpoints[next_checkpoint]) {
      r.checkpoints.push_back(measure(host.rounds(), dev));
      ++next_checkpoint;
    }
  }
  r.checkpoints.push_back(measure(host.rounds(), dev));
  r.rounds = host.rounds();
  for (const auto& e : host.simulator().model().events)
    r.events_started += e.at <= host.simulator().elapsed() ? 1 : 0;
  for (uint64_t n : host.simulator().faults().fired()) r.faults_fired += n;
  const auto& p = dev.protocol_counters();
  r.commands = host.link().counters().commands;
  r.answers = p.answers;
  r.timeouts = p.timeouts;
  r.rtn_errors = p.rtn_errors;
  r.bad_frames = p.bad_frames;
  r.alarm_transitions = host.host().transition_count;
  r.analog_reports = host.host().report_count;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return r;
}

}  // namespace soak
