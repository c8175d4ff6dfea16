// The controller's CPU faults on a float loaded from an address that is not a multiple of 4; x86-64
// loads it silently. These tests prove that the sanitizer lane (UBSan's alignment check) would
// catch such a load in the plug-in, that the target lane does too where its emulator raises the
// CPU's address error (some builds of qemu-user carry the load out instead: the test then says so
// and is skipped), and that the record's value accessors read the same misaligned field safely.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>

#include "acquisition/record.h"

namespace {

// The record as the host hands it over: raw bytes at an aligned address, fields at odd offsets.
struct alignas(8) RecordBytes {
  unsigned char bytes[sizeof(korvantis_419_Data_t)];
};

#if defined(__mips__)
// The forbidden access: one lwc1 (a float load into the FPU) at the field's own address, written
// as the instruction itself so that no optimisation level can split it into byte loads.
float load_in_place(const unsigned char* field) {
  float f;
  __asm__ volatile("lwc1 %0, 0(%1)" : "=f"(f) : "r"(field) : "memory");
  return f;
}

// The CPU's address error reaches the program as SIGBUS or SIGSEGV, depending on the emulator's
// version or the kernel.
bool killed_by_address_error(int status) {
  return WIFSIGNALED(status) && (WTERMSIG(status) == SIGBUS || WTERMSIG(status) == SIGSEGV);
}

// Whether this machine stops a misaligned load at all: one try in a child process.
bool address_errors_trapped(const unsigned char* field) {
  const pid_t pid = fork();
  if (pid == 0) {
    load_in_place(field);
    _exit(0);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && killed_by_address_error(status);
}
#else
// The forbidden access: one 4-byte float load at the field's own address. volatile keeps the
// compiler from splitting it into byte loads or dropping it; UBSan checks it at any -O level.
float load_in_place(const unsigned char* field) {
  return *reinterpret_cast<const volatile float*>(field);
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
  if (!address_errors_trapped(first_line_a(r)))
    GTEST_SKIP() << "misaligned loads not trapped by this emulator: it carries a misaligned lwc1 "
                    "out instead of raising the CPU's address error; the sanitizer lane's "
                    "alignment check is the guard";
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
