// Finds the dumps under the paths given: a file is taken as it is, a folder is searched
// recursively for *.dmp. Folders are entered once each (by their canonical path), so a
// symbolic link loop ends the search of that branch with a note instead of going on.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace triage {

struct Found {
  std::filesystem::path path;
  std::string shown;                 // the path as found, UTF-8
  std::optional<std::string> error;  // why it cannot be read, known already from the search
};

// Appends what `root` holds to `out`, in a stable order (files of a folder by name, then
// its subfolders by name).
void FindDumps(const std::filesystem::path& root, std::vector<Found>* out);

std::string Utf8Path(const std::filesystem::path& path);
std::filesystem::path PathFromUtf8(const std::string& text);

}  // namespace triage
