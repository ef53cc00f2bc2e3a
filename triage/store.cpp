#include "triage/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <system_error>
#include <tuple>
#include <type_traits>

#include "triage/json.h"
#include "triage/local_files.h"
#include "triage/walk.h"

namespace triage {

// One prepared statement, finalized on every path.
class SqlStatement {
 public:
  SqlStatement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~SqlStatement() { sqlite3_finalize(stmt_); }
  SqlStatement(const SqlStatement&) = delete;
  SqlStatement& operator=(const SqlStatement&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  SqlStatement& Bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_, i, v); return *this; }
  SqlStatement& Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  SqlStatement& Bind(int i, const std::optional<std::string>& v) {
    if (v) return Bind(i, *v);
    sqlite3_bind_null(stmt_, i);
    return *this;
  }
  SqlStatement& BindBlob(int i, const void* data, std::size_t size) {
    sqlite3_bind_blob(stmt_, i, data, static_cast<int>(size), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return stmt_ == nullptr ? SQLITE_ERROR : sqlite3_step(stmt_); }
  bool Run() { return Step() == SQLITE_DONE; }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
  bool Null(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
  std::string Text(int i) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i))) : std::string();
  }
  std::optional<std::string> MaybeText(int i) const { return Null(i) ? std::nullopt : std::optional(Text(i)); }
  std::vector<std::uint8_t> Blob(int i) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, i));
    return data ? std::vector<std::uint8_t>(data, data + sqlite3_column_bytes(stmt_, i)) : std::vector<std::uint8_t>();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

namespace {

using Statement = SqlStatement;

namespace fs = std::filesystem;

constexpr int kBusyTimeoutMs = 60'000;
constexpr std::size_t kBatchDumps = 256;
constexpr std::int64_t kBatchMs = 1000;

// The schema, one step per version: a store of version N runs the steps after N. A new
// store runs them all, so a store made new and one brought up to date are the same.
constexpr const char* kSteps[] = {
    // 1: dumps by content, where they were found, buckets with status and note.
    R"(
CREATE TABLE runs(id INTEGER PRIMARY KEY, started TEXT NOT NULL, command TEXT NOT NULL);
CREATE TABLE buckets(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE, fixed_in TEXT, note TEXT);
CREATE TABLE modules(id INTEGER PRIMARY KEY, name TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,
                     stamp INTEGER NOT NULL, version TEXT NOT NULL, UNIQUE(path, size, stamp, version));
CREATE TABLE dumps(id INTEGER PRIMARY KEY, sha256 BLOB NOT NULL UNIQUE, bytes INTEGER NOT NULL,
                   run INTEGER NOT NULL REFERENCES runs, bucket INTEGER NOT NULL REFERENCES buckets,
                   time TEXT, client_version TEXT, module_version TEXT, copies INTEGER NOT NULL DEFAULT 1);
CREATE INDEX dumps_by_bucket ON dumps(bucket, client_version, module_version, time, run, copies);
CREATE INDEX dumps_by_time ON dumps(bucket, time);
CREATE TABLE facts(dump INTEGER PRIMARY KEY REFERENCES dumps, summary TEXT NOT NULL, modules BLOB NOT NULL,
                   frames TEXT NOT NULL);
CREATE TABLE sightings(id INTEGER PRIMARY KEY, dump INTEGER NOT NULL REFERENCES dumps, path TEXT NOT NULL,
                       stamp TEXT, run INTEGER NOT NULL REFERENCES runs, UNIQUE(dump, path));
CREATE INDEX sightings_by_path ON sightings(path, stamp);
)",
    // 2: modules' product versions; the bucket table and the release matrix without a pass
    // over every dump: counts per
    // bucket, client version and fault module version ('' for none), kept by triggers as
    // dumps and copies come in; indexes for the latest dumps and the views from a day on.
    // Module lists are re-encoded with each base as a step from the one before
    // (Store::Migrate).
    R"(
ALTER TABLE modules ADD COLUMN product_version TEXT NOT NULL DEFAULT '';
DROP INDEX dumps_by_bucket;
DROP INDEX dumps_by_time;
CREATE INDEX dumps_by_bucket ON dumps(bucket, client_version, module_version, time);
CREATE INDEX dumps_by_time ON dumps(time, bucket, client_version, module_version, copies, run);
CREATE INDEX dumps_by_latest ON dumps(bucket, time);
CREATE INDEX dumps_by_run ON dumps(run);
CREATE TABLE tallies(bucket INTEGER NOT NULL, client_version TEXT NOT NULL, module_version TEXT NOT NULL,
                     dumps INTEGER NOT NULL, copies INTEGER NOT NULL, first TEXT, last TEXT, first_run INTEGER NOT NULL,
                     PRIMARY KEY(bucket, client_version, module_version)) WITHOUT ROWID;
INSERT INTO tallies SELECT bucket, coalesce(client_version, ''), coalesce(module_version, ''), count(*), sum(copies),
                           min(time), max(time), min(run) FROM dumps GROUP BY 1, 2, 3;
CREATE TRIGGER tally_dump AFTER INSERT ON dumps BEGIN
  INSERT INTO tallies VALUES(new.bucket, coalesce(new.client_version, ''), coalesce(new.module_version, ''), 1,
                             new.copies, new.time, new.time, new.run)
  ON CONFLICT DO UPDATE SET dumps = dumps + 1, copies = copies + excluded.copies,
    first = CASE WHEN first IS NULL OR excluded.first < first THEN excluded.first ELSE first END,
    last = CASE WHEN last IS NULL OR excluded.last > last THEN excluded.last ELSE last END,
    first_run = min(first_run, excluded.first_run);
END;
CREATE TRIGGER tally_copy AFTER UPDATE OF copies ON dumps BEGIN
  UPDATE tallies SET copies = copies + new.copies - old.copies WHERE bucket = new.bucket
    AND client_version = coalesce(new.client_version, '') AND module_version = coalesce(new.module_version, '');
END;
)",
};
static_assert(std::size(kSteps) == Store::kVersion);

std::string Error(sqlite3* db) { return sqlite3_errmsg(db); }

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string UtcNow() {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  return UtcTime(static_cast<std::uint32_t>(seconds));
}

// --- the facts of a summary, as JSON -----------------------------------------------

template <typename T>
std::optional<T> Get(const Json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return std::nullopt;
  return it->get<T>();
}

std::string FactsOf(const Summary& s) {
  Json j = Json::object();
  if (s.system) j["system"] = {{"os", OrNull(s.system->os)}, {"os_version", OrNull(s.system->os_version)}, {"arch", OrNull(s.system->arch)}};
  if (s.name) {
    j["name"] = {{"development", s.name->development}, {"version", s.name->version}, {"time", s.name->time},
                 {"tag", OrNull(s.name->tag)}, {"language", s.name->language}};
  }
  j["client_version"] = OrNull(s.client_version);
  if (s.exception) {
    const Summary::Exception& e = *s.exception;
    j["exception"] = {{"code", e.code}, {"name", OrNull(e.name)}, {"address", e.address}, {"thread", e.thread},
                      {"thread_name", OrNull(e.thread_name)}, {"access", OrNull(e.access)}, {"target", OrNull(e.target)}};
  }
  if (s.fault) {
    j["fault"] = {{"module", OrNull(s.fault->module)}, {"offset", OrNull(s.fault->offset)},
                  {"module_version", OrNull(s.fault->module_version)},
                  {"module_product_version", OrNull(s.fault->module_product_version)}};
  }
  if (s.report) {
    // The report's module lines ("runtime.module.N") repeat the module list, which is
    // kept once per module for every dump: in a store of a million dumps they would be
    // most of its size.
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& field : s.report->fields) {
      if (!IsModuleField(field.first)) fields.push_back(field);
    }
    j["report"] = {{"fields", fields}, {"client_text", s.report->client_text}, {"lines", s.report->lines},
                   {"cut", s.report->cut}};
  }
  j["advice"] = OrNull(s.advice);
  j["dump_time"] = OrNull(s.dump_time);
  j["time"] = OrNull(s.time);
  j["time_source"] = OrNull(s.time_source);
  j["process_id"] = OrNull(s.process_id);
  j["threads"] = s.thread_count;
  return JsonLine(j);
}

void FactsInto(const std::string& text, Summary* s) {
  const Json j = Json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return;
  if (const auto it = j.find("system"); it != j.end()) {
    s->system = Summary::System{Get<std::string>(*it, "os"), Get<std::string>(*it, "os_version"), Get<std::string>(*it, "arch")};
  }
  if (const auto it = j.find("name"); it != j.end()) {
    s->name = DumpName{it->value("development", false), it->value("version", ""), it->value("time", ""),
                       Get<std::string>(*it, "tag"), it->value("language", "")};
  }
  s->client_version = Get<std::string>(j, "client_version");
  if (const auto it = j.find("exception"); it != j.end()) {
    Summary::Exception e;
    e.code = it->value("code", 0u);
    e.name = Get<std::string>(*it, "name");
    e.address = it->value("address", std::uint64_t{0});
    e.thread = it->value("thread", 0u);
    e.thread_name = Get<std::string>(*it, "thread_name");
    e.access = Get<std::string>(*it, "access");
    e.target = Get<std::uint64_t>(*it, "target");
    s->exception = e;
  }
  if (const auto it = j.find("fault"); it != j.end()) {
    s->fault = Summary::Fault{Get<std::string>(*it, "module"), Get<std::uint64_t>(*it, "offset"),
                              Get<std::string>(*it, "module_version"), Get<std::string>(*it, "module_product_version")};
  }
  if (const auto it = j.find("report"); it != j.end()) {
    Summary::Report r;
    r.fields = it->value("fields", std::vector<std::pair<std::string, std::string>>{});
    r.client_text = it->value("client_text", std::vector<std::string>{});
    r.lines = it->value("lines", std::size_t{0});
    r.cut = it->value("cut", false);
    s->report = std::move(r);
  }
  s->advice = Get<std::string>(j, "advice");
  s->dump_time = Get<std::string>(j, "dump_time");
  s->time = Get<std::string>(j, "time");
  s->time_source = Get<std::string>(j, "time_source");
  s->process_id = Get<std::uint32_t>(j, "process_id");
  s->thread_count = j.value("threads", std::size_t{0});
}

// A frame: [module id or null, offset, function, function offset, file, line, trust,
// address]; the address only for a frame in no module (the module's base and the offset
// give it otherwise).
Json FrameFacts(const NamedFrame& f, std::optional<std::int64_t> module) {
  return Json::array({OrNull(module), OrNull(f.offset), OrNull(f.function), OrNull(f.function_offset), OrNull(f.file),
                      OrNull(f.line), TrustName(f.trust), module ? Json(nullptr) : Json(f.address)});
}

// The module list: (module id, base) pairs as LEB128 numbers, a few bytes a module; each
// base as its distance from the one before (zigzag: the sign in the lowest bit).
void PutNumber(std::uint64_t v, std::vector<std::uint8_t>* out) {
  while (v >= 0x80) {
    out->push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<std::uint8_t>(v));
}
void PutStep(std::uint64_t base, std::uint64_t* previous, std::vector<std::uint8_t>* out) {
  const std::uint64_t step = base - *previous;
  PutNumber(step >> 63 ? ~step << 1 | 1 : step << 1, out);
  *previous = base;
}
bool TakeNumber(const std::vector<std::uint8_t>& in, std::size_t* at, std::uint64_t* v) {
  *v = 0;
  for (int shift = 0; *at < in.size() && shift < 64; shift += 7) {
    const std::uint8_t b = in[(*at)++];
    *v |= std::uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

// The WHERE clause of a filter (the tallies know no times).
std::string FilterSql(const Filter& f, bool tallies = false) {
  std::string sql = " WHERE 1";
  if (f.since && !tallies) sql += " AND time >= ?1";
  if (!f.versions.empty()) {
    sql += " AND client_version IN (";
    for (std::size_t i = 0; i < f.versions.size(); ++i) sql += (i ? ",?" : "?") + std::to_string(i + 2);
    sql += ")";
  }
  return sql;
}
void BindFilter(Statement& st, const Filter& f) {
  if (f.since) st.Bind(1, *f.since);
  for (std::size_t i = 0; i < f.versions.size(); ++i) st.Bind(static_cast<int>(i + 2), f.versions[i]);
}

}  // namespace

// --- opening -----------------------------------------------------------------------

std::unique_ptr<Store> Store::Open(const fs::path& file, std::string* why) {
  std::error_code ec;
  const bool exists = fs::exists(file, ec);
  if (exists && !fs::is_regular_file(file, ec)) {
    *why = "not a file";
    return nullptr;
  }
  // The path as given tells a share by its form; its folder's file system tells the rest.
  for (const fs::path& where : {file, fs::absolute(file, ec).parent_path()}) {
    if (const std::optional<std::string> network = NetworkFileSystem(where)) {
      *why = "lies on " + *network + ", where SQLite's locking is not safe: keep the store on a local disk";
      return nullptr;
    }
  }
  // A file that is there must be a SQLite file before SQLite may write to it: an empty
  // file becomes a store, anything else with another header is refused untouched.
  if (exists && fs::file_size(file, ec) > 0) {
    std::ifstream in(file, std::ios::binary);
    char header[16] = {};
    if (!in.read(header, sizeof(header)) || std::memcmp(header, "SQLite format 3", 16) != 0) {
      *why = "not a crash-triage store (not a SQLite file)";
      return nullptr;
    }
  }
  sqlite3* db = nullptr;
  const std::u8string name = file.u8string();
  const int flags = SQLITE_OPEN_READWRITE | (exists ? 0 : SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(reinterpret_cast<const char*>(name.c_str()), &db, flags, nullptr) != SQLITE_OK) {
    *why = db ? Error(db) : "cannot open";
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(db));
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);

  // What the file is, read before anything is written to it.
  std::int64_t application = 0, version = 0, objects = 0;
  {
    Statement a(db, "PRAGMA application_id"), v(db, "PRAGMA user_version");
    if (a.Step() != SQLITE_ROW || v.Step() != SQLITE_ROW) {
      *why = "not a crash-triage store (" + Error(db) + ")";
      return nullptr;
    }
    application = a.Int(0);
    version = v.Int(0);
    Statement o(db, "SELECT count(*) FROM sqlite_schema");
    if (o.Step() != SQLITE_ROW) {
      *why = (application == kApplicationId ? "a damaged crash-triage store (" : "not a crash-triage store (") +
             Error(db) + ")";
      return nullptr;
    }
    objects = o.Int(0);
  }
  const bool empty = application == 0 && version == 0 && objects == 0;
  if (!empty && application != kApplicationId) {
    *why = "not a crash-triage store (a SQLite database of another program)";
    return nullptr;
  }
  if (version > kVersion) {
    *why = "made by a newer crash-triage (store version " + std::to_string(version) + ", this one knows up to " +
           std::to_string(kVersion) + ")";
    return nullptr;
  }
  // Pages of 16 KiB hold several dumps' facts each (at 4 KiB most would take a page of
  // their own); a page size can only be chosen before the first table.
  if (empty && !store->Exec("PRAGMA page_size=16384", why)) return nullptr;
  // Switching a store to WAL needs an exclusive lock, for which SQLite does not wait (its
  // busy timeout covers the ordinary locks only): a second run opening the same new store
  // at that moment would be refused. Once a store is in WAL the switch takes no lock.
  for (const std::int64_t give_up = NowMs() + kBusyTimeoutMs; !store->Exec("PRAGMA journal_mode=WAL", why);) {
    if ((sqlite3_errcode(db) & 0xFF) != SQLITE_BUSY || NowMs() >= give_up) return nullptr;
    sqlite3_sleep(10);
  }
  if (!store->Exec("PRAGMA synchronous=FULL", why) ||
      !store->Exec("PRAGMA foreign_keys=ON", why)) {
    return nullptr;
  }
  if (version < kVersion && !store->Migrate(why)) {
    *why = "cannot bring the store up to date: " + *why;
    return nullptr;
  }
  return store;
}

bool Store::Migrate(std::string* why) {
  // Every step and the new version number in one transaction: a store is at one version
  // or the next, never in between. What the file holds is read again under the write
  // lock: another run may have made or migrated it meanwhile.
  if (!Exec("BEGIN IMMEDIATE", why)) return false;
  auto undo = [&] {
    std::string ignored;
    Exec("ROLLBACK", &ignored);
    return false;
  };
  std::int64_t application = 0, version = 0, objects = 0;
  {
    Statement a(db_, "PRAGMA application_id"), v(db_, "PRAGMA user_version"), o(db_, "SELECT count(*) FROM sqlite_schema");
    if (a.Step() != SQLITE_ROW || v.Step() != SQLITE_ROW || o.Step() != SQLITE_ROW) {
      *why = Error(db_);
      return undo();
    }
    application = a.Int(0);
    version = v.Int(0);
    objects = o.Int(0);
  }
  if (objects > 0 && application != kApplicationId) {
    *why = "not a crash-triage store (a SQLite database of another program)";
    return undo();
  }
  std::string sql;
  if (application != kApplicationId) sql += "PRAGMA application_id=" + std::to_string(kApplicationId) + ";";
  for (std::int64_t step = version; step < kVersion; ++step) sql += kSteps[step];
  sql += "PRAGMA user_version=" + std::to_string(kVersion) + ";";
  if (version < kVersion && !Exec(sql.c_str(), why)) return undo();
  if (version == 1) {
    // Version 1 kept each module's base as it is; version 2 keeps the step from the one
    // before, a few bytes less per module.
    Statement read(db_, "SELECT dump, modules FROM facts");
    Statement write(db_, "UPDATE facts SET modules = ?2 WHERE dump = ?1");
    int step;
    while ((step = read.Step()) == SQLITE_ROW) {
      const std::vector<std::uint8_t> old = read.Blob(1);
      std::vector<std::uint8_t> now;
      std::size_t at = 0;
      std::uint64_t module = 0, base = 0, previous = 0;
      while (at < old.size() && TakeNumber(old, &at, &module) && TakeNumber(old, &at, &base)) {
        PutNumber(module, &now);
        PutStep(base, &previous, &now);
      }
      write.Reset();
      if (!write.Bind(1, read.Int(0)).BindBlob(2, now.data(), now.size()).Run()) {
        *why = Error(db_);
        return undo();
      }
    }
    if (step != SQLITE_DONE) {
      *why = Error(db_);
      return undo();
    }
  }
  return Exec("COMMIT", why) || undo();
}

Store::Store(sqlite3* db) : db_(db) {}

Store::~Store() {
  std::string why;
  if (!held_.empty()) Commit(&why);
  cached_.clear();  // every statement finalized before the connection closes
  sqlite3_close(db_);
}

SqlStatement& Store::Cached(const char* sql) {
  std::unique_ptr<SqlStatement>& st = cached_[sql];
  if (!st) st = std::make_unique<SqlStatement>(db_, sql);
  st->Reset();
  return *st;
}

bool Store::Exec(const char* sql, std::string* why) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *why = message ? message : Error(db_);
  sqlite3_free(message);
  return false;
}

void Store::StartRun(const std::string& command) { command_ = command; }

bool Store::RecordRun(std::string* why) {
  Statement st(db_, "INSERT INTO runs(started, command) VALUES(?1, ?2)");
  if (!st.Bind(1, UtcNow()).Bind(2, command_).Run()) {
    *why = Error(db_);
    return false;
  }
  run_ = sqlite3_last_insert_rowid(db_);
  return true;
}

// --- adding ------------------------------------------------------------------------

bool Store::KnownAt(const std::string& path, const std::string& stamp) {
  Statement& st = Cached("SELECT 1 FROM sightings WHERE path = ?1 AND stamp = ?2 LIMIT 1");
  const bool known = st.Bind(1, path).Bind(2, stamp).Step() == SQLITE_ROW;
  st.Reset();  // a statement left on its row would hold its snapshot, and no write could follow
  return known;
}

bool Store::Has(const Sha256Digest& sha256) {
  Statement& st = Cached("SELECT 1 FROM dumps WHERE sha256 = ?1");
  const bool stored = st.BindBlob(1, sha256.data(), sha256.size()).Step() == SQLITE_ROW;
  st.Reset();
  return stored;
}

bool Store::Add(NewDump dump, std::string* why) {
  if (held_.empty()) held_since_ = NowMs();
  held_.push_back(std::move(dump));
  if (held_.size() < kBatchDumps && NowMs() - held_since_ < kBatchMs) return true;
  return Commit(why);
}

bool Store::Commit(std::string* why) {
  if (held_.empty()) return true;
  std::vector<NewDump> batch;
  batch.swap(held_);
  const std::size_t added = added_, copies = copies_added_;
  const std::optional<std::int64_t> run = run_;
  auto undo = [&] {
    std::string ignored;
    for (auto& [sql, st] : cached_) st->Reset();
    Exec("ROLLBACK", &ignored);
    added_ = added;
    copies_added_ = copies;
    run_ = run;
    module_ids_.clear();  // ids of rows that the rollback took away
    return false;
  };
  if (!Exec("BEGIN IMMEDIATE", why)) return false;
  // The run is recorded with its first dumps: a run that adds nothing writes nothing.
  if (!run_ && !RecordRun(why)) return undo();
  for (const NewDump& dump : batch) {
    if (!Insert(dump, why)) return undo();
  }
  // No statement may stay on a row past the transaction: it would keep a snapshot open.
  for (auto& [sql, st] : cached_) st->Reset();
  if (!Exec("COMMIT", why)) return undo();
  return true;
}

std::int64_t Store::ModuleId(const Summary::ModuleRow& m) {
  const std::string version = m.version.value_or("");
  const auto key = std::make_tuple(m.path, m.size, m.time_date_stamp, version);
  if (const auto it = module_ids_.find(key); it != module_ids_.end()) return it->second;
  // Looked up first: the modules of a game repeat in every dump, and a look-up needs no
  // write lock (re-keying stages its frames without one).
  Statement& find = Cached("SELECT id FROM modules WHERE path = ?1 AND size = ?2 AND stamp = ?3 AND version = ?4");
  find.Bind(1, m.path).Bind(2, m.size).Bind(3, m.time_date_stamp).Bind(4, version);
  if (find.Step() != SQLITE_ROW) {
    Statement& insert = Cached("INSERT INTO modules(name, path, size, stamp, version, product_version) "
                               "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    insert.Bind(1, m.name).Bind(2, m.path).Bind(3, m.size).Bind(4, m.time_date_stamp).Bind(5, version);
    if (!insert.Bind(6, m.product_version.value_or("")).Run()) {
      return 0;
    }
    return module_ids_[key] = sqlite3_last_insert_rowid(db_);
  }
  const std::int64_t id = find.Int(0);
  find.Reset();
  return module_ids_[key] = id;
}

std::string Store::FramesOf(const Summary& s, const std::vector<std::int64_t>& module_ids) {
  Json frames = Json::array();
  for (const NamedFrame& f : s.stack) {
    // A caller's frame belongs to the module of its call instruction, the byte before
    // the return address, as the walk named it.
    std::optional<std::int64_t> module;
    const std::uint64_t at = f.index > 0 ? f.address - 1 : f.address;
    for (std::size_t i = 0; i < s.modules.size() && f.module && !module; ++i) {
      if (at - s.modules[i].base < s.modules[i].size) module = module_ids[i];
    }
    frames.push_back(FrameFacts(f, module));
  }
  return JsonLine(frames);
}

bool Store::Insert(const NewDump& d, std::string* why) {
  auto fail = [&] {
    *why = Error(db_);
    return false;
  };
  bool copy = !d.summary.has_value();
  if (!copy) {
    const Summary& s = *d.summary;
    const std::string key = s.bucket.value_or(BucketKey(s));
    Statement& bucket = Cached("INSERT INTO buckets(key) VALUES(?1) ON CONFLICT DO NOTHING");
    if (!bucket.Bind(1, key).Run()) return fail();
    Statement& dump = Cached(
                   "INSERT INTO dumps(sha256, bytes, run, bucket, time, client_version, module_version) "
                   "SELECT ?1, ?2, ?3, id, ?4, ?5, ?6 FROM buckets WHERE key = ?7 ON CONFLICT DO NOTHING");
    dump.BindBlob(1, d.sha256.data(), d.sha256.size()).Bind(2, static_cast<std::int64_t>(d.bytes)).Bind(3, *run_);
    dump.Bind(4, s.time).Bind(5, ClientVersionOf(s)).Bind(6, FaultModuleVersionOf(s)).Bind(7, key);
    if (!dump.Run()) return fail();
    // Another run may have added the same content since this one looked: then it is a copy.
    copy = sqlite3_changes(db_) == 0;
  }
  if (!copy) {
    const Summary& s = *d.summary;
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    std::vector<std::uint8_t> modules;
    std::vector<std::int64_t> ids;
    std::uint64_t previous = 0;
    for (const Summary::ModuleRow& m : s.modules) {
      ids.push_back(ModuleId(m));
      if (ids.back() == 0) return fail();
      PutNumber(static_cast<std::uint64_t>(ids.back()), &modules);
      PutStep(m.base, &previous, &modules);
    }
    Statement& facts = Cached("INSERT INTO facts(dump, summary, modules, frames) VALUES(?1, ?2, ?3, ?4)");
    facts.Bind(1, id).Bind(2, FactsOf(s)).BindBlob(3, modules.data(), modules.size());
    facts.Bind(4, FramesOf(s, ids));
    if (!facts.Run()) return fail();
    Statement& seen = Cached("INSERT INTO sightings(dump, path, stamp, run) VALUES(?1, ?2, ?3, ?4)");
    if (!seen.Bind(1, id).Bind(2, d.path).Bind(3, d.stamp).Bind(4, *run_).Run()) return fail();
    ++added_;
    return true;
  }
  // A copy: a path not seen before counts; one seen before only gets its new stamp.
  Statement& known = Cached(
                  "SELECT s.id FROM sightings s JOIN dumps d ON d.id = s.dump WHERE d.sha256 = ?1 AND s.path = ?2");
  if (known.BindBlob(1, d.sha256.data(), d.sha256.size()).Bind(2, d.path).Step() == SQLITE_ROW) {
    Statement& stamp = Cached("UPDATE sightings SET stamp = ?2 WHERE id = ?1");
    return stamp.Bind(1, known.Int(0)).Bind(2, d.stamp).Run() || fail();
  }
  Statement& seen = Cached("INSERT INTO sightings(dump, path, stamp, run) SELECT id, ?2, ?3, ?4 FROM dumps WHERE sha256 = ?1");
  Statement& count = Cached("UPDATE dumps SET copies = copies + 1 WHERE sha256 = ?1");
  if (!seen.BindBlob(1, d.sha256.data(), d.sha256.size()).Bind(2, d.path).Bind(3, d.stamp).Bind(4, *run_).Run() ||
      !count.BindBlob(1, d.sha256.data(), d.sha256.size()).Run()) {
    return fail();
  }
  ++copies_added_;
  return true;
}

// --- status ------------------------------------------------------------------------

std::optional<std::int64_t> Store::BucketId(const std::string& bucket) {
  std::string_view number = bucket;
  if (!number.empty() && number[0] == '#') number.remove_prefix(1);
  const bool digits = !number.empty() && number.size() <= 18 &&
                      std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
  Statement st(db_, digits ? "SELECT id FROM buckets WHERE id = ?1" : "SELECT id FROM buckets WHERE key = ?1");
  if (digits) {
    st.Bind(1, static_cast<std::int64_t>(std::stoll(std::string(number))));
  } else {
    st.Bind(1, bucket);
  }
  if (st.Step() != SQLITE_ROW) return std::nullopt;
  return st.Int(0);
}

std::optional<std::string> Store::KeyOf(const std::string& bucket) {
  const std::optional<std::int64_t> id = BucketId(bucket);
  if (!id) return std::nullopt;
  Statement st(db_, "SELECT key FROM buckets WHERE id = ?1");
  if (st.Bind(1, *id).Step() != SQLITE_ROW) return std::nullopt;
  return st.Text(0);
}

bool Store::SetStatus(const std::string& bucket, const char* column, const std::optional<std::string>& value,
                      std::string* why) {
  const std::optional<std::int64_t> id = BucketId(bucket);
  if (!id) {
    *why = "no bucket " + bucket + " in the store";
    return false;
  }
  Statement st(db_, std::string("UPDATE buckets SET ") + column + " = ?2 WHERE id = ?1");
  if (!st.Bind(1, *id).Bind(2, value).Run()) {
    *why = Error(db_);
    return false;
  }
  return true;
}

bool Store::MarkFixed(const std::string& bucket, const std::string& version, std::string* why) {
  return SetStatus(bucket, "fixed_in", version, why);
}
bool Store::Reopen(const std::string& bucket, std::string* why) {
  return SetStatus(bucket, "fixed_in", std::nullopt, why);
}
bool Store::SetNote(const std::string& bucket, const std::string& note, std::string* why) {
  return SetStatus(bucket, "note", note.empty() ? std::nullopt : std::optional(note), why);
}

// --- reading dumps back --------------------------------------------------------------

// Reads stored dumps back into summaries, with each module row read once.
class Store::Loader {
 public:
  explicit Loader(sqlite3* db)
      : dump_(db, "SELECT d.bytes, d.copies, b.key, f.summary, f.modules, f.frames, hex(d.sha256), "
                  "(SELECT path FROM sightings WHERE dump = d.id ORDER BY id LIMIT 1) "
                  "FROM dumps d JOIN buckets b ON b.id = d.bucket JOIN facts f ON f.dump = d.id WHERE d.id = ?1"),
        module_(db, "SELECT name, path, size, stamp, version, product_version FROM modules WHERE id = ?1") {}

  // With `modules` false the module list is left out (the frames keep their module
  // names): what a bucket's example needs.
  bool Load(std::int64_t id, Summary* s, bool modules = true) {
    dump_.Reset();
    if (dump_.Bind(1, id).Step() != SQLITE_ROW) return false;
    *s = Summary{};
    s->readable = true;
    s->file = dump_.Text(7);
    s->bucket = dump_.Text(2);
    s->copies = static_cast<std::size_t>(dump_.Int(1));
    s->sha256 = AsciiLower(dump_.Text(6));
    FactsInto(dump_.Text(3), s);
    const std::vector<std::uint8_t> list = modules ? dump_.Blob(4) : std::vector<std::uint8_t>();
    std::size_t at = 0;
    std::uint64_t module = 0, step = 0, base = 0;
    std::vector<std::int64_t> ids;
    while (at < list.size() && TakeNumber(list, &at, &module) && TakeNumber(list, &at, &step)) {
      base += step & 1 ? ~(step >> 1) : step >> 1;
      ids.push_back(static_cast<std::int64_t>(module));
      Summary::ModuleRow row = Module(ids.back());
      row.base = base;
      s->modules.push_back(std::move(row));
    }
    const Json frames = Json::parse(dump_.Text(5), nullptr, false);
    if (!frames.is_array()) return true;
    for (const Json& f : frames) {
      if (!f.is_array() || f.size() < 8) continue;
      NamedFrame frame;
      frame.index = s->stack.size();
      if (!f[1].is_null()) frame.offset = f[1].get<std::uint64_t>();
      if (!f[0].is_null()) {
        // The address from the base of this module in the dump's list.
        const std::int64_t id = f[0].get<std::int64_t>();
        frame.module = AsciiLower(Module(id).name);
        for (std::size_t m = 0; m < ids.size(); ++m) {
          if (ids[m] != id) continue;
          frame.address = s->modules[m].base + frame.offset.value_or(0);
          break;
        }
      }
      if (!f[2].is_null()) frame.function = f[2].get<std::string>();
      if (!f[3].is_null()) frame.function_offset = f[3].get<std::uint64_t>();
      if (!f[4].is_null()) frame.file = f[4].get<std::string>();
      if (!f[5].is_null()) frame.line = f[5].get<std::uint32_t>();
      const std::string trust = f[6].is_string() ? f[6].get<std::string>() : "";
      for (FrameTrust t : {FrameTrust::kContext, FrameTrust::kCfi, FrameTrust::kFramePointer, FrameTrust::kScan}) {
        if (trust == TrustName(t)) frame.trust = t;
      }
      if (!f[7].is_null()) frame.address = f[7].get<std::uint64_t>();
      s->stack.push_back(std::move(frame));
    }
    return true;
  }

 private:
  const Summary::ModuleRow& Module(std::int64_t id) {
    auto [it, added] = modules_.try_emplace(id);
    if (added) {
      module_.Reset();
      if (module_.Bind(1, id).Step() == SQLITE_ROW) {
        it->second.name = module_.Text(0);
        it->second.path = module_.Text(1);
        it->second.size = static_cast<std::uint32_t>(module_.Int(2));
        it->second.time_date_stamp = static_cast<std::uint32_t>(module_.Int(3));
        if (const std::string v = module_.Text(4); !v.empty()) it->second.version = v;
        if (const std::string v = module_.Text(5); !v.empty()) it->second.product_version = v;
      }
    }
    return it->second;
  }

  Statement dump_, module_;
  std::map<std::int64_t, Summary::ModuleRow> modules_;
};

bool Store::ForEachDump(const Filter& filter, const std::function<void(const Summary&)>& each, std::string* why) {
  Statement ids(db_, "SELECT id FROM dumps" + FilterSql(filter) + " ORDER BY id");
  BindFilter(ids, filter);
  Loader loader(db_);
  Summary s;
  int step;
  while ((step = ids.Step()) == SQLITE_ROW) {
    if (loader.Load(ids.Int(0), &s)) each(s);
  }
  if (step != SQLITE_DONE) *why = Error(db_);
  return step == SQLITE_DONE;
}

// --- the bucket table ----------------------------------------------------------------

bool Store::View(const Filter& filter, bool rows, HistoryView* out, std::string* why) {
  auto fail = [&] {
    *why = Error(db_);
    return false;
  };
  // "New" means new in this run, or, when this run added nothing to look at, in the
  // last run that added a dump.
  out->run = run_;
  if (!out->run) {
    Statement last(db_, "SELECT max(run) FROM dumps");  // dumps_by_run
    if (last.Step() == SQLITE_ROW && !last.Null(0)) out->run = last.Int(0);
  }
  if (out->run) {
    Statement started(db_, "SELECT started FROM runs WHERE id = ?1");
    if (started.Bind(1, *out->run).Step() == SQLITE_ROW) out->run_started = started.Text(0);
  }

  struct Group {
    std::optional<std::string> version, module_version, last;
  };
  // Versions are gathered as plain texts and put in their order once at the end: ordering
  // by number parses each text, and a store of a million dumps has 100,000 groups.
  struct Building {
    Bucket bucket;
    Group latest;  // the group that holds the bucket's latest dump
    std::int64_t first_run = INT64_MAX;
    std::map<std::string, std::size_t> per_version;
    std::set<std::string> module_versions, all_versions;
  };
  std::map<std::int64_t, Building> building;
  std::set<std::string> texts;
  const bool filtered = filter.since || !filter.versions.empty();
  {
    // Without a day to start from, the tallies hold the answer; from a day on, the
    // dumps of those days are counted.
    Statement groups(db_, filter.since
                              ? "SELECT bucket, client_version, module_version, count(*), min(time), max(time), "
                                "sum(copies), min(run) FROM dumps" + FilterSql(filter) +
                                    " GROUP BY bucket, client_version, module_version"
                              : "SELECT bucket, nullif(client_version, ''), nullif(module_version, ''), dumps, first, "
                                "last, copies, first_run FROM tallies" + FilterSql(filter, true));
    BindFilter(groups, filter);
    int step;
    while ((step = groups.Step()) == SQLITE_ROW) {
      Building& b = building[groups.Int(0)];
      if (!b.bucket.history) b.bucket.history.emplace();
      Bucket& bucket = b.bucket;
      const std::size_t count = static_cast<std::size_t>(groups.Int(3));
      const std::optional<std::string> version = groups.MaybeText(1), module_version = groups.MaybeText(2);
      const std::optional<std::string> first = groups.MaybeText(4), last = groups.MaybeText(5);
      bucket.count += count;
      bucket.history->copies += static_cast<std::size_t>(groups.Int(6));
      if (first && (!bucket.first || *first < *bucket.first)) bucket.first = first;
      if (last && (!bucket.last || *last > *bucket.last)) bucket.last = last;
      if (bucket.count == count || (last && (!b.latest.last || *last > *b.latest.last))) b.latest = {version, module_version, last};
      if (version) {
        b.per_version[*version] += count;
        if (!filtered) b.all_versions.insert(*version);
      }
      if (module_version) b.module_versions.insert(*module_version);
      if (!filtered) b.first_run = std::min(b.first_run, groups.Int(7));
    }
    if (step != SQLITE_DONE) return fail();
  }
  if (filtered) {
    // Status rests on every dump of a bucket, whatever the view shows.
    Statement all(db_, "SELECT bucket, nullif(client_version, ''), min(first_run) FROM tallies GROUP BY 1, 2");
    int step;
    while ((step = all.Step()) == SQLITE_ROW) {
      const auto it = building.find(all.Int(0));
      if (it == building.end()) continue;
      if (!all.Null(1)) it->second.all_versions.insert(all.Text(1));
      it->second.first_run = std::min(it->second.first_run, all.Int(2));
    }
    if (step != SQLITE_DONE) return fail();
  }
  // Every version text once, ordered by number; then each bucket's in that order.
  for (const auto& [id, b] : building) {
    for (const auto& [version, n] : b.per_version) texts.insert(version);
    texts.insert(b.all_versions.begin(), b.all_versions.end());
  }
  std::vector<std::string> ordered(texts.begin(), texts.end());
  std::sort(ordered.begin(), ordered.end(), VersionLess);
  std::map<std::string, std::size_t> rank;
  for (std::size_t i = 0; i < ordered.size(); ++i) rank[ordered[i]] = i;
  auto by_rank = [&](const auto& keys) {
    std::vector<std::pair<std::size_t, const std::string*>> out;
    for (const auto& key : keys) {
      if constexpr (std::is_same_v<std::decay_t<decltype(key)>, std::string>) {
        out.emplace_back(rank[key], &key);
      } else {
        out.emplace_back(rank[key.first], &key.first);
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  std::set<std::size_t> in_view;
  for (auto& [id, b] : building) {
    for (const auto& [r, version] : by_rank(b.per_version)) {
      b.bucket.versions.insert(b.bucket.versions.end(), *version);
      b.bucket.history->per_version.emplace_hint(b.bucket.history->per_version.end(), *version, b.per_version[*version]);
      in_view.insert(r);
    }
    for (const std::string& v : b.module_versions) b.bucket.fault_module_versions.insert(v);
  }
  for (std::size_t r : in_view) out->versions.push_back(ordered[r]);
  if (!out->versions.empty()) out->newest_version = out->versions.back();

  struct Status {
    std::string key;
    std::optional<std::string> fixed_in, note;
  };
  std::map<std::int64_t, Status> statuses;
  {
    Statement status(db_, "SELECT id, key, fixed_in, note FROM buckets");
    while (status.Step() == SQLITE_ROW) statuses[status.Int(0)] = {status.Text(1), status.MaybeText(2), status.MaybeText(3)};
  }
  Statement example(db_, "SELECT id FROM dumps WHERE bucket = ?1 AND client_version IS ?2 AND module_version IS ?3 "
                         "AND time IS ?4 ORDER BY id DESC LIMIT 1");
  Statement latest(db_, "SELECT id, time FROM dumps" + FilterSql(filter) + " AND bucket = ?100 ORDER BY time DESC, id DESC");
  Statement days(db_, "SELECT substr(time, 1, 10), count(*) FROM dumps" + FilterSql(filter) +
                      " AND bucket = ?100 AND time IS NOT NULL GROUP BY 1");
  Loader loader(db_);
  for (auto& [id, b] : building) {
    Bucket& bucket = b.bucket;
    Bucket::History& h = *bucket.history;
    h.id = id;
    Status& status = statuses[id];
    bucket.key = std::move(status.key);
    h.fixed_in = std::move(status.fixed_in);
    h.note = std::move(status.note);
    const auto all = by_rank(b.all_versions);
    if (h.fixed_in && VersionNumbers(*h.fixed_in, 9)) {
      for (const auto& [r, v] : all) {
        if (VersionNumbers(*v, 9) && !VersionLess(*v, *h.fixed_in)) h.regressed = true;
      }
    }
    h.fresh = out->run && b.first_run == *out->run;
    if (out->newest_version && !all.empty() && *all.front().second == *out->newest_version) h.new_in = out->newest_version;
    // The bucket's latest dump: its path, advice and top frames.
    example.Reset();
    example.Bind(1, id).Bind(2, b.latest.version).Bind(3, b.latest.module_version).Bind(4, b.latest.last);
    Summary s;
    if (example.Step() == SQLITE_ROW && loader.Load(example.Int(0), &s, false)) {
      bucket.example = s.file;
      bucket.example_time = s.time;
      bucket.advice = s.advice;
      if (s.exception && s.exception->thread_name) bucket.thread_names.insert(*s.exception->thread_name);
      for (std::size_t i = 0; i < s.stack.size() && i < Bucket::kTopFrames; ++i) {
        bucket.top_frames.push_back(s.stack[i]);
      }
    }
    if (rows) {
      days.Reset();
      BindFilter(days, filter);
      days.Bind(100, id);
      while (days.Step() == SQLITE_ROW) bucket.per_day[days.Text(0)] = static_cast<std::size_t>(days.Int(1));
      latest.Reset();
      BindFilter(latest, filter);
      latest.Bind(100, id);
      while (latest.Step() == SQLITE_ROW && bucket.rows.size() < Bucket::kKeptDumps) {
        if (loader.Load(latest.Int(0), &s)) bucket.rows.push_back(RowOf(s));
      }
      bucket.rows_dropped = bucket.count - bucket.rows.size();
    }
    out->buckets.Put(std::move(bucket));
  }
  return true;
}

// --- re-keying -----------------------------------------------------------------------

bool Store::ForEachStored(const std::function<void(const Located&)>& each, std::string* why) {
  Statement dumps(db_, "SELECT id, sha256 FROM dumps ORDER BY id");
  Statement paths(db_, "SELECT path FROM sightings WHERE dump = ?1 ORDER BY id");
  int step;
  while ((step = dumps.Step()) == SQLITE_ROW) {
    Located d;
    d.id = dumps.Int(0);
    const std::vector<std::uint8_t> sha = dumps.Blob(1);
    if (sha.size() == d.sha256.size()) std::copy(sha.begin(), sha.end(), d.sha256.begin());
    paths.Reset();
    paths.Bind(1, d.id);
    while (paths.Step() == SQLITE_ROW) d.paths.push_back(paths.Text(0));
    each(d);
  }
  if (step != SQLITE_DONE) *why = Error(db_);
  return step == SQLITE_DONE;
}

bool Store::StageRekey(std::int64_t id, const Summary& s, std::string* why) {
  if (!staging_) {
    if (!Exec("CREATE TEMP TABLE IF NOT EXISTS rekeyed(dump INTEGER PRIMARY KEY, key TEXT NOT NULL, "
              "summary TEXT NOT NULL, frames TEXT NOT NULL); DELETE FROM temp.rekeyed;",
              why)) {
      return false;
    }
    staging_ = true;
  }
  std::vector<std::int64_t> ids;
  for (const Summary::ModuleRow& m : s.modules) ids.push_back(ModuleId(m));
  Statement& st = Cached("INSERT OR REPLACE INTO temp.rekeyed(dump, key, summary, frames) VALUES(?1, ?2, ?3, ?4)");
  if (!st.Bind(1, id).Bind(2, s.bucket.value_or(BucketKey(s))).Bind(3, FactsOf(s)).Bind(4, FramesOf(s, ids)).Run()) {
    *why = Error(db_);
    return false;
  }
  return true;
}

bool Store::ApplyRekey(std::vector<Merge>* merges, std::string* why) {
  if (!staging_) return true;
  if (!Exec("BEGIN IMMEDIATE", why)) return false;
  auto fail = [&] {
    *why = Error(db_);
    std::string ignored;
    Exec("ROLLBACK", &ignored);
    return false;
  };
  struct Old {
    std::string key;
    std::optional<std::string> fixed_in, note;
    bool keeps_dumps = false;  // holds dumps that were not read again
  };
  std::map<std::int64_t, Old> old;
  std::map<std::string, std::int64_t> by_key;
  {
    Statement st(db_, "SELECT id, key, fixed_in, note, EXISTS(SELECT 1 FROM dumps d WHERE d.bucket = b.id AND d.id NOT IN "
                      "(SELECT dump FROM temp.rekeyed)) FROM buckets b");
    while (st.Step() == SQLITE_ROW) {
      old[st.Int(0)] = {st.Text(1), st.MaybeText(2), st.MaybeText(3), st.Int(4) != 0};
      by_key[st.Text(1)] = st.Int(0);
    }
  }
  // Which old buckets each new key draws from.
  std::map<std::string, std::set<std::int64_t>> sources;
  {
    Statement st(db_, "SELECT DISTINCT r.key, d.bucket FROM temp.rekeyed r JOIN dumps d ON d.id = r.dump");
    while (st.Step() == SQLITE_ROW) sources[st.Text(0)].insert(st.Int(1));
  }
  std::set<std::string> new_keys;
  for (const auto& [key, from] : sources) new_keys.insert(key);
  std::set<std::int64_t> renamed;
  Statement rename(db_, "UPDATE buckets SET key = ?2 WHERE id = ?1");
  Statement create(db_, "INSERT INTO buckets(key) VALUES(?1)");
  Statement status(db_, "UPDATE buckets SET fixed_in = ?2, note = ?3 WHERE id = ?1");
  Statement move(db_, "UPDATE dumps SET bucket = ?2 WHERE id IN (SELECT r.dump FROM temp.rekeyed r JOIN dumps d "
                      "ON d.id = r.dump WHERE r.key = ?1)");
  for (const auto& [key, from] : sources) {
    std::int64_t target = 0;
    if (const auto it = by_key.find(key); it != by_key.end()) {
      target = it->second;
    } else {
      // A bucket whose key changed keeps its number, when nothing else needs its old key.
      for (std::int64_t id : from) {
        const Old& o = old[id];
        if (!renamed.count(id) && !o.keeps_dumps && !new_keys.count(o.key)) {
          target = id;
          break;
        }
      }
      if (target != 0) {
        rename.Reset();
        if (!rename.Bind(1, target).Bind(2, key).Run()) return fail();
        renamed.insert(target);
      } else {
        create.Reset();
        if (!create.Bind(1, key).Run()) return fail();
        target = sqlite3_last_insert_rowid(db_);
      }
    }
    // Every bucket that becomes this one hands on its status and note: the highest
    // fixed version, the notes joined.
    std::vector<std::int64_t> merged{target};
    for (std::int64_t id : from) {
      if (id != target) merged.push_back(id);
    }
    std::optional<std::string> fixed_in;
    std::vector<std::string> notes;
    for (std::int64_t id : merged) {
      const auto it = old.find(id);
      if (it == old.end()) continue;
      if (it->second.fixed_in && (!fixed_in || VersionLess(*fixed_in, *it->second.fixed_in))) fixed_in = it->second.fixed_in;
      if (it->second.note && std::find(notes.begin(), notes.end(), *it->second.note) == notes.end()) {
        notes.push_back(*it->second.note);
      }
    }
    std::optional<std::string> note;
    for (const std::string& n : notes) note = note ? *note + " / " + n : n;
    status.Reset();
    if (!status.Bind(1, target).Bind(2, fixed_in).Bind(3, note).Run()) return fail();
    move.Reset();
    if (!move.Bind(1, key).Bind(2, target).Run()) return fail();
    if (merged.size() > 1) merges->push_back({key, merged});
  }
  if (!Exec("UPDATE facts SET summary = (SELECT summary FROM temp.rekeyed WHERE dump = facts.dump), "
            "frames = (SELECT frames FROM temp.rekeyed WHERE dump = facts.dump) "
            "WHERE dump IN (SELECT dump FROM temp.rekeyed);"
            "DELETE FROM buckets WHERE NOT EXISTS (SELECT 1 FROM dumps WHERE dumps.bucket = buckets.id);"
            "DELETE FROM tallies;"
            "INSERT INTO tallies SELECT bucket, coalesce(client_version, ''), coalesce(module_version, ''), count(*), "
            "sum(copies), min(time), max(time), min(run) FROM dumps GROUP BY 1, 2, 3;",
            why)) {
    return fail();
  }
  if (!Exec("COMMIT", why)) return fail();
  std::string ignored;
  Exec("DELETE FROM temp.rekeyed", &ignored);
  return true;
}

}  // namespace triage
