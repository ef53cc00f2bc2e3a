// The part of a file reader that every platform shares: one aligned block kept from
// the last read, since the reader's small reads (a module's name, then its CodeView
// record, then the next module) mostly fall close together.
#pragma once

#include <array>
#include <cstdint>

#include "triage/range_reader.h"

namespace triage {

class CachedFileRange : public RangeReader {
 public:
  explicit CachedFileRange(std::uint64_t size) : size_(size) {}
  std::uint64_t Size() const final { return size_; }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const final;

 protected:
  // One positioned read of exactly `out.size()` bytes at `offset`.
  virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;

 private:
  static constexpr std::uint64_t kBlock = 64 * 1024;
  std::uint64_t size_;
  mutable std::array<std::uint8_t, kBlock> block_{};
  mutable std::uint64_t block_start_ = 0;
  mutable std::uint64_t block_length_ = 0;
};

}  // namespace triage
