#include "support/recorder.h"

#include <sstream>

#include "support/hex.h"

void Recorder::on_command(KLXVDevice&, uint8_t cid1, uint8_t cid2, const uint8_t* data,
                          size_t length) {
  commands.push_back({cid1, cid2, std::vector<uint8_t>(data, data + length)});
  log.push_back("cmd " + hex::encode({cid1}) + " " + hex::encode({cid2}) +
                (length ? " " + hex::encode(commands.back().data) : ""));
}

void Recorder::on_publish(KLXVDevice&, int sp_id, const uint8_t* record, size_t length) {
  published.emplace_back(record, record + length);
  log.push_back("publish " + std::to_string(sp_id) + " " + std::to_string(length));
}

void Recorder::on_history(KLXVDevice&, const uint8_t* record, size_t length) {
  history.emplace_back(record, record + length);
  log.push_back("history " + std::to_string(length));
}

void Recorder::on_check(KLXVDevice&, const std::string& id, const std::string& name,
                        float value, int count) {
  checks.push_back({id, name, value, count});
  std::ostringstream line;
  line << "check " << id << " " << value;
  log.push_back(line.str());
}

bool Recorder::on_batch(KLXVDevice&, const std::vector<rule_value>& rules) {
  batches.push_back(rules);
  log.push_back("batch " + std::to_string(rules.size()));
  return batch_result;
}

void Recorder::on_report(KLXVDevice&, const std::string& id, float value) {
  reports.push_back({id, value});
  std::ostringstream line;
  line << "report " << id << " " << value;
  log.push_back(line.str());
}

void Recorder::on_open_port(KLXVDevice&) { log.push_back("open"); }

int Recorder::on_ioctl(KLXVDevice&, int code, int in_len, int out_cap) {
  log.push_back("ioctl " + std::to_string(code) + " " + std::to_string(in_len) + " " +
                std::to_string(out_cap));
  return ioctl_result;
}

void Recorder::clear() { *this = Recorder(); }

Recorder::Command Cmd(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> data) {
  return {cid1, cid2, std::move(data)};
}
