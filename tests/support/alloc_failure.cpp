// Replacement nothrow operator new / new[] with an armed failure per thread.
//
// Memory comes from the ordinary operator new, so every delete matches it
// (also under the address sanitizer's own allocator).
#include "support/alloc_failure.h"

#include <cstddef>
#include <new>

namespace {

thread_local long countdown = -1;  // allocations to let through; -1: disarmed
thread_local bool fired = false;

bool fail_this_one() {
  if (countdown < 0) return false;
  if (countdown-- > 0) return false;
  fired = true;
  return true;
}

}  // namespace

void fail_nothrow_allocation(long n) {
  countdown = n;
  fired = false;
}

void disarm_allocation_failure() { countdown = -1; }

bool allocation_failure_fired() { return fired; }

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  if (fail_this_one()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  if (fail_this_one()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}
