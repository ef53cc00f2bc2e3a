#include "triage/symbol_archive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "triage/codeview.h"
#include "triage/file_range.h"
#include "triage/local_files.h"
#include "triage/pe_image.h"
#include "triage/text.h"
#include "triage/walk.h"

namespace triage {
namespace fs = std::filesystem;
namespace {

// Byte for byte, in chunks: whether two files hold the same content.
bool SameContent(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 16), q(1 << 16);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || std::memcmp(p.data(), q.data(), static_cast<std::size_t>(x.gcount())) != 0) {
      return false;
    }
  }
  return x.eof() && y.eof();
}

// The key of a PE image or a PDB; null for any other file.
std::optional<std::string> KeyOf(const fs::path& file) {
  std::string why;
  const std::unique_ptr<RangeReader> input = OpenFileRange(file, &why);
  if (!input) return std::nullopt;
  if (const std::optional<PeImage> image = PeImage::Open(*input, &why)) {
    return ImageKey(image->time_date_stamp(), image->size_of_image());
  }
  if (const std::optional<PdbIdentity> pdb = ReadPdbIdentity(*input, &why)) return PdbKey(pdb->guid, pdb->age);
  return std::nullopt;
}

// One file into the store; a line for `refused` when it cannot be.
enum class Outcome { kArchived, kPresent, kRefused };
Outcome Put(const fs::path& file, const std::string& key, const fs::path& store, std::string* problem) {
  const std::string name = Utf8Path(file.filename());
  const fs::path folder = store / file.filename() / PathFromUtf8(key);
  const fs::path final = folder / file.filename();
  const std::string shown = name + "/" + key + "/" + name;
  std::error_code ec;
  if (fs::exists(final, ec)) {
    if (SameContent(file, final)) return Outcome::kPresent;
    *problem = Utf8Path(file) + ": a different file is archived as " + shown + "; left as it is";
    return Outcome::kRefused;
  }
  fs::create_directories(folder, ec);
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), ".%016llx.tmp", static_cast<unsigned long long>(random()));
  const fs::path temporary = folder / PathFromUtf8("." + name + suffix);
  std::string why;
  if (ec || !fs::copy_file(file, temporary, ec) || !SyncFile(temporary, &why)) {
    fs::remove(temporary, ec);
    *problem = Utf8Path(file) + ": cannot archive as " + shown + ": " + (why.empty() ? ec.message() : why);
    return Outcome::kRefused;
  }
  const Published published = PublishNew(temporary, final, &why);
  if (published != Published::kDone) fs::remove(temporary, ec);
  switch (published) {
    case Published::kDone: return Outcome::kArchived;
    case Published::kTaken:  // another archiver got there first
      if (SameContent(file, final)) return Outcome::kPresent;
      *problem = Utf8Path(file) + ": a different file is archived as " + shown + "; left as it is";
      return Outcome::kRefused;
    case Published::kFailed: break;
  }
  *problem = Utf8Path(file) + ": cannot archive as " + shown + ": " + why;
  return Outcome::kRefused;
}

}  // namespace

std::string ImageKey(std::uint32_t time_date_stamp, std::uint32_t size_of_image) {
  char key[24];
  std::snprintf(key, sizeof(key), "%08X%x", time_date_stamp, size_of_image);
  return key;
}

std::string PdbKey(const std::array<std::uint8_t, 16>& g, std::uint32_t age) {
  // The GUID's first three fields are little-endian numbers, printed as numbers.
  char key[48];
  std::snprintf(key, sizeof(key), "%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%x", g[3], g[2], g[1],
                g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15], age);
  return key;
}

ArchiveResult ArchiveRelease(const fs::path& release, const fs::path& store) {
  ArchiveResult result;
  std::vector<fs::path> files;
  std::error_code ec;
  if (fs::is_regular_file(release, ec)) {
    files.push_back(release);
  } else {
    // Symbolic links to folders are not followed, so a link loop cannot make this endless.
    fs::recursive_directory_iterator it(release, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      // The store itself may lie inside the release folder.
      if (it->is_directory() && fs::equivalent(it->path(), store, ec)) {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file(ec)) files.push_back(it->path());
    }
    if (ec) result.refused.push_back(Utf8Path(release) + ": search stopped: " + ec.message());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    const std::optional<std::string> key = KeyOf(file);
    if (!key) {
      ++result.skipped;
      continue;
    }
    std::string problem;
    switch (Put(file, *key, store, &problem)) {
      case Outcome::kArchived: ++result.archived; break;
      case Outcome::kPresent: ++result.present; break;
      case Outcome::kRefused: result.refused.push_back(problem); break;
    }
  }
  return result;
}

std::optional<fs::path> FindArchived(const fs::path& store, const std::string& name, const std::string& key) {
  std::error_code ec;
  for (const std::string& n : {name, AsciiLower(name)}) {
    for (const std::string& k : {key, AsciiLower(key)}) {
      const fs::path path = store / PathFromUtf8(n) / PathFromUtf8(k) / PathFromUtf8(n);
      if (fs::is_regular_file(path, ec)) return path;
    }
  }
  return std::nullopt;
}

}  // namespace triage
