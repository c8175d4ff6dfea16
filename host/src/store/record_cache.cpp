#include <fcntl.h>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "klx/hex.h"
#include "klx/store.h"

namespace klx {
namespace {

constexpr const char* kFormat = "klx-record-cache";
// Far above any real cache (a few records of a few hundred bytes), far below trouble.
constexpr std::streamsize kMaxFile = 8 << 20;
constexpr size_t kMaxRecord = 65536;

bool record_from_hex(const std::string& s, std::vector<uint8_t>& out) {
  if (s.size() / 2 > kMaxRecord) return false;
  out.clear();
  return static_cast<bool>(from_hex(s, out));
}

bool parse_entry(const Json::Value& v, uint32_t& data_id, RecordCache::Entry& e) {
  if (!v.isObject() || !v["data_id"].isUInt() || !v["sp_id"].isInt() || !v["record"].isString())
    return false;
  data_id = v["data_id"].asUInt();
  e.sp_id = v["sp_id"].asInt();
  return record_from_hex(v["record"].asString(), e.record);
}

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

RecordCache::RecordCache(std::string path) : path_(std::move(path)) {}

std::string RecordCache::serialize(const std::map<uint32_t, Entry>& entries) {
  Json::Value root(Json::objectValue);
  root["format"] = kFormat;
  root["version"] = 1;
  Json::Value& list = root["records"] = Json::Value(Json::arrayValue);
  for (const auto& [data_id, e] : entries) {
    Json::Value item(Json::objectValue);
    item["data_id"] = data_id;
    item["sp_id"] = e.sp_id;
    item["record"] = to_hex(e.record);
    list.append(item);
  }
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, root) + "\n";
}

bool RecordCache::parse(const std::string& text, std::map<uint32_t, Entry>& out,
                        std::string& error) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &error)) return false;
  if (!root.isObject() || root["format"] != kFormat || !root["records"].isArray())
    return error = "not a record cache", false;
  std::map<uint32_t, Entry> entries;
  for (const auto& item : root["records"]) {
    uint32_t data_id = 0;
    Entry e;
    if (!parse_entry(item, data_id, e)) return error = "damaged record entry", false;
    entries[data_id] = std::move(e);
  }
  out = std::move(entries);
  return true;
}

bool RecordCache::load(std::string& error) {
  if (path_.empty()) return true;
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0)
    return errno == ENOENT ? true : (error = errno_text(path_), false);
  if (st.st_size > kMaxFile) return error = path_ + ": larger than a record cache", false;
  std::ifstream in(path_, std::ios::binary);
  std::string text(static_cast<size_t>(st.st_size), '\0');
  if (!in || !in.read(&text[0], st.st_size)) return error = errno_text(path_), false;
  if (!parse(text, entries_, error)) return error = path_ + ": " + error, false;
  return true;
}

bool RecordCache::put(uint32_t data_id, int sp_id, const uint8_t* record, size_t n) {
  if (!record || n > kMaxRecord) return last_error_ = "record refused", false;
  Entry& e = entries_[data_id];
  e.sp_id = sp_id;
  e.record.assign(record, record + n);
  return path_.empty() || write_file();
}

const RecordCache::Entry* RecordCache::latest(uint32_t data_id) const {
  const auto it = entries_.find(data_id);
  return it == entries_.end() ? nullptr : &it->second;
}

// Temporary file beside the cache, flushed to the disk, then renamed over it: a reader sees
// the old file or the new one, never half of one.
bool RecordCache::write_file() {
  const std::string text = serialize(entries_);
  const std::string tmp = path_ + ".tmp." + std::to_string(getpid());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return last_error_ = errno_text(tmp), false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  const bool ok = done == text.size() && fsync(fd) == 0;
  if (!ok) last_error_ = errno_text(tmp);
  ::close(fd);
  if (ok && std::rename(tmp.c_str(), path_.c_str()) == 0) {
    last_error_.clear();
    return true;
  }
  if (ok) last_error_ = errno_text(path_);
  ::unlink(tmp.c_str());
  return false;
}

}  // namespace klx
