// One dump name composition over the fakes, for a typical client: D:\Game\Client.exe,
// version 10.1.0.0, a development block with a tag and a regional language; and the
// same client without a readable block, whose language comes from Vostrel.ini.
#include <benchmark/benchmark.h>

#include <memory>

#include "block_builder.h"
#include "capture/dump_path.h"
#include "fakes/fake_platform.h"

namespace {

void Compose(benchmark::State& state, fakes::FakePlatform& fake, std::uint64_t address) {
  capture::CrashInfo info;
  info.process = reinterpret_cast<capture::Handle>(0x44);
  char16_t dump[260] = {};
  char16_t dir[260] = {};
  for (auto _ : state) {
    const bool built = capture::BuildDumpPath(fake.Ports(), &info, address, dump, 260, dir, 260);
    benchmark::DoNotOptimize(built);
    benchmark::DoNotOptimize(dump);
    fake.folder_requests.clear();  // the fake's call record would grow without end
  }
}

void BM_BuildDumpPathWithBlock(benchmark::State& state) {
  auto fake = std::make_unique<fakes::FakePlatform>();
  const std::uint64_t address =
      naming_tests::Place(*fake, naming_tests::MakeBlock(1, u"nightly", u"en-gb"));
  Compose(state, *fake, address);
}
BENCHMARK(BM_BuildDumpPathWithBlock);

void BM_BuildDumpPathFromSettings(benchmark::State& state) {
  auto fake = std::make_unique<fakes::FakePlatform>();
  fake->ini[u"D:\\Game\\Vostrel.ini"][u"Locale/Language"] = u"tw";
  Compose(state, *fake, 0);
}
BENCHMARK(BM_BuildDumpPathFromSettings);

}  // namespace

BENCHMARK_MAIN();
