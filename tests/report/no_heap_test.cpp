// Counts every heap allocation made while one report is composed. malloc and its kin are
// wrapped at link time (--wrap), so calls from every object of this program land here;
// operator new is replaced outright.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "full_report.h"

namespace {
bool counting = false;
int allocations = 0;
void Count() {
  if (counting) ++allocations;
}
}  // namespace

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __real_aligned_alloc(std::size_t alignment, std::size_t size);
int __real_posix_memalign(void** block, std::size_t alignment, std::size_t size);
void __real_free(void* block);

void* __wrap_malloc(std::size_t size) {
  Count();
  return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
  Count();
  return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, std::size_t size) {
  Count();
  return __real_realloc(block, size);
}
void* __wrap_aligned_alloc(std::size_t alignment, std::size_t size) {
  Count();
  return __real_aligned_alloc(alignment, size);
}
int __wrap_posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  Count();
  return __real_posix_memalign(block, alignment, size);
}
void __wrap_free(void* block) { __real_free(block); }
}

void* operator new(std::size_t size) {
  Count();
  if (void* block = __real_malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { __real_free(block); }
void operator delete[](void* block) noexcept { __real_free(block); }
void operator delete(void* block, std::size_t) noexcept { __real_free(block); }
void operator delete[](void* block, std::size_t) noexcept { __real_free(block); }

namespace {

TEST(ComposeReportHeap, AFullCompositionAllocatesNothing) {
  reporttest::FullReport full(200, u"M\u00FCller.dll");

  // The counter itself works: both kinds of allocation are seen.
  counting = true;
  int* volatile object = new int(1);
  delete object;
  void* volatile raw = std::malloc(16);
  std::free(raw);
  counting = false;
  ASSERT_EQ(allocations, 2);

  allocations = 0;
  counting = true;
  full.Compose();
  counting = false;
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(std::string(full.report.data()).substr(0, 16), "crash.schema=2\r\n");
}

}  // namespace
