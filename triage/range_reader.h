// Bounded random access to the bytes of one dump, whatever holds them: a file on disk,
// a buffer in memory (the fuzzer), later a module's own PE file. Nothing above this
// interface ever learns how big a read may be without asking Size() first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace triage {

class RangeReader {
 public:
  virtual ~RangeReader() = default;
  // Length of the whole input in bytes.
  virtual std::uint64_t Size() const = 0;
  // Fills `out` with the bytes at `offset`; false, with `out` of no meaning, unless all
  // of them lie inside the input and could be read.
  virtual bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

// A reader over bytes owned by the caller; they must outlive the reader.
class MemoryRangeReader final : public RangeReader {
 public:
  explicit MemoryRangeReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// Opens a regular file for positioned reads; on failure gives null and a one-line
// reason. Anything but a regular file (folder, pipe, device) is refused without being
// opened for reading, so that a named pipe called *.dmp can never block the run.
std::unique_ptr<RangeReader> OpenFileRange(const std::filesystem::path& path, std::string* why);

// True when `offset + length` lies within `size`, without overflowing.
constexpr bool Fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace triage
