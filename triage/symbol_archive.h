// Every release's module files and PDBs kept the way Microsoft's debuggers and symbol
// servers find them: <name>/<key>/<name> under one folder, where the key of a PE image
// is its TimeDateStamp as 8 upper-case hex digits followed by its SizeOfImage in as few
// lower-case hex digits as needed, and the key of a PDB its GUID as 32 upper-case hex
// digits (in the GUID's field order) followed by its age in hex. See "Symbol Storage
// Format" (learn.microsoft.com/windows-hardware/drivers/debugger/symbol-storage-format)
// and Microsoft's SSQP key conventions (github.com/dotnet/symstore,
// docs/specs/SSQP_Key_Conventions.md, "PE-timestamp-filesize" and "PDB-Signature-Age").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace triage {

std::string ImageKey(std::uint32_t time_date_stamp, std::uint32_t size_of_image);
std::string PdbKey(const std::array<std::uint8_t, 16>& guid, std::uint32_t age);

struct ArchiveResult {
  std::size_t archived = 0;  // copied in
  std::size_t present = 0;   // the same file was there already
  std::size_t skipped = 0;   // neither a PE image nor a PDB
  std::vector<std::string> refused;  // one line each: a different file under the key, or an error
};

// Copies every PE image and PDB under `release` (searched recursively) into the store
// folder `store`. Each file is written under a temporary name, written to the disk, and
// then given its final name only if no file has it: a file already under its key is
// never replaced; an identical one counts as present, a different one is refused.
ArchiveResult ArchiveRelease(const std::filesystem::path& release, const std::filesystem::path& store);

// The file archived in `store` as `name` under `key`, by its path alone (no folder is
// searched): the name as given and in lower case, the key as written here and in lower
// case (stores that other tools made on case-sensitive servers).
std::optional<std::filesystem::path> FindArchived(const std::filesystem::path& store, const std::string& name,
                                                  const std::string& key);

}  // namespace triage
