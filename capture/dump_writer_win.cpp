#include "capture/dump_writer_win.h"

#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include "capture/system_library_win.h"

namespace capture {

bool WinDumpWriterPort::WriteDump(const DumpRequest& request) {
  // The record and context live in the WER host (this process), not in the client.
  EXCEPTION_POINTERS pointers{};
  pointers.ExceptionRecord =
      const_cast<EXCEPTION_RECORD*>(static_cast<const EXCEPTION_RECORD*>(request.exception_record));
  pointers.ContextRecord = const_cast<CONTEXT*>(static_cast<const CONTEXT*>(request.context));

  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = request.thread_id;
  exception.ExceptionPointers = &pointers;
  exception.ClientPointers = FALSE;

  MINIDUMP_USER_STREAM stream{};
  stream.Type = request.stream_type;
  stream.BufferSize = request.stream_size;
  stream.Buffer = const_cast<void*>(request.stream);
  MINIDUMP_USER_STREAM_INFORMATION streams{};
  streams.UserStreamCount = 1;
  streams.UserStreamArray = &stream;

  // Bound from System32 for this call only: see system_library_win.h.
  const SystemLibrary dbghelp(L"dbghelp.dll");
  const auto write_dump = dbghelp.Find<decltype(&MiniDumpWriteDump)>("MiniDumpWriteDump");
  if (write_dump == nullptr) return false;
  return write_dump(request.process,                                // hProcess
                    request.process_id,                             // ProcessId
                    request.file,                                   // hFile
                    static_cast<MINIDUMP_TYPE>(request.dump_type),  // DumpType
                    &exception,                                     // ExceptionParam
                    &streams,                                       // UserStreamParam
                    nullptr) != FALSE;                              // CallbackParam
}

}  // namespace capture
