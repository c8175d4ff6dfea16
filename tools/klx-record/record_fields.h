#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/record.h"

// Every field of the 587-byte record, walked through the record's own field list (its visit()),
// in record order, each named by its path in code ("data_id", "ac.channel_count",
// "acChannel[1].a", "rcChannel[3].status[0]", "dc_2.voltage"). Reserved bytes are not fields and
// are not visited.
namespace record_fields {

class Visitor {
 public:
  virtual ~Visitor() = default;
  virtual void u32(const std::string& path, le_u32& v) = 0;
  virtual void f32(const std::string& path, le_f32& v) = 0;
  virtual void u8(const std::string& path, uint8_t& v) = 0;
  virtual void time7(const std::string& path, uint8_t (&t)[7]) = 0;
};

void walk(korvantis_419_Data_t& rec, Visitor& v);

// Field text as shown to people: floats in the shortest form that reads back to the same float,
// the invalid marker -0.1 as "invalid", non-finite values as "nan", "inf", "-inf".
std::string float_text(float f);
// The modules' currents added up (at most the record's 40 modules), to the 6 digits a float
// holds for certain: a sum of floats carries rounding noise beyond them (6 x 10.13 A is 60.78 A,
// not 60.780003 A).
std::string rectifier_current_text(const korvantis_419_Data_t& rec);
// update_time as "YYYY-MM-DD HH:MM:SS" (year from its two bytes, high byte first), and back.
std::string time_text(const uint8_t (&t)[7]);
bool parse_time(const std::string& text, uint8_t (&t)[7]);

// One field's value in display form, by path; false when no field has that path.
bool field_text(korvantis_419_Data_t& rec, const std::string& path, std::string& out);
std::vector<std::string> field_paths();

}  // namespace record_fields
