// The bucket table of a crash history: each bucket's number (for `crash-triage mark`),
// status and note beside the counts, and the release matrix below.
#include <algorithm>

#include "triage/render.h"

namespace triage {
namespace {

constexpr std::size_t kMatrixVersions = 8;

std::string Count(std::size_t n) { return n == 0 ? "-" : std::to_string(n); }

}  // namespace

std::string StatusText(const Bucket::History& h) {
  std::string text = h.regressed  ? "regressed (fixed in " + *h.fixed_in + ")"
                     : h.fixed_in ? "fixed in " + *h.fixed_in
                                  : "open";
  if (h.fresh) text += ", new";
  if (h.new_in) text += ", new in " + *h.new_in;
  return text;
}

void WriteHistoryTable(std::ostream& out, const HistoryView& view, const std::vector<Failure>& failures) {
  const std::vector<const Bucket*> sorted = view.buckets.Sorted();
  std::vector<std::vector<std::string>> rows = {{"BUCKET", "COUNT", "SHARE", "COPIES", "STATUS", "KEY", "ADVICE",
                                                 "FIRST", "LAST", "CLIENT VERSIONS", "MODULE VERSIONS", "THREADS",
                                                 "NOTE", "EXAMPLE"}};
  for (const Bucket* b : sorted) {
    const Bucket::History& h = *b->history;
    rows.push_back({"#" + std::to_string(h.id), std::to_string(b->count), Share(b->count, view.buckets.dumps()),
                    std::to_string(h.copies), Printable(StatusText(h)), Printable(b->key), b->advice.value_or("-"),
                    Shown(b->first), Shown(b->last), Printable(Joined(b->versions, 3)),
                    Printable(Joined(b->fault_module_versions, 3)), Printable(Joined(b->thread_names, 3)),
                    Printable(h.note.value_or("-")),
                    Printable(b->example)});
  }
  WriteColumns(out, rows, 4);

  // The release matrix: the newest client versions, older ones added up.
  const std::size_t shown = std::min(view.versions.size(), kMatrixVersions);
  if (shown > 0 && !sorted.empty()) {
    out << "\nDumps per client version, newest first:\n\n";
    std::vector<std::vector<std::string>> matrix(1, {"BUCKET"});
    for (std::size_t i = 0; i < shown; ++i) matrix[0].push_back(Printable(view.versions[view.versions.size() - 1 - i]));
    if (view.versions.size() > shown) matrix[0].push_back("OLDER");
    for (const Bucket* b : sorted) {
      const auto& per = b->history->per_version;
      std::vector<std::string> row{"#" + std::to_string(b->history->id)};
      std::size_t older = 0;
      for (std::size_t i = 0; i < view.versions.size(); ++i) {
        const auto it = per.find(view.versions[view.versions.size() - 1 - i]);
        const std::size_t n = it == per.end() ? 0 : it->second;
        if (i < shown) {
          row.push_back(Count(n));
        } else {
          older += n;
        }
      }
      if (view.versions.size() > shown) row.push_back(Count(older));
      matrix.push_back(std::move(row));
    }
    WriteColumns(out, matrix, matrix[0].size());
  }

  WriteTopFrames(out, sorted);
  WriteTotals(out, view.buckets, sorted.size(),
              view.run_started ? "; \"new\": first seen in the run of " + ShownTime(view.run_started->substr(0, 19)) + " UTC" : "",
              failures);
}

}  // namespace triage
