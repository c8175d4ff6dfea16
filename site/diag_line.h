#pragma once

// One diagnostic line reaches standard error whole: the line is formatted first and written with
// a single write(2), so that lines of the exporters' threads (the MQTT connection's, the HTTP
// server's) never interleave with the poll loop's.
//
//   klxhost::DiagLine() << "klx-host: " << label << ": open\n";

#include <sstream>
#include <string>

namespace klxhost {

// Writes `text` to standard error in one write(2) (more only when the kernel takes part of it).
void write_diag(const std::string& text);
// False once a diagnostic could not be written (standard error closed or full).
bool diag_ok();

class DiagLine {
 public:
  DiagLine() = default;
  DiagLine(const DiagLine&) = delete;
  DiagLine& operator=(const DiagLine&) = delete;
  ~DiagLine() { write_diag(text_.str()); }

  template <class T>
  DiagLine& operator<<(const T& v) {
    text_ << v;
    return *this;
  }

 private:
  std::ostringstream text_;
};

}  // namespace klxhost
