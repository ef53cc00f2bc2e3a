#include "triage/codeview.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/little_endian.h"

namespace triage {

using common::Le32;

std::optional<CodeViewRecord> ParseCodeView(std::span<const std::uint8_t> cv) {
  if (cv.size() < 4) return std::nullopt;
  CodeViewRecord record;
  record.signature = Le32(cv.data());
  std::size_t name_at = cv.size();
  if (record.signature == CodeViewRecord::kRsds && cv.size() >= 24) {
    std::copy(cv.begin() + 4, cv.begin() + 20, record.guid.begin());
    record.age = Le32(&cv[20]);
    name_at = 24;
  } else if (record.signature == CodeViewRecord::kNb10 && cv.size() >= 16) {
    record.nb10_stamp = Le32(&cv[8]);
    record.age = Le32(&cv[12]);
    name_at = 16;
  }
  const auto name_end = std::find(cv.begin() + static_cast<std::ptrdiff_t>(name_at), cv.end(), 0);
  record.pdb_name.assign(cv.begin() + static_cast<std::ptrdiff_t>(name_at), name_end);
  return record;
}

std::optional<PdbIdentity> ReadPdbIdentity(const RangeReader& input, std::string* why) {
  static constexpr char kMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a" "DS\0\0";
  std::array<std::uint8_t, 56> super{};
  if (!input.Read(0, super) || std::memcmp(super.data(), kMagic, 32) != 0) {
    *why = "not a PDB file (no MSF 7.00 header)";
    return std::nullopt;
  }
  const std::uint32_t block = Le32(&super[32]);
  const std::uint64_t block_count = Le32(&super[40]);
  const std::uint32_t directory_bytes = Le32(&super[44]);
  const std::uint32_t map_block = Le32(&super[52]);
  if ((block != 512 && block != 1024 && block != 2048 && block != 4096) || block_count * block > input.Size() ||
      map_block >= block_count || directory_bytes < 4 || directory_bytes > 64u * 1024 * 1024) {
    *why = "PDB block layout does not fit the file";
    return std::nullopt;
  }
  auto read_blocks = [&](const std::vector<std::uint32_t>& blocks, std::uint32_t bytes, std::vector<std::uint8_t>* out) {
    out->assign(bytes, 0);
    for (std::size_t i = 0; i * block < bytes; ++i) {
      if (i >= blocks.size() || blocks[i] >= block_count) return false;
      const std::uint32_t part = std::min<std::uint32_t>(block, bytes - static_cast<std::uint32_t>(i * block));
      if (!input.Read(std::uint64_t{blocks[i]} * block, std::span(out->data() + i * block, part))) return false;
    }
    return true;
  };
  // The block map lists the directory's blocks; the directory lists every stream's.
  const std::uint32_t directory_blocks = (directory_bytes + block - 1) / block;
  std::vector<std::uint8_t> map;
  if (std::uint64_t{directory_blocks} * 4 > block || !read_blocks({map_block}, directory_blocks * 4, &map)) {
    *why = "PDB directory map does not fit its block";
    return std::nullopt;
  }
  std::vector<std::uint32_t> blocks(directory_blocks);
  for (std::uint32_t i = 0; i < directory_blocks; ++i) blocks[i] = Le32(&map[std::size_t{i} * 4]);
  std::vector<std::uint8_t> directory;
  if (!read_blocks(blocks, directory_bytes, &directory)) {
    *why = "PDB directory outside the file";
    return std::nullopt;
  }
  const std::uint32_t streams = Le32(directory.data());
  if (streams < 2 || streams > (directory_bytes - 4) / 4) {
    *why = "PDB directory holds no PDB stream";
    return std::nullopt;
  }
  // A stream's content: the PDB stream (1) holds the GUID, the DBI stream (3) the age the
  // image's CodeView record carries.
  auto stream = [&](std::uint32_t index, std::uint32_t want, std::vector<std::uint8_t>* out) {
    std::uint64_t at = 4 + std::uint64_t{streams} * 4;
    for (std::uint32_t s = 0; s <= index; ++s) {
      std::uint32_t size = Le32(&directory[4 + std::size_t{s} * 4]);
      if (size == 0xFFFFFFFF) size = 0;
      const std::uint64_t count = (std::uint64_t{size} + block - 1) / block;
      if (!Fits(at, count * 4, directory.size())) return false;
      if (s == index) {
        if (size < want) return false;
        std::vector<std::uint32_t> list(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < list.size(); ++i) list[i] = Le32(&directory[at + i * 4]);
        return read_blocks(list, want, out);
      }
      at += count * 4;
    }
    return false;
  };
  std::vector<std::uint8_t> info;
  if (!stream(1, 28, &info)) {
    *why = "PDB stream cut short";
    return std::nullopt;
  }
  PdbIdentity identity;
  std::copy(info.begin() + 12, info.begin() + 28, identity.guid.begin());
  identity.age = Le32(&info[8]);
  std::vector<std::uint8_t> dbi;
  if (streams > 3 && stream(3, 12, &dbi)) identity.age = Le32(&dbi[8]);
  return identity;
}

}  // namespace triage
