// A bounded reader of the minidump format: the header and the stream directory are
// checked against the file when it is opened, and each stream is then read on demand,
// with every offset, size and count checked before use. It never reads the dump's
// memory contents, so a full-memory dump of gigabytes costs what a small one does.
//
// Every reader returns false with a one-line reason in `why` when the bytes are not a
// well-formed dump; nothing here trusts a value it has not checked.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "triage/codeview.h"
#include "triage/range_map.h"
#include "triage/range_reader.h"

namespace triage {

// Stream types the tool knows by name.
enum StreamType : std::uint32_t {
  kThreadListStream = 3,
  kModuleListStream = 4,
  kMemoryListStream = 5,
  kExceptionStream = 6,
  kSystemInfoStream = 7,
  kMemory64ListStream = 9,
  kCommentStreamA = 10,
  kMiscInfoStream = 15,
  kThreadNameListStream = 24,
};

struct Location {
  std::uint32_t size = 0;
  std::uint32_t rva = 0;
};

struct StreamEntry {
  std::uint32_t type = 0;
  Location where;
};

struct Header {
  std::uint32_t version = 0;  // low 16 bits: the format's 0xA793
  std::uint32_t stream_count = 0;
  std::uint32_t time_date_stamp = 0;  // seconds since 1970, UTC
  std::uint64_t flags = 0;            // the MINIDUMP_TYPE the writer was given
};

struct SystemInfo {
  std::uint16_t processor_architecture = 0;
  std::uint16_t processor_level = 0;
  std::uint16_t processor_revision = 0;
  std::uint8_t number_of_processors = 0;
  std::uint8_t product_type = 0;
  std::uint32_t major_version = 0;
  std::uint32_t minor_version = 0;
  std::uint32_t build_number = 0;
  std::uint32_t platform_id = 0;
  std::u16string csd_version;  // service pack, or a writer's description of the OS
};

struct ExceptionInfo {
  std::uint32_t thread_id = 0;
  std::uint32_t code = 0;
  std::uint32_t flags = 0;
  std::uint64_t record = 0;
  std::uint64_t address = 0;
  std::vector<std::uint64_t> parameters;  // at most 15, as the format holds
  Location thread_context;
};

// VS_FIXEDFILEINFO as a module entry holds it.
struct FixedFileInfo {
  static constexpr std::uint32_t kSignature = 0xFEEF04BD;
  std::uint32_t signature = 0;
  std::uint32_t struct_version = 0;
  std::uint32_t file_version_ms = 0;
  std::uint32_t file_version_ls = 0;
  std::uint32_t product_version_ms = 0;
  std::uint32_t product_version_ls = 0;
  std::uint32_t file_flags_mask = 0;
  std::uint32_t file_flags = 0;
  std::uint32_t file_os = 0;
  std::uint32_t file_type = 0;
  std::uint32_t file_subtype = 0;
  std::uint32_t file_date_ms = 0;
  std::uint32_t file_date_ls = 0;
  bool Present() const { return signature == kSignature; }
};

struct Module {
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::uint32_t checksum = 0;
  std::uint32_t time_date_stamp = 0;
  std::u16string path;  // as the dump holds it
  FixedFileInfo version;
  Location cv_location;
  std::optional<CodeViewRecord> codeview;
  Location misc_location;
};

struct MemoryDescriptor {
  std::uint64_t start = 0;
  Location where;
};

struct Thread {
  std::uint32_t id = 0;
  std::uint32_t suspend_count = 0;
  std::uint32_t priority_class = 0;
  std::uint32_t priority = 0;
  std::uint64_t teb = 0;
  MemoryDescriptor stack;
  Location context;
};

struct Memory64List {
  std::uint64_t base_rva = 0;  // the first range's bytes; the others follow in order
  struct Range {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
  };
  std::vector<Range> ranges;
};

// What the stack walker reads of a dump's memory: where each thread's stack and context
// lie, and the ranges of the memory list and the memory64 list.
struct MemoryLists {
  std::vector<Thread> threads;
  std::vector<MemoryDescriptor> memory;
  std::optional<Memory64List> memory64;
};

struct MiscInfo {
  std::uint32_t size_of_info = 0;
  std::uint32_t flags1 = 0;
  std::optional<std::uint32_t> process_id;
  std::optional<std::uint32_t> process_create_time;  // seconds since 1970, UTC
};

// The integer registers and the instruction pointer of an x64 thread, indexed as the
// x64 unwind data numbers them: RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8 to R15.
struct Amd64Context {
  static constexpr int kRsp = 4;
  static constexpr int kRbp = 5;
  std::array<std::uint64_t, 16> gpr{};
  std::uint64_t rip = 0;
};

// The integer registers and the instruction pointer of an x86 thread, in the order of
// the x64 unwind data's first eight: EAX, ECX, EDX, EBX, ESP, EBP, ESI, EDI.
struct X86Context {
  static constexpr int kEsp = 4;
  static constexpr int kEbp = 5;
  std::array<std::uint32_t, 8> gpr{};
  std::uint32_t eip = 0;
};

// A name a program gave one of its threads (SetThreadDescription).
struct ThreadName {
  std::uint32_t thread_id = 0;
  std::u16string name;
};

class Minidump {
 public:
  // Limits on what a well-formed dump can hold; anything beyond them is refused rather
  // than read, so that one hostile file cannot take the machine's memory.
  static constexpr std::uint32_t kMaxStreams = 4096;
  static constexpr std::uint32_t kMaxModules = 16384;
  static constexpr std::uint32_t kMaxThreads = 65536;
  static constexpr std::uint32_t kMaxMemoryRanges = 1u << 20;
  static constexpr std::uint32_t kMaxStringBytes = 65534;
  static constexpr std::uint32_t kMaxCommentBytes = 1u << 20;
  static constexpr std::uint32_t kMaxThreadNames = kMaxThreads;

  // Checks the header and the directory: the signature, every stream inside the file,
  // no two streams sharing bytes. Null with a reason when the input is no such dump.
  static std::optional<Minidump> Open(const RangeReader& input, std::string* why);

  const Header& header() const { return header_; }
  const std::vector<StreamEntry>& streams() const { return streams_; }
  // The first stream of the type, or null.
  const StreamEntry* Find(std::uint32_t type) const;

  // Bounded access to a stream's bytes: `offset` and `out.size()` within the stream.
  bool ReadStream(const StreamEntry& stream, std::uint64_t offset, std::span<std::uint8_t> out) const;
  // Bounded access to any location the dump names (a CodeView record, a context).
  bool ReadLocation(Location where, std::span<std::uint8_t> out) const;

  // Each of these reads its stream when present; `*found` tells whether it was.
  bool ReadSystemInfo(std::optional<SystemInfo>* out, std::string* why) const;
  bool ReadException(std::optional<ExceptionInfo>* out, std::string* why) const;
  bool ReadModules(std::vector<Module>* out, std::string* why) const;
  bool ReadThreads(std::vector<Thread>* out, std::string* why) const;
  bool ReadMemoryList(std::vector<MemoryDescriptor>* out, std::string* why) const;
  bool ReadMemory64List(std::optional<Memory64List>* out, std::string* why) const;
  bool ReadMiscInfo(std::optional<MiscInfo>* out, std::string* why) const;
  // The comment stream's text up to its first NUL, at most kMaxCommentBytes of it;
  // `*cut` tells whether it went on beyond that.
  bool ReadComment(std::optional<std::string>* out, bool* cut, std::string* why) const;
  // The thread name list: the names of the threads that have one, as the dump lists them.
  bool ReadThreadNames(std::vector<ThreadName>* out, std::string* why) const;
  // A MINIDUMP_STRING (32-bit byte length, then UTF-16LE) at `rva`.
  bool ReadString(std::uint64_t rva, std::u16string* out, std::string* why) const;

  // Reads the thread list, the memory list and the memory64 list, and checks that every
  // byte range they point at lies in the file: a dump cut short in transfer is told from
  // a whole one here.
  bool ReadMemoryLists(MemoryLists* out, std::string* why) const;

  // Bytes of the file at a 64-bit offset, as the memory64 list points at them.
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const { return input_->Read(offset, out); }
  // An x64 CONTEXT at `where`: false unless it holds the integer registers and RIP.
  bool ReadAmd64Context(Location where, Amd64Context* out) const;
  // An x86 CONTEXT at `where`: false unless it holds the integer registers and EIP.
  bool ReadX86Context(Location where, X86Context* out) const;

 private:
  explicit Minidump(const RangeReader& input) : input_(&input) {}
  // Reads the element count of a list stream and where its entries start, allowing
  // the 4 or 8 bytes of padding some writers put after the count.
  bool ListLayout(const StreamEntry& stream, std::uint32_t entry_size, std::uint32_t limit,
                  const char* what, std::uint32_t* count, std::uint32_t* first,
                  std::string* why) const;
  // Reads the list stream of `type` (none: an empty list) and decodes each entry.
  template <typename T, typename Decode>
  bool ReadList(std::uint32_t type, std::uint32_t entry_size, std::uint32_t limit, const char* what,
                std::vector<T>* out, std::string* why, Decode decode) const;
  // Reads the first N bytes of the stream of `type` (none: `out` stays empty), which
  // must hold them, and decodes them.
  template <std::size_t N, typename T, typename Decode>
  bool ReadFixed(std::uint32_t type, const char* what, std::optional<T>* out, std::string* why,
                 Decode decode) const;

  const RangeReader* input_;
  Header header_;
  std::vector<StreamEntry> streams_;
};

// Bounded reads of a crashed process's memory by address.
class ProcessMemory {
 public:
  virtual ~ProcessMemory() = default;
  // Fills `out` with the bytes at `address`; false unless all of them are held.
  virtual bool Read(std::uint64_t address, std::span<std::uint8_t> out) const = 0;
};

// The process memory a dump holds, by address: the ranges of its memory list and its
// memory64 list. A read never spans two ranges, so what the dump does not hold is never
// made up from neighbouring bytes.
class DumpMemory final : public ProcessMemory {
 public:
  // The ranges of `lists`, as `dump`'s ReadMemoryLists gave them.
  void Load(const Minidump& dump, const MemoryLists& lists);
  bool Read(std::uint64_t address, std::span<std::uint8_t> out) const override;
  // The end of the range holding `address`, or null when the dump holds no byte there.
  std::optional<std::uint64_t> EndOf(std::uint64_t address) const;

 private:
  struct Range {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;  // in the file
    friend Span Extent(const Range& r) { return SpanOf(r.start, r.size); }
  };
  const Minidump* dump_ = nullptr;
  RangeMap<Range> ranges_;
};

}  // namespace triage
