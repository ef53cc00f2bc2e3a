// The read and check of the crash context block over arbitrary process memory: true
// exactly when one whole read of 37068 bytes gives size 37068 and version 2; then the
// copy is the client's bytes with every string field ended in its last unit, and no
// byte outside the destination is touched.
//
// Input: a mode byte, an address offset byte, then the memory. With bit 0 of the mode
// the memory is the rest of the input repeated to a length near the block's (given by
// two more bytes), so that short inputs reach whole and nearly whole blocks too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "capture/context_block_read.h"
#include "fakes/fake_platform.h"
#include "fuzz_support.h"

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr unsigned char kFill = 0x5A;

// The destination between two guard areas: a write beyond the block lands in a guard,
// where ASan would not see it.
struct GuardedBlock {
  unsigned char before[32];
  CrashContextBlock block;
  unsigned char after[32];
};

std::uint32_t Le32(const std::vector<unsigned char>& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t mode = in.Byte();
  const std::size_t offset = in.Byte() % 8;
  const bool expand = (mode & 1) != 0;
  const bool read_fails = (mode & 2) != 0;
  const bool no_process = (mode & 4) != 0;
  const bool zero_address = (mode & 8) != 0;

  fakes::FakePlatform process;
  if (read_fails) process.faults.FailEveryCall("ReadProcessMemory");
  if (expand) {
    // A length from 37068 - 128 to 37068 + 127, plus the offset: short, exact and long.
    const std::size_t length = CRASH_CONTEXT_BLOCK_SIZE - 128 + in.Byte() + offset;
    const std::vector<std::uint8_t> pattern = in.Rest();
    process.memory.resize(length, 0);
    if (!pattern.empty() && !process.memory.empty()) {
      // The pattern once, then the filled part copied onto the rest, doubling each time.
      std::size_t filled = std::min(pattern.size(), length);
      std::memcpy(process.memory.data(), pattern.data(), filled);
      while (filled < length) {
        const std::size_t count = std::min(filled, length - filled);
        std::memcpy(process.memory.data() + filled, process.memory.data(), count);
        filled += count;
      }
    }
  } else {
    const std::vector<std::uint8_t> rest = in.Rest();
    process.memory.assign(rest.begin(), rest.end());
  }

  const capture::Handle handle = no_process ? nullptr : reinterpret_cast<capture::Handle>(0x44);
  const std::uint64_t address = zero_address ? 0 : process.memory_base + offset;

  auto dest = std::make_unique<GuardedBlock>();
  std::memset(dest->before, kGuard, sizeof(dest->before));
  std::memset(&dest->block, kFill, sizeof(dest->block));
  std::memset(dest->after, kGuard, sizeof(dest->after));

  const bool result = capture::ReadContextBlock(process, handle, address, &dest->block);

  for (unsigned char b : dest->before) fuzz::Check(b == kGuard);
  for (unsigned char b : dest->after) fuzz::Check(b == kGuard);
  // One read at most, and none without a process or an address.
  const int reads = process.faults.Calls("ReadProcessMemory");
  fuzz::Check(reads <= 1);
  if (no_process || zero_address) fuzz::Check(reads == 0);

  const bool whole = !read_fails && !no_process && !zero_address &&
                     process.memory.size() >= offset + CRASH_CONTEXT_BLOCK_SIZE;
  const bool expected = whole && Le32(process.memory, offset) == CRASH_CONTEXT_BLOCK_SIZE &&
                        Le32(process.memory, offset + 4) == CRASH_CONTEXT_BLOCK_VERSION;
  fuzz::Check(result == expected);
  if (!result) return 0;

  const CrashContextBlock& block = dest->block;
  fuzz::Check(block.size == CRASH_CONTEXT_BLOCK_SIZE && block.version == CRASH_CONTEXT_BLOCK_VERSION);
  fuzz::Check(block.tag[std::size(block.tag) - 1] == u'\0');
  fuzz::Check(block.language[std::size(block.language) - 1] == u'\0');
  fuzz::Check(block.reportText1[std::size(block.reportText1) - 1] == u'\0');
  fuzz::Check(block.reportText2[std::size(block.reportText2) - 1] == u'\0');

  // Apart from the four terminators the copy is the client's bytes, unchanged.
  const unsigned char* copy = reinterpret_cast<const unsigned char*>(&block);
  const unsigned char* client = process.memory.data() + offset;
  std::size_t from = 0;
  for (std::size_t end : {std::size_t{140}, std::size_t{204}, std::size_t{4300}, std::size_t{37068}}) {
    fuzz::Check(std::memcmp(copy + from, client + from, end - 2 - from) == 0);
    from = end;
  }
  return 0;
}
