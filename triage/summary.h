// One dump, summed up: what the file name says, the system, the exception and the
// module it hit, the embedded report, the module list, from the reader; the stacks, from
// one call of the stack module. Knows nothing of buckets or output formats.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "triage/range_reader.h"
#include "triage/stack.h"
#include "triage/text.h"

namespace triage {

// What a file name of the capture's form Client[_Dev]_<version>_<date>_<time>[_<tag>]_<language>.dmp says.
struct DumpName {
  bool development = false;
  std::string version;
  std::string time;  // yyyy-mm-ddThh:mm:ss, Central European time as in the name
  std::optional<std::string> tag;
  std::string language;
};

// Null for any name not of that form.
std::optional<DumpName> ParseDumpName(std::string_view file_name);

struct Summary {
  std::string file;  // the path as found, UTF-8
  bool readable = false;
  std::string error;  // one line, when not readable

  struct System {
    std::optional<std::string> os, os_version, arch;
  };
  std::optional<System> system;
  std::optional<DumpName> name;
  std::optional<std::string> client_version;

  struct Exception {
    std::uint32_t code = 0;
    std::optional<std::string> name;
    std::uint64_t address = 0;
    std::uint32_t thread = 0;
    std::optional<std::string> thread_name;  // as the program named it
    std::optional<std::string> access;
    std::optional<std::uint64_t> target;
  };
  std::optional<Exception> exception;

  struct Fault {
    std::optional<std::string> module;
    std::optional<std::uint64_t> offset;
    std::optional<std::string> module_version;          // its file version
    std::optional<std::string> module_product_version;  // and its product version
  };
  std::optional<Fault> fault;  // present with the exception

  struct Report {
    std::vector<std::pair<std::string, std::string>> fields;  // first of each key, in order
    std::vector<std::string> client_text;  // the client's own lines, between advice and modules
    std::size_t lines = 0;
    bool cut = false;  // longer than the reader takes
  };
  std::optional<Report> report;
  std::optional<std::string> advice;

  struct ModuleRow {
    std::string name, path;
    std::uint64_t base = 0;
    std::uint32_t size = 0;
    std::uint32_t time_date_stamp = 0;  // with the size, which build it is (not in the outputs)
    std::optional<std::string> version;          // the file version
    std::optional<std::string> product_version;  // 10.0.x where Windows' own DLLs say 6.2.x as file version
  };
  std::vector<ModuleRow> modules;

  std::optional<std::string> dump_time;  // the header's time stamp, UTC
  std::optional<std::string> time;       // when it crashed: the name's time, else the dump's, CE time
  std::optional<std::string> time_source;  // "name" or "dump"
  std::optional<std::uint32_t> process_id;
  std::size_t thread_count = 0;

  // The crashing thread's stack, frame 0 first: x86 and x64 Windows dumps with the
  // exception's context.
  std::vector<NamedFrame> stack;
  std::optional<std::vector<ThreadStack>> thread_stacks;  // every thread's, when asked for

  std::optional<std::string> bucket;  // set by the bucketing stage

  // Over a crash history: the content's SHA-256 and how many files held it.
  std::optional<std::string> sha256;
  std::optional<std::size_t> copies;
};

// A report field that names a loaded module ("runtime.module.N"): the module list again.
inline bool IsModuleField(const std::string& key) { return key.rfind("runtime.module.", 0) == 0; }

// Reads one dump. `file` is the path to report, `file_name` its last component. Never
// fails: an unreadable dump gives readable false and the reason.
Summary Summarize(const RangeReader& input, std::string file, std::string_view file_name,
                  const StackOptions& options = {});

// A summary of a file that could not even be opened.
Summary Unreadable(std::string file, std::string_view file_name, std::string why);

}  // namespace triage
