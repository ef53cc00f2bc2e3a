// The dump reader and everything after it on arbitrary bytes: the summary, the bucket,
// and every output. Nothing may crash, hang, read out of bounds or throw.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <vector>

#include "triage/buckets.h"
#include "triage/minidump.h"
#include "triage/range_reader.h"
#include "triage/render.h"
#include "triage/summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const triage::MemoryRangeReader input({data, size});
  triage::Summary summary = triage::Summarize(input, "fuzz.dmp", "Client_10.2.0.7_2026-03-01_21-14-05_ENEU.dmp");
  std::ostringstream out;
  triage::Buckets buckets(/*keep_rows=*/true);
  std::vector<triage::Failure> failures;
  if (summary.readable) {
    summary.bucket = triage::BucketKey(summary);
    buckets.Add(summary);
  } else {
    failures.push_back({summary.file, summary.error});
  }
  triage::WriteJsonLine(out, summary);
  triage::WriteCsvRow(out, summary);
  triage::WriteBucketsJson(out, buckets);
  triage::WriteTable(out, buckets, failures);
  triage::WriteHtml(out, buckets, failures);

  // The parts the stack walker will use, which the summary does not touch.
  std::string why;
  if (const auto dump = triage::Minidump::Open(input, &why)) {
    std::vector<triage::Thread> threads;
    std::vector<triage::MemoryDescriptor> memory;
    std::optional<triage::Memory64List> memory64;
    dump->ReadThreads(&threads, &why);
    dump->ReadMemoryList(&memory, &why);
    dump->ReadMemory64List(&memory64, &why);
  }
  return 0;
}
