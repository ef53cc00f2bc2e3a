// Where the names of stack frames come from: module files in --binaries folders (matched
// to a dump's module entry by file name, SizeOfImage and TimeDateStamp, never a wrong
// build), their export tables, and PDBs in --symbols folders matched by the GUID and age
// of the module's CodeView record, read through LLVM's symbolizer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "triage/codeview.h"
#include "triage/frame.h"
#include "triage/minidump.h"
#include "triage/pe_image.h"
#include "triage/range_reader.h"

namespace triage {

struct SourceLine {
  std::optional<std::string> function, file;
  std::optional<std::uint32_t> line;
};

// LLVM's symbolizer, started once for a run and asked one address at a time.
class Symbolizer {
 public:
  virtual ~Symbolizer() = default;
  // Function, file and line of `rva` in the module whose PDB is `pdb` (matched to
  // `codeview` already). Null when the symbolizer knows nothing of the address.
  virtual std::optional<SourceLine> Lookup(const std::filesystem::path& pdb, const CodeViewRecord& codeview,
                                           std::uint32_t rva) = 0;
};

// Starts llvm-symbolizer from PATH. Null with a reason when it is not there, or where
// this build has no way to run it.
std::unique_ptr<Symbolizer> StartSymbolizer(std::string* why);

// Another place the files of a dump's modules come from, such as a symbol store: asked
// for a module that no --binaries folder holds. What it gives must be exactly the build
// the module entry names (file name, SizeOfImage and TimeDateStamp), and must live as
// long as the source. The walker takes from an image its unwind data, its exports and
// its section table (which words a scan may take for return addresses: only those into
// executable sections, just after a call).
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual const PeImage* FindImage(const Module& module) = 0;
};

class SymbolStore {
 public:
  static constexpr std::size_t kMaxFilesIndexed = 1u << 20;

  // Indexes the files under `folder` (recursively) by lower-case file name.
  void AddBinaries(const std::filesystem::path& folder);
  void AddSymbols(const std::filesystem::path& folder);
  // A symbol store (symbol_archive.h): module files and PDBs are looked up by their key.
  void AddStore(const std::filesystem::path& folder) { stores_.push_back(folder); }
  void SetSymbolizer(std::unique_ptr<Symbolizer> symbolizer) { symbolizer_ = std::move(symbolizer); }
  // Asked, in the order added, for the modules the --binaries folders do not hold.
  void AddImageSource(ImageSource* source) { sources_.push_back(source); }
  bool has_symbols() const { return !pdbs_.empty() || !stores_.empty(); }

  // The file of a dump's module entry, opened once for the whole run; null when no file
  // of that name matches its SizeOfImage and TimeDateStamp. Only files that matched stay
  // open: a folder of many builds would otherwise hold a descriptor per build.
  const PeImage* FindImage(const Module& module);
  // Names `frame` (module, offset, function, file, line) for an address in `module`,
  // whose file is `image` or null. A caller's frame is named by its call instruction,
  // the byte before the return address.
  void Name(const Module& module, const PeImage* image, bool caller, NamedFrame* frame);

 private:
  struct OpenImage {
    std::unique_ptr<RangeReader> reader;
    std::optional<PeImage> image;
  };
  using Identity = std::pair<std::uint32_t, std::uint32_t>;  // SizeOfImage, TimeDateStamp
  const PeImage* FindBinary(const Module& module);
  const std::optional<SourceLine>& Lookup(const std::filesystem::path& pdb, const CodeViewRecord& codeview,
                                          std::uint32_t rva);
  const PdbFunctions& PdbFunctionsOf(const std::filesystem::path& pdb);
  const std::filesystem::path* FindPdb(const CodeViewRecord& codeview);

  const PeImage* TryImage(const std::filesystem::path& path, const std::pair<std::uint32_t, std::uint32_t>& wanted);
  bool PdbMatches(const std::filesystem::path& path, const CodeViewRecord& codeview);

  std::vector<std::filesystem::path> stores_;
  // "name/key" looked up in the stores: the file, or null for none.
  std::optional<std::filesystem::path> Archived(const std::string& name, const std::string& key);
  std::map<std::string, std::optional<std::filesystem::path>> archived_;
  std::unordered_map<std::string, std::vector<std::filesystem::path>> binaries_;
  std::unordered_map<std::string, std::vector<std::filesystem::path>> pdbs_;
  std::map<std::filesystem::path, std::optional<Identity>> images_;  // null: unreadable, no PE file
  std::map<std::filesystem::path, OpenImage> opened_;                // the files that matched
  std::map<std::filesystem::path, std::optional<PdbIdentity>> identities_;
  std::map<std::pair<std::filesystem::path, std::uint32_t>, std::optional<SourceLine>> lines_;
  std::map<std::filesystem::path, PdbFunctions> functions_;
  std::unique_ptr<Symbolizer> symbolizer_;
  std::vector<ImageSource*> sources_;
  std::size_t indexed_ = 0;
};

}  // namespace triage
