// Benchmark of the crash history at scale (not a test): adds dumps through the store's
// own code, as crash-triage adds them but from summaries made here instead of files, then
// times the bucket table with its release matrix, and says the file's size per dump and
// the process's peak memory. Run the view alone on stores of two sizes to see that its
// memory does not grow with the store.
//
//   history_bench --file=STORE [--dumps=1000000]   make a store of that many dumps
//   history_bench --file=STORE --view              time the views of an existing store
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "triage/buckets.h"
#include "triage/store.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Processor time of this process, user and system: on a machine shared with other work
// the wall time says more about the others than about the store.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A dump of a game with 120 modules from a pool, crashing in one of 3,000 places (a few
// of them very often), in one of 30 client versions released over a year.
triage::NewDump MakeDump(std::uint64_t i, std::uint64_t total, std::mt19937_64& random) {
  triage::NewDump d;
  for (int b = 0; b < 8; ++b) d.sha256[b] = static_cast<std::uint8_t>(i >> (8 * b));
  for (std::size_t b = 8; b < d.sha256.size(); ++b) d.sha256[b] = static_cast<std::uint8_t>(random());
  d.bytes = 90'000 + random() % 60'000;
  d.path = "/srv/support/2026/week" + std::to_string(i % 52) + "/Client_" + std::to_string(i) + ".dmp";
  triage::Summary s;
  s.readable = true;
  const std::uint64_t version = i * 30 / total + 1;
  s.client_version = "10.2.0." + std::to_string(version);
  const std::uint64_t place = std::min<std::uint64_t>(random() % 3000, random() % 3000);  // favours the first ones
  char time[32];
  std::snprintf(time, sizeof(time), "2026-%02u-%02uT%02u:%02u:%02u", static_cast<unsigned>(1 + version * 11 / 30 % 12),
                static_cast<unsigned>(1 + random() % 28), static_cast<unsigned>(random() % 24),
                static_cast<unsigned>(random() % 60), static_cast<unsigned>(random() % 60));
  s.time = time;
  s.time_source = "name";
  s.system = triage::Summary::System{"windows", "10.0.19045", "amd64"};
  s.exception.emplace();
  s.exception->code = 0xC0000005;
  s.exception->name = "EXCEPTION_ACCESS_VIOLATION";
  s.exception->address = 0x7FFB2C401382 + place;
  s.exception->thread = 11872;
  s.exception->access = "read";
  s.exception->target = 0x10;
  s.fault.emplace();
  s.fault->module = "module" + std::to_string(place % 97) + ".dll";
  s.fault->offset = 0x1382 + place;
  s.fault->module_version = "31.0.15.5222";
  s.report = triage::Summary::Report{};
  for (const char* key : {"crash.schema", "primary.captured", "primary.source", "primary.code", "primary.address",
                          "primary.thread", "fault.module", "fault.advice", "scene", "build"}) {
    s.report->fields.emplace_back(key, "value of " + std::string(key));
  }
  s.report->client_text = {"scene=harbour", "quality=high"};
  s.report->lines = 140;
  for (int m = 0; m < 120; ++m) {
    const std::uint64_t which = (m * 7 + (m > 100 ? i % 300 : 0)) % 400;
    triage::Summary::ModuleRow row;
    row.name = "module" + std::to_string(which) + ".dll";
    row.path = "C:\\Windows\\System32\\" + row.name;
    row.base = 0x7FF900000000 + static_cast<std::uint64_t>(m) * 0x1000000 + (random() % 64) * 0x10000;
    row.size = 0x80000;
    row.time_date_stamp = static_cast<std::uint32_t>(0x60000000 + which);
    row.version = "10.0.19041." + std::to_string(which);
    s.modules.push_back(std::move(row));
  }
  for (std::size_t f = 0; f < 16; ++f) {
    triage::NamedFrame frame;
    frame.index = f;
    const triage::Summary::ModuleRow& m = s.modules[(place + f * 13) % 100];
    frame.address = m.base + 0x1000 + (place * 16 + f) % 0x7000;
    frame.module = triage::AsciiLower(m.name);
    frame.offset = frame.address - m.base;
    if (f < 3) frame.function = "Function" + std::to_string((place + f) % 5000);
    frame.trust = f == 0 ? triage::FrameTrust::kContext : f < 6 ? triage::FrameTrust::kCfi : triage::FrameTrust::kScan;
    s.stack.push_back(std::move(frame));
  }
  s.bucket = triage::BucketKey(s);
  d.summary = std::move(s);
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  std::string file;
  std::uint64_t dumps = 1'000'000;
  bool view_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--file=", 7) == 0) file = argv[i] + 7;
    if (std::strncmp(argv[i], "--dumps=", 8) == 0) dumps = std::stoull(argv[i] + 8);
    if (std::strcmp(argv[i], "--view") == 0) view_only = true;
  }
  if (file.empty()) {
    std::fprintf(stderr, "usage: history_bench --file=STORE [--dumps=N] [--view]\n");
    return 2;
  }
  std::string why;
  if (!view_only) {
    std::filesystem::remove(file);
    std::unique_ptr<triage::Store> store = triage::Store::Open(file, &why);
    if (!store) {
      std::fprintf(stderr, "history_bench: %s\n", why.c_str());
      return 1;
    }
    store->StartRun("history_bench");
    std::mt19937_64 random(42);
    const auto start = Clock::now();
    const double cpu = CpuSeconds();
    for (std::uint64_t i = 0; i < dumps; ++i) {
      if (!store->Add(MakeDump(i, dumps, random), &why)) {
        std::fprintf(stderr, "history_bench: %s\n", why.c_str());
        return 1;
      }
    }
    if (!store->Commit(&why)) return 1;
    const double seconds = Since(start);
    std::printf("added %llu dumps in %.1f s (%.0f dumps/s; %.1f s of CPU), peak RSS %ld KiB\n",
                static_cast<unsigned long long>(dumps), seconds, static_cast<double>(dumps) / seconds, CpuSeconds() - cpu,
                PeakKib());
  }
  std::unique_ptr<triage::Store> store = triage::Store::Open(file, &why);
  if (!store) return 1;
  const auto size = std::filesystem::file_size(file);
  std::size_t stored = 0;
  for (const auto& [name, filter] : {std::pair<const char*, triage::Filter>{"whole store", {}},
                                     {"--version 10.2.0.30", {std::nullopt, {"10.2.0.30"}}},
                                     {"--since 2026-11-01", {std::string("2026-11-01"), {}}}}) {
    triage::HistoryView view;
    const auto start = Clock::now();
    const double cpu = CpuSeconds();
    if (!store->View(filter, false, &view, &why)) {
      std::fprintf(stderr, "history_bench: %s\n", why.c_str());
      return 1;
    }
    if (stored == 0) stored = view.buckets.dumps();
    std::printf("bucket table and release matrix, %s: %zu dumps in %zu buckets, %zu versions, %.3f s (%.3f s of CPU)\n",
                name, view.buckets.dumps(), view.buckets.Sorted().size(), view.versions.size(), Since(start),
                CpuSeconds() - cpu);
  }
  std::printf("store: %.1f MiB, %.0f bytes per dump; peak RSS %ld KiB\n", static_cast<double>(size) / (1 << 20),
              static_cast<double>(size) / static_cast<double>(std::max<std::size_t>(stored, 1)), PeakKib());
  return 0;
}
