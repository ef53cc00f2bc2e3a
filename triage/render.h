// The outputs: JSON lines per dump, CSV rows, JSON lines per bucket, the bucket table and
// the HTML page. They see summaries and buckets only, never the file format.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "triage/buckets.h"
#include "triage/summary.h"

namespace triage {

// A file that could not be read, and why.
struct Failure {
  std::string file;
  std::string why;
};

void WriteJsonLine(std::ostream& out, const Summary& s);
void WriteCsvHeader(std::ostream& out);
void WriteCsvRow(std::ostream& out, const Summary& s);
void WriteBucketsJson(std::ostream& out, const Buckets& buckets);
void WriteTable(std::ostream& out, const Buckets& buckets, const std::vector<Failure>& failures);
// "N files could not be read:", then each file and why, one a line.
void WriteFailures(std::ostream& out, const std::vector<Failure>& failures);
// "N files could not be read" ("1 file" for one).
std::string CouldNotBeRead(std::size_t files);
// The self-contained page: table, share bars, each bucket's dumps, crashes per day.
// Over a crash history, `history` adds each bucket's status and the chart per client version.
void WriteHtml(std::ostream& out, const Buckets& buckets, const std::vector<Failure>& failures,
               const HistoryView* history = nullptr);

// A crash history's bucket table: number, status and note, the counts, and below it the
// release matrix (dumps per bucket and client version).
void WriteHistoryTable(std::ostream& out, const HistoryView& view, const std::vector<Failure>& failures);
// "regressed (fixed in 10.2.0.7), new" and the like.
std::string StatusText(const Bucket::History& history);

// Shared by the tables: newest first, at most `at_most`, "+N" for the rest, "-" for none.
std::string Joined(const VersionSet& values, std::size_t at_most);
// "12.5%".
std::string Share(std::size_t count, std::size_t total);
// A time as the table shows it, "-" for none.
std::string Shown(const std::optional<std::string>& time);
// Below a table: each bucket's top frames; the totals, `more`, and the files not read.
void WriteTopFrames(std::ostream& out, const std::vector<const Bucket*>& sorted);
void WriteTotals(std::ostream& out, const Buckets& buckets, std::size_t count, const std::string& more,
                 const std::vector<Failure>& failures);
// Rows of cells in columns, the first `numbers` columns aligned to the right.
void WriteColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows, std::size_t numbers);

// A frame as a line of the table and the page: "#1 client.exe!Render+0x1C
// (render.cpp:88) [cfi]".
std::string FrameLine(const NamedFrame& frame);

// Control characters (C0, DEL and the UTF-8 of C1), which a hostile name could use to
// steer a terminal, shown as '?'.
std::string Printable(const std::string& text);
// A yyyy-mm-ddThh:mm:ss time as the table and the page show it: a space for the T.
std::string ShownTime(std::string time);

}  // namespace triage
