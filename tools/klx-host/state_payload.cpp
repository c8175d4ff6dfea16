#include "state_payload.h"

#include <json/writer.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "acquisition/record.h"
#include "record_json.h"

namespace klxhost {

std::string iso_time(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[40];
  const long off = tm.tm_gmtoff / 60;
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", off < 0 ? '-' : '+',
                std::labs(off) / 60, std::labs(off) % 60);
  return text;
}

Json::Value state_payload(std::time_t time, unsigned round, const std::vector<uint8_t>* record) {
  Json::Value out(Json::objectValue);
  if (record && record->size() == sizeof(korvantis_419_Data_t)) {
    korvantis_419_Data_t rec;
    std::memcpy(&rec, record->data(), sizeof rec);
    out = record_json::state_json(rec);
  }
  out["time"] = iso_time(time);
  out["round"] = round;
  return out;
}

std::string compact_json(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["precision"] = 15;  // the float texts are at most 9 digits: 15 keeps them as they are
  return Json::writeString(w, v);
}

}  // namespace klxhost
