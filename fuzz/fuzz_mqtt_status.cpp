// A message from the broker on a topic the host subscribes to (the discovery status topic):
// any topic and payload, as libmosquitto hands them over. Only the exact "online" on that topic
// asks for the retained messages again.
#include <cstring>

#include "fuzz_support.h"
#include "status_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t how = in.byte();
  const std::string status = how & 1 ? "" : "homeassistant/status";
  const std::vector<uint8_t> t = in.take(in.byte());
  std::string topic(t.begin(), t.end());
  if (how & 2) topic = "homeassistant/status";
  const std::vector<uint8_t> payload = in.rest();
  const bool resend = klxhost::asks_for_resend(status, how & 4 ? nullptr : topic.c_str(),
                                               payload.empty() ? nullptr : payload.data(),
                                               static_cast<int>(payload.size()));
  const bool online = payload.size() == 6 && std::memcmp(payload.data(), "online", 6) == 0;
  require(resend == (!status.empty() && !(how & 4) && topic == status && online),
          "only \"online\" on the status topic asks for a resend");
  return 0;
}
