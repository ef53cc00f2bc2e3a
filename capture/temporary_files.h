// The capture's temporary files. The dump and the report text file are each written
// under their final name followed by ".tmp" and get the final name only by a rename once
// they are whole. A temporary file that a capture could not remove (a virus scanner held
// it through every retry) would otherwise stay for good: names carry the time, so no
// later capture composes it again. Every capture therefore also removes the temporary
// files that earlier ones left, once they are too old to belong to a running capture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/ports.h"

namespace capture {

// "<final path>.tmp" into `temp` (capacity in units); false when it does not fit whole.
bool ComposeTemporaryPath(const char16_t* final_path, char16_t* temp, std::size_t capacity);

// True when `name`, a file name without folder, has exactly the form of the capture's
// temporary files: a dump file name of the crash folder's pattern, development mark,
// version, date, time, tag and language included, followed by ".tmp", or the same with
// ".txt" in place of ".dmp".
bool IsCaptureTemporaryName(const char16_t* name);

// A capture writes and renames its temporary files within seconds; one whose last write
// is older than this belongs to no capture that is still running.
inline constexpr std::int64_t kStaleTemporarySeconds = 10 * 60;

// The folder listing is walked this far at most in one capture.
inline constexpr int kMaxListedTemporaryFiles = 1024;

// Deletes, one attempt each, the files in the folder of `dump_path` whose names have the
// temporary form and whose last write is more than kStaleTemporarySeconds before the
// UTC clock's time. Every other file, and every folder, is left alone; a file that cannot
// be deleted now is left to the next capture. This and the capture's own temporary files
// are all the capture ever deletes.
void RemoveStaleTemporaryFiles(const CapturePorts& ports, const char16_t* dump_path);

}  // namespace capture
