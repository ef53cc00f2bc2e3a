#include <fmt/format.h>

#include <algorithm>

#include "triage/json.h"
#include "triage/render.h"

namespace triage {
namespace {


Json StackJson(const std::vector<NamedFrame>& stack) {
  Json frames = Json::array();
  for (const NamedFrame& f : stack) {
    frames.push_back({{"frame", f.index}, {"module", OrNull(f.module)},
                      {"offset", f.offset ? Json(Hex(*f.offset, 1)) : Json(nullptr)},
                      {"function", OrNull(f.function)}, {"file", OrNull(f.file)}, {"line", OrNull(f.line)},
                      {"trust", TrustName(f.trust)}, {"address", Hex(f.address, 16)}});
  }
  return frames;
}

Json SummaryJson(const Summary& s) {
  Json j;
  j["file"] = s.file;
  j["readable"] = s.readable;
  j["error"] = s.readable ? Json(nullptr) : Json(s.error);
  if (s.system) {
    j["system"] = {{"os", OrNull(s.system->os)}, {"os_version", OrNull(s.system->os_version)},
                   {"arch", OrNull(s.system->arch)}};
  } else {
    j["system"] = nullptr;
  }
  if (s.name) {
    j["name"] = {{"development", s.name->development}, {"version", s.name->version}, {"time", s.name->time},
                 {"tag", OrNull(s.name->tag)}, {"language", s.name->language}};
  } else {
    j["name"] = nullptr;
  }
  j["client_version"] = OrNull(s.client_version);
  if (s.exception) {
    const Summary::Exception& e = *s.exception;
    j["exception"] = {{"code", Hex(e.code, 8)}, {"name", OrNull(e.name)}, {"address", Hex(e.address, 16)},
                      {"thread", e.thread}, {"thread_name", OrNull(e.thread_name)}, {"access", OrNull(e.access)},
                      {"target", e.target ? Json(Hex(*e.target, 16)) : Json(nullptr)}};
  } else {
    j["exception"] = nullptr;
  }
  if (s.fault) {
    j["fault"] = {{"module", OrNull(s.fault->module)},
                  {"offset", s.fault->offset ? Json(Hex(*s.fault->offset, 1)) : Json(nullptr)},
                  {"module_version", OrNull(s.fault->module_version)},
                  {"module_product_version", OrNull(s.fault->module_product_version)}};
  } else {
    j["fault"] = nullptr;
  }
  if (s.report) {
    Json fields = Json::object();
    for (const auto& [key, value] : s.report->fields) fields[key] = value;
    j["report"] = {{"fields", fields}, {"lines", s.report->lines}, {"client_text", s.report->client_text},
                   {"cut", s.report->cut}};
  } else {
    j["report"] = nullptr;
  }
  j["advice"] = OrNull(s.advice);
  Json modules = Json::array();
  for (const Summary::ModuleRow& m : s.modules) {
    modules.push_back({{"name", m.name}, {"path", m.path}, {"base", Hex(m.base, 16)}, {"size", m.size},
                       {"version", OrNull(m.version)}, {"product_version", OrNull(m.product_version)}});
  }
  j["modules"] = modules;
  j["bucket"] = OrNull(s.bucket);
  j["time"] = OrNull(s.time);
  j["time_source"] = OrNull(s.time_source);
  j["dump_time"] = OrNull(s.dump_time);
  j["process_id"] = OrNull(s.process_id);
  j["threads"] = s.readable ? Json(s.thread_count) : Json(nullptr);
  j["stack"] = s.readable ? StackJson(s.stack) : Json(nullptr);
  if (s.thread_stacks) {
    Json threads = Json::array();
    for (const ThreadStack& t : *s.thread_stacks) {
      threads.push_back({{"thread", t.thread}, {"name", OrNull(t.name)}, {"stack", StackJson(t.stack)}});
    }
    j["thread_stacks"] = threads;
  }
  if (s.sha256) j["sha256"] = *s.sha256;
  if (s.copies) j["copies"] = *s.copies;
  return j;
}

// RFC 4180 quoting; a cell that a spreadsheet would run as a formula gets a leading
// apostrophe, since module names and paths come from players' machines.
std::string CsvCell(const std::string& text) {
  std::string cell = text;
  if (!cell.empty() && std::string("=+-@\t\r").find(cell[0]) != std::string::npos) cell.insert(0, "'");
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Cell(const std::optional<std::string>& text) { return text ? CsvCell(*text) : ""; }

}  // namespace

std::string Joined(const VersionSet& values, std::size_t at_most) {
  std::string out;
  std::size_t shown = 0;
  // Newest first: the latest versions are the ones support asks about.
  for (auto it = values.rbegin(); it != values.rend() && shown < at_most; ++it, ++shown) {
    out += (out.empty() ? "" : ", ") + *it;
  }
  if (values.size() > shown) out += " +" + std::to_string(values.size() - shown);
  return out.empty() ? "-" : out;
}

std::string Share(std::size_t count, std::size_t total) {
  return fmt::format("{:.1f}%", total == 0 ? 0.0 : 100.0 * static_cast<double>(count) / static_cast<double>(total));
}

std::string Shown(const std::optional<std::string>& time) { return time ? ShownTime(*time) : "-"; }

void WriteColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows, std::size_t numbers) {
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::size_t pad = widths[i] - row[i].size();
      if (i < numbers) {
        line += std::string(pad, ' ') + row[i];  // numbers to the right
      } else {
        line += row[i] + (i + 1 < row.size() ? std::string(pad, ' ') : "");
      }
      if (i + 1 < row.size()) line += "  ";
    }
    out << line << '\n';
  }
}

std::string FrameLine(const NamedFrame& f) {
  std::string line = "#" + std::to_string(f.index) + " " + FrameText(f);
  if (f.file) line += " (" + *f.file + (f.line ? ":" + std::to_string(*f.line) : "") + ")";
  return line + " [" + TrustName(f.trust) + "]";
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // A C1 control, U+0080 to U+009F: some terminals take U+009B for CSI.
      out += '?';
      ++i;
    } else {
      out += c < 0x20 || c == 0x7F ? '?' : text[i];
    }
  }
  return out;
}

std::string ShownTime(std::string time) {
  std::replace(time.begin(), time.end(), 'T', ' ');
  return time;
}

void WriteJsonLine(std::ostream& out, const Summary& s) { out << JsonLine(SummaryJson(s)) << '\n'; }

void WriteCsvHeader(std::ostream& out) {
  out << "file,readable,error,time,os,os_version,arch,client_version,name_version,development,tag,language,"
         "code,exception,address,thread,thread_name,access,target,fault_module,fault_offset,fault_module_version,"
         "advice,bucket\r\n";
}

void WriteCsvRow(std::ostream& out, const Summary& s) {
  const auto* e = s.exception ? &*s.exception : nullptr;
  const auto* f = s.fault ? &*s.fault : nullptr;
  const auto* n = s.name ? &*s.name : nullptr;
  const auto* y = s.system ? &*s.system : nullptr;
  std::vector<std::string> cells = {
      CsvCell(s.file),
      s.readable ? "true" : "false",
      CsvCell(s.error),
      Cell(s.time),
      y ? Cell(y->os) : "",
      y ? Cell(y->os_version) : "",
      y ? Cell(y->arch) : "",
      Cell(s.client_version),
      n ? CsvCell(n->version) : "",
      n ? (n->development ? "true" : "false") : "",
      n ? Cell(n->tag) : "",
      n ? CsvCell(n->language) : "",
      e ? Hex(e->code, 8) : "",
      e ? Cell(e->name) : "",
      e ? Hex(e->address, 16) : "",
      e ? std::to_string(e->thread) : "",
      e ? Cell(e->thread_name) : "",
      e ? Cell(e->access) : "",
      e && e->target ? Hex(*e->target, 16) : "",
      f ? Cell(f->module) : "",
      f && f->offset ? Hex(*f->offset, 1) : "",
      f ? Cell(f->module_version) : "",
      Cell(s.advice),
      Cell(s.bucket),
  };
  for (std::size_t i = 0; i < cells.size(); ++i) out << (i ? "," : "") << cells[i];
  out << "\r\n";
}

void WriteBucketsJson(std::ostream& out, const Buckets& buckets) {
  for (const Bucket* b : buckets.Sorted()) {
    Json j;
    j["bucket"] = b->key;
    j["count"] = b->count;
    j["share"] = buckets.dumps() == 0 ? 0.0 : static_cast<double>(b->count) / static_cast<double>(buckets.dumps());
    j["first"] = OrNull(b->first);
    j["last"] = OrNull(b->last);
    j["versions"] = Json(std::vector<std::string>(b->versions.begin(), b->versions.end()));
    j["fault_module_versions"] =
        Json(std::vector<std::string>(b->fault_module_versions.begin(), b->fault_module_versions.end()));
    j["advice"] = OrNull(b->advice);
    j["example"] = b->example;
    if (b->history) {
      const Bucket::History& h = *b->history;
      j["id"] = h.id;
      j["status"] = h.regressed ? "regressed" : h.fixed_in ? "fixed" : "open";
      j["fixed_in"] = OrNull(h.fixed_in);
      j["note"] = OrNull(h.note);
      j["new"] = h.fresh;
      j["new_in"] = OrNull(h.new_in);
      j["copies"] = h.copies;
      Json per_version = Json::object();
      for (const auto& [version, n] : h.per_version) per_version[version] = n;
      j["per_version"] = per_version;
      j["first_version"] = b->versions.empty() ? Json(nullptr) : Json(*b->versions.begin());
      j["last_version"] = b->versions.empty() ? Json(nullptr) : Json(*b->versions.rbegin());
    }
    out << JsonLine(j) << '\n';
  }
}

void WriteTable(std::ostream& out, const Buckets& buckets, const std::vector<Failure>& failures) {
  std::vector<std::vector<std::string>> rows = {
      {"COUNT", "SHARE", "BUCKET", "ADVICE", "FIRST", "LAST", "CLIENT VERSIONS", "MODULE VERSIONS", "THREADS",
       "EXAMPLE"}};
  const std::vector<const Bucket*> sorted = buckets.Sorted();
  for (const Bucket* b : sorted) {
    rows.push_back({std::to_string(b->count), Share(b->count, buckets.dumps()), Printable(b->key),
                    b->advice.value_or("-"), Shown(b->first), Shown(b->last), Printable(Joined(b->versions, 3)),
                    Printable(Joined(b->fault_module_versions, 3)), Printable(Joined(b->thread_names, 3)),
                    Printable(b->example)});
  }
  WriteColumns(out, rows, 2);
  WriteTopFrames(out, sorted);
  WriteTotals(out, buckets, sorted.size(), "", failures);
}

void WriteTopFrames(std::ostream& out, const std::vector<const Bucket*>& sorted) {
  // Each bucket's top frames, from its latest dump, below the table: where it crashed.
  bool heading = false;
  for (const Bucket* b : sorted) {
    if (b->top_frames.empty()) continue;
    if (!heading) out << "\nTop frames of each bucket (its latest dump):\n";
    heading = true;
    out << '\n' << (b->history ? "#" + std::to_string(b->history->id) + " " : "") << Printable(b->key) << "  ("
        << b->count << ")\n";
    for (const NamedFrame& frame : b->top_frames) out << "    " << Printable(FrameLine(frame)) << '\n';
  }
}

void WriteTotals(std::ostream& out, const Buckets& buckets, std::size_t count, const std::string& more,
                 const std::vector<Failure>& failures) {
  out << '\n' << buckets.dumps() << (buckets.dumps() == 1 ? " dump" : " dumps") << " in " << count
      << (count == 1 ? " bucket" : " buckets") << more;
  if (failures.empty()) {
    out << ".\n";
  } else {
    out << "; ";
    WriteFailures(out, failures);
  }
}

std::string CouldNotBeRead(std::size_t files) {
  return std::to_string(files) + (files == 1 ? " file" : " files") + " could not be read";
}

void WriteFailures(std::ostream& out, const std::vector<Failure>& failures) {
  out << CouldNotBeRead(failures.size()) << ":\n";
  for (const Failure& f : failures) out << "  " << Printable(f.file) << ": " << Printable(f.why) << '\n';
}

}  // namespace triage
