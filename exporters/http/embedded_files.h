#pragma once

// The status page's files (exporters/http/page/), embedded at build time.

#include <cstddef>
#include <string>

namespace klxhost {

struct EmbeddedFile {
  const char* name;  // the file's name in page/, e.g. "status.js"
  const char* data;
  size_t size;
};
extern const EmbeddedFile kEmbedded[];
extern const unsigned kEmbeddedCount;

// The file of that name; nullptr when there is none.
const EmbeddedFile* embedded_file(const std::string& name);

}  // namespace klxhost
