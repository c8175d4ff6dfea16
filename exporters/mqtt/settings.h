#pragma once

// Where and how klx-host publishes to an MQTT broker: the "mqtt" object of the configuration,
// overridden by --mqtt, --mqtt-ca and --mqtt-password-file.

#include <string>

#include "exception_filter.h"

namespace klxhost {

struct MqttSettings {
  std::string url;  // empty: nothing is published
  std::string prefix = "klx";
  std::string site;  // empty: the host name
  std::string client_id;
  std::string username;
  std::string password_file;
  std::string ca_file;
  bool discovery = true;
  std::string discovery_prefix = "homeassistant";
  ExceptionSettings exception;  // "heartbeat_s" and "deadband": what each round publishes
};

// mqtt://[USER@]HOST[:PORT] or mqtts://... (a host may be an IPv6 address in brackets).
struct MqttUrl {
  bool tls = false;
  std::string user;  // empty when the URL names none
  std::string host;
  int port = 0;  // 1883, or 8883 with TLS, when the URL names none
};

// False with `error` set when the text is not such a URL.
bool parse_mqtt_url(const std::string& text, MqttUrl& out, std::string& error);

// The URL for messages: a password in it (which parse_mqtt_url refuses) shown as "***".
std::string redacted_url(const std::string& text);

// A topic level of ours must be a plain name: not empty, no '/', '+', '#' or control bytes.
bool valid_topic_level(const std::string& s);

}  // namespace klxhost
