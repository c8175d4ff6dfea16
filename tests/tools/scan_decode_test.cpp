// klx-scan's reading of the manufacturer's text fields: what reaches the table, the JSON and the
// written configuration.
#ifdef KLX_HAVE_SCAN

#include <gtest/gtest.h>

#include <string>

#include "decode.h"

namespace {

TEST(ScanFieldText, AsciiGb18030AndBytesThatAreNeither) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"PS48-600  ", "PS48-600"},
      {std::string("Sample\0\0", 8), "Sample"},
      {"\xBF\xC6\xB7\xB2\xB5\xE7\xD4\xB4", "科凡电源"},  // GB18030
      {"\xFF\xFE", "\\xff\\xfe"},                        // not GB18030
      // Control bytes are valid GB18030 but no name: a terminal must not get them.
      {std::string("wer \0\x1E", 6), "wer \\x00\\x1e"},
      {"\x1B[2J", "\\x1b[2J"},
      {"\x81\x30\x81\x30", "\\x810\\x810"},  // U+0080, a C1 control
  };
  for (const auto& c : cases) {
    const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
    EXPECT_EQ(klxscan::field_text(p, c.bytes.size()), c.text) << c.text;
  }
}

}  // namespace

#endif  // KLX_HAVE_SCAN
