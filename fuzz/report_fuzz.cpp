// The crash report composition over arbitrary client texts (passed through the block
// read, as a capture does), fault module names, exception values, module snapshots of up
// to 255 entries with names up to 300 units, and any report capacity. The text is
// compared with the lines written out again here, cut at capacity - 1 bytes; whatever
// the inputs, it is terminated within the buffer, at most 65535 bytes long, starts with
// "crash.schema=2\r\n", lists at most 128 modules, and the snapshot is closed.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "capture/advice.h"
#include "capture/context_block_read.h"
#include "capture/report.h"
#include "fakes/fake_platform.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kGuardBytes = 64;
constexpr char kGuard = static_cast<char>(0xA5);

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char text[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

// `count` units of `pattern` repeated, into `field` (no terminator of its own).
template <std::size_t N>
void Tile(char16_t (&field)[N], const std::u16string& pattern, std::size_t count) {
  if (pattern.empty()) return;
  for (std::size_t i = 0; i < count && i < N; ++i) field[i] = pattern[i % pattern.size()];
}

template <std::size_t N>
std::u16string FieldText(const char16_t (&field)[N]) {
  return fuzz::UpToNul(std::u16string(field, N));
}

// Lines of `text` that start with `key`.
std::size_t CountLines(const std::string& text, const std::string& key) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size();) {
    if (text.compare(at, key.size(), key) == 0) ++count;
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.Byte();
  const bool with_block = (flags & 0x01) != 0;
  const bool no_process = (flags & 0x02) != 0;
  const bool no_process_id = (flags & 0x04) != 0;
  const bool open_fails = (flags & 0x08) != 0;
  const bool first_fails = (flags & 0x10) != 0;
  const bool no_fault_module = (flags & 0x20) != 0;
  const std::uint16_t capacity_raw = in.U16();
  const std::size_t capacity = (flags & 0x40) ? capacity_raw : capture::kReportCapacity;
  const std::uint32_t code = in.U32();
  const std::uint64_t address = in.U64();
  const std::uint32_t thread_id = in.U32();
  const std::u16string fault_module = in.Text16();
  const std::size_t text1_units = in.U16();
  const std::u16string text1_pattern = in.Text16();
  const std::size_t text2_units = in.U16();
  const std::u16string text2_pattern = in.Text16();
  const std::size_t module_count = in.Byte();
  std::vector<std::u16string> names(1 + in.Byte() % 8);
  for (std::u16string& name : names) {
    // A file name holds no control unit, so a module line is always one line.
    std::u16string piece = in.Text16();
    for (char16_t& u : piece) {
      if (u >= 0x01 && u < 0x20) u = u'_';
    }
    const std::size_t repeat = 1 + in.Byte() % 16;
    for (std::size_t i = 0; i < repeat && name.size() < 300; ++i) name += piece;
  }

  fakes::FakePlatform fake;
  fake.thread_id = thread_id;
  if (no_process_id) fake.process_id = 0;
  if (open_fails) fake.faults.FailEveryCall("CreateToolhelp32Snapshot");
  if (first_fails) fake.faults.FailEveryCall("Module32FirstW");
  for (std::size_t i = 0; i < module_count; ++i) {
    fake.modules.push_back({0x10000 * i, 0x1000, names[i % names.size()]});
  }

  // The client's block as it lies in the client, read back as the capture reads it.
  auto written = std::make_unique<CrashContextBlock>();
  std::memset(written.get(), 0, sizeof(CrashContextBlock));
  written->size = CRASH_CONTEXT_BLOCK_SIZE;
  written->version = CRASH_CONTEXT_BLOCK_VERSION;
  Tile(written->reportText1, text1_pattern, text1_units);
  Tile(written->reportText2, text2_pattern, text2_units);
  fake.memory.resize(sizeof(CrashContextBlock));
  std::memcpy(fake.memory.data(), written.get(), sizeof(CrashContextBlock));
  auto block = std::make_unique<CrashContextBlock>();
  std::memset(block.get(), 0, sizeof(CrashContextBlock));
  const bool read = with_block && capture::ReadContextBlock(fake, reinterpret_cast<capture::Handle>(0x44),
                                                            fake.memory_base, block.get());
  fuzz::Check(read == with_block);

  capture::CrashInfo info;
  info.process = no_process ? nullptr : reinterpret_cast<capture::Handle>(0x44);
  info.thread = reinterpret_cast<capture::Handle>(0x48);
  info.code = code;
  info.address = address;

  const std::u16string fault_name = fuzz::UpToNul(fault_module);
  const char16_t* fault_arg = no_fault_module ? nullptr : fault_name.c_str();

  std::vector<char> buffer(kGuardBytes + capture::kReportCapacity + kGuardBytes, kGuard);
  char* report = buffer.data() + kGuardBytes;
  capture::ComposeReport(fake.Ports(), info, read ? block.get() : nullptr, fault_arg, report, capacity);

  for (std::size_t i = 0; i < kGuardBytes; ++i) fuzz::Check(buffer[i] == kGuard);
  for (std::size_t i = kGuardBytes + capacity; i < buffer.size(); ++i) fuzz::Check(buffer[i] == kGuard);
  fuzz::Check(fake.OpenHandles() == 0 && fake.handle_misuses == 0);
  if (capacity == 0) return 0;

  const void* nul = std::memchr(report, '\0', capacity);
  fuzz::Check(nul != nullptr);
  const std::string text(report, static_cast<std::size_t>(static_cast<const char*>(nul) - report));
  fuzz::Check(text.size() <= capture::kReportCapacity - 1 && text.size() <= capacity - 1);
  if (capacity > 16) fuzz::Check(text.compare(0, 16, "crash.schema=2\r\n") == 0);

  // The report written out once more, line by line.
  const std::string module_utf8 = no_fault_module ? "" : fuzz::Utf8Prefix(fault_name, 259);
  const char16_t* advice = capture::FaultAdvice(fault_arg);
  const std::string advice_utf8 = fuzz::Utf8Prefix(advice, 1023);
  std::string want = "crash.schema=2\r\nprimary.captured=true\r\nprimary.source=wer-out-of-process\r\n"
                     "primary.synthetic=false\r\n";
  want += Printf("primary.code=0x%08X\r\n", code);
  want += Printf("primary.address=0x%016llX\r\n", static_cast<unsigned long long>(address));
  want += Printf("primary.thread=%u\r\n", thread_id);
  want += "secondary.count=0\r\n";
  want += "fault.module=" + (module_utf8.empty() ? std::string("unknown") : module_utf8) + "\r\n";
  want += "fault.advice=" + (advice_utf8.empty() ? std::string("none") : advice_utf8) + "\r\n";
  if (read) {
    want += fuzz::Utf8Prefix(FieldText(block->reportText1), 8191);
    want += fuzz::Utf8Prefix(FieldText(block->reportText2), 49151);
  }
  const std::size_t before_modules = want.size();
  if (!no_process && !no_process_id && !open_fails && !first_fails) {
    for (std::size_t i = 0; i < module_count && i < 128; ++i) {
      const std::u16string name = fuzz::UpToNul(fake.modules[i].name.substr(0, 255));
      want += Printf("runtime.module.%zu=", i) + fuzz::Utf8Prefix(name, 259) + "\r\n";
    }
  }
  if (want.size() > capacity - 1) want.resize(capacity - 1);
  fuzz::Check(text == want);
  if (text.size() > before_modules) {
    fuzz::Check(CountLines(text.substr(before_modules), "runtime.module.") <= 128);
  }
  return 0;
}
