#include "history_week.h"

#include <gtest/gtest.h>

#include <cmath>

#include "klx/site_model.h"
#include "klx/store.h"
#include "support/plant_record.h"

void write_history_week(const std::string& path, int64_t end) {
  std::string error;
  auto db = klx::HistoryDb::open(path, error);
  ASSERT_TRUE(db) << error;
  klx::DeviceLayout layout;
  layout.has_dc = true;
  db->set_layout(7, layout);
  const int64_t start = end - 7 * 86400, fail = start + 84 * 3600, back = fail + 2 * 3600;
  klx::AlarmTransition alarm{true, 1, "419415001", "419415001", "0", "交流输入停电告警"};
  for (int64_t t = start; t < end; t += 20) {
    PlantValues v;
    const double day = std::sin(double(t % 86400) / 86400 * 2 * M_PI);
    const float load = static_cast<float>(55 + 8 * day);  // the site's load over a day
    for (int p = 0; p < 3; ++p) v.phase[p] = static_cast<float>(229 + p + 2 * day);
    v.dc_current = load;
    v.modules.assign(6, load / 6 + 1);
    if (t >= fail && t < back) {
      const float hours = static_cast<float>(t - fail) / 3600;
      v.phase[0] = v.phase[1] = v.phase[2] = 0;
      v.frequency = 0;
      v.modules.assign(6, 0.0f);
      v.dc_voltage = v.rc_voltage = 53.5f - 3.25f * hours;
    }
    const auto r = plant_record(v);
    ASSERT_TRUE(db->save_record(7, t, r.data(), r.size())) << db->last_error();
    if (t == fail + 200 || t == back + 20) {
      alarm.raised = t < back;
      db->save_alarm(7, t, alarm);
    }
    if (t % 3600 == 0) db->maintain(t, std::chrono::seconds(10));
  }
  while (db->maintain(end, std::chrono::seconds(10))) {
  }
}
