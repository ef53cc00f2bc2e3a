#include "triage/range_reader.h"

#include <cstring>

namespace triage {

bool MemoryRangeReader::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (!Fits(offset, out.size(), bytes_.size())) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

}  // namespace triage
