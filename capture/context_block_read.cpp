#include "capture/context_block_read.h"

#include <iterator>

namespace capture {

bool ReadContextBlock(ProcessPort& port, Handle process, std::uint64_t address,
                      CrashContextBlock* dest) {
  // The address belongs to the crashed client; it is only ever handed to the platform's
  // cross-process read, never dereferenced here.
  if (process == nullptr || address == 0 || dest == nullptr) return false;

  std::size_t bytes_read = 0;
  if (!port.ReadMemory(process, address, dest, CRASH_CONTEXT_BLOCK_SIZE, &bytes_read)) return false;
  // A block that runs into unreadable memory may come back partly copied: no partial use.
  if (bytes_read != CRASH_CONTEXT_BLOCK_SIZE) return false;
  if (dest->size != CRASH_CONTEXT_BLOCK_SIZE || dest->version != CRASH_CONTEXT_BLOCK_VERSION) {
    return false;
  }

  // The client may leave its strings unterminated; from here on every field ends inside
  // itself, whatever the client wrote.
  dest->tag[std::size(dest->tag) - 1] = u'\0';
  dest->language[std::size(dest->language) - 1] = u'\0';
  dest->reportText1[std::size(dest->reportText1) - 1] = u'\0';
  dest->reportText2[std::size(dest->reportText2) - 1] = u'\0';
  return true;
}

}  // namespace capture
