// One full composition: 128 module lines and both client texts at their longest.
#include <benchmark/benchmark.h>

#include "full_report.h"

namespace {

void BM_ComposeFullReport(benchmark::State& state) {
  reporttest::FullReport full(128, u"KERNELBASE.dll");
  for (auto _ : state) {
    full.Compose();
    benchmark::DoNotOptimize(full.report.data());
  }
}
BENCHMARK(BM_ComposeFullReport);

}  // namespace

BENCHMARK_MAIN();
