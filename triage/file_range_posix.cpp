// Positioned reads with pread(2): the file offset is never shared or moved, and a file
// of any size is read through 64-bit offsets.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "triage/file_range.h"

namespace triage {
namespace {

class PosixFileRange final : public CachedFileRange {
 public:
  PosixFileRange(int fd, std::uint64_t size) : CachedFileRange(size), fd_(fd) {}
  ~PosixFileRange() override { ::close(fd_); }
  PosixFileRange(const PosixFileRange&) = delete;
  PosixFileRange& operator=(const PosixFileRange&) = delete;

 protected:
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // an error, or the file shrank under us
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<RangeReader> OpenFileRange(const std::filesystem::path& path, std::string* why) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = std::string("cannot open: ") + std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *why = S_ISDIR(info.st_mode) ? "a folder, not a dump file" : "not a regular file";
    return nullptr;
  }
  return std::make_unique<PosixFileRange>(fd, static_cast<std::uint64_t>(info.st_size));
}

}  // namespace triage
