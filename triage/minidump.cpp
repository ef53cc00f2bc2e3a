#include "triage/minidump.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/little_endian.h"
#include "triage/text.h"

namespace triage {

using common::Le16;
using common::Le32;
using common::Le64;
namespace {

constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr std::uint32_t kFormatVersion = 0xA793;
constexpr std::uint32_t kHeaderSize = 32;
constexpr std::uint32_t kDirectoryEntrySize = 12;
constexpr std::uint32_t kModuleSize = 108;
constexpr std::uint32_t kThreadSize = 48;
constexpr std::uint32_t kMemoryDescriptorSize = 16;
constexpr std::uint32_t kExceptionStreamSize = 168;
constexpr std::uint32_t kSystemInfoSize = 56;
constexpr std::uint32_t kMiscInfoSize = 24;
constexpr std::uint32_t kMaxExceptionParameters = 15;

Location LocationAt(const std::uint8_t* p) { return {Le32(p), Le32(p + 4)}; }

bool Fail(std::string* why, std::string reason) {
  *why = std::move(reason);
  return false;
}

FixedFileInfo FixedFileInfoAt(const std::uint8_t* p) {
  FixedFileInfo v;
  std::uint32_t* fields[] = {&v.signature,          &v.struct_version,     &v.file_version_ms,
                             &v.file_version_ls,    &v.product_version_ms, &v.product_version_ls,
                             &v.file_flags_mask,    &v.file_flags,         &v.file_os,
                             &v.file_type,          &v.file_subtype,       &v.file_date_ms,
                             &v.file_date_ls};
  for (std::uint32_t* field : fields) {
    *field = Le32(p);
    p += 4;
  }
  return v;
}

}  // namespace

std::optional<Minidump> Minidump::Open(const RangeReader& input, std::string* why) {
  const std::uint64_t file_size = input.Size();
  if (file_size == 0) {
    *why = "empty file";
    return std::nullopt;
  }
  std::array<std::uint8_t, kHeaderSize> h{};
  if (file_size < kHeaderSize || !input.Read(0, h)) {
    *why = fmt::format("too short for a minidump header ({} bytes)", file_size);
    return std::nullopt;
  }
  if (Le32(h.data()) != kSignature) {
    *why = "not a minidump (no MDMP signature)";
    return std::nullopt;
  }
  Minidump dump(input);
  dump.header_.version = Le32(h.data() + 4);
  dump.header_.stream_count = Le32(h.data() + 8);
  const std::uint32_t directory_rva = Le32(h.data() + 12);
  dump.header_.time_date_stamp = Le32(h.data() + 20);
  dump.header_.flags = Le64(h.data() + 24);
  if ((dump.header_.version & 0xFFFF) != kFormatVersion) {
    *why = fmt::format("unknown minidump format version 0x{:04X}", dump.header_.version & 0xFFFF);
    return std::nullopt;
  }
  const std::uint32_t count = dump.header_.stream_count;
  if (count > kMaxStreams) {
    *why = fmt::format("absurd stream count {}", count);
    return std::nullopt;
  }
  const std::uint64_t directory_size = std::uint64_t{count} * kDirectoryEntrySize;
  if (!Fits(directory_rva, directory_size, file_size)) {
    *why = fmt::format("stream directory ({} entries at 0x{:X}) runs past the end of the file ({} bytes)", count,
                       directory_rva, file_size);
    return std::nullopt;
  }
  std::vector<std::uint8_t> directory(directory_size);
  if (!input.Read(directory_rva, directory)) {
    *why = "cannot read the stream directory";
    return std::nullopt;
  }
  // Byte ranges in use, to find streams that share bytes with each other or with the
  // header and the directory: no writer lays out a dump that way.
  struct Span {
    std::uint64_t start, end;
    std::int64_t stream;  // -1 for the header and directory
  };
  std::vector<Span> spans{{0, kHeaderSize, -1}};
  if (directory_size > 0) spans.push_back({directory_rva, directory_rva + directory_size, -1});
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* e = directory.data() + std::size_t{i} * kDirectoryEntrySize;
    StreamEntry entry{Le32(e), LocationAt(e + 4)};
    dump.streams_.push_back(entry);
    if (entry.where.size == 0) continue;
    if (!Fits(entry.where.rva, entry.where.size, file_size)) {
      *why = fmt::format("stream {} (type {}) runs past the end of the file (0x{:X} + {} > {})", i,
                    entry.type, entry.where.rva, entry.where.size, file_size);
      return std::nullopt;
    }
    spans.push_back({entry.where.rva, std::uint64_t{entry.where.rva} + entry.where.size, i});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].start < spans[i - 1].end) {
      const std::int64_t a = spans[i - 1].stream;
      const std::int64_t b = spans[i].stream;
      if (a < 0 || b < 0) {
        *why = fmt::format("stream {} overlaps the header or the stream directory", a < 0 ? b : a);
      } else {
        *why = fmt::format("streams {} and {} overlap", std::min(a, b), std::max(a, b));
      }
      return std::nullopt;
    }
  }
  return dump;
}

const StreamEntry* Minidump::Find(std::uint32_t type) const {
  for (const StreamEntry& s : streams_) {
    if (s.type == type) return &s;
  }
  return nullptr;
}

bool Minidump::ReadStream(const StreamEntry& stream, std::uint64_t offset,
                          std::span<std::uint8_t> out) const {
  return Fits(offset, out.size(), stream.where.size) && input_->Read(stream.where.rva + offset, out);
}

bool Minidump::ReadLocation(Location where, std::span<std::uint8_t> out) const {
  return out.size() <= where.size && input_->Read(where.rva, out);
}

bool Minidump::ReadString(std::uint64_t rva, std::u16string* out, std::string* why) const {
  std::array<std::uint8_t, 4> length_bytes{};
  if (!input_->Read(rva, length_bytes)) return Fail(why, fmt::format("string at 0x{:X} lies past the end of the file", rva));
  const std::uint32_t length = Le32(length_bytes.data());
  if (length > kMaxStringBytes) return Fail(why, fmt::format("string at 0x{:X} claims {} bytes", rva, length));
  std::vector<std::uint8_t> bytes(length & ~1u);
  if (!input_->Read(std::uint64_t{rva} + 4, bytes)) {
    return Fail(why, fmt::format("string at 0x{:X} ({} bytes) runs past the end of the file", rva, length));
  }
  out->clear();
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) out->push_back(static_cast<char16_t>(Le16(&bytes[i])));
  return true;
}

bool Minidump::ListLayout(const StreamEntry& stream, std::uint32_t entry_size, std::uint32_t limit,
                          const char* what, std::uint32_t* count, std::uint32_t* first,
                          std::string* why) const {
  std::array<std::uint8_t, 4> c{};
  if (!ReadStream(stream, 0, c)) return Fail(why, fmt::format("{} is too short for its count", what));
  *count = Le32(c.data());
  if (*count > limit) return Fail(why, fmt::format("{}: absurd count {}", what, *count));
  const std::uint64_t entries = std::uint64_t{*count} * entry_size;
  if (stream.where.size == entries + 8) {
    *first = 8;
  } else if (entries + 4 <= stream.where.size) {
    *first = 4;
  } else {
    return Fail(why, fmt::format("{}: {} entries do not fit its {} bytes", what, *count, stream.where.size));
  }
  return true;
}

template <std::size_t N, typename T, typename Decode>
bool Minidump::ReadFixed(std::uint32_t type, const char* what, std::optional<T>* out, std::string* why,
                         Decode decode) const {
  out->reset();
  const StreamEntry* s = Find(type);
  if (s == nullptr) return true;
  std::array<std::uint8_t, N> b{};
  if (!ReadStream(*s, 0, b)) return Fail(why, fmt::format("{} stream is too short ({} bytes)", what, s->where.size));
  T value;
  if (!decode(b, &value)) return false;
  *out = std::move(value);
  return true;
}

bool Minidump::ReadSystemInfo(std::optional<SystemInfo>* out, std::string* why) const {
  return ReadFixed<kSystemInfoSize>(kSystemInfoStream, "system info", out, why, [&](const auto& b, SystemInfo* info) {
    info->processor_architecture = Le16(&b[0]);
    info->processor_level = Le16(&b[2]);
    info->processor_revision = Le16(&b[4]);
    info->number_of_processors = b[6];
    info->product_type = b[7];
    info->major_version = Le32(&b[8]);
    info->minor_version = Le32(&b[12]);
    info->build_number = Le32(&b[16]);
    info->platform_id = Le32(&b[20]);
    const std::uint32_t csd = Le32(&b[24]);
    if (csd != 0 && !ReadString(csd, &info->csd_version, why)) {
      *why = "system info: " + *why;
      return false;
    }
    return true;
  });
}

bool Minidump::ReadException(std::optional<ExceptionInfo>* out, std::string* why) const {
  return ReadFixed<kExceptionStreamSize>(kExceptionStream, "exception", out, why, [&](const auto& b, ExceptionInfo* e) {
    e->thread_id = Le32(&b[0]);
    e->code = Le32(&b[8]);
    e->flags = Le32(&b[12]);
    e->record = Le64(&b[16]);
    e->address = Le64(&b[24]);
    const std::uint32_t parameters = Le32(&b[32]);
    if (parameters > kMaxExceptionParameters) {
      return Fail(why, fmt::format("exception record claims {} parameters (the format holds 15)", parameters));
    }
    for (std::uint32_t i = 0; i < parameters; ++i) e->parameters.push_back(Le64(&b[40 + 8 * i]));
    e->thread_context = LocationAt(&b[160]);
    if (e->thread_context.size != 0 && !Fits(e->thread_context.rva, e->thread_context.size, input_->Size())) {
      return Fail(why, fmt::format("exception: the thread context at 0x{:X} ({} bytes) lies past the end of the file",
                              e->thread_context.rva, e->thread_context.size));
    }
    return true;
  });
}

template <typename T, typename Decode>
bool Minidump::ReadList(std::uint32_t type, std::uint32_t entry_size, std::uint32_t limit, const char* what,
                        std::vector<T>* out, std::string* why, Decode decode) const {
  out->clear();
  const StreamEntry* s = Find(type);
  if (s == nullptr) return true;
  std::uint32_t count = 0;
  std::uint32_t first = 0;
  if (!ListLayout(*s, entry_size, limit, what, &count, &first, why)) return false;
  std::vector<std::uint8_t> entries(std::size_t{count} * entry_size);
  if (!ReadStream(*s, first, entries)) return Fail(why, fmt::format("cannot read the {}", what));
  out->resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!decode(entries.data() + std::size_t{i} * entry_size, i, &(*out)[i])) return false;
  }
  return true;
}

bool Minidump::ReadModules(std::vector<Module>* out, std::string* why) const {
  const std::uint64_t file_size = input_->Size();
  return ReadList(kModuleListStream, kModuleSize, kMaxModules, "module list", out, why,
                  [&](const std::uint8_t* m, std::uint32_t i, Module* module) {
    module->base = Le64(m);
    module->size = Le32(m + 8);
    module->checksum = Le32(m + 12);
    module->time_date_stamp = Le32(m + 16);
    if (!ReadString(Le32(m + 20), &module->path, why)) {
      *why = fmt::format("module {}: name: ", i) + *why;
      return false;
    }
    module->version = FixedFileInfoAt(m + 24);
    module->cv_location = LocationAt(m + 76);
    module->misc_location = LocationAt(m + 84);
    for (const Location& where : {module->cv_location, module->misc_location}) {
      if (where.size != 0 && !Fits(where.rva, where.size, file_size)) {
        return Fail(why, fmt::format("module {}: a record at 0x{:X} ({} bytes) runs past the end of the file",
                                i, where.rva, where.size));
      }
    }
    if (module->cv_location.size < 4) return true;
    std::vector<std::uint8_t> cv(std::min(module->cv_location.size, kMaxCodeViewBytes));
    if (!ReadLocation(module->cv_location, cv)) return Fail(why, fmt::format("module {}: cannot read its CodeView record", i));
    module->codeview = ParseCodeView(cv);
    return true;
  });
}

bool Minidump::ReadThreadNames(std::vector<ThreadName>* out, std::string* why) const {
  // Each entry is a thread id and the 64-bit position of its name, packed to 12 bytes.
  return ReadList(kThreadNameListStream, 12, kMaxThreadNames, "thread name list", out, why,
                  [&](const std::uint8_t* e, std::uint32_t i, ThreadName* name) {
    name->thread_id = Le32(e);
    if (!ReadString(Le64(e + 4), &name->name, why)) {
      *why = fmt::format("thread name {}: ", i) + *why;
      return false;
    }
    return true;
  });
}

bool Minidump::ReadThreads(std::vector<Thread>* out, std::string* why) const {
  return ReadList(kThreadListStream, kThreadSize, kMaxThreads, "thread list", out, why,
                  [](const std::uint8_t* t, std::uint32_t, Thread* thread) {
    *thread = {Le32(t), Le32(t + 4), Le32(t + 8), Le32(t + 12), Le64(t + 16),
               {Le64(t + 24), LocationAt(t + 32)}, LocationAt(t + 40)};
    return true;
  });
}

bool Minidump::ReadMemoryList(std::vector<MemoryDescriptor>* out, std::string* why) const {
  return ReadList(kMemoryListStream, kMemoryDescriptorSize, kMaxMemoryRanges, "memory list", out, why,
                  [](const std::uint8_t* d, std::uint32_t, MemoryDescriptor* memory) {
    *memory = {Le64(d), LocationAt(d + 8)};
    return true;
  });
}

bool Minidump::ReadMemory64List(std::optional<Memory64List>* out, std::string* why) const {
  out->reset();
  const StreamEntry* s = Find(kMemory64ListStream);
  if (s == nullptr) return true;
  std::array<std::uint8_t, 16> head{};
  if (!ReadStream(*s, 0, head)) return Fail(why, "memory64 list is too short for its count");
  const std::uint64_t count = Le64(head.data());
  if (count > kMaxMemoryRanges) return Fail(why, fmt::format("memory64 list: absurd count {}", count));
  if (16 + count * 16 > s->where.size) {
    return Fail(why, fmt::format("memory64 list: {} entries do not fit its {} bytes", count, s->where.size));
  }
  Memory64List list;
  list.base_rva = Le64(head.data() + 8);
  std::vector<std::uint8_t> entries(static_cast<std::size_t>(count) * 16);
  if (!ReadStream(*s, 16, entries)) return Fail(why, "cannot read the memory64 list");
  list.ranges.reserve(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < count; ++i) list.ranges.push_back({Le64(&entries[i * 16]), Le64(&entries[i * 16 + 8])});
  *out = std::move(list);
  return true;
}

bool Minidump::ReadMiscInfo(std::optional<MiscInfo>* out, std::string* why) const {
  return ReadFixed<kMiscInfoSize>(kMiscInfoStream, "misc info", out, why, [](const auto& b, MiscInfo* info) {
    info->size_of_info = Le32(&b[0]);
    info->flags1 = Le32(&b[4]);
    if (info->flags1 & 1) info->process_id = Le32(&b[8]);
    if (info->flags1 & 2) info->process_create_time = Le32(&b[12]);
    return true;
  });
}

bool Minidump::ReadComment(std::optional<std::string>* out, bool* cut, std::string* why) const {
  out->reset();
  *cut = false;
  const StreamEntry* s = Find(kCommentStreamA);
  if (s == nullptr) return true;
  const std::uint32_t length = std::min(s->where.size, kMaxCommentBytes);
  std::string text(length, '\0');
  if (!ReadStream(*s, 0, std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()))) {
    return Fail(why, "cannot read the comment stream");
  }
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    text.resize(nul);
  } else {
    *cut = s->where.size > kMaxCommentBytes;
  }
  *out = std::move(text);
  return true;
}

bool Minidump::ReadMemoryLists(MemoryLists* out, std::string* why) const {
  const std::uint64_t file_size = input_->Size();
  // The description is made only for the range that fails: a dump lists thousands.
  auto cut_short = [&](Location where, const std::string& what) {
    return Fail(why, fmt::format("cut short: {} at 0x{:X} ({} bytes) lies past the end of the file ({} bytes)", what,
                                 where.rva, where.size, file_size));
  };
  if (!ReadThreads(&out->threads, why)) return false;
  for (const Thread& t : out->threads) {
    if (!Fits(t.stack.where.rva, t.stack.where.size, file_size)) {
      return cut_short(t.stack.where, fmt::format("the stack of thread {}", t.id));
    }
    if (!Fits(t.context.rva, t.context.size, file_size)) {
      return cut_short(t.context, fmt::format("the context of thread {}", t.id));
    }
  }
  if (!ReadMemoryList(&out->memory, why)) return false;
  for (const MemoryDescriptor& m : out->memory) {
    if (!Fits(m.where.rva, m.where.size, file_size)) {
      return cut_short(m.where, fmt::format("memory of 0x{:016X}", m.start));
    }
  }
  if (!ReadMemory64List(&out->memory64, why)) return false;
  if (out->memory64) {
    std::uint64_t end = out->memory64->base_rva;
    for (const Memory64List::Range& r : out->memory64->ranges) {
      if (r.size > UINT64_MAX - end) return Fail(why, "memory64 list: sizes overflow");
      end += r.size;
    }
    if (end > file_size) {
      return Fail(why, fmt::format("cut short: the memory64 list's bytes end at {}, the file at {}",
                              end, file_size));
    }
  }
  return true;
}

bool Minidump::ReadAmd64Context(Location where, Amd64Context* out) const {
  constexpr std::uint32_t kRax = 0x78, kRip = 0xF8;
  std::array<std::uint8_t, kRip + 8> b{};
  if (!ReadLocation(where, b)) return false;
  for (int i = 0; i < 16; ++i) out->gpr[static_cast<std::size_t>(i)] = Le64(&b[kRax + 8 * static_cast<std::size_t>(i)]);
  out->rip = Le64(&b[kRip]);
  return true;
}

bool Minidump::ReadX86Context(Location where, X86Context* out) const {
  // CONTEXT_i386: flags, six debug registers and the 112-byte float save area come first.
  constexpr std::uint32_t kEdi = 0x9C, kEbp = 0xB4, kEip = 0xB8, kEsp = 0xC4;
  std::array<std::uint8_t, kEsp + 4> b{};
  if (!ReadLocation(where, b)) return false;
  // EDI, ESI, EBX, EDX, ECX, EAX lie in that order from 0x9C: the reverse of ours.
  constexpr int kOrder[] = {7, 6, 3, 2, 1, 0};
  for (std::size_t i = 0; i < std::size(kOrder); ++i) out->gpr[static_cast<std::size_t>(kOrder[i])] = Le32(&b[kEdi + 4 * i]);
  out->gpr[X86Context::kEbp] = Le32(&b[kEbp]);
  out->gpr[X86Context::kEsp] = Le32(&b[kEsp]);
  out->eip = Le32(&b[kEip]);
  return true;
}

void DumpMemory::Load(const Minidump& dump, const MemoryLists& lists) {
  dump_ = &dump;
  std::vector<Range> ranges;
  for (const MemoryDescriptor& m : lists.memory) ranges.push_back({m.start, m.where.size, m.where.rva});
  // Writers list each thread's stack in the memory list too; a dump that does not still
  // holds the stacks through the thread list.
  for (const Thread& t : lists.threads) ranges.push_back({t.stack.start, t.stack.where.size, t.stack.where.rva});
  if (lists.memory64) {
    std::uint64_t offset = lists.memory64->base_rva;
    for (const Memory64List::Range& r : lists.memory64->ranges) {
      ranges.push_back({r.start, r.size, offset});
      offset += r.size;  // ReadMemoryLists checked that the sizes add up within the file
    }
  }
  ranges_ = RangeMap<Range>(std::move(ranges));
}

bool DumpMemory::Read(std::uint64_t address, std::span<std::uint8_t> out) const {
  const Range* r = ranges_.Holding(address);
  if (r == nullptr || !Fits(address - r->start, out.size(), r->size)) return false;
  return dump_->ReadAt(r->offset + (address - r->start), out);
}

std::optional<std::uint64_t> DumpMemory::EndOf(std::uint64_t address) const {
  const Range* r = ranges_.Holding(address);
  if (r == nullptr) return std::nullopt;
  return r->start + r->size;
}

}  // namespace triage
