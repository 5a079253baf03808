// Kept in a file of its own: the compiler must not see these definitions inlined next to the
// allocations of the tests.
#include "tests/firmware/allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> largestAllocation{0};
}

void* operator new(std::size_t size) {
  std::size_t seen = largestAllocation.load();
  while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

namespace varnet {
void ResetLargestAllocation() {
  largestAllocation = 0;
}
std::size_t LargestAllocation() {
  return largestAllocation.load();
}
}  // namespace varnet
