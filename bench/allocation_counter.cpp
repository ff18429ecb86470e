#include "allocation_counter.hpp"

#include <cstdlib>
#include <new>

namespace {

// Per thread, so that the benchmark library's own threads do not count.
thread_local bool counting = false;
thread_local long allocations = 0;

void* allocate(std::size_t size) {
  if (counting) ++allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace bench {

void AllocationCounter::start() {
  allocations = 0;
  counting = true;
}

long AllocationCounter::stop() {
  counting = false;
  return allocations;
}

AllocationCounter::Paused::Paused() : was_counting_(counting) { counting = false; }
AllocationCounter::Paused::~Paused() { counting = was_counting_; }

}  // namespace bench
