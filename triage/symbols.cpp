#include "triage/symbols.h"

#include <algorithm>
#include <system_error>

#include "triage/symbol_archive.h"
#include "triage/text.h"
#include "triage/walk.h"

namespace triage {
namespace {

void Index(const std::filesystem::path& folder, std::size_t* budget,
           std::unordered_map<std::string, std::vector<std::filesystem::path>>* out) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(folder, ec)) {
    (*out)[AsciiLower(Utf8Path(folder.filename()))].push_back(folder);
    return;
  }
  // Symbolic links to folders are not followed, so a link loop cannot make this endless.
  std::filesystem::recursive_directory_iterator it(folder, std::filesystem::directory_options::skip_permission_denied, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (*budget == 0) return;
    if (!it->is_regular_file(ec)) continue;
    --*budget;
    (*out)[AsciiLower(Utf8Path(it->path().filename()))].push_back(it->path());
  }
}

bool UsableCodeView(const std::optional<CodeViewRecord>& cv) {
  return cv && cv->signature == CodeViewRecord::kRsds &&
         std::any_of(cv->guid.begin(), cv->guid.end(), [](std::uint8_t b) { return b != 0; });
}

}  // namespace

void SymbolStore::AddBinaries(const std::filesystem::path& folder) {
  std::size_t budget = kMaxFilesIndexed - indexed_;
  Index(folder, &budget, &binaries_);
  indexed_ = kMaxFilesIndexed - budget;
}

void SymbolStore::AddSymbols(const std::filesystem::path& folder) {
  std::size_t budget = kMaxFilesIndexed - indexed_;
  Index(folder, &budget, &pdbs_);
  indexed_ = kMaxFilesIndexed - budget;
}

std::optional<std::filesystem::path> SymbolStore::Archived(const std::string& name, const std::string& key) {
  if (stores_.empty()) return std::nullopt;
  auto [it, added] = archived_.try_emplace(name + "/" + key);
  for (std::size_t i = 0; added && i < stores_.size() && !it->second; ++i) it->second = FindArchived(stores_[i], name, key);
  return it->second;
}

const PeImage* SymbolStore::TryImage(const std::filesystem::path& path, const Identity& wanted) {
  auto [known, added] = images_.try_emplace(path);
  if (!added && known->second != wanted) return nullptr;
  if (const auto kept = opened_.find(path); kept != opened_.end()) return &*kept->second.image;
  // Read for its identity, or opened again for a module that has it.
  OpenImage open;
  std::string why;
  open.reader = OpenFileRange(path, &why);
  if (open.reader) open.image = PeImage::Open(*open.reader, &why);
  known->second.reset();
  if (open.image) known->second.emplace(open.image->size_of_image(), open.image->time_date_stamp());
  if (known->second == wanted) return &*opened_.emplace(path, std::move(open)).first->second.image;
  return nullptr;
}

const PeImage* SymbolStore::FindImage(const Module& module) {
  if (const PeImage* image = FindBinary(module)) return image;
  for (ImageSource* source : sources_) {
    if (const PeImage* image = source->FindImage(module)) return image;
  }
  return nullptr;
}

const PeImage* SymbolStore::FindBinary(const Module& module) {
  const std::string name = Utf8FromUtf16(FileNameOf(module.path));
  const Identity wanted{module.size, module.time_date_stamp};
  if (const std::optional<std::filesystem::path> archived = Archived(name, ImageKey(module.time_date_stamp, module.size))) {
    if (const PeImage* image = TryImage(*archived, wanted)) return image;
  }
  const auto candidates = binaries_.find(AsciiLower(name));
  if (candidates == binaries_.end()) return nullptr;
  for (const std::filesystem::path& path : candidates->second) {
    if (const PeImage* image = TryImage(path, wanted)) return image;
  }
  return nullptr;
}

bool SymbolStore::PdbMatches(const std::filesystem::path& path, const CodeViewRecord& codeview) {
  auto [it, added] = identities_.try_emplace(path);
  if (added) {
    std::string why;
    if (const auto reader = OpenFileRange(path, &why)) it->second = ReadPdbIdentity(*reader, &why);
  }
  return it->second && it->second->guid == codeview.guid && it->second->age == codeview.age;
}

const std::filesystem::path* SymbolStore::FindPdb(const CodeViewRecord& codeview) {
  const std::string name = FileNameOf(codeview.pdb_name);
  if (const std::optional<std::filesystem::path> archived = Archived(name, PdbKey(codeview.guid, codeview.age))) {
    // Kept as a key of identities_, whose paths outlive the run's look-ups.
    if (PdbMatches(*archived, codeview)) return &identities_.find(*archived)->first;
  }
  const auto candidates = pdbs_.find(AsciiLower(name));
  if (candidates == pdbs_.end()) return nullptr;
  for (const std::filesystem::path& path : candidates->second) {
    if (PdbMatches(path, codeview)) return &path;
  }
  return nullptr;
}

const std::optional<SourceLine>& SymbolStore::Lookup(const std::filesystem::path& pdb, const CodeViewRecord& codeview,
                                                    std::uint32_t rva) {
  auto [it, added] = lines_.try_emplace({pdb, rva});
  if (added) it->second = symbolizer_->Lookup(pdb, codeview, rva);
  return it->second;
}

const PdbFunctions& SymbolStore::PdbFunctionsOf(const std::filesystem::path& pdb) {
  auto [it, added] = functions_.try_emplace(pdb);
  if (added) {
    std::string why;
    if (const auto reader = OpenFileRange(pdb, &why)) {
      if (std::optional<PdbFunctions> read = PdbFunctions::Read(*reader, &why)) it->second = std::move(*read);
    }
  }
  return it->second;  // none read: no function holds any address
}

void SymbolStore::Name(const Module& module, const PeImage* image, bool caller, NamedFrame* frame) {
  frame->module = AsciiLower(Utf8FromUtf16(FileNameOf(module.path)));
  const std::uint64_t offset = frame->address - module.base;
  frame->offset = offset;
  if (offset - (caller ? 1 : 0) > UINT32_MAX) return;
  const auto rva = static_cast<std::uint32_t>(offset - (caller ? 1 : 0));
  if (image != nullptr) {
    if (const Export* e = image->ExportAt(rva)) {
      frame->function = e->name;
      frame->function_offset = offset - e->rva;
    }
  }
  if (symbolizer_ == nullptr) return;
  // Under Wine a dump's CodeView records are empty: the module file's own debug
  // directory then says which PDB belongs to it.
  const std::optional<CodeViewRecord>& cv =
      UsableCodeView(module.codeview) ? module.codeview : image != nullptr ? image->codeview() : module.codeview;
  if (!UsableCodeView(cv)) return;
  const std::filesystem::path* pdb = FindPdb(*cv);
  if (pdb == nullptr) return;
  const std::optional<SourceLine>& answer = Lookup(*pdb, *cv, rva);
  if (!answer) return;
  // The PDB's public symbols name the nearest symbol below any address: a name holds only
  // inside a function's code, where one of the PDB's procedures lies or, for code compiled
  // without debug information, where the module's unwind data has a function whose first
  // byte the PDB names the same.
  if (!PdbFunctionsOf(*pdb).Holds(rva)) {
    const RuntimeFunction* f = image != nullptr ? image->FunctionAt(rva) : nullptr;
    if (f == nullptr || !answer->function || Lookup(*pdb, *cv, f->begin).value_or(SourceLine{}).function != answer->function) {
      return;
    }
  }
  const SourceLine& line = *answer;
  if (line.function) {
    if (frame->function != line.function) frame->function_offset.reset();
    frame->function = line.function;
  }
  frame->file = line.file;
  frame->line = line.line;
}

}  // namespace triage
