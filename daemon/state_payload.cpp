#include "state_payload.h"

#include <json/writer.h>

#include <cstring>

#include "acquisition/record.h"
#include "record_json.h"

namespace klxhost {

std::string iso_time(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string out(text, n);
  if (out.size() >= 5) out.insert(out.size() - 2, ":");  // "+0100" -> "+01:00"
  return out;
}

Json::Value state_payload(const std::vector<uint8_t>& record, unsigned round, std::time_t time) {
  Json::Value out(Json::objectValue);
  out["time"] = iso_time(time);
  out["round"] = round;
  if (record.size() != sizeof(korvantis_419_Data_t)) return out;
  korvantis_419_Data_t rec;
  std::memcpy(&rec, record.data(), sizeof rec);
  const Json::Value fields = record_json::state_json(rec);
  for (const auto& name : fields.getMemberNames()) out[name] = fields[name];
  return out;
}

std::string compact_json(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  w["precision"] = 15;  // the float texts are at most 9 digits: 15 keeps them as they are
  return Json::writeString(w, v);
}

}  // namespace klxhost
