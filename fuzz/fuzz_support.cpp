#include "fuzz_support.h"

#include <cstdio>

void apply_random_options(korvantis_419& dev, FuzzInput& in) {
  const uint8_t flags = in.byte();
  dev.has_ac_ = flags & 0x01;
  dev.has_dc_ = flags & 0x02;
  dev.has_tower_ = flags & 0x04;
  dev.has_a_ = flags & 0x08;
  dev.has_b_ = flags & 0x10;
  dev.has_c_ = flags & 0x20;
  dev.data_valid_ = (flags & 0x40) ? 1 : 0;
  static const int32_t dc_layouts[] = {-1, 1, 2, 0};
  dev.no_dc_number_ = dc_layouts[(flags >> 6) & 3];
  const uint8_t more = in.byte();
  dev.skip_41_41_ = more & 0x07;
  dev.dc_i_adjust_ = static_cast<int8_t>(in.byte());
  dev.ac_line_ = (more >> 3) & 3;
  dev.ac_type_ = (more >> 5) & 1;
  dev.b_mode_ = (more >> 6) & 3;
  dev.data_.rc_channel_count = in.byte();
  dev.data_.ac.channel_count = in.byte();
}

void silence_stdout() {
  if (!std::freopen("/dev/null", "w", stdout)) std::perror("freopen");
}
