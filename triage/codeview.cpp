#include "triage/codeview.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/little_endian.h"

namespace triage {

using common::Le16;
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

namespace {

// A PDB's MSF container: fixed-size blocks, a directory that lists every stream's size
// and blocks. Streams are read by byte range, each block checked against the file.
class Msf {
 public:
  static std::optional<Msf> Open(const RangeReader& input, std::string* why) {
    static constexpr char kMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a" "DS\0\0";
    std::array<std::uint8_t, 56> super{};
    if (!input.Read(0, super) || std::memcmp(super.data(), kMagic, 32) != 0) {
      *why = "not a PDB file (no MSF 7.00 header)";
      return std::nullopt;
    }
    Msf msf(input);
    msf.block_ = Le32(&super[32]);
    msf.block_count_ = Le32(&super[40]);
    const std::uint32_t directory_bytes = Le32(&super[44]);
    const std::uint32_t map_block = Le32(&super[52]);
    const std::uint32_t block = msf.block_;
    if ((block != 512 && block != 1024 && block != 2048 && block != 4096) ||
        msf.block_count_ * block > input.Size() || map_block >= msf.block_count_ || directory_bytes < 4 ||
        directory_bytes > 64u * 1024 * 1024) {
      *why = "PDB block layout does not fit the file";
      return std::nullopt;
    }
    // The block map lists the directory's blocks; the directory lists every stream's.
    const std::uint32_t directory_blocks = (directory_bytes + block - 1) / block;
    std::vector<std::uint8_t> map(std::size_t{directory_blocks} * 4);
    if (std::uint64_t{directory_blocks} * 4 > block || !msf.ReadBlocks({map_block}, 0, map)) {
      *why = "PDB directory map does not fit its block";
      return std::nullopt;
    }
    std::vector<std::uint32_t> blocks(directory_blocks);
    for (std::uint32_t i = 0; i < directory_blocks; ++i) blocks[i] = Le32(&map[std::size_t{i} * 4]);
    std::vector<std::uint8_t> directory(directory_bytes);
    if (!msf.ReadBlocks(blocks, 0, directory)) {
      *why = "PDB directory outside the file";
      return std::nullopt;
    }
    const std::uint32_t streams = Le32(directory.data());
    if (streams < 2 || streams > (directory_bytes - 4) / 4) {
      *why = "PDB directory holds no PDB stream";
      return std::nullopt;
    }
    std::uint64_t at = 4 + std::uint64_t{streams} * 4;
    for (std::uint32_t s = 0; s < streams; ++s) {
      std::uint32_t size = Le32(&directory[4 + std::size_t{s} * 4]);
      if (size == 0xFFFFFFFF) size = 0;
      const std::uint64_t count = (std::uint64_t{size} + block - 1) / block;
      if (!Fits(at, count * 4, directory.size())) {
        *why = "PDB directory cut short";
        return std::nullopt;
      }
      Stream stream{size, std::vector<std::uint32_t>(static_cast<std::size_t>(count))};
      for (std::size_t i = 0; i < stream.blocks.size(); ++i) stream.blocks[i] = Le32(&directory[at + i * 4]);
      msf.streams_.push_back(std::move(stream));
      at += count * 4;
    }
    return msf;
  }

  std::uint32_t StreamSize(std::uint32_t index) const { return index < streams_.size() ? streams_[index].size : 0; }
  // The bytes at `offset` of stream `index`; false unless all of them lie in the stream.
  bool Read(std::uint32_t index, std::uint64_t offset, std::span<std::uint8_t> out) const {
    return index < streams_.size() && Fits(offset, out.size(), streams_[index].size) &&
           ReadBlocks(streams_[index].blocks, offset, out);
  }

 private:
  struct Stream {
    std::uint32_t size = 0;
    std::vector<std::uint32_t> blocks;
  };
  explicit Msf(const RangeReader& input) : input_(&input) {}
  bool ReadBlocks(const std::vector<std::uint32_t>& blocks, std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t at = offset + done;
      const std::uint64_t index = at / block_;
      if (index >= blocks.size() || blocks[index] >= block_count_) return false;
      const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(block_ - at % block_, out.size() - done));
      if (!input_->Read(std::uint64_t{blocks[index]} * block_ + at % block_, out.subspan(done, part))) return false;
      done += part;
    }
    return true;
  }

  const RangeReader* input_;
  std::uint32_t block_ = 0;
  std::uint64_t block_count_ = 0;
  std::vector<Stream> streams_;
};

// Streams of a PDB by their fixed index.
constexpr std::uint32_t kPdbStream = 1, kDbiStream = 3;
constexpr std::uint32_t kDbiHeaderSize = 64;
constexpr std::uint32_t kMaxModuleInfoBytes = 256u << 20;

}  // namespace

std::optional<PdbIdentity> ReadPdbIdentity(const RangeReader& input, std::string* why) {
  const std::optional<Msf> msf = Msf::Open(input, why);
  if (!msf) return std::nullopt;
  // The PDB stream holds the GUID, the DBI stream the age the image's CodeView record carries.
  std::array<std::uint8_t, 28> info{};
  if (!msf->Read(kPdbStream, 0, info)) {
    *why = "PDB stream cut short";
    return std::nullopt;
  }
  PdbIdentity identity;
  std::copy(info.begin() + 12, info.begin() + 28, identity.guid.begin());
  identity.age = Le32(&info[8]);
  std::array<std::uint8_t, 12> dbi{};
  if (msf->Read(kDbiStream, 0, dbi)) identity.age = Le32(&dbi[8]);
  return identity;
}

std::optional<PdbFunctions> PdbFunctions::Read(const RangeReader& input, std::string* why) {
  const std::optional<Msf> msf = Msf::Open(input, why);
  if (!msf) return std::nullopt;
  std::array<std::uint8_t, kDbiHeaderSize> h{};
  if (!msf->Read(kDbiStream, 0, h)) {
    *why = "PDB has no DBI stream";
    return std::nullopt;
  }
  const std::uint32_t modules_size = Le32(&h[24]);
  // The substreams follow the header in this order: modules, section contributions,
  // section map, files, type server map, EC, then the optional debug header.
  std::uint64_t debug_header = kDbiHeaderSize;
  for (std::size_t field : {24, 28, 32, 36, 40, 52}) debug_header += Le32(&h[field]);
  const std::uint32_t debug_header_size = Le32(&h[48]);

  // Section headers (the optional debug header's sixth entry names their stream):
  // a procedure's section and offset become an RVA through them.
  std::vector<std::uint32_t> section_rvas;
  std::array<std::uint8_t, 2> index{};
  if (debug_header_size >= 12 && msf->Read(kDbiStream, debug_header + 10, index)) {
    const std::uint32_t stream = Le16(index.data());
    const std::uint32_t count = std::min<std::uint32_t>(msf->StreamSize(stream) / 40, 96);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::array<std::uint8_t, 4> rva{};
      if (!msf->Read(stream, std::uint64_t{i} * 40 + 12, rva)) break;
      section_rvas.push_back(Le32(rva.data()));
    }
  }
  if (section_rvas.empty()) {
    *why = "PDB keeps no section headers";
    return std::nullopt;
  }

  // Each module's symbols: its procedures and thunks with section, offset and length.
  std::vector<std::uint8_t> modules(std::min<std::uint32_t>(modules_size, kMaxModuleInfoBytes));
  if (!msf->Read(kDbiStream, kDbiHeaderSize, modules)) {
    *why = "PDB module list cut short";
    return std::nullopt;
  }
  std::vector<Function> functions;
  std::uint64_t budget = kMaxSymbolBytes;
  for (std::size_t at = 0; at + 64 <= modules.size();) {
    const std::uint8_t* m = &modules[at];
    const std::uint32_t stream = Le16(m + 34);
    const std::uint32_t bytes = std::min<std::uint32_t>(Le32(m + 36), msf->StreamSize(stream));
    // Two NUL-terminated names follow, then padding to four bytes.
    std::size_t next = at + 64;
    for (int names = 0; names < 2 && next < modules.size(); ++names) {
      while (next < modules.size() && modules[next] != 0) ++next;
      ++next;
    }
    at = (next + 3) & ~std::size_t{3};
    if (stream == 0xFFFF || bytes <= 4 || bytes > budget) continue;
    budget -= bytes;
    std::vector<std::uint8_t> symbols(bytes);
    if (!msf->Read(stream, 0, symbols)) continue;
    for (std::size_t r = 4; r + 4 <= symbols.size();) {
      const std::size_t length = Le16(&symbols[r]);
      const std::uint16_t kind = Le16(&symbols[r + 2]);
      if (length < 2 || r + 2 + length > symbols.size()) break;
      const std::uint8_t* d = &symbols[r + 4];
      const std::size_t data = length - 2;
      std::uint32_t offset = 0, size = 0, section = 0;
      if ((kind == 0x110F || kind == 0x1110 || kind == 0x1146 || kind == 0x1147) && data >= 35) {
        size = Le32(d + 12);  // S_LPROC32, S_GPROC32 and their _ID forms
        offset = Le32(d + 28);
        section = Le16(d + 32);
      } else if (kind == 0x1102 && data >= 20) {  // S_THUNK32
        offset = Le32(d + 12);
        section = Le16(d + 16);
        size = Le16(d + 18);
      }
      if (section >= 1 && section <= section_rvas.size() && size != 0) {
        functions.push_back({section_rvas[section - 1] + offset, size});
      }
      r += 2 + length;
    }
  }
  PdbFunctions out;
  out.functions_ = RangeMap<Function>(std::move(functions));
  return out;
}

}  // namespace triage
