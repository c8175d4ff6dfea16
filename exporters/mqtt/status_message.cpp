#include "status_message.h"

#include <cstring>

namespace klxhost {

bool asks_for_resend(const std::string& status_topic, const char* topic, const void* payload,
                     int length) {
  if (status_topic.empty() || !topic || status_topic != topic) return false;
  return length == 6 && payload && std::memcmp(payload, "online", 6) == 0;
}

}  // namespace klxhost
