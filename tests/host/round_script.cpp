#include "round_script.h"

#include "support/hex.h"
#include "support/stdout_capture.h"

namespace round_script {

void play_in_process(TestDevice& dev) {
  StdoutCapture quiet;
  dev.alarm_levels_["120600180010"] = 1;
  KLXVDevice::BAOSetting every_quarter;
  every_quarter.period_enabled = true;
  every_quarter.period_minutes = 15;
  dev.ao_settings_["419610401001"] = every_quarter;
  dev.configure(R"({"appSetting":{"has_dc":"1"}})");
  if (dev.RefreshStatus() != 1) return;
  for (size_t answered = 0; answered < dev.rec.commands.size() && answered < 16;) {
    const Recorder::Command c = dev.rec.commands[answered++];
    const auto it = answers().find({c.cid1, c.cid2});
    if (it == answers().end()) return;
    dev.answer(hex::decode(it->second), c.cid1);
  }
}

}  // namespace round_script
