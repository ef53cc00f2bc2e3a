// Groups summaries of readable dumps by what crashed where: the exception code, the
// fault module (case-folded) and the offset into it. Knows nothing of the file format
// or of how buckets are shown. Memory grows with the buckets and their distinct
// values, not with the number of dumps: each bucket keeps at most kKeptDumps rows.
#pragma once

#include <cstddef>
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

// Orders "a.b.c.d" versions by their numbers, other texts after them.
bool VersionLess(const std::string& a, const std::string& b);
using VersionSet = std::set<std::string, bool (*)(const std::string&, const std::string&)>;

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
};

class Buckets {
 public:
  // With `keep_rows`, each bucket also keeps its latest dumps for the HTML page.
  explicit Buckets(bool keep_rows = false) : keep_rows_(keep_rows) {}
  void Add(const Summary& summary);
  // Largest first, then by key.
  std::vector<const Bucket*> Sorted() const;
  std::size_t dumps() const { return dumps_; }

 private:
  std::map<std::string, Bucket> buckets_;
  std::size_t dumps_ = 0;
  bool keep_rows_;
};

}  // namespace triage
