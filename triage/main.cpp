// crash-triage: reads player dumps and groups them by what crashed where, and keeps a
// crash history that says what is new, fixed or worse.
//
//   crash-triage [--json | --csv | --buckets-json] [--html FILE] [--binaries DIR]...
//                [--symbols DIR]... [--store DIR]... [--all-threads] PATH...
//   crash-triage --db FILE [--json | --csv | --buckets-json] [--html FILE] [--since DATE]
//                [--version V]... [--rekey] [--binaries DIR]... [--symbols DIR]... [--store DIR]... [PATH...]
//   crash-triage archive --store DIR RELEASE...
//   crash-triage mark --db FILE BUCKET [--fixed-in VERSION | --reopen] [--note TEXT]
//   crash-triage --version
//
// Exit status: 0 when every dump was read (every file archived), 1 when some could not
// be (all others are still reported), 2 for a usage error, a PATH that does not exist or
// a store that cannot be used.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>

#include "triage/buckets.h"
#include "triage/content_hash.h"
#include "triage/local_files.h"
#include "triage/platform.h"
#include "triage/range_reader.h"
#include "triage/render.h"
#include "triage/store.h"
#include "triage/summary.h"
#include "triage/symbol_archive.h"
#include "triage/walk.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One line on stderr, rewritten in place, once a run has taken more than a second.
// Done clears it before any output follows: on one terminal the table would otherwise
// start on the progress line.
class Progress {
 public:
  Progress(std::size_t total, const char* what) : total_(total), what_(what), enabled_(triage::StderrIsTerminal()) {}
  void Step(std::size_t done) {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - shown_ < std::chrono::milliseconds(200)) return;
    shown_ = now;
    std::cerr << "\r" << what_ << ": " << done << " of " << total_ << std::flush;
    visible_ = true;
  }
  void Done() {
    if (visible_) std::cerr << "\r" << std::string(40, ' ') << "\r" << std::flush;
    visible_ = false;
  }

 private:
  std::size_t total_;
  const char* what_;
  bool enabled_;
  bool visible_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point shown_{};
};

// CLI11 takes the arguments last first, without the program's name.
int Parse(CLI::App& app, const std::vector<std::string>& args, std::size_t skip) {
  std::vector<std::string> reversed(args.rbegin(), args.rend() - static_cast<std::ptrdiff_t>(std::min(skip, args.size())));
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  return -1;
}

bool Given(const std::vector<std::string>& args, const std::string& option) {
  return std::any_of(args.begin() + (args.empty() ? 0 : 1), args.end(),
                     [&](const std::string& a) { return a == option || a.rfind(option + "=", 0) == 0; });
}

bool Folders(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    std::error_code ec;
    if (!fs::is_directory(triage::PathFromUtf8(folder), ec)) {
      std::cerr << "crash-triage: " << triage::Printable(folder) << ": no such folder\n";
      return false;
    }
  }
  return true;
}

std::unique_ptr<triage::Store> OpenStore(const std::string& db) {
  std::string why;
  std::unique_ptr<triage::Store> store = triage::Store::Open(triage::PathFromUtf8(db), &why);
  if (!store) std::cerr << "crash-triage: " << triage::Printable(db) << ": " << why << "\n";
  return store;
}

std::string Joined(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) line += (line.empty() ? "" : " ") + a;
  return line;
}

// --- crash-triage archive --------------------------------------------------------------

int Archive(const std::vector<std::string>& args) {
  CLI::App app{"Copies every PE image and PDB under each RELEASE folder into the symbol store DIR, laid out as "
               "Microsoft's debuggers and symbol servers read it (name/key/name). Never replaces a file there."};
  app.name("crash-triage archive");
  std::string store;
  std::vector<std::string> releases;
  app.add_option("--store", store, "the symbol store folder (made when missing)")->type_name("DIR")->required();
  app.add_option("RELEASE", releases, "a release's folder (searched recursively) or one file")->required();
  if (const int code = Parse(app, args, 2); code >= 0) return code;
  for (const std::string& release : releases) {
    std::error_code ec;
    if (!fs::exists(triage::PathFromUtf8(release), ec)) {
      std::cerr << "crash-triage: " << triage::Printable(release) << ": no such file or folder\n";
      return 2;
    }
  }
  std::error_code ec;
  fs::create_directories(triage::PathFromUtf8(store), ec);
  if (!fs::is_directory(triage::PathFromUtf8(store), ec)) {
    std::cerr << "crash-triage: " << triage::Printable(store) << ": cannot make the folder\n";
    return 2;
  }
  triage::ArchiveResult total;
  for (const std::string& release : releases) {
    const triage::ArchiveResult r = triage::ArchiveRelease(triage::PathFromUtf8(release), triage::PathFromUtf8(store));
    total.archived += r.archived;
    total.present += r.present;
    total.skipped += r.skipped;
    total.refused.insert(total.refused.end(), r.refused.begin(), r.refused.end());
  }
  for (const std::string& line : total.refused) std::cerr << "crash-triage: " << triage::Printable(line) << "\n";
  std::cout << "archived " << total.archived << (total.archived == 1 ? " file" : " files") << " into "
            << triage::Printable(store) << "; " << total.present << " there already, " << total.refused.size()
            << " refused, " << total.skipped << " other files skipped\n";
  return total.refused.empty() ? 0 : 1;
}

// --- crash-triage mark -----------------------------------------------------------------

int Mark(const std::vector<std::string>& args) {
  CLI::App app{"Marks a bucket of the crash history fixed in a client version, reopens it, or attaches a note."};
  app.name("crash-triage mark");
  std::string db, bucket, fixed_in, note;
  bool reopen = false;
  app.add_option("--db", db, "the crash history")->type_name("FILE")->required();
  app.add_option("BUCKET", bucket, "the bucket's number (as the table shows it) or its whole key")->required();
  CLI::Option* fixed = app.add_option("--fixed-in", fixed_in, "fixed in this client version: a dump of it or a "
                                                              "later one makes the bucket regressed")
                           ->type_name("VERSION");
  CLI::Option* open = app.add_flag("--reopen", reopen, "no longer fixed");
  CLI::Option* noted = app.add_option("--note", note, "a one-line note, such as the tracker's ticket (\"\" removes it)")
                           ->type_name("TEXT");
  fixed->excludes(open);
  if (const int code = Parse(app, args, 2); code >= 0) return code;
  if (!fixed->count() && !reopen && !noted->count()) {
    std::cerr << "crash-triage mark: say --fixed-in VERSION, --reopen or --note TEXT\n";
    return 2;
  }
  if (fixed->count() && !triage::VersionNumbers(fixed_in, 9)) {
    std::cerr << "crash-triage mark: " << triage::Printable(fixed_in) << ": not a version (such as 10.2.0.8)\n";
    return 2;
  }
  if (note.find_first_of("\r\n") != std::string::npos) {
    std::cerr << "crash-triage mark: a note is one line\n";
    return 2;
  }
  const std::unique_ptr<triage::Store> store = OpenStore(db);
  if (!store) return 2;
  std::string why;
  const bool done = (!fixed->count() || store->MarkFixed(bucket, fixed_in, &why)) &&
                    (!reopen || store->Reopen(bucket, &why)) && (!noted->count() || store->SetNote(bucket, note, &why));
  if (!done) {
    std::cerr << "crash-triage mark: " << triage::Printable(why) << "\n";
    return 2;
  }
  std::cout << "bucket " << triage::Printable(bucket) << " (" << triage::Printable(store->KeyOf(bucket).value_or(""))
            << "):" << (fixed->count() ? " fixed in " + fixed_in + ";" : "") << (reopen ? " open;" : "")
            << (noted->count() ? " note: " + triage::Printable(note) : "") << "\n";
  return 0;
}

// --- reading dumps ---------------------------------------------------------------------

struct ReadOptions {
  bool json = false, csv = false, buckets_json = false, all_threads = false, rekey = false;
  std::string html, db;
  std::optional<std::string> since;
  std::vector<std::string> versions;
};

// Reads the dump of `found`: a summary with its bucket, or readable false and why.
triage::Summary Read(const triage::Found& f, const triage::StackOptions& stack_options, const triage::RangeReader* input,
                     const std::string& why) {
  const std::string file_name = triage::Utf8Path(f.path.filename());
  triage::Summary summary = input ? triage::Summarize(*input, f.shown, file_name, stack_options)
                                  : triage::Unreadable(f.shown, file_name, why);
  if (summary.readable) summary.bucket = triage::BucketKey(summary);
  return summary;
}

// Re-reads every stored dump still at a path it was found at, and merges the buckets
// that now share a key.
bool Rekey(triage::Store& store, const triage::StackOptions& stack_options) {
  std::size_t read = 0, missing = 0;
  std::string why;
  const bool listed = store.ForEachStored(
      [&](const triage::Store::Located& d) {
        for (const std::string& path : d.paths) {
          std::string ignored;
          const std::unique_ptr<triage::RangeReader> input = triage::OpenFileRange(triage::PathFromUtf8(path), &ignored);
          if (!input || triage::HashContent(*input, &ignored) != d.sha256) continue;  // gone, or now another file
          const triage::Found f{triage::PathFromUtf8(path), path, std::nullopt};
          triage::Summary summary = Read(f, stack_options, input.get(), "");
          if (!summary.readable) continue;
          if (store.StageRekey(d.id, summary, &why)) ++read;
          return;
        }
        ++missing;
      },
      &why);
  std::vector<triage::Store::Merge> merges;
  if (!listed || !why.empty() || !store.ApplyRekey(&merges, &why)) {
    std::cerr << "crash-triage: re-keying failed, the store is as it was: " << triage::Printable(why) << "\n";
    return false;
  }
  std::cerr << "crash-triage: re-keyed " << read << (read == 1 ? " dump" : " dumps");
  if (missing > 0) std::cerr << "; " << missing << " no longer where they were found keep their buckets";
  std::cerr << "\n";
  for (const triage::Store::Merge& m : merges) {
    std::cerr << "crash-triage: merged buckets";
    for (std::size_t i = 0; i < m.buckets.size(); ++i) std::cerr << (i ? ", #" : " #") << m.buckets[i];
    std::cerr << " into #" << m.buckets.front() << ", " << triage::Printable(m.key) << "\n";
  }
  return true;
}

int ReadDumps(const std::vector<std::string>& args) {
  CLI::App app{"Reads minidumps and groups them by exception and where it crashed: the top frames of the "
               "crashing thread's stack, or the fault module and offset. With --db, keeps them in a crash history "
               "and shows it: status, the release matrix, new and regressed buckets.\n\n"
               "Also:\n  crash-triage archive --store DIR RELEASE...   keep a release's binaries and PDBs\n"
               "  crash-triage mark --db FILE BUCKET [--fixed-in VERSION | --reopen] [--note TEXT]\n"};
  app.name("crash-triage");
  ReadOptions o;
  std::vector<std::string> paths;
  CLI::Option* json_flag = app.add_flag("--json", o.json, "one JSON object per dump, one per line");
  CLI::Option* csv_flag = app.add_flag("--csv", o.csv, "one CSV row per dump");
  CLI::Option* buckets_flag = app.add_flag("--buckets-json", o.buckets_json, "one JSON object per bucket, one per line");
  json_flag->excludes(csv_flag)->excludes(buckets_flag);
  csv_flag->excludes(buckets_flag);
  app.add_option("--html", o.html, "also write the buckets as one self-contained HTML page to FILE")->type_name("FILE");
  std::vector<std::string> binaries, symbols, stores;
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
  app.add_option("--store", stores, "a symbol store (crash-triage archive): module files and PDBs found by their key")
      ->type_name("DIR")
      ->allow_extra_args(false);
  CLI::Option* threads = app.add_flag("--all-threads", o.all_threads, "with --json, every thread's stack too");
  CLI::Option* db = app.add_option("--db", o.db, "the crash history (a SQLite file, made on first use): each dump is "
                                                 "added once, and every output shows the whole history")
                        ->type_name("FILE");
  threads->excludes(db);
  app.add_option("--since", o.since, "with --db, only dumps that crashed on or after this day")
      ->type_name("YYYY-MM-DD")
      ->needs(db);
  // With a crash history --version names a client version to show; without one it asks
  // for this program's version, as it always has.
  if (Given(args, "--db")) {
    app.add_option("--version", o.versions, "with --db, only dumps of this client version (may be given again)")
        ->type_name("V")
        ->allow_extra_args(false);
  } else {
    app.set_version_flag("--version", "crash-triage " CRASH_TRIAGE_VERSION);
  }
  app.add_flag("--rekey", o.rekey, "with --db, read the stored dumps again (with today's --binaries, --symbols and "
                                   "--store) and merge the buckets that now share a key")
      ->needs(db);
  CLI::Option* path_option =
      app.add_option("PATH", paths, "a dump, or a folder searched recursively for *.dmp (none needed with --db)");
  // Without a crash history there is nothing to show but what the paths hold.
  if (!Given(args, "--db")) path_option->required();
  if (const int code = Parse(app, args, 1); code >= 0) return code;

  for (const std::string& path : paths) {
    std::error_code ec;
    if (!fs::exists(triage::PathFromUtf8(path), ec)) {
      std::cerr << "crash-triage: " << triage::Printable(path) << ": no such file or folder";
      if (path == "archive" || path == "mark") std::cerr << " (the verb " << path << " needs " << (path == "archive" ? "--store" : "--db") << ")";
      std::cerr << "\n";
      return 2;
    }
  }
  // A day that exists: read back, it gives the same text.
  const std::optional<std::int64_t> day = o.since ? triage::DayNumber(*o.since) : std::nullopt;
  if (o.since && (!day || triage::DayText(*day) != *o.since)) {
    std::cerr << "crash-triage: --since " << triage::Printable(*o.since) << ": not a day (YYYY-MM-DD)\n";
    return 2;
  }
  if (!Folders(binaries) || !Folders(symbols) || !Folders(stores)) return 2;
  triage::SymbolStore symbol_store;
  for (const std::string& folder : binaries) symbol_store.AddBinaries(triage::PathFromUtf8(folder));
  for (const std::string& folder : symbols) symbol_store.AddSymbols(triage::PathFromUtf8(folder));
  for (const std::string& folder : stores) symbol_store.AddStore(triage::PathFromUtf8(folder));
  if (!symbols.empty() || !stores.empty()) {
    std::string why;
    std::unique_ptr<triage::Symbolizer> symbolizer = triage::StartSymbolizer(&why);
    if (symbolizer) {
      symbol_store.SetSymbolizer(std::move(symbolizer));
    } else if (!symbols.empty()) {
      std::cerr << "crash-triage: no function, file or line from PDBs: " << why << "\n";
    }
  }
  const triage::StackOptions stack_options{&symbol_store, o.all_threads};

  std::unique_ptr<triage::Store> store;
  if (!o.db.empty()) {
    store = OpenStore(o.db);
    if (!store) return 2;
    store->StartRun(Joined(args));
  }

  std::ofstream html_out;
  if (!o.html.empty()) {
    html_out.open(triage::PathFromUtf8(o.html), std::ios::binary | std::ios::trunc);
    if (!html_out) {
      std::cerr << "crash-triage: cannot write " << triage::Printable(o.html) << "\n";
      return 2;
    }
  }

  std::vector<triage::Found> found;
  for (const std::string& path : paths) triage::FindDumps(triage::PathFromUtf8(path), &found);

  triage::BinaryStdout();
  std::ios::sync_with_stdio(false);
  std::ostream& out = std::cout;
  // Without a store, each dump goes to the outputs as it is read; with one, into the
  // store, and the outputs show the store afterwards.
  if (o.csv && !store) triage::WriteCsvHeader(out);
  triage::Buckets buckets(html_out.is_open());
  std::vector<triage::Failure> failures;
  std::size_t known = 0;
  Progress progress(found.size(), "reading dumps");
  for (std::size_t i = 0; i < found.size(); ++i) {
    const triage::Found& f = found[i];
    progress.Step(i + 1);
    std::string why = f.error.value_or("");
    std::unique_ptr<triage::RangeReader> input;
    if (!f.error) input = triage::OpenFileRange(f.path, &why);
    if (store && input) {
      // Kept by where it was found, and known by its content.
      std::error_code ec;
      const std::string path = triage::Utf8Path(fs::absolute(f.path, ec).lexically_normal());
      const std::optional<std::string> stamp = triage::FileStamp(f.path);
      if (stamp && store->KnownAt(path, *stamp)) {
        ++known;
        continue;
      }
      const std::optional<triage::Sha256Digest> sha256 = triage::HashContent(*input, &why);
      if (!sha256) {
        failures.push_back({f.shown, why});
        continue;
      }
      triage::NewDump dump{*sha256, input->Size(), path, stamp, std::nullopt};
      if (!store->Has(*sha256)) {
        dump.summary = Read({f.path, path, std::nullopt}, stack_options, input.get(), why);
        if (!dump.summary->readable) {
          failures.push_back({f.shown, dump.summary->error});
          continue;
        }
      }
      if (!store->Add(std::move(dump), &why)) {
        progress.Done();
        std::cerr << "crash-triage: " << triage::Printable(o.db) << ": cannot add: " << triage::Printable(why) << "\n";
        return 2;
      }
      continue;
    }
    const triage::Summary summary = Read(f, stack_options, input.get(), why);
    if (summary.readable) {
      buckets.Add(summary);
    } else {
      failures.push_back({summary.file, summary.error});
    }
    if (store) continue;
    if (o.json) triage::WriteJsonLine(out, summary);
    if (o.csv) triage::WriteCsvRow(out, summary);
  }
  progress.Done();

  if (store) {
    std::string why;
    if (!store->Commit(&why)) {
      std::cerr << "crash-triage: " << triage::Printable(o.db) << ": cannot add: " << triage::Printable(why) << "\n";
      return 2;
    }
    if (o.rekey && !Rekey(*store, stack_options)) return 2;
    const triage::Filter filter{o.since, o.versions};
    const std::size_t copies = store->copies_added();
    const std::string added = "crash history " + triage::Printable(o.db) + ": " + std::to_string(store->added()) +
                              (store->added() == 1 ? " new dump, " : " new dumps, ") + std::to_string(copies) +
                              (copies == 1 ? " new copy" : " new copies") + " of stored ones, " +
                              std::to_string(known) + " known already";
    if (o.json || o.csv) {
      if (o.csv) triage::WriteCsvHeader(out);
      const bool listed = store->ForEachDump(filter, [&](const triage::Summary& s) {
        if (o.json) triage::WriteJsonLine(out, s);
        if (o.csv) triage::WriteCsvRow(out, s);
      }, &why);
      if (!listed) {
        std::cerr << "crash-triage: " << triage::Printable(o.db) << ": " << triage::Printable(why) << "\n";
        return 2;
      }
    }
    triage::HistoryView view;
    if (o.buckets_json || (!o.json && !o.csv) || html_out.is_open()) {
      if (!store->View(filter, html_out.is_open(), &view, &why)) {
        std::cerr << "crash-triage: " << triage::Printable(o.db) << ": " << triage::Printable(why) << "\n";
        return 2;
      }
    }
    if (o.buckets_json) triage::WriteBucketsJson(out, view.buckets);
    if (!o.json && !o.csv && !o.buckets_json) {
      out << added << ".\n\n";
      triage::WriteHistoryTable(out, view, failures);
    } else {
      std::cerr << "crash-triage: " << added << "\n";
      if (!failures.empty()) triage::WriteFailures(std::cerr, failures);
    }
    if (html_out.is_open()) triage::WriteHtml(html_out, view.buckets, failures, &view);
  } else {
    if (o.buckets_json) triage::WriteBucketsJson(out, buckets);
    if (!o.json && !o.csv && !o.buckets_json) {
      triage::WriteTable(out, buckets, failures);
    } else if (o.buckets_json && !failures.empty()) {
      triage::WriteFailures(std::cerr, failures);
    }
    if (html_out.is_open()) triage::WriteHtml(html_out, buckets, failures);
  }
  if (html_out.is_open()) {
    html_out.close();
    if (!html_out) {
      std::cerr << "crash-triage: cannot write " << triage::Printable(o.html) << "\n";
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

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = triage::Utf8Arguments(argc, argv);
  // A verb comes first, and only together with its store: without --db and --store every
  // command line means what it always meant, a folder named "archive" included.
  if (args.size() > 1 && (Given(args, "--db") || Given(args, "--store"))) {
    if (args[1] == "archive") return Archive(args);
    if (args[1] == "mark") return Mark(args);
  }
  return ReadDumps(args);
}
