// crash-triage: reads player dumps and groups them by what crashed where.
//
//   crash-triage [--json | --csv | --buckets-json] [--html FILE] [--binaries DIR]...
//                [--symbols DIR]... [--all-threads] PATH...
//   crash-triage --version
//
// Exit status: 0 when every dump was read, 1 when some could not be (all others are
// still reported), 2 for a usage error or a PATH that does not exist.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>

#include "triage/buckets.h"
#include "triage/platform.h"
#include "triage/range_reader.h"
#include "triage/render.h"
#include "triage/summary.h"
#include "triage/walk.h"

namespace {

using Clock = std::chrono::steady_clock;

// One line on stderr, rewritten in place, once a run has taken more than a second.
// Done clears it before any output follows: on one terminal the table would otherwise
// start on the progress line.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), enabled_(triage::StderrIsTerminal()) {}
  void Step(std::size_t done) {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - shown_ < std::chrono::milliseconds(200)) return;
    shown_ = now;
    std::cerr << "\rreading dumps: " << done << " of " << total_ << std::flush;
    visible_ = true;
  }
  void Done() {
    if (visible_) std::cerr << "\r" << std::string(40, ' ') << "\r" << std::flush;
    visible_ = false;
  }

 private:
  std::size_t total_;
  bool enabled_;
  bool visible_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point shown_{};
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = triage::Utf8Arguments(argc, argv);
  CLI::App app{"Reads minidumps and groups them by exception and where it crashed: the top frames of the "
               "crashing thread's stack, or the fault module and offset."};
  app.name("crash-triage");
  app.set_version_flag("--version", "crash-triage " CRASH_TRIAGE_VERSION);
  bool json = false, csv = false, buckets_json = false;
  std::string html;
  std::vector<std::string> paths;
  CLI::Option* json_flag = app.add_flag("--json", json, "one JSON object per dump, one per line");
  CLI::Option* csv_flag = app.add_flag("--csv", csv, "one CSV row per dump");
  CLI::Option* buckets_flag = app.add_flag("--buckets-json", buckets_json, "one JSON object per bucket, one per line");
  json_flag->excludes(csv_flag)->excludes(buckets_flag);
  csv_flag->excludes(buckets_flag);
  app.add_option("--html", html, "also write the buckets as one self-contained HTML page to FILE")
      ->type_name("FILE");
  std::vector<std::string> binaries, symbols;
  bool all_threads = false;
  app.add_option("--binaries", binaries,
                 "a folder (searched recursively) of module files: the exact builds a dump names are "
                 "unwound by their unwind data and named by their exports")
      ->type_name("DIR")
      ->allow_extra_args(false);
  app.add_option("--symbols", symbols,
                 "a folder (searched recursively) of PDBs, matched by GUID and age: function, file and "
                 "line through llvm-symbolizer")
      ->type_name("DIR")
      ->allow_extra_args(false);
  app.add_flag("--all-threads", all_threads, "with --json, every thread's stack too");
  app.add_option("PATH", paths, "a dump, or a folder searched recursively for *.dmp")->required();
  std::vector<std::string> reversed(args.rbegin(), args.rend() - (args.empty() ? 0 : 1));
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  for (const std::string& path : paths) {
    std::error_code ec;
    if (!std::filesystem::exists(triage::PathFromUtf8(path), ec)) {
      std::cerr << "crash-triage: " << triage::Printable(path) << ": no such file or folder\n";
      return 2;
    }
  }
  for (const std::vector<std::string>* folders : {&binaries, &symbols}) {
    for (const std::string& folder : *folders) {
      std::error_code ec;
      if (!std::filesystem::is_directory(triage::PathFromUtf8(folder), ec)) {
        std::cerr << "crash-triage: " << triage::Printable(folder) << ": no such folder\n";
        return 2;
      }
    }
  }
  triage::SymbolStore store;
  for (const std::string& folder : binaries) store.AddBinaries(triage::PathFromUtf8(folder));
  for (const std::string& folder : symbols) store.AddSymbols(triage::PathFromUtf8(folder));
  if (!symbols.empty()) {
    std::string why;
    std::unique_ptr<triage::Symbolizer> symbolizer = triage::StartSymbolizer(&why);
    if (symbolizer) {
      store.SetSymbolizer(std::move(symbolizer));
    } else {
      std::cerr << "crash-triage: no function, file or line from PDBs: " << why << "\n";
    }
  }
  const triage::StackOptions stack_options{&store, all_threads};

  std::ofstream html_out;
  if (!html.empty()) {
    html_out.open(triage::PathFromUtf8(html), std::ios::binary | std::ios::trunc);
    if (!html_out) {
      std::cerr << "crash-triage: cannot write " << triage::Printable(html) << "\n";
      return 2;
    }
  }

  std::vector<triage::Found> found;
  for (const std::string& path : paths) triage::FindDumps(triage::PathFromUtf8(path), &found);

  triage::BinaryStdout();
  std::ios::sync_with_stdio(false);
  std::ostream& out = std::cout;
  if (csv) triage::WriteCsvHeader(out);
  triage::Buckets buckets(html_out.is_open());
  std::vector<triage::Failure> failures;
  Progress progress(found.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    const triage::Found& f = found[i];
    const std::string file_name = triage::Utf8Path(f.path.filename());
    triage::Summary summary;
    if (f.error) {
      summary = triage::Unreadable(f.shown, file_name, *f.error);
    } else {
      std::string why;
      const std::unique_ptr<triage::RangeReader> input = triage::OpenFileRange(f.path, &why);
      summary = input ? triage::Summarize(*input, f.shown, file_name, stack_options) : triage::Unreadable(f.shown, file_name, why);
    }
    if (summary.readable) {
      summary.bucket = triage::BucketKey(summary);
      buckets.Add(summary);
    } else {
      failures.push_back({summary.file, summary.error});
    }
    if (json) triage::WriteJsonLine(out, summary);
    if (csv) triage::WriteCsvRow(out, summary);
    progress.Step(i + 1);
  }
  progress.Done();

  if (buckets_json) triage::WriteBucketsJson(out, buckets);
  if (!json && !csv && !buckets_json) {
    triage::WriteTable(out, buckets, failures);
  } else if (buckets_json && !failures.empty()) {
    triage::WriteFailures(std::cerr, failures);
  }
  if (html_out.is_open()) {
    triage::WriteHtml(html_out, buckets, failures);
    html_out.close();
    if (!html_out) {
      std::cerr << "crash-triage: cannot write " << triage::Printable(html) << "\n";
      return 1;
    }
  }
  out.flush();
  if (!out) {
    std::cerr << "crash-triage: cannot write the output\n";
    return 1;
  }
  return failures.empty() ? 0 : 1;
}
