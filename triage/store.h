// The crash history: one SQLite file that keeps every dump ever read, once each by its
// content, where each copy was found, the facts its bucket and the views need (so views
// never read a dump file again), and per bucket a status and a note.
//
// Dumps are added in batches, one transaction each: a run that is killed leaves exactly
// the batches that committed, and the next run adds the rest. The file is in WAL mode
// with a busy timeout, so two runs may add to it at once; a dump's content is unique in
// the table, so neither counts a dump the other added.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <tuple>
#include <optional>
#include <string>
#include <vector>

#include "triage/buckets.h"
#include "triage/content_hash.h"
#include "triage/summary.h"

struct sqlite3;

namespace triage {

class SqlStatement;

// One dump read in this run, ready to be added.
struct NewDump {
  Sha256Digest sha256{};
  std::uint64_t bytes = 0;
  std::string path;  // where it was found, UTF-8
  std::optional<std::string> stamp;
  std::optional<Summary> summary;  // readable, with its bucket key; none for a copy of a stored dump
};

// Which dumps a view covers: those that crashed on or after a day, of some client versions.
struct Filter {
  std::optional<std::string> since;  // yyyy-mm-dd
  std::vector<std::string> versions;
};

class Store {
 public:
  static constexpr int kVersion = 2;
  static constexpr std::uint32_t kApplicationId = 0x43547269;  // "CTri"

  // Opens the store in `file`, creating it when there is no file (or an empty one), and
  // brings a store of an older version up to date in one transaction. Refuses, with a
  // one-line reason and without writing to it, a file of a newer version, a file that is
  // not a crash-triage store, a damaged one, and a store on a network file system.
  static std::unique_ptr<Store> Open(const std::filesystem::path& file, std::string* why);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The command line of this run, recorded with its first dumps; the run's number marks
  // the dumps it adds.
  void StartRun(const std::string& command);
  std::optional<std::int64_t> run() const { return run_; }

  // Whether a dump is stored already: found at `path` with the same stamp before, or
  // with this content.
  bool KnownAt(const std::string& path, const std::string& stamp);
  bool Has(const Sha256Digest& sha256);
  // Adds a dump, or a copy of a stored one (counted once per path; when another run
  // added the same content meanwhile, a dump becomes a copy). Held until Commit, or
  // until the batch is full or old enough to commit by itself, which may fail.
  bool Add(NewDump dump, std::string* why);
  // Commits what is held, in one transaction. False with a reason when it fails; the
  // held dumps are then not in the store.
  bool Commit(std::string* why);
  std::size_t added() const { return added_; }
  std::size_t copies_added() const { return copies_added_; }

  // Status. `bucket` is a bucket's number or its whole key.
  bool MarkFixed(const std::string& bucket, const std::string& version, std::string* why);
  bool Reopen(const std::string& bucket, std::string* why);
  bool SetNote(const std::string& bucket, const std::string& note, std::string* why);
  // The bucket's key, for messages.
  std::optional<std::string> KeyOf(const std::string& bucket);

  // Views: the bucket table (with `rows`, each bucket's latest dumps for the page) and
  // the dumps themselves, oldest first.
  bool View(const Filter& filter, bool rows, HistoryView* out, std::string* why);
  bool ForEachDump(const Filter& filter, const std::function<void(const Summary&)>& each, std::string* why);

  // Re-keying: the stored dumps with the paths they were found at; the new facts of
  // those read again, staged outside the store; then all of them applied in one
  // transaction, buckets that now share a key merged (their statuses and notes kept).
  struct Located {
    std::int64_t id = 0;
    Sha256Digest sha256{};
    std::vector<std::string> paths;
  };
  bool ForEachStored(const std::function<void(const Located&)>& each, std::string* why);
  bool StageRekey(std::int64_t id, const Summary& summary, std::string* why);
  struct Merge {
    std::string key;
    std::vector<std::int64_t> buckets;  // the numbers that became one, the kept one first
  };
  bool ApplyRekey(std::vector<Merge>* merges, std::string* why);

  sqlite3* handle() const { return db_; }

 private:
  explicit Store(sqlite3* db);
  class Loader;
  bool Exec(const char* sql, std::string* why);
  // A statement of the hot paths, prepared once for the connection and reset for use.
  SqlStatement& Cached(const char* sql);
  bool RecordRun(std::string* why);
  bool Migrate(std::string* why);
  std::optional<std::int64_t> BucketId(const std::string& bucket);
  bool SetStatus(const std::string& bucket, const char* column, const std::optional<std::string>& value,
                 std::string* why);
  std::int64_t ModuleId(const Summary::ModuleRow& module);
  std::string FramesOf(const Summary& summary, const std::vector<std::int64_t>& module_ids);
  bool Insert(const NewDump& dump, std::string* why);

  sqlite3* db_;
  std::string command_;
  std::optional<std::int64_t> run_;
  std::vector<NewDump> held_;
  std::int64_t held_since_ = 0;
  std::size_t added_ = 0;
  std::size_t copies_added_ = 0;
  bool staging_ = false;
  std::map<std::string, std::unique_ptr<SqlStatement>> cached_;
  std::map<std::tuple<std::string, std::uint32_t, std::optional<std::uint32_t>, std::optional<std::string>>,
           std::int64_t>
      module_ids_;
};

}  // namespace triage
