#pragma once

#include <cstdint>
#include <string>

#include "alarms/unit_texts.h"
#include "device/uni_data_device.h"
#include "klx/pmbus_protocol.h"

// Poll states kept in cmd_state_: one per awaited answer (103 is not used).
enum PMBusPowerState {
  PMBUSPOWER_IDLE = 10,
  PMBUSPOWER_40_41 = 100,
  PMBUSPOWER_40_43 = 101,
  PMBUSPOWER_40_44 = 102,
  PMBUSPOWER_41_41 = 104,
  PMBUSPOWER_41_43 = 105,
  PMBUSPOWER_41_44 = 106,
  PMBUSPOWER_42_41 = 107,
  PMBUSPOWER_42_44 = 108,
};

// The 48 V power-system device: polling round, answer decoders, options, value lookup, control
// requests and alarm rules. Several models share it and are told apart by their type string.
template <class Data, int SpId>
class pmbuspower_419 : public UniDataDevice<Data, PMBusProtocol, SpId> {
 public:
  using Base = UniDataDevice<Data, PMBusProtocol, SpId>;

  pmbuspower_419() {
    this->baud_rate_ = 9600;
    this->protocol_ver_ = 0x20;
    this->sp_flag_ = 1;
  }
  ~pmbuspower_419() override {}

  float Get_Value(unsigned int data_id, const std::string& name) const override;
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap,
                      int& written) override;
  int Reset() override;
  int InitSetting(const Json::Value& settings) override;
  int RefreshStatus() override;
  int process_payload() override;
  void RunCheckThreshold() override;

  int parse40_41(const unsigned char* p, int len);
  int parse40_43(const unsigned char* p, int len);
  int parse40_44(const unsigned char* p, int len);
  int parse41_41(const unsigned char* p, int len);
  int parse41_43(const unsigned char* p, int len);
  int parse41_44(const unsigned char* p, int len);
  int parse42_41(const unsigned char* p, int len);
  int parse42_41_2(const unsigned char* p, int len);
  int parse42_44(const unsigned char* p, int len);
  int parse42_44_2(const unsigned char* p, int len);

  int32_t ctrl_result_ = -1;
  uint8_t cmd_arg_ = 1;
  uint8_t rc_data_flag_ = 0;
  bool has_ac_ = true;
  bool has_dc_ = false;
  int32_t no_dc_number_ = -1;
  bool has_a_ = true;
  bool has_b_ = true;
  bool has_c_ = true;
  int32_t dc_i_adjust_ = 1;
  int32_t ac_line_ = 1;
  int32_t ac_type_ = 0;
  int32_t skip_41_41_ = 0;
  bool has_tower_ = false;
  int32_t no_40_arg_ = 0;
  int32_t no_42_arg_ = 0;
  uint32_t dc_number_ = 0;

  // Codes and names of the mode-2 unit rules (module run states, both panels' fuses), written
  // once and kept.
  UnitTexts unit_texts_[4];
  RuleBuffers rule_buffers_;
};
