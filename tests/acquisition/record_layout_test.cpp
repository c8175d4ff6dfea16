// The record's field list (visit()) covers every byte of the record once, in order: a member
// added to a struct but not to its list fails here.
#include <gtest/gtest.h>

#include "acquisition/record.h"

namespace {

struct Tiler {
  explicit Tiler(const void* record) : base(static_cast<const uint8_t*>(record)) {}
  const uint8_t* base;
  size_t next = 0;
  std::vector<std::string> gaps;  // where the walk skipped or went back

  void at(const std::string& name, const void* p, size_t n) {
    const size_t offset = static_cast<size_t>(static_cast<const uint8_t*>(p) - base);
    if (offset != next) gaps.push_back(name + " at " + std::to_string(offset));
    next = offset + n;
  }
  template <class T>
  void field(const std::string& name, T& x) {
    at(name, &x, sizeof x);
  }
  template <class T>
  void list(const std::string& name, T* items, unsigned count) {
    at(name, items, sizeof(T) * count);
  }
  template <class S>
  void group(const std::string& name, S& s) {
    at(name, &s, 0);
    s.visit(*this);
    at(name + " (end)", reinterpret_cast<const uint8_t*>(&s) + sizeof s, 0);
  }
  template <class S>
  void groups(const std::string& name, S* items, unsigned count) {
    for (unsigned i = 0; i < count; ++i) group(name + "[" + std::to_string(i) + "]", items[i]);
  }
  void time(const std::string& name, uint8_t (&t)[7]) { at(name, t, sizeof t); }
  void reserved(const uint8_t* p, size_t n) { at("reserved", p, n); }
};

TEST(RecordLayout, TheFieldListCoversEveryByteInOrder) {
  korvantis_419_Data_t rec{};
  Tiler t(&rec);
  rec.visit(t);
  EXPECT_EQ(t.gaps, std::vector<std::string>{});
  EXPECT_EQ(t.next, sizeof rec);
}

}  // namespace
