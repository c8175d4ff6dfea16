// Control requests: the commands they send, what they answer, and when the host's handler runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "support/device_probe.h"
#include "support/hex.h"

namespace {

constexpr int kHostResult = 77;  // what the host's own handler answers in these tests

// The output buffer, one byte off alignment, pre-filled so that untouched bytes show.
struct Output {
  unsigned char raw[12];
  int written = -5;
  Output() { std::memset(raw, 0xAA, sizeof raw); }
  unsigned char* at() { return raw + 1; }
  int32_t value() const {
    int32_t v;
    std::memcpy(&v, raw + 1, sizeof v);
    return v;
  }
  bool untouched() const {
    for (unsigned char b : raw)
      if (b != 0xAA) return false;
    return written == -5;
  }
};

struct Device : TestDevice {
  explicit Device(const std::string& type = "korvantis_419") {
    device_type_ = type;
    rec.ioctl_result = kHostResult;
  }
  // Sends `input` as exactly input.size() bytes, in a buffer of that size.
  int request(int code, const std::string& input, Output& out, int cap = 4) {
    std::vector<char> bytes(input.begin(), input.end());
    return DeviceIoControl(code, bytes.empty() ? nullptr : bytes.data(),
                           static_cast<int>(bytes.size()), out.at(), cap, out.written);
  }
  bool host_called() const {
    for (const std::string& line : rec.log)
      if (line.rfind("ioctl ", 0) == 0) return true;
    return false;
  }
};

// --- Code 300: clock ---

TEST(SetClock, SevenBytesAreSentAndAnswered) {
  Device dev;
  Output out;
  const std::vector<uint8_t> t = hex::decode("07 E8 0C 1F 17 3B 3B");
  EXPECT_EQ(dev.request(300, std::string(t.begin(), t.end()), out), kHostResult);
  EXPECT_EQ(dev.rec.log,
            (std::vector<std::string>{"open", "cmd 41 4e 07e80c1f173b3b", "ioctl 300 7 4"}));
  EXPECT_EQ(out.value(), 1);
  EXPECT_EQ(out.written, 4);
  EXPECT_EQ(dev.cmd_state_, 300);
  EXPECT_EQ(dev.ctrl_result_, -1);
}

TEST(SetClock, AnyOtherLengthIsRefusedUntouched) {
  for (int len : {6, 8, 0, -1}) {
    Device dev;
    dev.ctrl_result_ = 1;
    Output out;
    const char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(dev.DeviceIoControl(300, bytes, len, out.at(), 4, out.written), -1) << len;
    EXPECT_EQ(dev.rec.log, std::vector<std::string>{"open"}) << len;
    EXPECT_TRUE(out.untouched()) << len;
    EXPECT_EQ(dev.ctrl_result_, -1);
    EXPECT_EQ(dev.cmd_state_, 300);
  }
  Device dev;
  Output out;
  EXPECT_EQ(dev.DeviceIoControl(300, nullptr, 7, out.at(), 4, out.written), -1);
  EXPECT_TRUE(dev.rec.commands.empty());
}

TEST(SetClock, CapacityIsComparedUnsigned) {
  const std::string t(7, '\x01');
  Device dev;
  Output small;
  EXPECT_EQ(dev.request(300, t, small, 3), kHostResult);
  EXPECT_TRUE(small.untouched());
  EXPECT_EQ(dev.rec.commands.size(), 1u);
  Output negative;
  dev.request(300, t, negative, -1);
  EXPECT_EQ(negative.value(), 1);
  EXPECT_EQ(negative.written, 4);
}

// --- Code 310: DC parameter ---

struct ParamCase {
  const char* type;
  const char* json;
  const char* sent;  // "" when nothing is sent, else "cid1 cid2 data"
  int result;        // kHostResult where the host answers
};

void PrintTo(const ParamCase& c, std::ostream* os) { *os << c.type << " " << c.json; }

class DcParameter : public testing::TestWithParam<ParamCase> {};

TEST_P(DcParameter, SendsTheModelsBytesOrAnswersAsTheRequestSays) {
  const ParamCase& c = GetParam();
  Device dev(c.type);
  Output out;
  EXPECT_EQ(dev.request(310, c.json, out), c.result);
  std::vector<std::string> expected{"open"};
  if (*c.sent) expected.push_back(std::string("cmd ") + c.sent);
  if (c.result == kHostResult)
    expected.push_back("ioctl 310 " + std::to_string(std::strlen(c.json)) + " 4");
  EXPECT_EQ(dev.rec.log, expected);
  EXPECT_EQ(dev.cmd_state_, 310);
  EXPECT_EQ(dev.ctrl_result_, -1);
  EXPECT_TRUE(out.untouched());
}

#define ID1 R"("signal_id":"4196A3101001")"
#define ID2 R"("signal_id":"4196A3201001")"

INSTANTIATE_TEST_SUITE_P(
    Requests, DcParameter,
    testing::Values(
        // The common set: parameter code, then the float little-endian.
        ParamCase{"korvantis_419", "{" ID1 R"(,"SetValue":"53.5"})", "42 48 dc00005642", 0},
        ParamCase{"korvantis_419", "{" ID1 R"(,"SetValue":53.5})", "42 48 dc00005642", 0},
        ParamCase{"korvantis_419", "{" ID2 R"(,"SetValue":"47"})", "42 48 db00003c42", 0},
        ParamCase{"felin_419", "{" ID1 R"(,"SetValue":"53.5"})", "42 48 f200005642", 0},
        ParamCase{"felin_419", "{" ID2 R"(,"SetValue":"53.5"})", "42 48 f100005642", 0},
        ParamCase{"quoss_419", "{" ID1 R"(,"SetValue":"53.5"})", "42 48 ec00005642", 0},
        ParamCase{"quoss_419", "{" ID2 R"(,"SetValue":"53.5"})", "42 48 eb00005642", 0},
        // tarbo: hundredths as a big-endian 16-bit integer, cut toward zero (0.29 gives 28).
        ParamCase{"tarbo_419", "{" ID1 R"(,"SetValue":"53.5"})", "42 49 8514e6", 0},
        ParamCase{"tarbo_419", "{" ID1 R"(,"SetValue":0.29})", "42 49 85001c", 0},
        ParamCase{"tarbo_419", "{" ID2 R"(,"SetValue":"-53.5"})", "42 49 84eb1a", 0},
        ParamCase{"tarbo_419", "{" ID1 R"(,"SetValue":"700"})", "42 49 851170", 0},
        // Values that are not numbers, or not finite, are sent as 0; huge ones stay defined.
        ParamCase{"korvantis_419", "{" ID1 R"(,"SetValue":"abc"})", "42 48 dc00000000", 0},
        ParamCase{"korvantis_419", "{" ID1 R"(,"SetValue":true})", "42 48 dc00000000", 0},
        ParamCase{"korvantis_419", "{" ID1 R"(,"SetValue":"1e39"})", "42 48 dc0000807f", 0},
        ParamCase{"tarbo_419", "{" ID1 R"(,"SetValue":"nan"})", "42 49 850000", 0},
        ParamCase{"tarbo_419", "{" ID1 R"(,"SetValue":"1e300"})", "42 49 850000", 0},
        // Requests this device does not serve go to the host unchanged.
        ParamCase{"korvantis_419", "{" ID1 "}", "", kHostResult},
        ParamCase{"korvantis_419", "{" ID1 R"(,"SetValue":null})", "", kHostResult},
        ParamCase{"korvantis_419", R"({"signal_id":"4196A3301001","SetValue":1})", "", kHostResult},
        ParamCase{"korvantis_419", R"({"signal_id":"","SetValue":1})", "", kHostResult},
        ParamCase{"korvantis_419", R"({"SetValue":1})", "", kHostResult},
        ParamCase{"korvantis_419", "null", "", kHostResult},
        // An unknown parameter's value is never read, so its shape does not matter.
        ParamCase{"korvantis_419", R"({"signal_id":"x","SetValue":[1]})", "", kHostResult},
        // Text that is not JSON.
        ParamCase{"korvantis_419", "{", "", -1}, ParamCase{"korvantis_419", "", "", -1},
        // Valid JSON that cannot be a request: refused, nothing sent, the host not called.
        ParamCase{"korvantis_419", "[1]", "", -1}, ParamCase{"korvantis_419", "5", "", -1},
        ParamCase{"korvantis_419", R"("4196A3101001")", "", -1},
        ParamCase{"korvantis_419", R"({"signal_id":["4196A3101001"],"SetValue":1})", "", -1},
        ParamCase{"korvantis_419", R"({"signal_id":{},"SetValue":1})", "", -1},
        ParamCase{"korvantis_419", "{" ID1 R"(,"SetValue":[53.5]})", "", -1},
        ParamCase{"tarbo_419", "{" ID1 R"(,"SetValue":{"v":1}})", "", -1}));

TEST(DcParameterInput, OnlyTheStatedLengthIsRead) {
  Device dev;
  const std::string text = "{" ID1 R"(,"SetValue":"53.5"})";
  const std::string buffer = text + "garbage";
  Output out;
  EXPECT_EQ(dev.DeviceIoControl(310, buffer.data(), static_cast<int>(text.size()), out.at(), 4,
                                out.written),
            0);
  // One byte short is no longer JSON.
  EXPECT_EQ(dev.DeviceIoControl(310, buffer.data(), static_cast<int>(text.size()) - 1, out.at(), 4,
                                out.written),
            -1);
  EXPECT_EQ(dev.DeviceIoControl(310, buffer.data(), -3, out.at(), 4, out.written), -1);
  EXPECT_EQ(dev.rec.commands.size(), 1u);
}

TEST(DcParameterInput, NestingBeyondTheReadersLimitIsRefused) {
  Device dev;
  Output out;
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_EQ(dev.request(310, deep, out), -1);
  EXPECT_FALSE(dev.host_called());
}

// --- Code 320: rectifier remote control ---

struct RemoteCase {
  const char* type;
  std::string id;
  const char* sent;  // "" when nothing is sent
};

void PrintTo(const RemoteCase& c, std::ostream* os) { *os << c.type << " \"" << c.id << "\""; }

class RemoteControl : public testing::TestWithParam<RemoteCase> {};

TEST_P(RemoteControl, SendsTwoBytesForKnownIdentifiersAndAlwaysAsksTheHost) {
  const RemoteCase& c = GetParam();
  Device dev(c.type);
  dev.cmd_state_ = 105;
  Output out;
  EXPECT_EQ(dev.request(320, c.id, out), kHostResult);
  std::vector<std::string> expected{"open"};
  if (*c.sent) expected.push_back(std::string("cmd 41 45 ") + c.sent);
  expected.push_back("ioctl 320 " + std::to_string(c.id.size()) + " 4");
  EXPECT_EQ(dev.rec.log, expected);
  EXPECT_EQ(dev.request_code_, 320);
  EXPECT_EQ(dev.cmd_state_, 105);  // the poll state is left alone
  EXPECT_EQ(dev.ctrl_result_, -1);
  EXPECT_TRUE(out.untouched());
}

INSTANTIATE_TEST_SUITE_P(
    Identifiers, RemoteControl,
    testing::Values(RemoteCase{"korvantis_419", "419500201003", "e503"},
                    RemoteCase{"korvantis_419", "419500200", "e600"},
                    RemoteCase{"korvantis_419", "419500201999", "e5e7"},
                    RemoteCase{"korvantis_419", "41950020125x", "e519"},
                    RemoteCase{"tarbo_419", "419500201003", "2003"},
                    RemoteCase{"felin_419", "419500200007", "2f07"},
                    RemoteCase{"quoss_419", "419500200", "2f00"},
                    RemoteCase{"korvantis_419", "419500600001", "1f02"},
                    RemoteCase{"tarbo_419", "419500600001", "1f02"},
                    RemoteCase{"korvantis_419", "419500601001", "1002"},
                    RemoteCase{"felin_419", "419500601001", "1002"},
                    RemoteCase{"korvantis_419", "419500602001", "1102"},
                    // A counted NUL keeps the prefixes matching but spoils whole identifiers.
                    RemoteCase{"korvantis_419", std::string("419500201003", 13), "e503"},
                    RemoteCase{"korvantis_419", std::string("419500601001", 13), ""},
                    RemoteCase{"korvantis_419", "41950020", ""},
                    RemoteCase{"korvantis_419", "419500601002", ""},
                    RemoteCase{"korvantis_419", "", ""}));

// --- Other codes: the result of the last command ---

TEST(CommandResult, ReportsPendingThenAnsweredBeforeTheHost) {
  Device dev;
  Output out;
  dev.request(310, "{" ID1 R"(,"SetValue":"53.5"})", out);
  dev.rec.log.clear();
  Output pending;
  EXPECT_EQ(dev.request(400, "", pending), kHostResult);
  EXPECT_EQ(pending.value(), -1);
  EXPECT_EQ(pending.written, 4);
  EXPECT_EQ(dev.rec.log, std::vector<std::string>{"ioctl 400 0 4"});
  // The power system's answer arrives outside a polling round.
  EXPECT_EQ(dev.answer({}, 0x42), 0);
  Output answered;
  dev.request(0, "", answered);
  EXPECT_EQ(answered.value(), 1);
  // The next handled command is pending again.
  dev.request(320, "419500200", out);
  dev.request(0, "", answered);
  EXPECT_EQ(answered.value(), -1);
}

TEST(CommandResult, SmallOrMissingOutputWritesNothing) {
  Device dev;
  const int32_t state = dev.cmd_state_;
  Output small;
  EXPECT_EQ(dev.request(1, "", small, 3), kHostResult);
  EXPECT_EQ(small.written, 0);
  EXPECT_EQ(small.raw[1], 0xAA);
  int written = 9;
  dev.DeviceIoControl(1, nullptr, 0, nullptr, 4, written);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(dev.cmd_state_, state);  // a status request sets no command state
}

}  // namespace
