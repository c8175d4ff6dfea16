#include "line_file.h"

#include <cerrno>
#include <cstring>

namespace klxhost {

LineFile::~LineFile() {
  if (file_) std::fclose(file_);
}

bool LineFile::open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), mode_ == Mode::kAppend ? "a" : "w");
  if (!file_) error = path + ": " + std::strerror(errno);
  return file_ != nullptr;
}

void LineFile::write(const std::string& text) {
  if (!file_) return;
  const bool ok = std::fputs(text.c_str(), file_) >= 0 && std::fputc('\n', file_) != EOF &&
                  std::fflush(file_) == 0;
  ++(ok ? written_ : lost_);
  if (!ok) std::clearerr(file_);  // later lines are tried again (space may come back)
}

}  // namespace klxhost
