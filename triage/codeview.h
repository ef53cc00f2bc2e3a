// What ties a module to its PDB: the CodeView record that a dump's module entry and a
// PE file's debug directory both hold, and the GUID and age the PDB file itself carries.
// Both come from files of unknown origin and are read like a dump's bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "triage/range_map.h"
#include "triage/range_reader.h"

namespace triage {

// The most of a CodeView record that is read; a real one is a GUID, an age and a path.
inline constexpr std::uint32_t kMaxCodeViewBytes = 4096;

// The CodeView record that names a module's PDB: "RSDS" (GUID and age) or the older
// "NB10" (time stamp and age). Other records keep their signature only.
struct CodeViewRecord {
  static constexpr std::uint32_t kRsds = 0x53445352;  // "RSDS"
  static constexpr std::uint32_t kNb10 = 0x3031424E;  // "NB10"
  std::uint32_t signature = 0;
  std::array<std::uint8_t, 16> guid{};  // RSDS only
  std::uint32_t nb10_stamp = 0;         // NB10 only
  std::uint32_t age = 0;
  std::string pdb_name;  // as the record holds it (UTF-8 for RSDS)
};

// A CodeView record's bytes as a dump's module entry or a PE file's debug directory hold
// them; null for fewer than four bytes.
std::optional<CodeViewRecord> ParseCodeView(std::span<const std::uint8_t> bytes);

// The GUID and age that a PDB file carries (its PDB and DBI streams), read through the
// file's MSF block layout. Null with a reason when the bytes are no such file.
struct PdbIdentity {
  std::array<std::uint8_t, 16> guid{};
  std::uint32_t age = 0;
};
std::optional<PdbIdentity> ReadPdbIdentity(const RangeReader& input, std::string* why);

// Where a PDB's functions lie, by RVA: the procedures and thunks its modules' symbols
// record, placed through the section headers the PDB keeps. A name a PDB gives an address
// belongs to it only when one of them holds it: the PDB's public symbols name the nearest
// symbol below any address, data and the padding between functions included.
class PdbFunctions {
 public:
  // At most this many bytes of module symbols are read: a game's PDB may hold gigabytes.
  static constexpr std::uint64_t kMaxSymbolBytes = 1ull << 30;
  static std::optional<PdbFunctions> Read(const RangeReader& input, std::string* why);
  bool Holds(std::uint32_t rva) const { return functions_.Holding(rva) != nullptr; }

 private:
  struct Function {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
    friend Span Extent(const Function& f) { return {f.rva, std::uint64_t{f.rva} + f.size}; }
  };
  RangeMap<Function> functions_;
};

}  // namespace triage
