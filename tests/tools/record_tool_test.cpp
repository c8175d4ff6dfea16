// klx-record: every field of a record shown by its name in code, and read back to the same bytes;
// wrong-size blocks refused; records taken from hex, files, the record cache and the history.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "klx/store.h"
#include "record_fields.h"
#include "record_json.h"
#include "support/hex.h"
#include "support/run_tool.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Sets every field (reserved bytes stay 0) to a random value; floats finite.
struct FillAll : record_fields::Visitor {
  std::mt19937 rng{20240314};
  uint8_t byte() { return static_cast<uint8_t>(rng()); }
  void u32(const std::string&, le_u32& v) override { v = static_cast<uint32_t>(rng()); }
  void u8(const std::string&, uint8_t& v) override { v = byte(); }
  void f32(const std::string&, le_f32& v) override {
    do {
      const unsigned char b[4] = {byte(), byte(), byte(), byte()};
      v.set_raw(b);
    } while (!std::isfinite(v.get()));
  }
  void time7(const std::string&, uint8_t (&t)[7]) override {
    for (auto& b : t) b = byte();
  }
};

korvantis_419_Data_t full_record() {
  korvantis_419_Data_t rec{};
  FillAll fill;
  record_fields::walk(rec, fill);
  rec.dc.voltage = -0.1f;
  const uint8_t when[7] = {0x07, 0xE8, 3, 14, 15, 9, 26};
  std::memcpy(rec.update_time, when, 7);
  return rec;
}

Bytes bytes_of(const korvantis_419_Data_t& rec) {
  const auto* p = reinterpret_cast<const uint8_t*>(&rec);
  return Bytes(p, p + sizeof rec);
}

Json::Value parse(const std::string& text) {
  Json::Value v;
  std::string errors;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors;
  return v;
}

void write_file(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

TEST(RecordTool, EveryFieldRoundTripsThroughTheProgram) {
  const korvantis_419_Data_t rec = full_record();
  const ToolRun r = run_tool("klx-record", {"--hex", hex::encode(bytes_of(rec))});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json::Value j = parse(r.out);
  EXPECT_EQ(bytes_of(record_json::from_json(j)), bytes_of(rec));
  EXPECT_EQ(j["dc"]["voltage"], "invalid");
  EXPECT_EQ(j["update_time"], "2024-03-14 15:09:26");
  EXPECT_EQ(j["data_id"].asUInt(), rec.data_id.get());
  EXPECT_EQ(j["ac"]["channel_count"].asUInt(), rec.ac.channel_count);
  EXPECT_EQ(j["rc_voltage"].asFloat(), rec.rc_voltage.get());
  EXPECT_EQ(j["acChannel"][1]["f"].asFloat(), rec.acChannel[1].f.get());
  EXPECT_EQ(j["rcChannel"][39]["status"][2].asUInt(), rec.rcChannel[39].status[2]);
  EXPECT_EQ(j["dc_2"]["alert_p_count"].asUInt(), rec.dc_2.alert_p_count);
}

TEST(RecordTool, EncodeBuildsTheSameBytes) {
  const korvantis_419_Data_t rec = full_record();
  const std::string json = temp_path("record.json"), raw = temp_path("record.bin");
  std::ofstream(json) << record_json::to_text(record_json::to_json(rec));
  const ToolRun hex_out = run_tool("klx-record", {"--encode", json});
  ASSERT_EQ(hex_out.status, 0) << hex_out.err;
  EXPECT_EQ(hex_out.out, hex::encode(bytes_of(rec)) + "\n");
  ASSERT_EQ(run_tool("klx-record", {"--encode", json, "-o", raw}).status, 0);
  const ToolRun back = run_tool("klx-record", {raw});
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(bytes_of(record_json::from_json(parse(back.out))), bytes_of(rec));
}

TEST(RecordTool, TableHasOneAlignedLinePerField) {
  const korvantis_419_Data_t rec = full_record();
  const ToolRun r = run_tool("klx-record", {"--table", "--hex", hex::encode(bytes_of(rec))});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  size_t count = 0, column = 0;
  while (std::getline(lines, line)) {
    const size_t value_at = line.find_first_not_of(' ', line.find(' '));
    if (count++ == 0) column = value_at;
    EXPECT_EQ(value_at, column) << line;
  }
  EXPECT_EQ(count, record_fields::field_paths().size());
  EXPECT_NE(r.out.find("\ndc.voltage"), std::string::npos);
  EXPECT_NE(r.out.find("invalid\n"), std::string::npos);
}

TEST(RecordTool, WrongSizesAreRefused) {
  const std::string file = temp_path("short.bin");
  write_file(file, Bytes(586, 0));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"--hex", std::string(586 * 2, '0')},
       "klx-record: --hex holds 586 bytes; a record is 587 bytes\n"},
      {{"--hex", std::string(588 * 2, '0')},
       "klx-record: --hex holds 588 bytes; a record is 587 bytes\n"},
      {{"--hex", "0g"}, "klx-record: --hex: 'g' is not a hex digit\n"},
      {{"--hex", "000"}, "klx-record: --hex: an odd number of hex digits\n"},
      {{file}, "klx-record: " + file + " holds 586 bytes; a record is 587 bytes\n"},
  };
  for (const auto& row : rows) {
    const ToolRun r = run_tool("klx-record", row.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, row.message);
    EXPECT_EQ(r.out, "");
  }
}

TEST(RecordTool, RecordsFromTheCacheAndTheHistory) {
  korvantis_419_Data_t a{}, b{};
  a.data_id = 7;
  b.data_id = 9;
  b.rc_voltage = 54.25f;
  const std::string cache = temp_path("cache.json");
  std::map<uint32_t, klx::RecordCache::Entry> entries{{7, {5535, bytes_of(a)}},
                                                      {9, {5535, bytes_of(b)}}};
  std::ofstream(cache) << klx::RecordCache::serialize(entries);
  EXPECT_EQ(parse(run_tool("klx-record", {cache, "--data-id", "9"}).out)["rc_voltage"], 54.25);
  const ToolRun several = run_tool("klx-record", {cache});
  EXPECT_EQ(several.status, 1);
  EXPECT_NE(several.err.find("(data identifiers: 7, 9); choose one with --data-id"),
            std::string::npos);

  const std::string db_path = temp_path("history.db");
  {
    std::string error;
    auto db = klx::HistoryDb::open(db_path, error);
    ASSERT_TRUE(db) << error;
    db->save_record(7, 1700000000, bytes_of(a).data(), 587);
    db->save_record(9, 1700000002, bytes_of(b).data(), 587);
  }
  EXPECT_EQ(parse(run_tool("klx-record", {"--db", db_path, "--row", "1"}).out)["data_id"], 7);
  EXPECT_EQ(parse(run_tool("klx-record", {"--db", db_path}).out)["data_id"], 9);
  const ToolRun missing = run_tool("klx-record", {"--db", db_path, "--row", "5"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "klx-record: " + db_path + ": no history row 5\n");
}

TEST(RecordFields, FloatTexts) {
  const struct {
    float value;
    const char* text;
  } rows[] = {{230.1f, "230.1"},        {-0.1f, "invalid"}, {0.1f, "0.1"},       {53.5f, "53.5"},
              {1.0e-45f, "1.4013e-45"}, {NAN, "nan"},       {-INFINITY, "-inf"}, {-0.0f, "-0"}};
  for (const auto& row : rows) EXPECT_EQ(record_fields::float_text(row.value), row.text);
}

}  // namespace
