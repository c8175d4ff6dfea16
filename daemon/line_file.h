#pragma once

// A file written one line at a time, each line flushed as it is written: the trace and the
// capture of a run that dies are complete up to their last line.

#include <cstdio>
#include <string>

namespace klxhost {

class LineFile {
 public:
  enum class Mode { kTruncate, kAppend };

  explicit LineFile(Mode mode) : mode_(mode) {}
  ~LineFile();
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  // False with the reason when the file cannot be opened. A symbolic link at the path is not
  // followed and only a regular file or a character device (/dev/null) is taken (safe_open.h).
  bool open(const std::string& path, std::string& error);
  // Opens the same path again, appending (after SIGHUP: the old file was rotated away); the old
  // file stays in use when it cannot.
  bool reopen(std::string& error);
  bool enabled() const { return file_ != nullptr; }
  // `text` and a newline; nothing when the file is not open.
  void write(const std::string& text);
  // Lines written whole, and lines that could not be written (a full disk).
  size_t written() const { return written_; }
  size_t lost() const { return lost_; }

 private:
  Mode mode_;
  std::FILE* file_ = nullptr;
  std::string path_;
  size_t written_ = 0;
  size_t lost_ = 0;
};

}  // namespace klxhost
