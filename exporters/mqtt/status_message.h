#pragma once

// The one kind of message the host takes from the broker: the discovery status topic. Only the
// exact payload "online" there asks for the retained messages again; any other topic, payload,
// size or bytes is ignored.

#include <string>

namespace klxhost {

// `topic` may be null, `payload` null when `length` is 0 (as libmosquitto hands them over).
bool asks_for_resend(const std::string& status_topic, const char* topic, const void* payload,
                     int length);

}  // namespace klxhost
