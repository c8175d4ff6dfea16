#include <dirent.h>
#include <fcntl.h>
#include <json/value.h>
#include <json/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "klx/hex.h"
#include "klx/json_read.h"
#include "klx/store.h"

namespace klx {
namespace {

constexpr const char* kFormat = "klx-record-cache";
// Far above any real cache (a few records of a few hundred bytes), far below trouble.
constexpr size_t kMaxFile = 8 << 20;
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

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A run killed in the middle of a write leaves its temporary file (the cache's name, a dot and
// mkstemp's six letters or digits). Only regular files of this user are removed.
void remove_stale_temporaries(const std::string& path) {
  const std::string folder = folder_of(path);
  const size_t slash = path.rfind('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    bool generated = true;
    for (size_t i = prefix.size(); i < name.size(); ++i)
      generated = generated && std::isalnum(static_cast<unsigned char>(name[i]));
    const std::string full = folder + "/" + name;
    struct stat st {};
    if (generated && lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
      ::unlink(full.c_str());
  }
  closedir(dir);
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) return errno = EIO, false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// The rename is durable only once the folder that holds the new name is on the disk too.
bool sync_folder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0 || errno == EINVAL;  // a file system without folder sync
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

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
  Json::Value root;
  if (!parse_json(text, root, error)) return false;
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

bool RecordCache::check_path(std::string& error) const {
  if (path_.empty()) return true;
  struct stat st {};
  if (lstat(path_.c_str(), &st) != 0)
    return errno == ENOENT ? true : (error = errno_text(path_), false);
  // The cache is replaced by a rename: a link or a device there would be replaced, not written.
  if (S_ISLNK(st.st_mode))
    return error = path_ + ": is a symbolic link; give the path of the file itself", false;
  if (!S_ISREG(st.st_mode)) return error = path_ + ": exists and is not a regular file", false;
  return true;
}

bool RecordCache::load(std::string& error) {
  if (path_.empty()) return true;
  if (!check_path(error)) return false;
  remove_stale_temporaries(path_);
  if (access(path_.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  std::string text;
  if (!read_file_capped(path_, kMaxFile, text, error)) return error = path_ + ": " + error, false;
  if (!parse(text, entries_, error)) return error = path_ + ": " + error, false;
  return true;
}

bool RecordCache::put(uint32_t data_id, int sp_id, const uint8_t* record, size_t n) {
  if (!record || n > kMaxRecord) return last_error_ = "record refused", false;
  Entry& e = entries_[data_id];
  e.sp_id = sp_id;
  e.record.assign(record, record + n);
  if (path_.empty()) return true;
  ++(write_file() ? writes_ : failed_writes_);
  return last_error_.empty();
}

const RecordCache::Entry* RecordCache::latest(uint32_t data_id) const {
  const auto it = entries_.find(data_id);
  return it == entries_.end() ? nullptr : &it->second;
}

// A temporary file beside the cache, flushed to the disk, then renamed over it: a reader sees
// the old file or the new one, never half of one. The temporary name is unpredictable and
// created exclusively (mkstemp), so a link planted in a shared folder is never followed.
// Messages name the cache: the temporary file means nothing to whoever reads them.
bool RecordCache::write_file() {
  if (!check_path(last_error_)) return false;
  const std::string text = serialize(entries_);
  std::string tmp = path_ + ".XXXXXX";
  const int fd = mkostemp(&tmp[0], O_CLOEXEC);
  if (fd < 0) return last_error_ = errno_text(path_), false;
  const bool ok = fchmod(fd, 0644) == 0 && write_all(fd, text) && fsync(fd) == 0;
  if (!ok) last_error_ = errno_text(path_);
  ::close(fd);
  if (ok && std::rename(tmp.c_str(), path_.c_str()) == 0) {
    if (!sync_folder(folder_of(path_))) return last_error_ = errno_text(folder_of(path_)), false;
    last_error_.clear();
    return true;
  }
  if (ok) last_error_ = errno_text(path_);
  ::unlink(tmp.c_str());
  return false;
}

}  // namespace klx
