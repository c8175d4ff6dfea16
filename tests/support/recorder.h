#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "klx/events.h"

// Records every host call a device makes, in order, for tests to compare.
struct Recorder : klx::DeviceEvents {
  struct Command {
    uint8_t cid1;
    uint8_t cid2;
    std::vector<uint8_t> data;
    bool operator==(const Command& o) const {
      return cid1 == o.cid1 && cid2 == o.cid2 && data == o.data;
    }
  };
  struct Check {
    std::string id;
    std::string name;
    float value;
    int count;
  };
  struct Report {
    std::string id;
    float value;
  };

  // One line per call, in call order: "cmd 40 41 01", "publish 5535 587", "history 587",
  // "check <id> <value>", "report <id> <value>", "batch <n>", "open",
  // "ioctl <code> <in_len> <out_cap>" (a request handed to the host's DeviceIoControl).
  std::vector<std::string> log;
  std::vector<Command> commands;
  std::vector<std::vector<uint8_t>> published;
  std::vector<std::vector<uint8_t>> history;
  std::vector<Check> checks;
  std::vector<Report> reports;
  std::vector<std::vector<rule_value>> batches;
  bool batch_result = true;
  int ioctl_result = 0;  // what the host's DeviceIoControl answers

  void on_command(KLXVDevice&, uint8_t cid1, uint8_t cid2, const uint8_t* data,
                  size_t length) override;
  void on_publish(KLXVDevice&, int sp_id, const uint8_t* record, size_t length) override;
  void on_history(KLXVDevice&, const uint8_t* record, size_t length) override;
  void on_check(KLXVDevice&, const std::string& id, const std::string& name, float value,
                int count) override;
  bool on_batch(KLXVDevice&, const std::vector<rule_value>& rules) override;
  void on_report(KLXVDevice&, const std::string& id, float value) override;
  void on_open_port(KLXVDevice&) override;
  int on_ioctl(KLXVDevice&, int code, int in_len, int out_cap) override;

  void clear();
};

// A command as tests write it: Cmd(0x40, 0x41, {0x01}).
Recorder::Command Cmd(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> data = {});
