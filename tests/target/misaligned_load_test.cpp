// The controller's CPU faults on a float loaded from an address that is not a multiple of 4; x86-64
// loads it silently. These tests prove that the target lane (qemu-mipsel raises a bus error) and
// the sanitizer lane (UBSan's alignment check) would catch such a load in the plug-in, and that the
// record's value accessors read the same misaligned field without one.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <cstring>

#include "acquisition/record.h"

namespace {

// The record as the host hands it over: raw bytes at an aligned address, fields at odd offsets.
struct alignas(8) RecordBytes {
  unsigned char bytes[sizeof(korvantis_419_Data_t)];
};

// The forbidden access: one 4-byte float load at the field's own address. volatile keeps the
// compiler from splitting it into byte loads or dropping it.
float load_in_place(const unsigned char* field) {
  return *reinterpret_cast<const volatile float*>(field);
}

#if defined(__mips__)
// The CPU's address error reaches the program as SIGSEGV under Debian 12's qemu-user (7.2) and as
// SIGBUS under a kernel that does not fix the load up.
bool killed_by_address_error(int status) {
  return WIFSIGNALED(status) && (WTERMSIG(status) == SIGBUS || WTERMSIG(status) == SIGSEGV);
}
#endif

const unsigned char* first_line_a(const RecordBytes& r) {
  return r.bytes + offsetof(korvantis_419_Data_t, acChannel[0].a);
}

RecordBytes record_with_line_a(float v) {
  RecordBytes r{};
  korvantis_419_Data_t data{};
  data.acChannel[0].a = v;
  std::memcpy(r.bytes, &data, sizeof data);
  return r;
}

// The field is misaligned, and an aligned load from the same bytes works: a death below comes from
// the alignment alone.
TEST(MisalignedLoad, TheFieldUnderTestIsMisalignedAndItsBytesAreReadable) {
  const RecordBytes r = record_with_line_a(230.5f);
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(first_line_a(r));
  EXPECT_NE(at % alignof(float), 0u);
  const unsigned char* aligned = first_line_a(r) - at % alignof(float);
  float expected;
  std::memcpy(&expected, aligned, sizeof expected);
  const float loaded = load_in_place(aligned);
  EXPECT_EQ(std::memcmp(&loaded, &expected, sizeof loaded), 0);
}

TEST(MisalignedLoad, ThisLaneStopsAFloatLoadInPlace) {
  const RecordBytes r = record_with_line_a(230.5f);
#if defined(__mips__)
  EXPECT_EXIT(load_in_place(first_line_a(r)), killed_by_address_error, "");
#else
  EXPECT_DEATH(load_in_place(first_line_a(r)), "misaligned address");
#endif
}

TEST(MisalignedLoad, ValueAccessorsReadTheSameFieldSafely) {
  const RecordBytes r = record_with_line_a(230.5f);
  korvantis_419_Data_t data;
  std::memcpy(&data, r.bytes, sizeof data);
  EXPECT_EQ(data.acChannel[0].a.get(), 230.5f);
  const unsigned char* raw = first_line_a(r);
  EXPECT_EQ(raw[0] | raw[1] << 8 | raw[2] << 16 | raw[3] << 24, 0x43668000);
}

}  // namespace
