#include "RefusedAllocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> g_size{0};
std::atomic<bool> g_limited{false};
std::atomic<long> g_allowed{0};
std::atomic<long> g_throwIn{0};

void* Allocate(size_t size) noexcept { return std::malloc(size ? size : 1); }

void* AllocateOrThrow(size_t size) {
  long left = g_throwIn.load();
  while (left > 0 && !g_throwIn.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) throw std::bad_alloc();
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}

void* AllocateNothrow(size_t size) noexcept {
  if (g_limited.load() && size == g_size.load() && g_allowed.fetch_sub(1) <= 0) return nullptr;
  return Allocate(size);
}

}  // namespace

namespace refused {
void AllowOfSize(size_t size, long allowed) {
  g_limited.store(false);
  g_size.store(size);
  g_allowed.store(allowed);
  g_limited.store(allowed >= 0);
}
void ThrowAt(long nth) { g_throwIn.store(nth); }
long Left() { return g_throwIn.load(); }
}  // namespace refused

void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return AllocateNothrow(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return AllocateNothrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
