#include "triage/content_hash.h"

#include <algorithm>

namespace triage {

std::optional<Sha256Digest> HashContent(const RangeReader& input, std::string* why) {
  const std::unique_ptr<Sha256> hash = StartSha256(why);
  if (!hash) return std::nullopt;
  constexpr std::uint64_t kChunk = 1 << 20;
  const std::uint64_t size = input.Size();
  // As much as the file needs, at most a chunk, and not zeroed first: most dumps are far
  // smaller than a chunk, and a run hashes thousands of them.
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(std::min(kChunk, size)));
  const std::span<std::uint8_t> chunk(buffer.get(), static_cast<std::size_t>(std::min(kChunk, size)));
  for (std::uint64_t at = 0; at < size; at += kChunk) {
    const std::span<std::uint8_t> part(chunk.data(), static_cast<std::size_t>(std::min(kChunk, size - at)));
    if (!input.Read(at, part)) {
      *why = "cannot read the whole file (it shrank, or a read failed)";
      return std::nullopt;
    }
    if (!hash->Update(part)) {
      *why = "SHA-256 failed";
      return std::nullopt;
    }
  }
  Sha256Digest digest{};
  if (!hash->Final(&digest)) {
    *why = "SHA-256 failed";
    return std::nullopt;
  }
  return digest;
}

std::string HexDigest(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : digest) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace triage
