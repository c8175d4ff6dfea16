#pragma once

// The --trace file: one JSON object a line, in call order, for every host call the plug-in makes
// (cmd, publish, history, check, report, batch) and every call of the runner (get, ioctl).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "klx/rule_value.h"

namespace klxhost {

class Trace {
 public:
  Trace() = default;
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Opens (truncates) the file; false with the reason when it cannot.
  bool open(const std::string& path, std::string& error);
  bool enabled() const { return file_ != nullptr; }
  // Lines written whole, and lines that could not be written (a full disk).
  size_t written() const { return written_; }
  size_t lost() const { return lost_; }

  void cmd(uint8_t cid1, uint8_t cid2, const uint8_t* data, size_t n);
  void publish(int sp_id, const uint8_t* record, size_t n);
  void history(const uint8_t* record, size_t n);
  void check(const std::string& id, float value);
  void report(const std::string& id, float value);
  void batch(const std::vector<rule_value>& rules);
  void get_value(const std::string& name, float value);
  void get_error(const std::string& name, const std::string& error);
  void ioctl(int code, int result, int written, const uint8_t* out, size_t out_n);

 private:
  void line(const std::string& text);
  std::FILE* file_ = nullptr;
  size_t written_ = 0;
  size_t lost_ = 0;
};

}  // namespace klxhost
