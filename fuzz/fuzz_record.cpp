// klx-record's decoding on arbitrary blobs: a file's bytes (a raw record or the runner's record
// cache), --hex text, and the JSON fields given to --encode. A blob the tool cannot use is refused
// with std::runtime_error, whose text the tool prints; a record it takes shows as JSON and as a
// table, and the JSON it prints builds a record that prints the same.
#include <json/reader.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "fuzz_support.h"
#include "record_input.h"
#include "record_json.h"

namespace {

korvantis_419_Data_t as_record(const std::vector<uint8_t>& bytes) {
  require(bytes.size() == sizeof(korvantis_419_Data_t), "a record is 587 bytes");
  korvantis_419_Data_t rec;
  std::memcpy(static_cast<void*>(&rec), bytes.data(), sizeof rec);
  return rec;
}

Json::Value parse(const std::string& text, bool& ok) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  try {
    ok = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (const Json::Exception&) {
    ok = false;  // nested too deeply: the tool reports the reader's message
  }
  return root;
}

// What the tool prints, and the record built back from the printed JSON.
void show(const korvantis_419_Data_t& rec) {
  const Json::Value fields = record_json::to_json(rec);
  const std::string text = record_json::to_text(fields);
  record_json::to_table(rec);
  bool ok = false;
  const Json::Value read_back = parse(text, ok);
  require(ok, "printed JSON reads back");
  const korvantis_419_Data_t again = record_json::from_json(read_back);
  require(record_json::to_json(again) == fields, "printed fields build the same record");
}

void decode(FuzzInput& in) {
  const uint8_t mode = in.byte();
  const long data_id = mode & 0x80 ? in.byte() : -1;
  const std::vector<uint8_t> rest = in.rest();
  const std::string blob(rest.begin(), rest.end());
  switch (mode % 3) {
    case 0:
      show(as_record(record_input::from_blob(blob, "blob", data_id)));
      break;
    case 1:
      show(as_record(record_input::from_hex(blob)));
      break;
    default: {
      bool ok = false;
      const Json::Value root = parse(blob, ok);
      if (ok) show(record_json::from_json(root));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  try {
    decode(in);
  } catch (const std::runtime_error&) {
    // Refused with a message for people: what the tool does with a bad input.
  }
  return 0;
}
