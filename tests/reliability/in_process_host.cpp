#include "in_process_host.h"

#include <json/reader.h>

#include <sstream>
#include <stdexcept>

#include "klx/device_setup.h"
#include "support/fake_clock.h"
#include "support/rule_catalogue.h"

namespace reliability {
namespace {

// Wire time of a command is negligible at this speed; an exchange still waiting at the next tick
// has run out of time.
constexpr int kLineBaud = 10000000;
constexpr std::chrono::milliseconds kAnswerTimeout{900};

}  // namespace

double wall_seconds() { return static_cast<double>(test_clock::now()); }

void HostSide::on_publish(KLXVDevice&, int, const uint8_t* rec, size_t length) {
  ++publishes;
  record.assign(rec, rec + length);
}

bool HostSide::on_batch(KLXVDevice&, const std::vector<rule_value>& rules) {
  for (auto& t : alarms.evaluate(rules)) {
    ++transition_count;
    transitions.push_back(std::move(t));
  }
  return true;
}

int HostSide::last_transition(const std::string& key) const {
  for (auto it = transitions.rbegin(); it != transitions.rend(); ++it)
    if (it->key == key) return it->raised ? 1 : 0;
  return -1;
}

InProcessHost::InProcessHost(sim::Model model, const std::string& settings)
    : dev_(std::make_unique<korvantis_419>()) {
  auto peer = std::make_unique<sim::Simulator>(std::move(model), 1, wall_seconds);
  sim_ = peer.get();
  auto link = std::make_unique<klx::Link>(klx::make_peer_transport(std::move(peer), "simulator"),
                                          kLineBaud);
  link->set_answer_timeout(kAnswerTimeout);
  link->set_time(steady_);
  loop_ = std::make_unique<klx::PollLoop>(steady_);
  loop_->add_line(std::move(link));
  Json::Value json;
  if (!Json::Reader().parse(settings, json)) throw std::invalid_argument("settings: " + settings);
  klx::set_up_device(*dev_, &host_, 7, 1, json);
  dev_->set_link(&loop_->line(0));
  dev_->OpenPort();
  loop_->add_device(0, dev_.get());
}

InProcessHost::~InProcessHost() {
  dev_->set_link(nullptr);
  dev_->set_events(nullptr);
}

void InProcessHost::tick(long seconds) {
  test_clock::advance(seconds);
  steady_ += std::chrono::seconds(seconds);
  loop_->pass(steady_);
}

int InProcessHost::run_rounds(int rounds, int max_ticks) {
  const uint64_t start = this->rounds();
  for (int i = 0; i < max_ticks && this->rounds() < start + static_cast<uint64_t>(rounds); ++i)
    tick();
  return static_cast<int>(this->rounds() - start);
}

std::string InProcessHost::get(const std::string& name) {
  try {
    std::ostringstream s;
    s << dev_->Get_Value(dev_->DataId(), name);
    return s.str();
  } catch (const std::out_of_range& e) {
    return e.what();
  }
}

void configure_every_rule(korvantis_419& dev) { rule_catalogue::configure(dev); }

}  // namespace reliability
