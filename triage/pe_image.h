// A bounded reader of x64 PE files: the headers and sections, the exception directory
// (.pdata RUNTIME_FUNCTIONs, whose UNWIND_INFO the unwinder reads on demand), the export
// table and the CodeView record of the debug directory. A module file comes from a
// support engineer's folder, but its bytes are treated like a dump's: every offset, size
// and count is checked against the file before use.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "triage/codeview.h"
#include "triage/range_map.h"
#include "triage/range_reader.h"

namespace triage {

struct PeSection {
  char name[9] = {};
  std::uint32_t rva = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t characteristics = 0;
  bool Executable() const { return (characteristics & 0x20000000u) != 0; }
  // A section's bytes in memory: its virtual size, or its raw size where that is larger.
  friend Span Extent(const PeSection& s) { return {s.rva, std::uint64_t{s.rva} + std::max(s.virtual_size, s.raw_size)}; }
};

struct RuntimeFunction {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t unwind_info = 0;
  friend Span Extent(const RuntimeFunction& f) { return {f.begin, f.end}; }
};

struct Export {
  std::uint32_t rva = 0;
  std::string name;
  // One name an address: of several, the first in the order the exports are sorted.
  friend Span Extent(const Export& e) { return {e.rva, std::uint64_t{e.rva} + 1}; }
};

class PeImage {
 public:
  static constexpr std::uint16_t kMachineAmd64 = 0x8664;
  static constexpr std::uint32_t kMaxSections = 96;
  static constexpr std::uint32_t kMaxExports = 1u << 20;
  static constexpr std::uint32_t kMaxFunctions = 1u << 22;
  static constexpr std::uint32_t kMaxNameBytes = 4096;

  // How the bytes lie: as in the file, or as the loader maps them (a module's memory in
  // a dump, where every RVA is its own offset).
  enum class Layout { kFile, kMapped };

  // Reads the headers, the section table, the exception directory, the exports and the
  // CodeView record. Null with a reason when the bytes are no PE file this tool can use.
  // A mapped image is read for its headers and section table only: a dump seldom holds a
  // module's unwind data whole, and part of it would mislead the unwinder. `input` must
  // outlive the image.
  static std::optional<PeImage> Open(const RangeReader& input, std::string* why, Layout layout = Layout::kFile);

  std::uint16_t machine() const { return machine_; }
  std::uint32_t time_date_stamp() const { return time_date_stamp_; }
  std::uint32_t size_of_image() const { return size_of_image_; }
  const std::vector<PeSection>& sections() const { return sections_.entries(); }
  const std::vector<RuntimeFunction>& functions() const { return functions_.entries(); }
  const std::vector<Export>& exports() const { return exports_.entries(); }  // by RVA
  const std::optional<CodeViewRecord>& codeview() const { return codeview_; }

  // The bytes at `rva` as the loader maps them: within one section, zeros past its raw
  // data. False when any of them lies outside every section.
  bool ReadRva(std::uint32_t rva, std::span<std::uint8_t> out) const;
  bool IsExecutable(std::uint32_t rva) const;
  // The RUNTIME_FUNCTION whose range holds `rva`, or null (a leaf function).
  const RuntimeFunction* FunctionAt(std::uint32_t rva) const;
  // The export whose function holds `rva`: the nearest export at or below it, unless
  // another function of the exception directory begins in between, or either lies outside
  // the executable sections (an exported variable is no function).
  const Export* ExportAt(std::uint32_t rva) const;

 private:
  PeImage(const RangeReader& input, Layout layout) : input_(&input), layout_(layout) {}
  bool ReadExports(std::uint32_t rva, std::uint32_t size);  // false: no usable table
  bool ReadFunctions(std::uint32_t rva, std::uint32_t size, std::string* why);
  void ReadCodeView(std::uint32_t rva, std::uint32_t size);
  // A NUL-terminated name at `rva`, at most kMaxNameBytes long.
  bool ReadName(std::uint32_t rva, std::string* out) const;

  const RangeReader* input_;
  Layout layout_;
  std::uint16_t machine_ = 0;
  std::uint32_t time_date_stamp_ = 0;
  std::uint32_t size_of_image_ = 0;
  RangeMap<PeSection> sections_;
  RangeMap<RuntimeFunction> functions_;
  RangeMap<Export> exports_;
  std::optional<CodeViewRecord> codeview_;
};

// The smallest PE file that names a PDB: headers, one section holding the debug directory
// and its CodeView record, and nothing to run. A symbolizer that finds PDBs through a
// module file's debug directory can then read a PDB that matched a dump's CodeView record
// when the module file itself is not at hand.
std::vector<std::uint8_t> StubImage(const CodeViewRecord& codeview, std::uint32_t size_of_image);

}  // namespace triage
