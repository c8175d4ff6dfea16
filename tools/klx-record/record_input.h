#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where klx-record finds a record. Each throws std::runtime_error with a message for people.
namespace record_input {

constexpr size_t kRecordSize = 587;
// Every file the tool reads: a record, a cache or the fields of --encode (about 40 KB).
constexpr size_t kMaxFile = 4 << 20;

// A raw 587-byte file, or the host's record cache (JSON); a cache holding several devices needs
// `data_id` (negative: none given).
std::vector<uint8_t> from_file(const std::string& path, long data_id);
// The same for a file's bytes already read; `what` names them in messages.
std::vector<uint8_t> from_blob(const std::string& bytes, const std::string& what, long data_id);
// Hex digits, blanks allowed, either case.
std::vector<uint8_t> from_hex(const std::string& text);
// A row of the history table by its id; -1 is the latest row.
std::vector<uint8_t> from_db(const std::string& path, long row);

// Refuses a block of any other size than a record's.
void check_size(const std::vector<uint8_t>& bytes, const std::string& what);

}  // namespace record_input
