#pragma once

// The --trace file: one JSON object a line, in call order, for every host call the plug-in makes
// (cmd, publish, history, check, report, batch) and every call of the runner (get, ioctl).

#include <cstdint>
#include <string>
#include <vector>

#include "klx/rule_value.h"
#include "line_file.h"

namespace klxhost {

// Truncates its file (LineFile::open).
class Trace : public LineFile {
 public:
  Trace() : LineFile(Mode::kTruncate) {}

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
  void id_value(const char* ev, const std::string& id, float value);
  void line(const std::string& text) { write(text); }
};

}  // namespace klxhost
