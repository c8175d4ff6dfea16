#pragma once

// The runner's poll loop (klx::PollLoop) in one process: the device, the host's protocol layer
// and link, and the simulator on an in-process line. Each tick moves the test binary's wall clock
// (test_clock) and the loop's monotonic time on together. Answers come at once; an exchange left
// without an answer has run out of time by the next tick, so a silent line costs no real time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/korvantis_419.h"
#include "klx/events.h"
#include "klx/link.h"
#include "klx/poll_loop.h"
#include "klx/store.h"
#include "sim/simulator.h"

namespace reliability {

// The host's side of the device: the latest record and the alarm state, as the runner keeps
// them. Nothing grows with the number of rounds.
struct HostSide : klx::DeviceEvents {
  uint64_t publishes = 0;
  std::vector<uint8_t> record;
  klx::AlarmBook alarms;
  std::vector<klx::AlarmTransition> transitions;  // since the last clear_transitions()
  uint64_t transition_count = 0;
  uint64_t report_count = 0;  // analog values reported as changed

  void on_publish(KLXVDevice& dev, int sp_id, const uint8_t* rec, size_t length) override;
  bool on_batch(KLXVDevice& dev, const std::vector<rule_value>& rules) override;
  void on_report(KLXVDevice&, const std::string&, float) override { ++report_count; }
  // The raise (true) or clear (false) of `key` since the last clear_transitions(), or nothing.
  int last_transition(const std::string& key) const;
  void clear_transitions() { transitions.clear(); }
};

class InProcessHost {
 public:
  static constexpr const char* kCommAlarm = "120600180010";

  // A device with `settings` (JSON) polling a simulator of `model` at address 1.
  InProcessHost(sim::Model model, const std::string& settings);
  ~InProcessHost();

  // One pass of the poll loop after both clocks moved `seconds`: input, time-outs, the poll tick
  // (a whole round's answers), and Reset every 10 s.
  void tick(long seconds = 1);
  // Ticks until `rounds` more rounds have completed or `max_ticks` ticks have passed; the rounds
  // completed.
  int run_rounds(int rounds, int max_ticks = 100000);

  // Rounds completed so far.
  uint64_t rounds() const { return loop_->rounds(0); }
  korvantis_419& device() { return *dev_; }
  HostSide& host() { return host_; }
  const sim::Simulator& simulator() const { return *sim_; }
  const klx::Link& link() const { return loop_->line(0); }
  // Get_Value's answer: the value as text, or the refusal's text.
  std::string get(const std::string& name);

 private:
  std::unique_ptr<korvantis_419> dev_;
  HostSide host_;
  sim::Simulator* sim_ = nullptr;          // owned by the line
  klx::Link::Clock::time_point steady_{};  // the host's monotonic time, moved with each tick
  std::unique_ptr<klx::PollLoop> loop_;
};

// Every alarm code the rules of any mode can look up, with level 1, so that mode 2 states every
// rule it has, and the thresholds of a healthy 48 V system under the codes that read one.
void configure_every_rule(korvantis_419& dev);

// The simulator's clock: the test binary's wall clock.
double wall_seconds();

}  // namespace reliability
