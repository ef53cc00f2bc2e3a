#include "triage/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/little_endian.h"

namespace triage {

using common::Le16;
using common::Le32;
namespace {

constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kExportDirectory = 0;
constexpr std::uint32_t kExceptionDirectory = 3;
constexpr std::uint32_t kDebugDirectory = 6;
constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugTypeCodeView = 2;
constexpr std::uint32_t kMaxDebugEntries = 64;

}  // namespace

std::optional<PeImage> PeImage::Open(const RangeReader& input, std::string* why, Layout layout) {
  std::array<std::uint8_t, 64> dos{};
  if (!input.Read(0, dos) || dos[0] != 'M' || dos[1] != 'Z') {
    *why = "not a PE file (no MZ header)";
    return std::nullopt;
  }
  const std::uint32_t pe_at = Le32(&dos[0x3C]);
  std::array<std::uint8_t, 24> pe{};
  if (!input.Read(pe_at, pe) || std::memcmp(pe.data(), "PE\0\0", 4) != 0) {
    *why = "not a PE file (no PE signature)";
    return std::nullopt;
  }
  PeImage image(input, layout);
  image.machine_ = Le16(&pe[4]);
  const std::uint32_t section_count = Le16(&pe[6]);
  image.time_date_stamp_ = Le32(&pe[8]);
  const std::uint32_t optional_size = Le16(&pe[20]);
  if (section_count > kMaxSections) {
    *why = "more sections than a PE file can have";
    return std::nullopt;
  }
  // The optional header of PE32 and PE32+: where SizeOfImage and the data directories are.
  std::vector<std::uint8_t> optional(optional_size);
  if (optional_size < 96 || !input.Read(std::uint64_t{pe_at} + 24, optional)) {
    *why = "PE optional header cut short";
    return std::nullopt;
  }
  const std::uint16_t magic = Le16(optional.data());
  std::uint32_t directories_at = 0;
  if (magic == 0x20B) {
    directories_at = 112;
  } else if (magic == 0x10B) {
    directories_at = 96;
  } else {
    *why = "unknown PE optional header";
    return std::nullopt;
  }
  if (optional_size < directories_at) {
    *why = "PE optional header cut short";
    return std::nullopt;
  }
  image.size_of_image_ = Le32(&optional[56]);
  const std::uint32_t directory_count =
      std::min<std::uint32_t>(Le32(&optional[directories_at - 4]), (optional_size - directories_at) / 8);
  auto directory = [&](std::uint32_t index) -> std::pair<std::uint32_t, std::uint32_t> {
    if (index >= directory_count) return {0, 0};
    const std::uint8_t* d = &optional[directories_at + index * 8];
    return {Le32(d), Le32(d + 4)};
  };

  std::vector<std::uint8_t> headers(std::size_t{section_count} * kSectionHeaderSize);
  if (!input.Read(std::uint64_t{pe_at} + 24 + optional_size, headers)) {
    *why = "PE section table cut short";
    return std::nullopt;
  }
  std::vector<PeSection> sections;
  for (std::uint32_t i = 0; i < section_count; ++i) {
    const std::uint8_t* h = &headers[std::size_t{i} * kSectionHeaderSize];
    PeSection s;
    std::memcpy(s.name, h, 8);
    s.virtual_size = Le32(h + 8);
    s.rva = Le32(h + 12);
    s.raw_size = Le32(h + 16);
    s.raw_offset = Le32(h + 20);
    s.characteristics = Le32(h + 36);
    sections.push_back(s);
  }
  image.sections_ = RangeMap<PeSection>(std::move(sections));

  // Only what the walker and the names need; a damaged table of one kind leaves the
  // others usable, and the image without it.
  // A mapped image is read for its section table alone: its exports, unwind data and
  // debug directory lie in pages a dump seldom holds, each read a lookup in the dump.
  if (layout == Layout::kMapped) return image;
  const auto [export_rva, export_size] = directory(kExportDirectory);
  if (export_size != 0 && !image.ReadExports(export_rva, export_size)) image.exports_ = {};
  const auto [pdata_rva, pdata_size] = directory(kExceptionDirectory);
  if (image.machine_ == kMachineAmd64 && pdata_size != 0 && !image.ReadFunctions(pdata_rva, pdata_size, why)) {
    return std::nullopt;
  }
  const auto [debug_rva, debug_size] = directory(kDebugDirectory);
  if (debug_size != 0) image.ReadCodeView(debug_rva, debug_size);
  return image;
}

bool PeImage::ReadRva(std::uint32_t rva, std::span<std::uint8_t> out) const {
  const PeSection* s = sections_.Holding(rva);
  if (s == nullptr) return false;
  const std::uint32_t at = rva - s->rva;
  if (!Fits(at, out.size(), std::max(s->virtual_size, s->raw_size))) return false;
  if (layout_ == Layout::kMapped) return input_->Read(rva, out);
  std::fill(out.begin(), out.end(), 0);
  if (at >= s->raw_size) return true;
  const std::size_t raw = std::min<std::size_t>(out.size(), s->raw_size - at);
  return input_->Read(std::uint64_t{s->raw_offset} + at, out.first(raw));
}

bool PeImage::IsExecutable(std::uint32_t rva) const {
  const PeSection* s = sections_.Holding(rva);
  return s != nullptr && s->Executable();
}

bool PeImage::ReadName(std::uint32_t rva, std::string* out) const {
  out->clear();
  std::array<std::uint8_t, 64> chunk{};
  while (out->size() < kMaxNameBytes) {
    // A name may end close to its section's end: read what is there, byte by byte there.
    std::span<std::uint8_t> part(chunk);
    const std::uint32_t at = rva + static_cast<std::uint32_t>(out->size());
    if (!ReadRva(at, part)) {
      part = part.first(1);
      if (!ReadRva(at, part)) return false;
    }
    for (std::uint8_t c : part) {
      if (c == 0) return true;
      out->push_back(static_cast<char>(c));
    }
  }
  return false;
}

bool PeImage::ReadExports(std::uint32_t rva, std::uint32_t size) {
  std::array<std::uint8_t, 40> d{};
  if (!ReadRva(rva, d)) return false;
  const std::uint32_t function_count = Le32(&d[20]);
  const std::uint32_t name_count = Le32(&d[24]);
  if (function_count > kMaxExports || name_count > kMaxExports) return false;
  std::vector<std::uint8_t> functions(std::size_t{function_count} * 4);
  std::vector<std::uint8_t> names(std::size_t{name_count} * 4);
  std::vector<std::uint8_t> ordinals(std::size_t{name_count} * 2);
  std::vector<Export> exports;
  if (!ReadRva(Le32(&d[28]), functions) || !ReadRva(Le32(&d[32]), names) || !ReadRva(Le32(&d[36]), ordinals)) {
    return false;
  }
  for (std::uint32_t i = 0; i < name_count; ++i) {
    const std::uint32_t ordinal = Le16(&ordinals[std::size_t{i} * 2]);
    if (ordinal >= function_count) continue;
    const std::uint32_t target = Le32(&functions[std::size_t{ordinal} * 4]);
    // A target inside the export directory forwards to another DLL: no code here.
    if (target == 0 || (target >= rva && target - rva < size)) continue;
    Export e{target, {}};
    if (ReadName(Le32(&names[std::size_t{i} * 4]), &e.name) && !e.name.empty()) exports.push_back(std::move(e));
  }
  // By name first, so that of the names of one address the first in that order stays.
  std::sort(exports.begin(), exports.end(), [](const Export& a, const Export& b) { return a.name < b.name; });
  exports_ = RangeMap<Export>(std::move(exports));
  return true;
}

bool PeImage::ReadFunctions(std::uint32_t rva, std::uint32_t size, std::string* why) {
  const std::uint32_t count = size / 12;
  if (count > kMaxFunctions) {
    *why = "absurd exception directory";
    return false;
  }
  std::vector<std::uint8_t> table(std::size_t{count} * 12);
  if (!ReadRva(rva, table)) {
    *why = "exception directory outside every section";
    return false;
  }
  std::vector<RuntimeFunction> functions(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* f = &table[std::size_t{i} * 12];
    functions[i] = {Le32(f), Le32(f + 4), Le32(f + 8)};
  }
  functions_ = RangeMap<RuntimeFunction>(std::move(functions));
  return true;
}

void PeImage::ReadCodeView(std::uint32_t rva, std::uint32_t size) {
  const std::uint32_t count = std::min(size / kDebugEntrySize, kMaxDebugEntries);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::array<std::uint8_t, kDebugEntrySize> e{};
    if (!ReadRva(rva + i * kDebugEntrySize, e) || Le32(&e[12]) != kDebugTypeCodeView) continue;
    const std::uint32_t data_size = std::min(Le32(&e[16]), kMaxCodeViewBytes);
    std::vector<std::uint8_t> data(data_size);
    const std::uint32_t data_rva = Le32(&e[20]);
    const bool read = data_rva != 0 ? ReadRva(data_rva, data) : input_->Read(Le32(&e[24]), data);
    if (read && (codeview_ = ParseCodeView(data))) return;
  }
}

const RuntimeFunction* PeImage::FunctionAt(std::uint32_t rva) const { return functions_.Holding(rva); }

const Export* PeImage::ExportAt(std::uint32_t rva) const {
  const Export* e = exports_.Floor(rva);
  if (e == nullptr || !IsExecutable(rva) || !IsExecutable(e->rva)) return nullptr;
  // Another function starting between the export and the address: the address is not in
  // the exported function, and the name would mislead.
  const RuntimeFunction* last = functions_.Floor(rva);
  if (last != nullptr && last->begin > e->rva) return nullptr;
  return e;
}

std::vector<std::uint8_t> StubImage(const CodeViewRecord& codeview, std::uint32_t size_of_image) {
  constexpr std::uint32_t kPe = 0x40, kOptional = kPe + 24, kSection = kOptional + 240, kData = 0x200;
  std::vector<std::uint8_t> record(24);
  auto put32 = [](std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  auto put16 = [](std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  put32(record, 0, CodeViewRecord::kRsds);
  std::copy(codeview.guid.begin(), codeview.guid.end(), record.begin() + 4);
  put32(record, 20, codeview.age);
  record.insert(record.end(), codeview.pdb_name.begin(), codeview.pdb_name.end());
  record.push_back(0);
  const std::uint32_t data_size = kDebugEntrySize + static_cast<std::uint32_t>(record.size());
  const std::uint32_t raw_size = (data_size + 0x1FF) & ~0x1FFu;
  std::vector<std::uint8_t> out(kData + raw_size, 0);
  out[0] = 'M';
  out[1] = 'Z';
  put32(out, 0x3C, kPe);
  std::memcpy(&out[kPe], "PE\0\0", 4);
  put16(out, kPe + 4, PeImage::kMachineAmd64);
  put16(out, kPe + 6, 1);                 // NumberOfSections
  put16(out, kPe + 20, 240);              // SizeOfOptionalHeader
  put16(out, kPe + 22, 0x2022);           // executable image, large addresses, DLL
  put16(out, kOptional, 0x20B);           // PE32+
  put32(out, kOptional + 24, 0x80000000);  // ImageBase (low half; the high half is 1)
  put32(out, kOptional + 28, 1);
  put32(out, kOptional + 32, 0x1000);     // SectionAlignment
  put32(out, kOptional + 36, 0x200);      // FileAlignment
  put16(out, kOptional + 40, 6);          // operating system and subsystem version 6.0
  put16(out, kOptional + 48, 6);
  put32(out, kOptional + 56, std::max<std::uint32_t>(size_of_image, 0x2000));
  put32(out, kOptional + 60, kData);      // SizeOfHeaders
  put16(out, kOptional + 68, 2);          // Windows GUI
  put32(out, kOptional + 108, 16);        // NumberOfRvaAndSizes
  put32(out, kOptional + 112 + kDebugDirectory * 8, 0x1000);
  put32(out, kOptional + 116 + kDebugDirectory * 8, kDebugEntrySize);
  std::memcpy(&out[kSection], ".rdata", 6);
  put32(out, kSection + 8, data_size);
  put32(out, kSection + 12, 0x1000);
  put32(out, kSection + 16, raw_size);
  put32(out, kSection + 20, kData);
  put32(out, kSection + 36, 0x40000040);  // initialised data, readable
  put32(out, kData + 12, kDebugTypeCodeView);
  put32(out, kData + 16, static_cast<std::uint32_t>(record.size()));
  put32(out, kData + 20, 0x1000 + kDebugEntrySize);
  put32(out, kData + 24, kData + kDebugEntrySize);
  std::copy(record.begin(), record.end(), out.begin() + kData + kDebugEntrySize);
  return out;
}

}  // namespace triage
