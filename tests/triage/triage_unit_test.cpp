// The rules crash-triage applies that no independent reader checks: what a dump's file
// name says, the Central European time of a dump's own time stamp, the bucket key, how
// versions order, the unwind codes our fixtures' compilers never emit, and which module
// files stay open. The reader and the walker are checked against obj2yaml, lldb and the
// fuzzers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "capture/dump_name.h"
#include "triage/buckets.h"
#include "triage/frame.h"
#include "triage/pe_image.h"
#include "triage/render.h"
#include "triage/stack.h"
#include "triage/summary.h"
#include "triage/symbols.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace triage {
namespace {

TEST(DumpName, ReadsTheCapturesForms) {
  auto name = ParseDumpName("Client_Dev_10.1.0.0_2026-12-08_07-41-05_nightly_ENGB.dmp");
  ASSERT_TRUE(name);
  EXPECT_TRUE(name->development);
  EXPECT_EQ(name->version, "10.1.0.0");
  EXPECT_EQ(name->time, "2026-12-08T07:41:05");
  EXPECT_EQ(name->tag, "nightly");
  EXPECT_EQ(name->language, "ENGB");

  name = ParseDumpName("Client_10.2.0.65535_2026-07-01_12-00-00_CN.dmp");
  ASSERT_TRUE(name);
  EXPECT_FALSE(name->development);
  EXPECT_EQ(name->version, "10.2.0.65535");  // five digits, the most a part has
  EXPECT_EQ(name->tag, std::nullopt);
  // A tag may hold underscores; the language is what follows the last one.
  name = ParseDumpName("Client_10.2.0.7_2026-07-01_12-00-00_qa_run_7_DE.dmp");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->tag, "qa_run_7");
  EXPECT_EQ(name->language, "DE");
}

TEST(DumpName, AnyOtherNameSaysNothing) {
  for (const char* other : {"my crash.dmp", "Client_10.2.0.7_2026-07-01_12-00-00_CN (1).dmp",
                            "Client_10.2.0_2026-07-01_12-00-00_CN.dmp", "Client_10.2.0.7_2026-13-01_12-00-00_CN.dmp",
                            "Client_10.2.0.7_2026-07-01_24-00-00_CN.dmp", "Client_10.2.0.7_2026-07-01_12-00-00_cn.dmp",
                            "Client_10.2.0.7_2026-07-01_12-00-00_CN.txt", "Client_70000.2.0.7_2026-07-01_12-00-00_CN.dmp",
                            "Client_10.2.0.7_2026-07-01_12-00-00.dmp", ".dmp", ""}) {
    EXPECT_EQ(ParseDumpName(other), std::nullopt) << other;
  }
}

// The names the capture composes, read back: with a block (its development flag, a tag
// whose forbidden units became '_') and without one (10.1.0.0 marks a development build).
TEST(DumpName, ReadsWhatTheCaptureComposes) {
  const auto block = std::make_unique<CrashContextBlock>();
  block->developmentBuild = 1;
  std::copy_n(u"qa_run:7", 9, block->tag);
  capture::DumpNameParts parts;
  parts.crash_folder = u"C:\\Game\\Crash";
  parts.version_ms = 10 << 16 | 2;
  parts.version_ls = 7;
  parts.block = block.get();
  parts.language = u"de";
  parts.time = {2026, 12, 8, 7, 41, 5};
  char16_t path[capture::kPathCapacity];
  ASSERT_TRUE(capture::ComposeDumpPath(parts, path, std::size(path)));
  auto name = ParseDumpName(Utf8FromUtf16(FileNameOf(path)));
  ASSERT_TRUE(name) << Utf8FromUtf16(path);
  EXPECT_TRUE(name->development);
  EXPECT_EQ(name->version, "10.2.0.7");
  EXPECT_EQ(name->time, "2026-12-08T07:41:05");
  EXPECT_EQ(name->tag, "qa_run_7");
  EXPECT_EQ(name->language, "DE");

  parts.block = nullptr;
  parts.version_ms = 10 << 16 | 1;
  parts.version_ls = 0;
  parts.language = nullptr;
  ASSERT_TRUE(capture::ComposeDumpPath(parts, path, std::size(path)));
  name = ParseDumpName(Utf8FromUtf16(FileNameOf(path)));
  ASSERT_TRUE(name) << Utf8FromUtf16(path);
  EXPECT_TRUE(name->development);
  EXPECT_EQ(name->version, "10.1.0.0");
  EXPECT_EQ(name->tag, std::nullopt);
  EXPECT_EQ(name->language, "ENEU");
}

TEST(CentralEuropeanTime, FollowsTheEuropeanSummerTimeRule) {
  EXPECT_EQ(CentralEuropeanTime(1798759800), "2027-01-01T00:30:00");  // 2026-12-31 23:30 UTC
  // 2026 summer time: from 2026-03-29 01:00 UTC to 2026-10-25 01:00 UTC.
  EXPECT_EQ(CentralEuropeanTime(1774745999), "2026-03-29T01:59:59");
  EXPECT_EQ(CentralEuropeanTime(1774746000), "2026-03-29T03:00:00");
  EXPECT_EQ(CentralEuropeanTime(1792889999), "2026-10-25T02:59:59");
  EXPECT_EQ(CentralEuropeanTime(1792890000), "2026-10-25T02:00:00");
  EXPECT_EQ(UtcTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(DayText(*DayNumber("2028-02-29") + 1), "2028-03-01");
}

TEST(Buckets, KeyOnCodeModuleAndOffset) {
  Summary s;
  s.readable = true;
  EXPECT_EQ(BucketKey(s), "no exception");
  s.exception = Summary::Exception{};
  s.exception->code = 0xC0000005;
  s.fault = Summary::Fault{};
  EXPECT_EQ(BucketKey(s), "0xC0000005");
  s.fault->module = "NVWGF2UMX.DLL";
  s.fault->offset = 0x1382;
  EXPECT_EQ(BucketKey(s), "0xC0000005 nvwgf2umx.dll+0x1382");
}

// Dumps come in any order of time: a bucket's first is its oldest, its last its latest.
TEST(Buckets, FirstAndLastOfSeveralDumps) {
  Buckets buckets;
  for (const char* time : {"2025-12-03T10:00:00", "2025-12-01T09:00:00", "2025-12-05T08:00:00"}) {
    Summary s;
    s.readable = true;
    s.time = time;
    buckets.Add(s);
  }
  std::ostringstream json;
  WriteBucketsJson(json, buckets);
  EXPECT_NE(json.str().find(R"("first":"2025-12-01T09:00:00")"), std::string::npos) << json.str();
  EXPECT_NE(json.str().find(R"("last":"2025-12-05T08:00:00")"), std::string::npos) << json.str();
}

TEST(Buckets, VersionsOrderByTheirNumbers) {
  EXPECT_TRUE(VersionLess("10.2.0.7", "10.10.0.0"));
  EXPECT_FALSE(VersionLess("10.10.0.0", "10.2.0.7"));
  EXPECT_TRUE(VersionLess("31.0.15.5222", "beta"));
}

// Names come from players' dumps: no control character reaches the terminal, and
// other characters, non-ASCII ones included, stay as they are.
TEST(Printable, MasksControlCharacters) {
  EXPECT_EQ(Printable("a\x1b[31m\x7f\n"), "a?[31m??");
  EXPECT_EQ(Printable("\xc2\x9b" "2J\xc2\x80\xc2\xa0\xc3\xbc\xc2"), "?2J?\xc2\xa0\xc3\xbc\xc2");
}

NamedFrame Frame(std::size_t index, const char* module, const char* function, std::uint64_t offset,
                 FrameTrust trust) {
  NamedFrame f;
  f.index = index;
  f.module = module;
  if (function != nullptr) f.function = function;
  f.offset = offset;
  f.trust = trust;
  return f;
}

TEST(Buckets, KeyOnTheTopThreeTrustedFrames) {
  Summary s;
  s.exception = Summary::Exception{};
  s.exception->code = 0xC0000005;
  s.fault = Summary::Fault{};
  s.fault->module = "Driver.dll";
  s.fault->offset = 0x1382;
  s.stack = {Frame(0, "driver.dll", "Open", 0x1382, FrameTrust::kContext),
             Frame(1, "client.exe", nullptr, 0x2f1a, FrameTrust::kCfi),
             Frame(2, "client.exe", "wmain", 0x400, FrameTrust::kFramePointer),
             Frame(3, "kernel32.dll", "Start", 0x10, FrameTrust::kCfi)};
  s.stack[0].function_offset = 0x1F;
  // The key spells each frame as the frame lists do, less the offset into a function.
  EXPECT_EQ(BucketKey(s), "0xC0000005 driver.dll!Open <- client.exe+0x2F1A <- client.exe!wmain");
  EXPECT_EQ(FrameLine(s.stack[1]), "#1 client.exe+0x2F1A [cfi]");
  EXPECT_EQ(FrameLine(s.stack[0]), "#0 driver.dll!Open+0x1F [context]");
  // A scanned frame is a guess: it ends the key.
  s.stack[1].trust = FrameTrust::kScan;
  EXPECT_EQ(BucketKey(s), "0xC0000005 driver.dll!Open");
  // A top frame in no module keys as before.
  s.stack[0].module.reset();
  EXPECT_EQ(BucketKey(s), "0xC0000005 driver.dll+0x1382");
}

// An x64 PE file in memory: one executable section at 0x1000 holding code, unwind data
// and the exception directory, so each test lays out exactly the unwind data it needs.
class Image {
 public:
  static constexpr std::uint32_t kText = 0x1000;
  static constexpr std::uint64_t kBase = 0x180000000;
  void Put(std::uint32_t rva, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), text_.begin() + (rva - kText));
  }
  void Put32(std::uint32_t rva, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) text_[rva - kText + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void Function(std::uint32_t begin, std::uint32_t end, std::uint32_t unwind) {
    functions_.push_back({begin, end, unwind});
  }
  // One function exported by `name`: an export directory at 0x1E00.
  void Export(std::uint32_t rva, const char* name) {
    Put32(0x1E14, 1), Put32(0x1E18, 1), Put32(0x1E1C, 0x1E40), Put32(0x1E20, 0x1E44), Put32(0x1E24, 0x1E48);
    Put32(0x1E40, rva), Put32(0x1E44, 0x1E50), Put(0x1E48, {0, 0});
    std::copy(name, name + std::strlen(name) + 1, text_.begin() + (0x1E50 - kText));
    exported_ = true;
  }
  // Lays out the file and opens it; the functions' table goes at 0x1F00.
  const PeImage& Open() {
    for (std::size_t i = 0; i < functions_.size(); ++i) {
      Put32(0x1F00 + static_cast<std::uint32_t>(i) * 12, functions_[i][0]);
      Put32(0x1F04 + static_cast<std::uint32_t>(i) * 12, functions_[i][1]);
      Put32(0x1F08 + static_cast<std::uint32_t>(i) * 12, functions_[i][2]);
    }
    file_.assign(0x200, 0);
    file_[0] = 'M';
    file_[1] = 'Z';
    Set32(0x3C, 0x40);
    std::memcpy(&file_[0x40], "PE\0\0", 4);
    Set16(0x44, PeImage::kMachineAmd64);
    Set16(0x46, 1);
    Set16(0x54, 240);
    Set16(0x58, 0x20B);
    Set32(0x58 + 56, 0x3000);                                  // SizeOfImage
    Set32(0x58 + 108, 16);                                     // NumberOfRvaAndSizes
    Set32(0x58 + 112 + 3 * 8, 0x1F00);                         // the exception directory
    Set32(0x58 + 116 + 3 * 8, static_cast<std::uint32_t>(functions_.size() * 12));
    if (exported_) Set32(0x58 + 112, 0x1E00), Set32(0x58 + 116, 0x80);  // the export directory
    std::memcpy(&file_[0x148], ".text", 5);
    Set32(0x148 + 8, 0x1000);
    Set32(0x148 + 12, kText);
    Set32(0x148 + 16, 0x1000);
    Set32(0x148 + 20, 0x200);
    Set32(0x148 + 36, 0x60000020);                             // code, executable, readable
    file_.insert(file_.end(), text_.begin(), text_.end());
    reader_ = std::make_unique<MemoryRangeReader>(file_);
    std::string why;
    image_ = PeImage::Open(*reader_, &why);
    EXPECT_TRUE(image_) << why;
    return *image_;
  }
  const std::vector<std::uint8_t>& file() const { return file_; }

 private:
  void Set16(std::size_t at, std::uint16_t v) {
    file_[at] = static_cast<std::uint8_t>(v);
    file_[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void Set32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::vector<std::uint8_t> text_ = std::vector<std::uint8_t>(0x1000, 0xCC);
  std::vector<std::array<std::uint32_t, 3>> functions_;
  bool exported_ = false;
  std::vector<std::uint8_t> file_;
  std::unique_ptr<MemoryRangeReader> reader_;
  std::optional<PeImage> image_;
};

class Words final : public ProcessMemory {
 public:
  std::map<std::uint64_t, std::uint64_t> words;
  bool Read(std::uint64_t address, std::span<std::uint8_t> out) const override {
    const auto it = words.find(address);
    if (it == words.end() || out.size() != 8) return false;
    std::memcpy(out.data(), &it->second, 8);
    return true;
  }
};

constexpr std::uint64_t kSp = 0x10000;
constexpr int kRbx = 3, kRsi = 6;

Registers At(std::uint32_t rva) {
  Registers c;
  c.ip = Image::kBase + rva;
  c.known = 0xFFFF;
  c.gpr[Registers::kSp] = kSp;
  return c;
}

TEST(Unwind, UndoesOnlyTheCodesThePrologHasRun) {
  // push rbx (ends at 1); sub rsp, 0x100 (ends at 8); mov [rsp+0x110], rsi (ends at 16).
  Image image;
  image.Function(0x1100, 0x1180, 0x1800);
  image.Put(0x1800, {1, 16, 5, 0, 16, 0x64, 0x22, 0, 8, 0x01, 0x20, 0, 1, 0x30});
  const PeImage& pe = image.Open();
  Words stack;
  stack.words = {{kSp + 0x110, 0x5151}, {kSp + 0x100, 0xB0B0}, {kSp + 0x108, 0x140001234}};
  Registers body = At(0x1140);
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, true, &body));
  EXPECT_EQ(body.ip, 0x140001234u);
  EXPECT_EQ(body.gpr[Registers::kSp], kSp + 0x110);
  EXPECT_EQ(body.gpr[kRbx], 0xB0B0u);
  EXPECT_EQ(body.gpr[kRsi], 0x5151u);
  // At offset 8 the save has not run yet: RSI keeps its value.
  Registers prolog = At(0x1108);
  prolog.gpr[kRsi] = 7;
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, true, &prolog));
  EXPECT_EQ(prolog.gpr[kRsi], 7u);
  EXPECT_EQ(prolog.ip, 0x140001234u);
}

TEST(Unwind, FollowsChainsAndMachineFramesAndStopsOnLoops) {
  Image image;
  image.Function(0x1100, 0x1120, 0x1800);  // push rbx
  image.Put(0x1800, {1, 1, 1, 0, 1, 0x30});
  image.Function(0x1120, 0x1140, 0x1810);  // a chained part of it: no codes of its own
  image.Put(0x1810, {1 | 0x4 << 3, 0, 0, 0});
  image.Put32(0x1814, 0x1100), image.Put32(0x1818, 0x1120), image.Put32(0x181C, 0x1800);
  image.Function(0x1140, 0x1160, 0x1820);  // an interrupt frame
  image.Put(0x1820, {1, 0, 1, 0, 0, 0x0A});
  image.Function(0x1160, 0x1180, 0x1830);  // a chain that leads back to itself
  image.Put(0x1830, {1 | 0x4 << 3, 0, 0, 0});
  image.Put32(0x1834, 0x1160), image.Put32(0x1838, 0x1180), image.Put32(0x183C, 0x1830);
  const PeImage& pe = image.Open();
  Words stack;
  stack.words = {{kSp, 0xB0B0}, {kSp + 8, 0x140001234}, {kSp + 24, 0x20000}};
  Registers chained = At(0x1130);
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, false, &chained));
  EXPECT_EQ(chained.gpr[kRbx], 0xB0B0u);
  EXPECT_EQ(chained.ip, 0x140001234u);
  stack.words[kSp] = 0x140005678;
  Registers machine = At(0x1150);
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, false, &machine));
  EXPECT_EQ(machine.ip, 0x140005678u);
  EXPECT_EQ(machine.gpr[Registers::kSp], 0x20000u);
  Registers loop = At(0x1170);
  EXPECT_FALSE(UnwindStep(pe, Image::kBase, stack, false, &loop));
}

TEST(Unwind, FinishesAnEpilogOrUndoesTheBodyAtFrameZeroAndTakesALeafsReturnAtRsp) {
  Image image;
  image.Function(0x1100, 0x1140, 0x1800);  // push rbx; sub rsp, 0x28
  image.Put(0x1800, {1, 5, 2, 0, 5, 0x42, 1, 0x30});
  image.Put(0x1130, {0x48, 0x83, 0xC4, 0x28, 0x5B, 0xC3});  // add rsp, 0x28; pop rbx; ret
  image.Function(0x1140, 0x1160, 0x1810);  // push r14
  image.Put(0x1810, {1, 2, 1, 0, 2, 0xE0});
  image.Put(0x1150, {0x41, 0x5E, 0xC3});  // pop r14; ret
  const PeImage& pe = image.Open();
  Words stack;
  stack.words = {{kSp + 0x28, 0xB0B0}, {kSp + 0x30, 0x140001234}, {kSp, 0x140009999}, {kSp + 8, 0x140004321}};
  // In the epilog its instructions are finished; in the body the unwind codes undo the
  // same: the small allocation, then the push.
  for (const std::uint32_t rva : {0x1130u, 0x1120u}) {
    Registers frame0 = At(rva);
    ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, true, &frame0)) << std::hex << rva;
    EXPECT_EQ(frame0.ip, 0x140001234u);
    EXPECT_EQ(frame0.gpr[kRbx], 0xB0B0u);
    EXPECT_EQ(frame0.gpr[Registers::kSp], kSp + 0x38);
  }
  // After the stack release only the pop and the return are left.
  Registers pop = At(0x1134);
  pop.gpr[Registers::kSp] = kSp + 0x28;
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, true, &pop));
  EXPECT_EQ(pop.ip, 0x140001234u);
  Registers r14 = At(0x1150);
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, true, &r14));
  EXPECT_EQ(r14.gpr[14], 0x140009999u);
  EXPECT_EQ(r14.ip, 0x140004321u);
  // A return address just past the function (its call never returns) is the function's.
  Registers end = At(0x1140);
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, false, &end));
  EXPECT_EQ(end.ip, 0x140001234u);
  Registers leaf = At(0x1200);  // no unwind data
  ASSERT_TRUE(UnwindStep(pe, Image::kBase, stack, true, &leaf));
  EXPECT_EQ(leaf.ip, 0x140009999u);
  EXPECT_EQ(leaf.gpr[Registers::kSp], kSp + 8);
}

// After a scanned frame only the return address and the stack pointer are known: the
// next step must not read the frame register of the frame below and call the result cfi.
TEST(Walk, AScannedFrameKnowsOnlyItsReturnAddressAndStackPointer) {
  Image image;
  image.Function(0x1100, 0x1180, 0x1800);  // push rbp; mov rbp, rsp: frame register RBP
  image.Put(0x1800, {1, 4, 2, 0x05, 4, 0x03, 1, 0x50});
  for (std::uint32_t call : {0x114B, 0x115B, 0x116B}) image.Put(call, {0xE8, 0, 0, 0, 0});  // call rel32
  const PeImage& pe = image.Open();
  constexpr std::uint64_t kOther = 0x200000000;  // a module without its file
  const ModuleMap map({{Image::kBase, 0x3000, &pe}, {kOther, 0x1000, nullptr}});
  Words stack;
  // At kSp + 8 a word into code, but after no call: no return address.
  stack.words = {{kSp, Image::kBase + 0x1150}, {kSp + 8, Image::kBase + 0x1140}, {kSp + 0x10, Image::kBase + 0x1170},
                 {kSp + 0x40, kSp + 0x80}, {kSp + 0x48, Image::kBase + 0x1160}};
  Registers context = At(0);
  context.ip = kOther + 0x10;
  context.gpr[Registers::kFp] = kSp + 0x40;  // the crashing function's own, stale in its caller
  const std::vector<RawFrame> frames = StackWalker(Cpu::kAmd64, map, stack).Walk(context, {kSp, kSp + 0x100});
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[1].trust, FrameTrust::kScan);
  EXPECT_EQ(frames[2].trust, FrameTrust::kScan);
  EXPECT_EQ(frames[2].address, Image::kBase + 0x1170);
}

TEST(Walk, TellsACallBeforeAReturnAddress) {
  using Bytes = std::vector<std::uint8_t>;
  for (const Bytes& call : {Bytes{0xE8, 1, 2, 3, 4}, Bytes{0xFF, 0xD0}, Bytes{0x41, 0xFF, 0xD3}, Bytes{0xFF, 0x15, 1, 2, 3, 4},
                            Bytes{0xFF, 0x50, 0x08}, Bytes{0xFF, 0x54, 0x24, 0x10}, Bytes{0xFF, 0x94, 0xC1, 1, 2, 3, 4},
                            Bytes{0xFF, 0x14, 0x25, 1, 2, 3, 4}}) {
    Bytes code(7 - call.size(), 0x90);
    code.insert(code.end(), call.begin(), call.end());
    EXPECT_TRUE(EndsInCall(code)) << ::testing::PrintToString(call);
  }
  // A jump, a push, a return, padding: nothing returns after them.
  for (const Bytes& other : {Bytes{0xE9, 1, 2, 3, 4}, Bytes{0xFF, 0xE0}, Bytes{0xFF, 0x30}, Bytes{0xC3},
                             Bytes{0xCC, 0xCC}, Bytes{0xFF, 0x15, 1, 2, 3}}) {
    Bytes code(7 - other.size(), 0x90);
    code.insert(code.end(), other.begin(), other.end());
    EXPECT_FALSE(EndsInCall(code)) << ::testing::PrintToString(other);
  }
}

// The process memory as one flat run of bytes at `start`.
class Flat final : public ProcessMemory {
 public:
  Flat(std::uint64_t start, std::vector<std::uint8_t> bytes) : start_(start), bytes_(std::move(bytes)) {}
  bool Read(std::uint64_t address, std::span<std::uint8_t> out) const override {
    if (address < start_ || !Fits(address - start_, out.size(), bytes_.size())) return false;
    std::memcpy(out.data(), bytes_.data() + (address - start_), out.size());
    return true;
  }

 private:
  std::uint64_t start_;
  std::vector<std::uint8_t> bytes_;
};

// Without the module's file, the headers the dump holds of it give its section table:
// a scan skips a word into no executable section (a string, a table).
TEST(Walk, ScansOnlyIntoCodeWhereTheDumpHoldsTheModulesHeaders) {
  Image image;
  image.Put(0x1100, {0xE8, 0, 0, 0, 0});  // a call returning to 0x1105
  image.Open();
  // The module's memory as the loader maps it: headers at 0, .text at 0x1000.
  std::vector<std::uint8_t> mapped(0x3000, 0);
  std::copy_n(image.file().begin(), 0x200, mapped.begin());
  std::copy_n(image.file().begin() + 0x200, 0x1000, mapped.begin() + 0x1000);
  const MemoryRangeReader reader(mapped);
  std::string why;
  const std::optional<PeImage> headers = PeImage::Open(reader, &why, PeImage::Layout::kMapped);
  ASSERT_TRUE(headers) << why;
  const ModuleMap map({{Image::kBase, 0x3000, nullptr, &*headers}});
  std::vector<std::uint8_t> words(32);
  const std::uint64_t data = Image::kBase + 0x2800, code = Image::kBase + 0x1105;
  std::memcpy(&words[0], &data, 8);
  std::memcpy(&words[8], &code, 8);
  const Flat stack(kSp, words);
  Registers context = At(0x1200);
  context.ip = Image::kBase + 0x1200;
  const std::vector<RawFrame> frames = StackWalker(Cpu::kAmd64, map, stack).Walk(context, {kSp, kSp + 32});
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].address, code);
  EXPECT_EQ(frames[1].stack_pointer, kSp + 16);
}

// A module listed inside another (a damaged or hostile list) says a second thing of the
// same addresses: the one that starts first holds them all, whatever lies below.
TEST(ModuleMap, FindsTheModuleAroundANestedOneWhateverLiesBelow) {
  std::vector<ModuleView> views;
  for (std::uint64_t i = 1; i <= 100; ++i) views.push_back({i << 16, 0x1000, nullptr});
  views.push_back({0x10000000, 0x1000000, nullptr});
  views.push_back({0x10800000, 0x1000, nullptr});  // inside the one before
  views.push_back({0x20000000, UINT64_MAX, nullptr});  // wraps around
  const ModuleMap map(views);
  EXPECT_EQ(map.Holding(0x10900000)->index, 100u);
  EXPECT_EQ(map.Holding(0x10800010)->index, 100u);
  EXPECT_EQ(map.Holding(0x10FFFFFF)->index, 100u);
  EXPECT_EQ(map.Holding(0x11000000), nullptr);
  EXPECT_EQ(map.Holding(0x20000010), nullptr);
}

TEST(SymbolStore, KeepsOnlyTheMatchingFilesOpen) {
  Image image;
  image.Open();
  std::vector<std::uint8_t> bytes = image.file();
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "triage-binaries";
  std::filesystem::remove_all(folder);
  auto write = [&](const std::filesystem::path& path, std::uint32_t stamp) {
    std::filesystem::create_directories(path.parent_path());
    for (int i = 0; i < 4; ++i) bytes[0x48 + i] = static_cast<std::uint8_t>(stamp >> (8 * i));  // TimeDateStamp
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
  };
  for (std::uint32_t build = 0; build < 100; ++build) write(folder / std::to_string(build) / "other.dll", build);
  write(folder / "game.dll", 7);
  SymbolStore store;
  store.AddBinaries(folder);
  auto find = [&](const char16_t* path, std::uint32_t stamp) {
    Module module;
    module.size = 0x3000;
    module.time_date_stamp = stamp;
    module.path = path;
    return store.FindImage(module);
  };
#if !defined(_WIN32)
  // Fewer descriptors than builds: a store that kept every candidate open runs out.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const rlimit low{std::min<rlim_t>(limit.rlim_cur, 64), limit.rlim_max};
  setrlimit(RLIMIT_NOFILE, &low);
#endif
  const PeImage* none = find(u"C:\\Game\\other.dll", 1000);
  const PeImage* game = find(u"C:\\Game\\game.dll", 7);
  const PeImage* build = find(u"C:\\Game\\other.dll", 42);  // read before, opened again
#if !defined(_WIN32)
  setrlimit(RLIMIT_NOFILE, &limit);
#endif
  EXPECT_EQ(none, nullptr);
  EXPECT_TRUE(game != nullptr && game->time_date_stamp() == 7u);
  EXPECT_TRUE(build != nullptr && build->time_date_stamp() == 42u);
  EXPECT_EQ(find(u"C:\\Game\\game.dll", 7), game);
  EXPECT_EQ(find(u"C:\\Game\\game.dll", 8), nullptr) << "the open file is another build";
  store = SymbolStore();  // Windows removes no file that is open
  std::filesystem::remove_all(folder);
}

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A PDB of nothing but its identity, in 512-byte blocks: the superblock, the directory's
// map (block 3), the directory (4), the PDB stream with the GUID (5), the head of the DBI
// stream with the age (6).
std::vector<std::uint8_t> PdbOf(const std::array<std::uint8_t, 16>& guid, std::uint32_t age) {
  std::vector<std::uint8_t> pdb(7 * 512, 0);
  std::memcpy(pdb.data(), "Microsoft C/C++ MSF 7.00\r\n\x1a" "DS\0\0", 32);
  for (auto [at, value] : {std::pair{32u, 512u}, {36u, 1u}, {40u, 7u}, {44u, 28u}, {52u, 3u}, {3u * 512, 4u}}) {
    Put32(pdb, at, value);
  }
  // Four streams and their sizes, then the blocks of streams 1 and 3.
  const std::uint32_t directory[] = {4, 0, 28, 0, 12, 5, 6};
  for (std::uint32_t i = 0; i < std::size(directory); ++i) Put32(pdb, 4 * 512 + 4 * i, directory[i]);
  std::copy(guid.begin(), guid.end(), pdb.begin() + 5 * 512 + 12);
  Put32(pdb, 6 * 512 + 8, age);
  return pdb;
}

class NamesEverythingRender final : public Symbolizer {
 public:
  std::optional<SourceLine> Lookup(const std::filesystem::path&, const CodeViewRecord&, std::uint32_t) override {
    return SourceLine{"Render", "render.cpp", 88};
  }
};

// A PDB names a module's frames only when it is of the module's build: the GUID and the
// age of its CodeView record.
TEST(SymbolStore, TakesOnlyThePdbOfTheModulesBuild) {
  Image image;
  image.Function(0x1100, 0x1180, 0x1800);
  image.Put(0x1800, {1, 0, 0, 0});
  const PeImage& pe = image.Open();
  Module module;
  module.base = Image::kBase;
  module.path = u"C:\\Game\\game.dll";
  module.codeview = CodeViewRecord{CodeViewRecord::kRsds, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
                                   0, 2, "game.pdb"};
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "triage-symbols";
  std::filesystem::create_directories(folder);
  for (const std::uint32_t age : {2u, 3u}) {
    const std::vector<std::uint8_t> pdb = PdbOf(module.codeview->guid, age);
    std::ofstream(folder / "game.pdb", std::ios::binary).write(reinterpret_cast<const char*>(pdb.data()), std::ssize(pdb));
    SymbolStore store;
    store.AddSymbols(folder);
    store.SetSymbolizer(std::make_unique<NamesEverythingRender>());
    NamedFrame frame;
    frame.address = Image::kBase + 0x1110;
    store.Name(module, &pe, false, &frame);
    EXPECT_EQ(frame.function, age == 2 ? std::optional<std::string>("Render") : std::nullopt) << "age " << age;
  }
  std::filesystem::remove_all(folder);
}

// An export names the addresses of its own function, from its first byte on.
TEST(PeImage, AnExportNamesItsFunctionOnly) {
  Image image;
  image.Function(0x1100, 0x1140, 0x1800);
  image.Function(0x1140, 0x1180, 0x1800);  // not exported
  image.Put(0x1800, {1, 0, 0, 0});
  image.Export(0x1100, "Render");
  const PeImage& pe = image.Open();
  const Export* render = pe.ExportAt(0x1110);
  EXPECT_TRUE(render != nullptr && render->name == "Render");
  EXPECT_EQ(pe.ExportAt(0x1150), nullptr);
}

// A read of a dump's memory stays inside one of its ranges: the file's bytes after a
// range belong to something else.
TEST(DumpMemory, ReadsOnlyInsideARange) {
  std::vector<std::uint8_t> file(88, 0xEE);
  // The header (one stream, the directory at 32), the memory list at 44: 16 bytes of
  // 0x10000 at offset 64, then 8 bytes of something else.
  for (auto [at, value] : {std::pair{0u, 0x504D444Du}, {4u, 0xA793u}, {8u, 1u}, {12u, 32u}, {32u, 5u}, {36u, 20u},
                           {40u, 44u}, {44u, 1u}, {48u, 0x10000u}, {52u, 0u}, {56u, 16u}, {60u, 64u}}) {
    Put32(file, at, value);
  }
  const MemoryRangeReader reader(file);
  std::string why;
  const std::optional<Minidump> dump = Minidump::Open(reader, &why);
  ASSERT_TRUE(dump) << why;
  MemoryLists lists;
  ASSERT_TRUE(dump->ReadMemoryLists(&lists, &why)) << why;
  DumpMemory memory;
  memory.Load(*dump, lists);
  std::array<std::uint8_t, 8> word{};
  EXPECT_TRUE(memory.Read(0x10008, word));
  EXPECT_FALSE(memory.Read(0x1000C, word));
}

}  // namespace
}  // namespace triage
