// What the HTTP endpoint answers to a connection's bytes: Beast's parser under the server's
// limits, then the method and Host checks, then the status endpoint's routing (/metrics,
// /api/state, /api/status, the page). The first input byte picks the limits (a Host allow-list
// or none, smaller header and body bounds). Every answer is one whole HTTP/1.1 response with a
// status the server may give and a Content-Length that matches its body; nothing is answered to
// a peer that sent nothing.
#include <memory>

#include "fuzz_support.h"
#include "http_request.h"
#include "status_endpoint.h"

using namespace klxhost;

namespace {
std::unique_ptr<StatusEndpoint> g_endpoint;

void check_answer(const std::string& a) {
  if (a.empty()) return;
  require(a.rfind("HTTP/1.1 ", 0) == 0, "a status line");
  const int status = std::atoi(a.c_str() + 9);
  require(status == 200 || status == 400 || status == 403 || status == 404 || status == 405,
          "a status the server gives");
  const size_t end = a.find("\r\n\r\n");
  require(end != std::string::npos, "a whole header");
  const size_t length_at = a.find("Content-Length: ");
  require(length_at != std::string::npos && length_at < end, "a Content-Length");
  const unsigned long length = std::strtoul(a.c_str() + length_at + 16, nullptr, 10);
  require(length == a.size() - end - 4, "the body is as long as announced");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  std::string error;
  g_endpoint = StatusEndpoint::start("127.0.0.1:0", "site \"7\"", HttpLimits{}, error);
  if (!g_endpoint) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t how = in.byte();
  HttpLimits limits;
  if (how & 1) limits.allowed_hosts = {"klx.example", "localhost"};
  if (how & 2) limits.header_limit = 256, limits.body_limit = 16;
  const std::vector<uint8_t> raw = in.rest();
  const std::string a = answer_buffer(
      std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()),
      [](const std::string& target) { return g_endpoint->handle(target); }, limits);
  check_answer(a);
  if (raw.empty()) require(a.empty(), "nothing sent, nothing answered");
  return 0;
}
