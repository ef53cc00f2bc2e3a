#include "triage/walk.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "triage/text.h"

namespace triage {
namespace fs = std::filesystem;

std::string Utf8Path(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path PathFromUtf8(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

void FindDumps(const fs::path& root, std::vector<Found>* out) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    out->push_back({root, Utf8Path(root), std::nullopt});
    return;
  }
  std::set<fs::path> entered;
  std::vector<fs::path> pending{root};
  while (!pending.empty()) {
    const fs::path folder = pending.back();
    pending.pop_back();
    const fs::path canonical = fs::canonical(folder, ec);
    if (ec) {
      out->push_back({folder, Utf8Path(folder), "cannot search this folder: " + ec.message()});
      continue;
    }
    if (!entered.insert(canonical).second) {
      out->push_back({folder, Utf8Path(folder),
                      "not searched again: a link back to " + Utf8Path(canonical) + ", searched already"});
      continue;
    }
    // Each file with its status from the listing, and why that status could not be had.
    struct Listed {
      fs::path path;
      fs::file_status status;
      std::error_code error;
    };
    std::vector<Listed> files;
    std::vector<fs::path> folders;
    fs::directory_iterator it(folder, ec);
    if (ec) {
      out->push_back({folder, Utf8Path(folder), "cannot search this folder: " + ec.message()});
      continue;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path path = it->path();
      std::error_code status_ec;
      const fs::file_status status = fs::status(path, status_ec);
      if (fs::is_directory(status)) {
        folders.push_back(path);
      } else if (HasDumpExtension(Utf8Path(path.extension()))) {  // a file named ".dmp" has none
        files.push_back({path, status, status_ec});
      }
    }
    if (ec) out->push_back({folder, Utf8Path(folder), "search of this folder stopped: " + ec.message()});
    std::sort(files.begin(), files.end(), [](const Listed& a, const Listed& b) { return a.path < b.path; });
    std::sort(folders.begin(), folders.end());
    for (const Listed& file : files) {
      std::optional<std::string> error;
      if (!fs::exists(file.status)) {
        std::error_code link_ec;
        error = fs::is_symlink(fs::symlink_status(file.path, link_ec)) ? "a link to nothing"
                                                                       : "cannot open: " + file.error.message();
      }
      out->push_back({file.path, Utf8Path(file.path), error});
    }
    for (const fs::path& sub : folders) {
      // A folder named like a dump is searched like any folder, and said to be no dump.
      if (HasDumpExtension(Utf8Path(sub.extension()))) {
        out->push_back({sub, Utf8Path(sub), "a folder, not a dump file"});
      }
    }
    for (auto sub = folders.rbegin(); sub != folders.rend(); ++sub) pending.push_back(*sub);
  }
}

}  // namespace triage
