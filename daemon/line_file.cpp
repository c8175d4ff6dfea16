#include "line_file.h"

#include "safe_open.h"

namespace klxhost {

LineFile::~LineFile() {
  if (file_) std::fclose(file_);
}

bool LineFile::open(const std::string& path, std::string& error) {
  path_ = path;
  file_ = open_output_file(path, mode_ == Mode::kAppend, error);
  if (!file_) error = path + ": " + error;
  return file_ != nullptr;
}

bool LineFile::reopen(std::string& error) {
  if (!file_) return true;
  std::FILE* f = open_output_file(path_, true, error);
  if (!f) return error = path_ + ": " + error, false;
  std::fclose(file_);
  file_ = f;
  return true;
}

void LineFile::write(const std::string& text) {
  if (!file_) return;
  const bool ok = std::fputs(text.c_str(), file_) >= 0 && std::fputc('\n', file_) != EOF &&
                  std::fflush(file_) == 0;
  ++(ok ? written_ : lost_);
  if (!ok) std::clearerr(file_);  // later lines are tried again (space may come back)
}

}  // namespace klxhost
