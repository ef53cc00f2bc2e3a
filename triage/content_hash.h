// What makes two dump files the same dump: their content, every byte of it. A player
// renames a dump or sends it twice; two crashes of one second may share a file name. A
// SHA-256 of the whole file tells them apart without trusting either name.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "triage/range_reader.h"

namespace triage {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The platform's SHA-256 (OpenSSL's libcrypto on Linux, CNG's BCrypt on Windows).
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual bool Update(std::span<const std::uint8_t> bytes) = 0;
  virtual bool Final(Sha256Digest* out) = 0;
};
std::unique_ptr<Sha256> StartSha256(std::string* why);

// The digest of everything `input` holds. Null with a reason when a read fails.
std::optional<Sha256Digest> HashContent(const RangeReader& input, std::string* why);

// Lower-case hex, as sha256sum prints it.
std::string HexDigest(const Sha256Digest& digest);

}  // namespace triage
