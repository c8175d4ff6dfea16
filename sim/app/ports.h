#pragma once

#include <string>

// The byte streams klx-sim serves on. Each opener throws std::runtime_error with the reason.
struct PtyPair {
  int master = -1;
  int slave = -1;  // kept open so the line stays up while no client has it open
  std::string path;
};

PtyPair open_pty();
int open_serial(const std::string& path, int baud);
// Listens (non-blocking) on `address`:`port` (port 0: any free one); reports the port in use.
int listen_tcp(const std::string& address, int port, int& bound_port);
// 127.0.0.0/8: only this machine can connect.
bool is_loopback(const std::string& address);
