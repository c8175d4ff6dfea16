#include <cstring>
#include <string>

#include "embedded_files.h"
#include "status_endpoint.h"

namespace klxhost {

const EmbeddedFile* embedded_file(const std::string& name) {
  for (unsigned i = 0; i < kEmbeddedCount; ++i)
    if (name == kEmbedded[i].name) return &kEmbedded[i];
  return nullptr;
}

std::string status_page(const std::string& state_json, const std::string& status_json) {
  std::string initial = "{\"state\":" + state_json + ",\"status\":" + status_json + "}";
  // No markup inside the script element ("</script>", "<!--"): '<' occurs only within JSON
  // strings, where \u003c reads the same.
  for (size_t at = initial.find('<'); at != std::string::npos; at = initial.find('<', at))
    initial.replace(at, 1, "\\u003c");
  const EmbeddedFile* f = embedded_file("status.html");
  std::string page(f->data, f->size);
  const std::string mark = "/*INITIAL*/";
  page.replace(page.find(mark), mark.size(), initial);
  return page;
}

bool page_file(const std::string& name, HttpReply& reply) {
  if (name == "status.html") return false;  // only with its first state, as /
  const EmbeddedFile* f = embedded_file(name);
  if (!f) return false;
  const auto ends = [&](const char* ext) {
    const size_t n = std::strlen(ext);
    return name.size() > n && name.compare(name.size() - n, n, ext) == 0;
  };
  const char* type = ends(".css")  ? "text/css; charset=utf-8"
                     : ends(".js") ? "text/javascript; charset=utf-8"
                                   : "application/octet-stream";
  reply = {200, type, std::string(f->data, f->size)};
  return true;
}

}  // namespace klxhost
