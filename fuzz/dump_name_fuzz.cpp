// The whole dump name composition over fakes fed from the input: image path, version
// resource, crash context block bytes, settings value, UTC and machine time, time zone
// success and the two capacities. The result is compared with a plain model of the name;
// whatever the inputs, a true result is a terminated path in the client's crash folder,
// starting "<client dir>\Crash\Client", ending ".dmp", with a file name that Windows
// accepts and a language of 1 to 31 letters and digits, whose ".tmp" names the clean-up
// of stale temporary files recognises; both outputs stay inside their capacities.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "capture/context_block.h"
#include "capture/dump_name.h"
#include "capture/dump_path.h"
#include "capture/temporary_files.h"
#include "fakes/fake_platform.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kGuardUnits = 8;
constexpr std::size_t kMaxCapacity = 520;
constexpr char16_t kGuard = 0xBEEF;

// An output buffer of up to kMaxCapacity units between guard units.
struct GuardedText {
  std::array<char16_t, kGuardUnits + kMaxCapacity + kGuardUnits> units;
  GuardedText() { units.fill(kGuard); }
  char16_t* data() { return units.data() + kGuardUnits; }
  bool GuardsIntact(std::size_t capacity) const {
    for (std::size_t i = 0; i < kGuardUnits; ++i) {
      if (units[i] != kGuard) return false;
    }
    for (std::size_t i = kGuardUnits + capacity; i < units.size(); ++i) {
      if (units[i] != kGuard) return false;
    }
    return true;
  }
  // The text up to its terminator, or nothing when there is none within `capacity`.
  bool Text(std::size_t capacity, std::u16string* text) const {
    for (std::size_t i = 0; i < capacity; ++i) {
      if (units[kGuardUnits + i] == u'\0') {
        text->assign(units.data() + kGuardUnits, i);
        return true;
      }
    }
    return false;
  }
};

bool EqualsAsciiNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool IsLanguageCode(const std::u16string& code) {
  if (code.empty() || code.size() > 31) return false;
  for (char16_t u : code) {
    if (!((u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9'))) return false;
  }
  return true;
}

bool ForbiddenInFileName(char16_t u) {
  return (u >= 0x01 && u <= 0x1F) || std::u16string_view(u"\\/:*?\"<>|").find(u) != std::u16string_view::npos;
}

// The language rule, written out once more: letters and digits kept (upper-cased), at
// most 31, then EN -> ENEU, TW -> CN, nothing -> ENEU.
std::u16string ModelLanguage(const std::u16string& source) {
  std::u16string kept;
  for (char16_t u : source) {
    if (u == u'\0' || kept.size() == 31) break;
    if (u >= u'a' && u <= u'z') u = static_cast<char16_t>(u - 32);
    if ((u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')) kept.push_back(u);
  }
  if (kept.empty() || kept == u"EN") return u"ENEU";
  if (kept == u"TW") return u"CN";
  return kept;
}

std::u16string Normalized(const std::u16string& source) {
  const std::u16string terminated = fuzz::UpToNul(source);
  char16_t language[capture::kLanguageCapacity];
  std::memset(language, 0xEE, sizeof(language));
  capture::NormalizeGameLanguage(terminated.c_str(), language);
  std::u16string result;
  for (std::size_t i = 0; i < capture::kLanguageCapacity && language[i] != u'\0'; ++i) result.push_back(language[i]);
  return result;
}

// Normalisation alone: the model's result, a code, and unchanged when normalised again.
void CheckNormalization(const std::u16string& source) {
  const std::u16string once = Normalized(source);
  fuzz::Check(once == ModelLanguage(fuzz::UpToNul(source)));
  fuzz::Check(IsLanguageCode(once));
  fuzz::Check(Normalized(once) == once);
}

std::u16string Number(unsigned value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.Byte();
  const bool block_present = (flags & 0x01) != 0;
  const bool block_layout_raw = (flags & 0x02) != 0;
  const bool block_cut = (flags & 0x04) != 0;
  const bool zone_known = (flags & 0x08) != 0;
  const bool ini_present = (flags & 0x10) != 0;
  const bool create_fails = (flags & 0x20) != 0;
  const bool no_version = (flags & 0x40) != 0;
  const bool image_raw = (flags & 0x80) != 0;
  const std::uint8_t more = in.Byte();
  const std::uint16_t dump_cap_raw = in.U16();
  const std::uint16_t dir_cap_raw = in.U16();
  const std::size_t dump_capacity = (more & 0x04) ? dump_cap_raw % (kMaxCapacity + 1) : 260;
  const std::size_t dir_capacity = (more & 0x08) ? dir_cap_raw % (kMaxCapacity + 1) : 260;
  const std::uint32_t version_ms = in.U32();
  const std::uint32_t version_ls = in.U32();
  capture::CalendarTime utc;
  utc.year = static_cast<std::uint16_t>(1601 + in.U16() % 8000);
  utc.month = static_cast<std::uint16_t>(1 + in.Byte() % 12);
  utc.day = static_cast<std::uint16_t>(1 + in.Byte() % 28);
  utc.hour = static_cast<std::uint16_t>(in.Byte() % 24);
  utc.minute = static_cast<std::uint16_t>(in.Byte() % 60);
  utc.second = static_cast<std::uint16_t>(in.Byte() % 60);
  // The machine's clock is taken as it comes, however wide its numbers.
  capture::CalendarTime machine;
  machine.year = in.U16();
  machine.month = in.U16();
  machine.day = in.U16();
  machine.hour = in.U16();
  machine.minute = in.U16();
  machine.second = in.U16();
  const std::uint32_t development = in.U32();
  const std::uint32_t raw_size = in.U32();
  const std::uint32_t raw_version = in.U32();
  const std::size_t cut_length = in.U16() % CRASH_CONTEXT_BLOCK_SIZE;
  const std::u16string dir_text = in.Text16();
  const std::u16string name_text = in.Text16();
  const std::u16string ini_value = in.Text16();
  const std::u16string tag_text = in.Text16();
  const std::u16string language_text = in.Text16();

  CheckNormalization(ini_value);
  CheckNormalization(language_text);

  // --- The fakes ---
  auto fake = std::make_unique<fakes::FakePlatform>();
  fake->versions.clear();
  static const char16_t* const kNames[] = {u"Client.exe", u"CLIENT.EXE", u"client.exe"};
  const std::u16string name = (more & 3) == 3 ? name_text : kNames[more & 3];
  const std::u16string image = image_raw ? dir_text : dir_text + u"\\" + name;
  fake->image_path = image;
  if (!no_version) fake->versions[fuzz::UpToNul(image)] = {version_ms, version_ls};
  if (create_fails) fake->faults.FailEveryCall("CreateDirectoryW");
  if (more & 0x10) fake->folders.insert(dir_text + u"\\Crash");
  if (more & 0x20) fake->AddFile(dir_text + u"\\Crash");
  fake->utc = utc;
  fake->machine_local = machine;
  if (!zone_known) fake->faults.FailEveryCall("GetTimeZoneInformationForYear");

  auto block = std::make_unique<CrashContextBlock>();
  std::memset(block.get(), 0, sizeof(CrashContextBlock));
  block->size = block_layout_raw ? raw_size : CRASH_CONTEXT_BLOCK_SIZE;
  block->version = block_layout_raw ? raw_version : CRASH_CONTEXT_BLOCK_VERSION;
  block->developmentBuild = development;
  std::memcpy(block->tag, tag_text.data(), std::min(tag_text.size(), std::size(block->tag)) * 2);
  std::memcpy(block->language, language_text.data(),
              std::min(language_text.size(), std::size(block->language)) * 2);
  std::uint64_t address = 0;
  if (block_present) {
    fake->memory.resize(block_cut ? cut_length : sizeof(CrashContextBlock));
    if (!fake->memory.empty()) {
      std::memcpy(fake->memory.data(), block.get(), fake->memory.size());
    }
    address = fake->memory_base;
  }

  // --- The model ---
  bool expected = false;
  std::u16string want_dir, want_path;
  const std::u16string image_seen = fuzz::UpToNul(image);
  const std::size_t last = image_seen.rfind(u'\\');
  // The fake gives the path whole or not at all; the builder sees it up to a zero unit.
  if (image.size() < 260 && last != std::u16string::npos &&
      EqualsAsciiNoCase(image_seen.substr(last + 1), u"Client.exe")) {
    want_dir = image_seen.substr(0, last);
    const std::u16string crash_folder = want_dir + u"\\Crash";
    if (dir_capacity > want_dir.size() && crash_folder.size() < 260 && !create_fails && !no_version) {
      const bool read = block_present && !block_cut && block->size == CRASH_CONTEXT_BLOCK_SIZE &&
                        block->version == CRASH_CONTEXT_BLOCK_VERSION;
      const std::u16string version = Number(version_ms >> 16, 0) + u"." + Number(version_ms & 0xFFFF, 0) +
                                     u"." + Number(version_ls >> 16, 0) + u"." + Number(version_ls & 0xFFFF, 0);
      const std::u16string block_language = fuzz::UpToNul(language_text.substr(0, 31));
      std::u16string language;
      if (read && !block_language.empty()) {
        language = ModelLanguage(block_language);
      } else if ((want_dir + u"\\Vostrel.ini").size() < 260 && ini_present) {
        language = ModelLanguage(fuzz::UpToNul(ini_value.substr(0, 31)));
      } else {
        language = u"ENEU";
      }
      const capture::CalendarTime when = zone_known ? fakes::CentralEuropeanTime(utc) : machine;
      const bool dev = read ? development != 0 : version == u"10.1.0.0";
      std::u16string tag_suffix;
      const std::u16string tag = fuzz::UpToNul(tag_text.substr(0, 63));
      if (read && !tag.empty()) {
        tag_suffix = u"_";
        for (char16_t u : tag) tag_suffix.push_back(ForbiddenInFileName(u) ? u'_' : u);
      }
      want_path = crash_folder + u"\\Client" + (dev ? u"_Dev" : u"") + u"_" + version + u"_" +
                  Number(when.year, 4) + u"-" + Number(when.month, 2) + u"-" + Number(when.day, 2) + u"_" +
                  Number(when.hour, 2) + u"-" + Number(when.minute, 2) + u"-" + Number(when.second, 2) +
                  tag_suffix + u"_" + language + u".dmp";
      expected = dump_capacity > want_path.size();
    }
  }
  if (ini_present) fake->ini[want_dir + u"\\Vostrel.ini"][u"Locale/Language"] = ini_value;
  // The client runs from its folder, so that folder exists.
  if (last != std::u16string::npos) fake->folders.insert(image_seen.substr(0, last));

  // --- The call ---
  GuardedText dump, dir;
  capture::CrashInfo info;
  info.process = reinterpret_cast<capture::Handle>(0x44);
  const bool result = capture::BuildDumpPath(fake->Ports(), &info, address, dump.data(), dump_capacity,
                                             dir.data(), dir_capacity);

  fuzz::Check(dump.GuardsIntact(dump_capacity));
  fuzz::Check(dir.GuardsIntact(dir_capacity));
  fuzz::Check(result == expected);
  if (!result) return 0;

  std::u16string path, client_dir;
  fuzz::Check(dump.Text(dump_capacity, &path));
  fuzz::Check(dir.Text(dir_capacity, &client_dir));
  fuzz::Check(path == want_path);
  fuzz::Check(client_dir == want_dir);

  // The properties of every dump path, checked on the text alone.
  const std::u16string head = client_dir + u"\\Crash\\Client";
  fuzz::Check(path.compare(0, head.size(), head) == 0);
  fuzz::Check(path.size() >= head.size() + 4 && path.compare(path.size() - 4, 4, u".dmp") == 0);
  const std::u16string file_name = path.substr(client_dir.size() + 7);
  for (char16_t u : file_name) fuzz::Check(!ForbiddenInFileName(u));
  const std::size_t underscore = file_name.rfind(u'_');
  fuzz::Check(underscore != std::u16string::npos);
  const std::u16string language = file_name.substr(underscore + 1, file_name.size() - underscore - 5);
  fuzz::Check(IsLanguageCode(language));
  fuzz::Check(Normalized(language) == language);

  // The temporary files of this dump and of its report text file have the form the
  // clean-up of stale temporary files looks for; the dump and the report never have it.
  const std::u16string text_name = file_name.substr(0, file_name.size() - 4) + u".txt";
  fuzz::Check(capture::IsCaptureTemporaryName((file_name + u".tmp").c_str()));
  fuzz::Check(capture::IsCaptureTemporaryName((text_name + u".tmp").c_str()));
  fuzz::Check(!capture::IsCaptureTemporaryName(file_name.c_str()));
  fuzz::Check(!capture::IsCaptureTemporaryName(text_name.c_str()));
  return 0;
}
