// The dump reader and everything after it on arbitrary bytes: the summary, the bucket,
// and every output. Nothing may crash, hang, read out of bounds or throw.
#include <array>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <vector>

#include "fuzz_support.h"
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

  // The stack walker's memory, which the summary builds for x64 dumps only: its ranges
  // sorted and one looked up, at the first thread's stack or the first memory64 range.
  std::string why;
  triage::MemoryLists lists;
  if (const auto dump = triage::Minidump::Open(input, &why); dump && dump->ReadMemoryLists(&lists, &why)) {
    triage::DumpMemory memory;
    memory.Load(*dump, lists);
    std::uint64_t address = 0;
    if (!lists.threads.empty()) {
      address = lists.threads[0].stack.start;
    } else if (lists.memory64 && !lists.memory64->ranges.empty()) {
      address = lists.memory64->ranges[0].start;
    }
    std::array<std::uint8_t, 8> word{};
    if (const auto end = memory.EndOf(address)) fuzz::Check(*end > address);
    (void)memory.Read(address, word);
  }
  return 0;
}
