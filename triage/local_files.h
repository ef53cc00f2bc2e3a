// What the crash history and the symbol archive need of the file system beyond
// std::filesystem: a stamp that changes whenever a file's content may have changed,
// whether a folder lies on a network file system, and putting a finished file under its
// final name without ever replacing another file there.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace triage {

// Null where the platform gives no such stamp (the file is then read again each time).
std::optional<std::string> FileStamp(const std::filesystem::path& path);

// What kind of network file system holds `path` ("nfs", "a network share", ...), or
// null for a local one. SQLite's locks cannot be trusted on a network file system.
std::optional<std::string> NetworkFileSystem(const std::filesystem::path& path);

// Writes the file's data and its folder's entry to the disk.
bool SyncFile(const std::filesystem::path& path, std::string* why);

enum class Published { kDone, kTaken, kFailed };
// Renames `temporary` to `final` unless `final` exists: kTaken then, with `temporary`
// left as it was. Atomic: a concurrent writer of the same name cannot be overwritten.
Published PublishNew(const std::filesystem::path& temporary, const std::filesystem::path& final, std::string* why);

}  // namespace triage
