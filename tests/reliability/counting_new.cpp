#include "counting_new.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> g_bytes{0};
std::atomic<long long> g_blocks{0};
std::atomic<long long> g_allocations{0};

void* counted(void* p) {
  if (!p) throw std::bad_alloc();
  g_bytes += static_cast<long long>(malloc_usable_size(p));
  ++g_blocks;
  ++g_allocations;
  return p;
}

void uncount(void* p) noexcept {
  if (!p) return;
  g_bytes -= static_cast<long long>(malloc_usable_size(p));
  --g_blocks;
  std::free(p);
}

void* aligned(std::size_t n, std::align_val_t a) {
  const std::size_t align = static_cast<std::size_t>(a);
  return std::aligned_alloc(align, (n + align - 1) / align * align);
}

}  // namespace

namespace counting_new {
size_t live_bytes() { return static_cast<size_t>(g_bytes.load()); }
size_t live_blocks() { return static_cast<size_t>(g_blocks.load()); }
size_t allocations() { return static_cast<size_t>(g_allocations.load()); }
}  // namespace counting_new

void* operator new(std::size_t n) { return counted(std::malloc(n ? n : 1)); }
void* operator new[](std::size_t n) { return counted(std::malloc(n ? n : 1)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  void* p = std::malloc(n ? n : 1);
  return p ? counted(p) : nullptr;
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(std::size_t n, std::align_val_t a) { return counted(aligned(n ? n : 1, a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }

void operator delete(void* p) noexcept { uncount(p); }
void operator delete[](void* p) noexcept { uncount(p); }
void operator delete(void* p, std::size_t) noexcept { uncount(p); }
void operator delete[](void* p, std::size_t) noexcept { uncount(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { uncount(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { uncount(p); }
void operator delete(void* p, std::align_val_t) noexcept { uncount(p); }
void operator delete[](void* p, std::align_val_t) noexcept { uncount(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { uncount(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { uncount(p); }
