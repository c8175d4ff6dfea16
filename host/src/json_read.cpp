#include "klx/json_read.h"

#include <fcntl.h>
#include <json/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace klx {
namespace {

std::unique_ptr<Json::CharReader> make_reader() {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["stackLimit"] = kJsonMaxDepth;
  return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

std::string size_text(size_t bytes) {
  return bytes % (1 << 20) == 0 ? std::to_string(bytes >> 20) + " MiB"
                                : std::to_string(bytes) + " bytes";
}

}  // namespace

bool parse_json(const char* begin, const char* end, Json::Value& out, std::string& error) {
  try {
    Json::Value v;
    if (!make_reader()->parse(begin, end, &v, &error)) {
      while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
      return false;
    }
    out.swap(v);
    return true;
  } catch (const Json::Exception&) {
    // The only throw of a strict reader: the nesting limit.
    error = "nested deeper than " + std::to_string(kJsonMaxDepth) + " levels";
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  return false;
}

bool parse_json(const std::string& text, Json::Value& out, std::string& error) {
  return parse_json(text.data(), text.data() + text.size(), out, error);
}

bool read_file_capped(const std::string& path, size_t max_bytes, std::string& text,
                      std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return error = std::strerror(errno), false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return error = "is a directory", false;
  }
  std::string out, why;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) why = std::strerror(errno);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    // Devices and pipes have no size to check first: stop reading at the cap.
    if (out.size() > max_bytes) {
      why = "larger than " + size_text(max_bytes);
      break;
    }
  }
  ::close(fd);
  if (!why.empty()) return error = why, false;
  text = std::move(out);
  return true;
}

}  // namespace klx
