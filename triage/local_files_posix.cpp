#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "triage/local_files.h"

namespace triage {
namespace {

struct NetworkType {
  std::uint32_t magic;  // statfs(2)'s f_type, from linux/magic.h and the file systems' own headers
  const char* name;
};
constexpr NetworkType kNetworkTypes[] = {
    {0x6969, "nfs"},          {0x517B, "smb"},      {0xFF534D42, "cifs"},   {0xFE534D42, "smb2"},
    {0x01021997, "9p"},       {0x00C36400, "ceph"}, {0x5346414F, "afs"},    {0x73757245, "coda"},
    {0x564C, "ncp"},          {0x0BD00BD0, "lustre"}, {0x013111A8, "ibrix"}, {0x47504653, "gpfs"},
};

bool SyncFolderOf(const std::filesystem::path& path) {
  const int fd = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace

std::optional<std::string> FileStamp(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  // The change time moves with every write and rename and cannot be set back by a copy
  // that keeps the modification time, so together they catch any new content.
  char stamp[160];
  std::snprintf(stamp, sizeof(stamp), "%ju:%ju:%jd:%jd.%09ld:%jd.%09ld", static_cast<std::uintmax_t>(info.st_dev),
                static_cast<std::uintmax_t>(info.st_ino), static_cast<std::intmax_t>(info.st_size),
                static_cast<std::intmax_t>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec,
                static_cast<std::intmax_t>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
  return stamp;
}

std::optional<std::string> NetworkFileSystem(const std::filesystem::path& folder) {
  struct statfs info {};
  if (::statfs(folder.c_str(), &info) != 0) return std::nullopt;
  for (const NetworkType& type : kNetworkTypes) {
    if (static_cast<std::uint32_t>(info.f_type) == type.magic) return type.name;
  }
  return std::nullopt;
}

bool SyncFile(const std::filesystem::path& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    *why = std::string("cannot write to the disk: ") + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

Published PublishNew(const std::filesystem::path& temporary, const std::filesystem::path& final, std::string* why) {
  // A hard link fails when the name exists; unlike rename(2) it never replaces a file.
  if (::link(temporary.c_str(), final.c_str()) != 0) {
    if (errno == EEXIST) return Published::kTaken;
    *why = std::string("cannot name the file: ") + std::strerror(errno);
    return Published::kFailed;
  }
  ::unlink(temporary.c_str());
  if (!SyncFolderOf(final)) {
    *why = std::string("cannot write the folder to the disk: ") + std::strerror(errno);
    return Published::kFailed;
  }
  return Published::kDone;
}

}  // namespace triage
