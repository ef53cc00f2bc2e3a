// The notifier's work before its box: the command-line tail parsed, the module
// classified and the crash message composed, for a known driver module (the long
// message), for a module that matches nothing, and the composition alone.
#include <benchmark/benchmark.h>

#include <array>

#include "notifier/notifier.h"

namespace {

class NoBox final : public notifier::MessageBoxPort {
 public:
  void Show(const char16_t* text, const char16_t*, std::uint32_t) override {
    benchmark::DoNotOptimize(text);
  }
};

void Run(benchmark::State& state, const char16_t* tail) {
  NoBox box;
  for (auto _ : state) benchmark::DoNotOptimize(notifier::RunNotifier(tail, box));
}

void BM_NotifierRunKnownModule(benchmark::State& state) { Run(state, u"--module=\"nvwgf2umx.dll\""); }
BENCHMARK(BM_NotifierRunKnownModule);

void BM_NotifierRunUnknownModule(benchmark::State& state) { Run(state, u"--module=\"Client.exe\""); }
BENCHMARK(BM_NotifierRunUnknownModule);

void BM_ComposeCrashMessage(benchmark::State& state) {
  std::array<char16_t, notifier::kMessageCapacity> message{};
  const char16_t* advice = notifier::DialogAdvice(u"nvwgf2umx.dll");
  for (auto _ : state) {
    notifier::ComposeCrashMessage(u"nvwgf2umx.dll", advice, message.data(), message.size());
    benchmark::DoNotOptimize(message.data());
  }
}
BENCHMARK(BM_ComposeCrashMessage);

}  // namespace

BENCHMARK_MAIN();
