// Groups summaries of readable dumps by what crashed where: the exception code, the
// fault module (case-folded) and the offset into it. Knows nothing of the file format
// or of how buckets are shown. Memory grows with the buckets and their distinct
// values, not with the number of dumps: each bucket keeps at most kKeptDumps rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "triage/summary.h"

namespace triage {

// When the stack's top frame is known (from the context, the unwind data or the frame
// pointer chain, in a module): the code and the top three frames that are not guesses,
// "0xC0000005 nvwgf2umx.dll!OpenAdapter12 <- client.exe!Render <- client.exe+0x2F1A", so
// that one bug stays one bucket whatever the offset into its function. Otherwise the
// fault module and offset, "0xC0000005 nvwgf2umx.dll+0x1382"; the code alone for a fault
// in no module; "no exception" for a dump without an exception stream. Frames are
// spelled as FrameText spells them (module names case-folded, upper-case hex).
std::string BucketKey(const Summary& summary);

// The client version of a dump: Client.exe's file version, else its file name's.
std::optional<std::string> ClientVersionOf(const Summary& summary);
// The fault module's version as the tables show it: its product version where it has one.
std::optional<std::string> FaultModuleVersionOf(const Summary& summary);

// Orders "a.b.c.d" versions by their numbers, other texts after them.
bool VersionLess(const std::string& a, const std::string& b);
using VersionSet = std::set<std::string, bool (*)(const std::string&, const std::string&)>;

// What a crash history adds: the bucket's number, status and note, and how it stands
// against the releases.
struct BucketHistory {
  std::int64_t id = 0;
  std::optional<std::string> fixed_in;  // marked fixed in this client version
  std::optional<std::string> note;
  bool regressed = false;  // a dump of the fixed version or a later one came in
  bool fresh = false;      // its first dump came in the run being shown
  std::optional<std::string> new_in;  // first seen in the newest client version present
  std::size_t copies = 0;             // files read, counting each copy of a dump
  std::map<std::string, std::size_t, bool (*)(const std::string&, const std::string&)> per_version{VersionLess};
};

struct Bucket {
  static constexpr std::size_t kKeptDumps = 200;

  // One dump of the bucket as the HTML page lists it.
  static constexpr std::size_t kTopFrames = 5;

  struct Row {
    std::string file;
    std::vector<NamedFrame> stack;
    std::optional<std::string> time, client_version, fault_module_version;
    std::vector<std::pair<std::string, std::string>> fields;  // report fields but the module list
    std::vector<std::string> client_text;
  };

  std::string key;
  std::size_t count = 0;
  std::optional<std::string> first, last;
  VersionSet versions{VersionLess};
  VersionSet fault_module_versions{VersionLess};  // product versions where they differ from file versions
  VersionSet thread_names{VersionLess};           // of the crashing threads, as their programs named them
  std::optional<std::string> advice;
  std::string example;  // the latest dump
  std::optional<std::string> example_time;
  std::vector<NamedFrame> top_frames;  // the latest dump's first kTopFrames frames
  std::map<std::string, std::size_t> per_day;  // yyyy-mm-dd -> dumps
  std::vector<Row> rows;  // the latest kKeptDumps dumps
  std::size_t rows_dropped = 0;

  using History = BucketHistory;
  std::optional<History> history;
};

// A dump as a bucket keeps it for the page.
Bucket::Row RowOf(const Summary& summary);

class Buckets {
 public:
  // With `keep_rows`, each bucket also keeps its latest dumps for the HTML page.
  explicit Buckets(bool keep_rows = false) : keep_rows_(keep_rows) {}
  void Add(const Summary& summary);
  // A bucket made elsewhere (a crash history's view), with its dumps counted.
  void Put(Bucket bucket);
  // Largest first, then by key.
  std::vector<const Bucket*> Sorted() const;
  std::size_t dumps() const { return dumps_; }

 private:
  std::map<std::string, Bucket> buckets_;
  std::size_t dumps_ = 0;
  bool keep_rows_;
};

// A crash history's view: its buckets, and what it says of the store as a whole.
struct HistoryView {
  Buckets buckets{false};
  std::optional<std::int64_t> run;            // the run whose new buckets are "new"
  std::optional<std::string> run_started;     // UTC
  std::optional<std::string> newest_version;  // of the dumps in the view
  std::vector<std::string> versions;          // every client version in the view, oldest first
};

}  // namespace triage
