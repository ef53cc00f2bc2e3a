// FilePort over the wide Windows file calls.
#pragma once

#include "capture/capture.h"

namespace capture {

class WinFilePort final : public FilePort {
 public:
  bool Delete(const char16_t* path) override;
  Handle CreateForWriting(const char16_t* path) override;
  bool Write(Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override;
  bool Flush(Handle file) override;
  bool Size(Handle file, std::uint64_t* size) override;
  void Close(Handle file) override;
  bool MoveReplacing(const char16_t* from, const char16_t* to) override;
  PathKind Kind(const char16_t* path) override;
};

}  // namespace capture
