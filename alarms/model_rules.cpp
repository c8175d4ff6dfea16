#include <algorithm>
#include <cstddef>
#include <iterator>

#include "alarms/gated_rules.h"
#include "alarms/rule_text.h"
#include "device/korvantis_419.h"

namespace {

// The module's communication state is entry 5 of its extra alarm bytes. This record stores none
// of them (capacity 0), so the state reads as 0 and the rule is stated inactive.
constexpr std::size_t kCommStateIndex = 5;
constexpr uint8_t kCommLost = 0xE2;

uint8_t comm_state(const korvantis_419_Data_t::rc_channel_t& module) {
  return rule_text::stored_or_zero(module.p41_44, sizeof(module.p41_44), kCommStateIndex);
}

}  // namespace

// The power-system rules first, then one communication-state rule per stored module (mode 2).
void korvantis_419::RunCheckThreshold() {
  pmbuspower_419::RunCheckThreshold();
  if (b_mode_ != 2) return;

  GatedRules rules(*this, rule_buffers_);
  const unsigned stored = std::min<unsigned>(data_.rc_channel_count, std::size(data_.rcChannel));
  GatedRules::Series comm(comm_texts_, "12060004", "", "#48V整流模块通信状态告警");
  for (unsigned n = 1; n <= stored; ++n) {
    const auto& module = data_.rcChannel[n - 1];
    rules.add_numbered(comm, n, n, [&] { return comm_state(module) == kCommLost; });
  }
}
