// One full composition: 128 module lines and both client texts at their longest.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "capture/report.h"
#include "fakes/fake_process.h"

namespace {

void BM_ComposeFullReport(benchmark::State& state) {
  fakes::FakeProcess process;
  fakes::FakeModules modules;
  for (int i = 0; i < 128; ++i) modules.modules.push_back({0, 0, u"KERNELBASE.dll"});
  auto block = std::make_unique<CrashContextBlock>();
  std::fill(std::begin(block->reportText1), std::end(block->reportText1) - 1, u'\u20AC');
  std::fill(std::begin(block->reportText2), std::end(block->reportText2) - 1, u'x');
  capture::CrashInfo info;
  info.process = reinterpret_cast<capture::Handle>(0x100);
  info.thread = reinterpret_cast<capture::Handle>(0x200);
  info.code = 0xC0000005;
  info.address = 0x7FFB2C4A1F3E;
  std::vector<char> report(capture::kReportCapacity);
  for (auto _ : state) {
    capture::ComposeReport(process, modules, info, block.get(), u"nvwgf2umx.dll", report.data(),
                           report.size());
    benchmark::DoNotOptimize(report.data());
  }
}
BENCHMARK(BM_ComposeFullReport);

}  // namespace

BENCHMARK_MAIN();
