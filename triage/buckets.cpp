#include "triage/buckets.h"

#include <algorithm>

namespace triage {
namespace {

// Times order as texts (yyyy-mm-ddThh:mm:ss); a dump without a time counts as older
// than any with one.
bool Older(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return b && (!a || *a < *b);
}

}  // namespace

bool VersionLess(const std::string& a, const std::string& b) {
  // Up to 9 digits a number: any version a module may carry, and still an unsigned long.
  const auto na = VersionNumbers(a, 9);
  const auto nb = VersionNumbers(b, 9);
  if (na && nb && *na != *nb) return *na < *nb;
  if (na.has_value() != nb.has_value()) return na.has_value();
  return a < b;
}

std::string BucketKey(const Summary& s) {
  if (!s.exception) return "no exception";
  std::string key = Hex(s.exception->code, 8);
  // A scanned frame is a guess and would split one bug into many buckets.
  auto keyed = [](const NamedFrame& f) { return f.module && f.trust != FrameTrust::kScan; };
  if (!s.stack.empty() && keyed(s.stack[0])) {
    for (std::size_t i = 0; i < s.stack.size() && i < 3 && keyed(s.stack[i]); ++i) {
      key += (i == 0 ? " " : " <- ") + FrameText(s.stack[i], /*function_offset=*/false);
    }
    return key;
  }
  if (s.fault && s.fault->module && s.fault->offset) {
    NamedFrame fault;
    fault.module = AsciiLower(*s.fault->module);
    fault.offset = s.fault->offset;
    key += " " + FrameText(fault);
  }
  return key;
}

std::optional<std::string> FaultModuleVersionOf(const Summary& s) {
  // Windows' own DLLs carry file versions like 6.2.14393.x; the product version
  // (10.0.14393.x) is the one that says which Windows it is.
  return s.fault ? (s.fault->module_product_version ? s.fault->module_product_version : s.fault->module_version)
                 : std::nullopt;
}

std::optional<std::string> ClientVersionOf(const Summary& s) {
  return s.client_version ? s.client_version : s.name ? std::optional(s.name->version) : std::nullopt;
}

Bucket::Row RowOf(const Summary& s) {
  const std::optional<std::string> version = ClientVersionOf(s);
  Bucket::Row row{s.file, s.stack, s.time, version, FaultModuleVersionOf(s), {}, {}};
  if (s.report) {
    for (const auto& field : s.report->fields) {
      if (!IsModuleField(field.first)) row.fields.push_back(field);
    }
    row.client_text = s.report->client_text;
  }
  return row;
}

void Buckets::Add(const Summary& s) {
  if (!s.readable) return;
  ++dumps_;
  const std::string key = s.bucket ? *s.bucket : BucketKey(s);
  Bucket& b = buckets_[key];
  b.key = key;
  ++b.count;
  if (s.time && (!b.first || *s.time < *b.first)) b.first = s.time;
  if (Older(b.last, s.time)) b.last = s.time;
  const std::optional<std::string> version = ClientVersionOf(s);
  if (version) b.versions.insert(*version);
  const std::optional<std::string> module_version = FaultModuleVersionOf(s);
  if (module_version) b.fault_module_versions.insert(*module_version);
  if (s.exception && s.exception->thread_name) b.thread_names.insert(*s.exception->thread_name);
  if (!b.advice) b.advice = s.advice;
  if (b.count == 1 || !Older(s.time, b.example_time)) {
    b.example = s.file;
    b.example_time = s.time;
    b.top_frames.assign(s.stack.begin(), s.stack.begin() + static_cast<std::ptrdiff_t>(
                                                               std::min(s.stack.size(), Bucket::kTopFrames)));
  }
  if (s.time) ++b.per_day[s.time->substr(0, 10)];
  if (!keep_rows_) return;

  b.rows.push_back(RowOf(s));
  if (b.rows.size() > Bucket::kKeptDumps) {
    // Drop the oldest: the latest dumps are the ones support asks about.
    auto oldest = std::min_element(b.rows.begin(), b.rows.end(),
                                   [](const Bucket::Row& x, const Bucket::Row& y) { return Older(x.time, y.time); });
    b.rows.erase(oldest);
    ++b.rows_dropped;
  }
}

void Buckets::Put(Bucket bucket) {
  dumps_ += bucket.count;
  const std::string key = bucket.key;
  buckets_[key] = std::move(bucket);
}

std::vector<const Bucket*> Buckets::Sorted() const {
  std::vector<const Bucket*> out;
  for (const auto& entry : buckets_) out.push_back(&entry.second);
  std::stable_sort(out.begin(), out.end(), [](const Bucket* a, const Bucket* b) { return a->count > b->count; });
  return out;
}

}  // namespace triage
