// The ports of ports.h over the wide Windows API: each method one thin call (the version
// port one question). Declares the classes only, so that code without windows.h can make
// them; ports_win.cpp holds the calls, in the order of ports.h.
#pragma once

#include "capture/ports.h"

namespace capture {

class WinProcessPort final : public ProcessPort {
 public:
  bool ImagePath(Handle process, char16_t* buffer, std::size_t capacity) override;
  bool ReadMemory(Handle process, std::uint64_t address, void* dest, std::size_t size,
                  std::size_t* bytes_read) override;
  std::uint32_t ProcessId(Handle process) override;
  std::uint32_t ThreadId(Handle thread) override;
};

class WinModulePort final : public ModulePort {
 public:
  Handle OpenSnapshot(std::uint32_t process_id) override;
  bool FirstModule(Handle snapshot, ModuleEntry* entry) override;
  bool NextModule(Handle snapshot, ModuleEntry* entry) override;
};

class WinFolderPort final : public FolderPort {
 public:
  FolderResult CreateFolder(const char16_t* path) override;
  ReparseState Reparse(const char16_t* path) override;
  Handle FindFirst(const char16_t* pattern, FolderEntry* entry) override;
  bool FindNext(Handle find, FolderEntry* entry) override;
  void CloseFind(Handle find) override;
};

class WinLibraryPort final : public LibraryPort {
 public:
  bool SearchFlagsKnown() override;
  Handle LoadFromSystemFolder(const char16_t* name) override;
  bool SystemFolder(char16_t* buffer, std::size_t capacity) override;
  Handle LoadFullPath(const char16_t* path) override;
  void Free(Handle library) override;
};

class WinVersionPort final : public VersionPort {
 public:
  bool RootBlock(Handle version_dll, const char16_t* path,
                 unsigned char (&info)[kFixedFileInfoSize], std::uint32_t* length) override;
};

class WinSettingsPort final : public SettingsPort {
 public:
  void ProfileString(const char16_t* section, const char16_t* key, const char16_t* default_value,
                     char16_t* buffer, std::size_t capacity, const char16_t* path) override;
};

class WinClockPort final : public ClockPort {
 public:
  CalendarTime UtcNow() override;
  bool ZoneAt(Handle advapi32, std::uint32_t index, TimeZoneEntry* entry) override;
  bool ZoneLocalTime(const TimeZoneEntry& zone, const CalendarTime& utc,
                     CalendarTime* local) override;
  CalendarTime LocalNow() override;
  void Sleep(std::uint32_t milliseconds) override;
};

class WinFilePort final : public FilePort {
 public:
  bool Delete(const char16_t* path) override;
  Handle CreateNew(const char16_t* path) override;
  bool Write(Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override;
  bool Flush(Handle file) override;
  bool Size(Handle file, std::uint64_t* size) override;
  bool MoveReplacing(const char16_t* from, const char16_t* to) override;
  PathKind Kind(const char16_t* path) override;
};

class WinDumpWriterPort final : public DumpWriterPort {
 public:
  bool WriteDump(Handle dbghelp, const DumpRequest& request) override;
};

class WinProcessStartPort final : public ProcessStartPort {
 public:
  bool Start(const char16_t* application, char16_t* command_line, const char16_t* current_dir,
             StartedProcess* started) override;
};

class WinHandlePort final : public HandlePort {
 public:
  void Close(Handle handle) override;
};

class WinSystemPort final : public SystemPort {
 public:
  std::uint32_t LastError() override;
  bool WindowsBuild(std::uint32_t* build) override;
};

// The whole platform, as the module hands it to the capture.
struct WinPorts {
  WinProcessPort process;
  WinModulePort modules;
  WinFolderPort folders;
  WinLibraryPort libraries;
  WinVersionPort version;
  WinSettingsPort settings;
  WinClockPort clock;
  WinFilePort files;
  WinDumpWriterPort dumps;
  WinProcessStartPort starter;
  WinHandlePort handles;
  WinSystemPort system;

  CapturePorts Ports() {
    return {process, modules, folders, libraries, version, settings,
            clock,   files,   dumps,   starter,   handles, system};
  }
};

}  // namespace capture
