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
void WriteHtml(std::ostream& out, const Buckets& buckets, const std::vector<Failure>& failures);

// A frame as a line of the table and the page: "#1 client.exe!Render+0x1C
// (render.cpp:88) [cfi]".
std::string FrameLine(const NamedFrame& frame);

// Control characters (C0, DEL and the UTF-8 of C1), which a hostile name could use to
// steer a terminal, shown as '?'.
std::string Printable(const std::string& text);
// A yyyy-mm-ddThh:mm:ss time as the table and the page show it: a space for the T.
std::string ShownTime(std::string time);

}  // namespace triage
