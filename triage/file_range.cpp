#include "triage/file_range.h"

#include <algorithm>
#include <cstring>

namespace triage {

bool CachedFileRange::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (!Fits(offset, out.size(), size_)) return false;
  if (out.empty()) return true;
  if (out.size() > kBlock) return ReadAt(offset, out);
  if (offset < block_start_ || !Fits(offset - block_start_, out.size(), block_length_)) {
    const std::uint64_t start = offset - offset % kBlock;
    const std::uint64_t length = std::min<std::uint64_t>(kBlock, size_ - start);
    block_length_ = 0;
    if (!ReadAt(start, std::span(block_.data(), length))) return false;
    block_start_ = start;
    block_length_ = length;
    // A read that straddles the block's end is served directly.
    if (!Fits(offset - block_start_, out.size(), block_length_)) return ReadAt(offset, out);
  }
  std::memcpy(out.data(), block_.data() + (offset - block_start_), out.size());
  return true;
}

}  // namespace triage
