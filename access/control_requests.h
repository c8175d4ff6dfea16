#pragma once

#include <json/reader.h>
#include <json/value.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/pmbuspower_419.h"

// Control requests from the host's clients. Every byte of a request is untrusted: the input is
// read only up to its stated length, and a request that cannot be read is answered with -1.
namespace control {

enum : int { kSetClock = 300, kSetDcParameter = 310, kRectifierControl = 320 };

// The models sharing the template whose command bytes differ from the common set.
enum class Model { tarbo, felin, quoss, common };

inline Model model_of(const std::string& type) {
  if (type == "tarbo_419") return Model::tarbo;
  if (type == "felin_419") return Model::felin;
  if (type == "quoss_419") return Model::quoss;
  return Model::common;
}

// One command to the power system.
struct Command {
  uint8_t cid1 = 0;
  uint8_t cid2 = 0;
  uint8_t data[5] = {};
  int length = 0;
};

// The request's bytes as text; a missing buffer or a negative length gives no bytes at all.
inline std::string input_text(const void* in, int in_len) {
  if (!in || in_len <= 0) return std::string();
  return std::string(static_cast<const char*>(in), static_cast<size_t>(in_len));
}

// Writes one int32 when the capacity holds it. The host passes the capacity as a signed number
// but means it unsigned; the output may be misaligned, hence the copy.
inline bool put_int32(void* out, int out_cap, int32_t value, int& written) {
  if (!out || static_cast<unsigned>(out_cap) < sizeof value) return false;
  std::memcpy(out, &value, sizeof value);
  written = static_cast<int>(sizeof value);
  return true;
}

// --- Code 310: one DC-distribution parameter -------------------------------------------------

// Parameter code per model (rows in Model order) for "4196A3101001" and "4196A3201001".
constexpr uint8_t kDcParameterCodes[4][2] = {
    {0x85, 0x84}, {0xF2, 0xF1}, {0xEC, 0xEB}, {0xDC, 0xDB}};

// 1 or 2 for the two settable parameters, 0 for any other identifier.
inline int dc_parameter_of(const std::string& signal_id) {
  if (signal_id == "4196A3101001") return 1;
  if (signal_id == "4196A3201001") return 2;
  return 0;
}

// The value in hundredths, cut toward zero, kept to its low 16 bits. Done in floating point so
// that no value overflows an integer conversion; "inf" and "nan" carry no number and give 0.
inline uint16_t hundredths(double v) {
  const double x = v * 100.0;
  if (!std::isfinite(x)) return 0;
  double low = std::fmod(std::trunc(x), 65536.0);  // exact, keeps the sign
  if (low < 0) low += 65536.0;
  return static_cast<uint16_t>(low);
}

// The value as a wire float, least significant byte first. Beyond the float range it becomes an
// infinity, which the plain conversion does not promise.
inline void put_f32_le(uint8_t* dst, double v) {
  const float f = std::isfinite(v) && std::fabs(v) > FLT_MAX
                      ? static_cast<float>(std::copysign(HUGE_VAL, v))
                      : static_cast<float>(v);
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<uint8_t>(u >> (8 * i));
}

inline Command dc_parameter_command(Model model, int parameter, double v) {
  Command c;
  c.cid1 = 0x42;
  c.data[0] = kDcParameterCodes[static_cast<int>(model)][parameter - 1];
  if (model == Model::tarbo) {  // a 16-bit integer, high byte first
    const uint16_t h = hundredths(v);
    c.cid2 = 0x49;
    c.data[1] = static_cast<uint8_t>(h >> 8);
    c.data[2] = static_cast<uint8_t>(h & 0xFF);
    c.length = 3;
  } else {
    c.cid2 = 0x48;
    put_f32_le(c.data + 1, v);
    c.length = 5;
  }
  return c;
}

enum class Outcome { malformed, sent, to_host };

// The reader gives up on nesting deeper than its limit by throwing; that text is not a request.
inline bool parse_request(const std::string& text, Json::Value& request) {
  Json::Reader reader;
  try {
    return reader.parse(text, request);
  } catch (const Json::Exception&) {
    return false;
  }
}

// Arrays and objects have no text: a request holding one where text is expected is malformed.
inline bool has_text(const Json::Value& v) { return !v.isArray() && !v.isObject(); }

// A request naming a known parameter and a value is sent; one that cannot be read is
// malformed; anything else is the host's.
template <class Device>
Outcome set_dc_parameter(Device& dev, const std::string& text) {
  Json::Value parsed;
  if (!parse_request(text, parsed)) return Outcome::malformed;
  const Json::Value& request = parsed;
  // The text null names nothing and is the host's; other non-objects cannot be looked into.
  if (!request.isNull() && !request.isObject()) return Outcome::malformed;
  const Json::Value& signal_id = request["signal_id"];
  if (!has_text(signal_id)) return Outcome::malformed;
  const int parameter = dc_parameter_of(signal_id.asString());
  const Json::Value& value = request["SetValue"];
  if (parameter == 0 || value.isNull()) return Outcome::to_host;
  if (!has_text(value)) return Outcome::malformed;
  const double v = std::atof(value.asString().c_str());
  dev.ctrl_result_ = -1;
  const Command c = dc_parameter_command(model_of(dev.DeviceType()), parameter, v);
  dev.write_pmbus_cmd(c.cid1, c.cid2, c.data, c.length);
  return Outcome::sent;
}

// --- Code 320: rectifier remote control ------------------------------------------------------

// The three characters after a nine-character identifier: the module number, cut to 8 bits.
inline uint8_t module_number(const std::string& text) {
  return static_cast<uint8_t>(std::atoi(text.substr(9, 3).c_str()));
}

inline Command rectifier_bytes(uint8_t first, uint8_t second) {
  Command c;
  c.cid1 = 0x41;
  c.cid2 = 0x45;
  c.data[0] = first;
  c.data[1] = second;
  c.length = 2;
  return c;
}

// The remote-control command an identifier names; false when it names none.
inline bool rectifier_command(Model model, const std::string& text, Command& c) {
  const bool common = model == Model::common;
  if (text.compare(0, 9, "419500201") == 0) {
    c = rectifier_bytes(common ? 0xE5 : 0x20, module_number(text));
  } else if (text.compare(0, 9, "419500200") == 0) {
    c = rectifier_bytes(common ? 0xE6 : 0x2F, module_number(text));
  } else if (text == "419500600001") {
    c = rectifier_bytes(0x1F, 0x02);
  } else if (text == "419500601001") {
    c = rectifier_bytes(0x10, 0x02);
  } else if (text == "419500602001") {
    c = rectifier_bytes(0x11, 0x02);
  } else {
    return false;
  }
  return true;
}

}  // namespace control

// Codes 300, 310 and 320 become commands to the power system, sent at once; their answer later
// sets ctrl_result_ to 1 (the response dispatcher). Any other code reports ctrl_result_. The
// host's own handler runs after, except where a request is refused or fully served here.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::DeviceIoControl(int code, const void* in, int in_len, void* out,
                                                int out_cap, int& written) {
  const control::Model model = control::model_of(this->DeviceType());
  if (code == control::kSetClock) {
    this->cmd_state_ = code;
    ctrl_result_ = -1;
    this->OpenPort();
    if (!in || in_len != 7) return -1;
    this->write_pmbus_cmd(0x41, 0x4E, static_cast<const unsigned char*>(in), 7);
    control::put_int32(out, out_cap, 1, written);
  } else if (code == control::kSetDcParameter) {
    ctrl_result_ = -1;
    this->cmd_state_ = code;
    this->OpenPort();
    const control::Outcome outcome =
        control::set_dc_parameter(*this, control::input_text(in, in_len));
    if (outcome == control::Outcome::malformed) return -1;
    if (outcome == control::Outcome::sent) return 0;
  } else if (code == control::kRectifierControl) {
    this->request_code_ = code;
    ctrl_result_ = -1;
    this->OpenPort();
    control::Command c;
    if (control::rectifier_command(model, control::input_text(in, in_len), c))
      this->write_pmbus_cmd(c.cid1, c.cid2, c.data, c.length);
  } else if (!control::put_int32(out, out_cap, ctrl_result_, written)) {
    written = 0;
  }
  return KLXVDevice::DeviceIoControl(code, in, in_len, out, out_cap, written);
}
