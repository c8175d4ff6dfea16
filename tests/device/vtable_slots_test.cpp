// The virtual operations sit in the host's slot order. Under the Itanium C++ ABI a pointer to a
// virtual member function holds 1 + the byte offset of its slot in the virtual table (on MIPS and
// ARM: the offset, with the flag in the adjustment).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "device/korvantis_419.h"

namespace {

template <class Pmf>
int slot_of(Pmf pmf) {
  struct Rep {
    std::ptrdiff_t ptr;
    std::ptrdiff_t adj;
  } rep;
  static_assert(sizeof(Pmf) == sizeof(Rep), "Itanium member-function pointer");
  std::memcpy(&rep, &pmf, sizeof rep);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
  // Here code addresses may be odd, so the virtual flag is the low bit of the adjustment and the
  // pointer holds the plain byte offset.
  if ((rep.adj & 1) == 0) return 0;  // not virtual
  return static_cast<int>(rep.ptr / static_cast<std::ptrdiff_t>(sizeof(void*))) + 1;
#else
  if ((rep.ptr & 1) == 0) return 0;  // not virtual
  return static_cast<int>((rep.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*))) + 1;
#endif
}

using K = korvantis_419;

TEST(VtableSlots, EveryObservableOperationInHostOrder) {
  EXPECT_EQ(slot_of(&K::Get_Value), 1);
  EXPECT_EQ(slot_of(static_cast<bool (K::*)(const std::string&)>(&K::LoadFromCache)), 2);
  EXPECT_EQ(slot_of(static_cast<bool (K::*)(const unsigned char*, int)>(&K::LoadFromCache)), 3);
  EXPECT_EQ(slot_of(&K::DataId), 4);
  EXPECT_EQ(slot_of(&K::DeviceType), 5);
  EXPECT_EQ(slot_of(&K::DeviceIoControl), 6);
  EXPECT_EQ(slot_of(&K::RoundDone), 7);
  EXPECT_EQ(slot_of(&K::UseControllerDb), 8);
  // Slots 9 and 10 are the two destructors.
  EXPECT_EQ(slot_of(&K::Reset), 11);
  EXPECT_EQ(slot_of(&K::InitV), 12);
  EXPECT_EQ(slot_of(&K::Init), 13);
  EXPECT_EQ(slot_of(&K::InitSetting), 14);
  EXPECT_EQ(slot_of(&K::IsSupportDevice), 15);
  EXPECT_EQ(slot_of(&K::GetChildVDevice), 16);
  EXPECT_EQ(slot_of(&K::GetAllChildVDevices), 17);
  EXPECT_EQ(slot_of(&K::SendSP), 18);
  EXPECT_EQ(slot_of(&K::SendDelayData), 19);
  EXPECT_EQ(slot_of(&K::SendDoData), 20);
  EXPECT_EQ(slot_of(&K::ReadDi), 21);
  EXPECT_EQ(slot_of(&K::ReadAi), 22);
  EXPECT_EQ(slot_of(&K::Get_SP_Value), 23);
  EXPECT_EQ(slot_of(&K::RefreshStatus), 24);
  EXPECT_EQ(slot_of(&K::process), 25);
  EXPECT_EQ(slot_of(&K::IsProcessing), 26);
  EXPECT_EQ(slot_of(&K::IsStalled), 27);
  EXPECT_EQ(slot_of(&K::SendData), 28);
  EXPECT_EQ(slot_of(&K::SendParityData), 29);
  EXPECT_EQ(slot_of(&K::OpenPort), 30);
  EXPECT_EQ(slot_of(&K::ClosePort), 31);
  EXPECT_EQ(slot_of(&K::process_payload), 32);
  EXPECT_EQ(slot_of(&K::process_error), 33);
  EXPECT_EQ(slot_of(&K::RunCheckThreshold), 34);
}

TEST(VtableSlots, HostClassesDeclareTheSameSlots) {
  EXPECT_EQ(slot_of(&VDeviceInterface::UseControllerDb), 8);
  EXPECT_EQ(slot_of(&KLXVDevice::Reset), 11);
  EXPECT_EQ(slot_of(&KLXVDevice::Get_SP_Value), 23);
  EXPECT_EQ(slot_of(&KLXSPDevice::RefreshStatus), 24);
  EXPECT_EQ(slot_of(&KLXSPDevice::ClosePort), 31);
  EXPECT_EQ(slot_of(&PMBusProtocol::process_payload), 32);
  EXPECT_EQ(slot_of(&PMBusProtocol::process_error), 33);
}

// The non-virtual decoders and helpers take no slot.
TEST(VtableSlots, DecodersAreNotVirtual) {
  EXPECT_EQ(slot_of(&K::parse40_41), 0);
  EXPECT_EQ(slot_of(&K::parse42_44_2), 0);
  EXPECT_EQ(slot_of(&K::CheckAOReport), 0);
}

}  // namespace
