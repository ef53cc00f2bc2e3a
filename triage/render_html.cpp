// One self-contained page: nothing is fetched, no script runs; buckets open with
// <details>, the share bars are plain boxes and the chart is inline SVG.
#include <fmt/format.h>

#include <algorithm>
#include <map>

#include "triage/render.h"

namespace triage {
namespace {

constexpr std::size_t kChartBuckets = 5;
constexpr std::int64_t kChartDays = 90;
constexpr std::size_t kChartVersions = 16;
constexpr const char* kColours[kChartBuckets] = {"#3b6fd8", "#e0823a", "#3aa676", "#c64f80", "#8a6fd1"};

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : Printable(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Or(const std::optional<std::string>& text, const char* missing = "–") {
  return text ? Escape(*text) : missing;
}

std::string Time(const std::optional<std::string>& time) { return time ? Escape(ShownTime(*time)) : "–"; }

template <typename Set>
std::string List(const Set& values) {
  if (values.empty()) return "–";
  std::string out;
  for (auto it = values.rbegin(); it != values.rend(); ++it) out += "<span class=v>" + Escape(*it) + "</span> ";
  return out;
}

std::string Number(double value) { return fmt::format("{:.1f}", value); }

constexpr const char* kStyle = R"(
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;background:#f4f5f7;color:#1d2330}
header{background:#1d2330;color:#fff;padding:18px 32px}
header h1{margin:0;font-size:22px;font-weight:600}
header p{margin:4px 0 0;color:#b8c0d0}
main{padding:20px 32px 40px;max-width:1400px}
section{background:#fff;border-radius:8px;box-shadow:0 1px 3px rgba(0,0,0,.08);padding:16px 20px;margin-bottom:20px}
h2{font-size:16px;margin:0 0 12px}
.grid{display:grid;grid-template-columns:150px minmax(260px,2.2fr) 130px 150px 150px 1fr 1fr;gap:10px;align-items:center}
.head{font-size:12px;text-transform:uppercase;letter-spacing:.04em;color:#6b7384;padding:0 12px 6px 30px}
details.bucket{border-top:1px solid #e6e8ec}
details.bucket>summary{list-style:none;cursor:pointer;padding:10px 12px 10px 30px;position:relative}
details.bucket>summary::-webkit-details-marker{display:none}
details.bucket>summary::before{content:"\25B8";position:absolute;left:10px;color:#6b7384}
details.bucket[open]>summary::before{content:"\25BE"}
details.bucket>summary:hover{background:#f7f8fb}
.share{display:flex;align-items:center;gap:8px}
.bar{flex:1;height:10px;background:#e6e8ec;border-radius:5px;overflow:hidden}
.bar>i{display:block;height:100%;background:#3b6fd8}
.count{font-weight:600;min-width:2.5em;text-align:right}
.pct{color:#6b7384;font-size:12px;min-width:3.5em}
.key{font-family:ui-monospace,Consolas,monospace;font-size:13px;word-break:break-all}
.advice{display:inline-block;border-radius:10px;padding:1px 8px;font-size:12px;background:#e6e8ec;color:#444}
.advice.nvidia-driver{background:#dff3d8;color:#2d6a1f}.advice.overlay-hook{background:#fde7d3;color:#8a4a12}
.advice.xsplit{background:#f6dff0;color:#7a2f66}.advice.injected-module{background:#fbdada;color:#8b1d1d}
.advice.direct3d{background:#dde7fb;color:#1f3f8a}
.v{display:inline-block;font-family:ui-monospace,Consolas,monospace;font-size:12px;background:#f0f1f4;border-radius:4px;padding:0 5px;margin:1px 2px 1px 0}
.t{font-size:12px;color:#444;white-space:nowrap}
.dumps{margin:4px 12px 14px 30px;border-collapse:collapse;width:calc(100% - 42px);font-size:13px}
.dumps th{text-align:left;font-weight:600;color:#6b7384;font-size:12px;border-bottom:1px solid #e6e8ec;padding:4px 8px}
.dumps td{vertical-align:top;border-bottom:1px solid #f0f1f4;padding:5px 8px}
.file{font-family:ui-monospace,Consolas,monospace;font-size:12px;word-break:break-all}
.fields{font-family:ui-monospace,Consolas,monospace;font-size:12px;color:#333;white-space:pre-wrap;word-break:break-all;margin:0}
details.all>summary{cursor:pointer;color:#3b6fd8;font-size:12px}
.more{color:#6b7384;font-size:12px;margin:0 0 10px 38px}
.legend span{display:inline-flex;align-items:center;margin-right:16px;font-size:12px}
.legend i{width:10px;height:10px;border-radius:2px;margin-right:6px;display:inline-block}
.failures li{margin:3px 0}.failures code{font-size:12px}
.frames{margin:4px 0 0;padding-left:0;list-style:none;font-size:11px;color:#4a5263}
.num{color:#6b7384;font-weight:600}
.status{display:inline-block;border-radius:10px;padding:0 7px;font:600 11px system-ui,sans-serif;margin-right:2px}
.status.new{background:#fff1c2;color:#7a5a00}.status.regressed{background:#fbdada;color:#8b1d1d}
.status.fixed{background:#dff3d8;color:#2d6a1f}
.note{font:12px system-ui,sans-serif;color:#4a5263;margin-top:2px}
)";

// Stacked bars, one per label, one colour per top bucket (with `other` in grey for the
// rest, when given).
void WriteBars(std::ostream& out, const std::string& title, const std::vector<std::string>& labels,
               const std::vector<std::vector<std::size_t>>& counts, const std::vector<const Bucket*>& top,
               const std::vector<std::size_t>* other, std::size_t label_every) {
  std::size_t peak = 1;
  for (std::size_t d = 0; d < counts.size(); ++d) {
    std::size_t total = other ? (*other)[d] : 0;
    for (std::size_t n : counts[d]) total += n;
    peak = std::max(peak, total);
  }
  const double width = 1000, height = 220, left = 40, bottom = 28, top_margin = 10;
  const double plot_w = width - left - 10, plot_h = height - bottom - top_margin;
  const double slot = plot_w / static_cast<double>(labels.size());
  out << "<svg viewBox=\"0 0 " << width << " " << height << "\" width=\"100%\" role=\"img\" "
      << "aria-label=\"" << Escape(title) << "\" style=\"max-height:260px\">\n";
  // Crashes come in whole numbers: the axis runs to a multiple of its four steps.
  peak = (peak + 3) / 4 * 4;
  for (int g = 0; g <= 4; ++g) {
    const double y = top_margin + plot_h - plot_h * g / 4.0;
    out << "<line x1=\"" << left << "\" x2=\"" << width - 10 << "\" y1=\"" << Number(y) << "\" y2=\"" << Number(y)
        << "\" stroke=\"#e6e8ec\"/><text x=\"" << left - 6 << "\" y=\"" << Number(y + 4)
        << "\" font-size=\"11\" text-anchor=\"end\" fill=\"#6b7384\">"
        << peak / 4 * static_cast<std::size_t>(g) << "</text>\n";
  }
  for (std::size_t d = 0; d < labels.size(); ++d) {
    double y = top_margin + plot_h;
    const double x = left + slot * static_cast<double>(d) + slot * 0.15;
    auto bar = [&](std::size_t n, const char* colour, const std::string& what) {
      if (n == 0) return;
      const double h = plot_h * static_cast<double>(n) / static_cast<double>(peak);
      y -= h;
      out << "<rect x=\"" << Number(x) << "\" y=\"" << Number(y) << "\" width=\"" << Number(slot * 0.7)
          << "\" height=\"" << Number(h) << "\" fill=\"" << colour << "\"><title>" << Escape(labels[d]) << ": " << n
          << " × " << Escape(what) << "</title></rect>\n";
    };
    for (std::size_t b = 0; b < top.size(); ++b) bar(counts[d][b], kColours[b], top[b]->key);
    if (other) bar((*other)[d], "#b8bec9", "other buckets");
    if (d % label_every == 0) {
      out << "<text x=\"" << Number(x + slot * 0.35) << "\" y=\"" << height - 8
          << "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#6b7384\">" << Escape(labels[d]) << "</text>\n";
    }
  }
  out << "</svg>\n<div class=legend>";
  for (std::size_t b = 0; b < top.size(); ++b) {
    out << "<span><i style=\"background:" << kColours[b] << "\"></i><span class=key>" << Escape(top[b]->key)
        << "</span></span>";
  }
  if (other) out << "<span><i style=\"background:#b8bec9\"></i>other buckets</span>";
  out << "</div></section>\n";
}

void WriteChart(std::ostream& out, const std::vector<const Bucket*>& sorted) {
  const std::size_t shown = std::min(sorted.size(), kChartBuckets);
  std::optional<std::int64_t> first, last;
  for (std::size_t b = 0; b < shown; ++b) {
    for (const auto& [day, n] : sorted[b]->per_day) {
      const std::optional<std::int64_t> d = DayNumber(day);
      if (!d) continue;
      first = first ? std::min(*first, *d) : *d;
      last = last ? std::max(*last, *d) : *d;
    }
  }
  out << "<section><h2>Crashes per day, top " << shown << (shown == 1 ? " bucket" : " buckets") << "</h2>\n";
  if (!first) {
    out << "<p>No dump carries a time.</p></section>\n";
    return;
  }
  first = std::max(*first, *last - (kChartDays - 1));
  const std::int64_t days = *last - *first + 1;
  std::vector<std::vector<std::size_t>> counts(static_cast<std::size_t>(days), std::vector<std::size_t>(shown, 0));
  for (std::size_t b = 0; b < shown; ++b) {
    for (const auto& [day, n] : sorted[b]->per_day) {
      const std::optional<std::int64_t> d = DayNumber(day);
      if (d && *d >= *first) counts[static_cast<std::size_t>(*d - *first)][b] = n;
    }
  }
  std::vector<std::string> labels;
  for (std::int64_t d = 0; d < days; ++d) labels.push_back(DayText(*first + d).substr(5));
  WriteBars(out, "crashes per day", labels, counts, {sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(shown)},
            nullptr, static_cast<std::size_t>(std::max<std::int64_t>(1, days / 8)));
}

// Crashes per client version, oldest first, the top buckets stacked and the rest in grey.
void WriteVersionChart(std::ostream& out, const std::vector<const Bucket*>& sorted, const HistoryView& history) {
  const std::size_t shown = std::min(sorted.size(), kChartBuckets);
  const std::size_t first = history.versions.size() > kChartVersions ? history.versions.size() - kChartVersions : 0;
  const std::vector<std::string> labels(history.versions.begin() + static_cast<std::ptrdiff_t>(first), history.versions.end());
  out << "<section><h2>Crashes per client version, top " << shown << (shown == 1 ? " bucket" : " buckets")
      << "</h2>\n";
  if (labels.empty()) {
    out << "<p>No dump names its client version.</p></section>\n";
    return;
  }
  std::vector<std::vector<std::size_t>> counts(labels.size(), std::vector<std::size_t>(shown, 0));
  std::vector<std::size_t> other(labels.size(), 0);
  for (std::size_t b = 0; b < sorted.size(); ++b) {
    for (std::size_t v = 0; v < labels.size(); ++v) {
      const auto it = sorted[b]->history->per_version.find(labels[v]);
      if (it == sorted[b]->history->per_version.end()) continue;
      (b < shown ? counts[v][b] : other[v]) += it->second;
    }
  }
  WriteBars(out, "crashes per client version", labels, counts,
            {sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(shown)}, &other, 1);
}

void WriteBucket(std::ostream& out, const Bucket& b, std::size_t total, bool open) {
  const double share = total == 0 ? 0 : 100.0 * static_cast<double>(b.count) / static_cast<double>(total);
  out << "<details class=bucket" << (open ? " open" : "") << "><summary class=grid>"
      << "<div class=share><span class=count>" << b.count << "</span><span class=bar><i style=\"width:"
      << Number(share) << "%\"></i></span><span class=pct>" << Number(share) << "%</span></div>"
      << "<div class=key>";
  if (b.history) {
    const Bucket::History& h = *b.history;
    out << "<span class=num>#" << h.id << "</span> ";
    if (h.regressed) out << "<span class=\"status regressed\">regressed (fixed in " << Escape(*h.fixed_in) << ")</span> ";
    if (!h.regressed && h.fixed_in) out << "<span class=\"status fixed\">fixed in " << Escape(*h.fixed_in) << "</span> ";
    if (h.fresh) out << "<span class=\"status new\">new</span> ";
    if (h.new_in) out << "<span class=\"status new\">new in " << Escape(*h.new_in) << "</span> ";
    out << Escape(b.key);
    if (h.note) out << "<div class=note>" << Escape(*h.note) << "</div>";
  } else {
    out << Escape(b.key);
  }
  if (!b.top_frames.empty()) {
    out << "<ol class=frames>";
    for (const NamedFrame& frame : b.top_frames) out << "<li>" << Escape(FrameLine(frame)) << "</li>";
    out << "</ol>";
  }
  out << "</div>"
      << "<div>" << (b.advice ? "<span class=\"advice " + Escape(*b.advice) + "\">" + Escape(*b.advice) + "</span>" : "–")
      << "</div><div class=t>" << Time(b.first) << "</div><div class=t>" << Time(b.last) << "</div>"
      << "<div>" << List(b.versions) << "</div><div>" << List(b.fault_module_versions) << "</div></summary>\n";
  out << "<table class=dumps><tr><th>Time</th><th>Dump</th><th>Client</th><th>Module version</th>"
      << "<th>Client's text and report</th></tr>\n";
  std::vector<const Bucket::Row*> rows;
  for (const Bucket::Row& row : b.rows) rows.push_back(&row);
  std::stable_sort(rows.begin(), rows.end(), [](const Bucket::Row* x, const Bucket::Row* y) {
    return x->time.value_or("") > y->time.value_or("");
  });
  for (const Bucket::Row* row : rows) {
    out << "<tr><td class=t>" << Time(row->time) << "</td><td class=file>" << Escape(row->file) << "</td><td>"
        << Or(row->client_version) << "</td><td>" << Or(row->fault_module_version) << "</td><td><pre class=fields>";
    // What the client wrote differs from dump to dump; the capture's own lines are
    // mostly the bucket again, so they wait one click away.
    for (const std::string& line : row->client_text) out << Escape(line) << "\n";
    out << "</pre>";
    if (!row->stack.empty()) {
      out << "<details class=all><summary>stack, " << row->stack.size() << " frames</summary><pre class=fields>";
      for (const NamedFrame& frame : row->stack) out << Escape(FrameLine(frame)) << "\n";
      out << "</pre></details>";
    }
    if (row->fields.empty()) {
      out << "<span class=t>no report in this dump</span>";
    } else {
      out << "<details class=all><summary>" << row->fields.size() << " report fields</summary><pre class=fields>";
      for (const auto& [key, value] : row->fields) out << Escape(key) << " = " << Escape(value) << "\n";
      out << "</pre></details>";
    }
    out << "</td></tr>\n";
  }
  out << "</table>\n";
  if (b.rows_dropped > 0) out << "<p class=more>and " << b.rows_dropped << " older dumps not listed</p>\n";
  out << "</details>\n";
}

}  // namespace

void WriteHtml(std::ostream& out, const Buckets& buckets, const std::vector<Failure>& failures,
               const HistoryView* history) {
  const std::vector<const Bucket*> sorted = buckets.Sorted();
  std::optional<std::string> first, last;
  for (const Bucket* b : sorted) {
    if (b->first && (!first || *b->first < *first)) first = b->first;
    if (b->last && (!last || *b->last > *last)) last = b->last;
  }
  out << "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
      << "<meta name=viewport content=\"width=device-width,initial-scale=1\">"
      << "<title>Crash triage: " << buckets.dumps() << " dumps</title><style>" << kStyle << "</style></head><body>\n"
      << "<header><h1>Crash triage</h1><p>" << buckets.dumps() << (buckets.dumps() == 1 ? " dump in " : " dumps in ") << sorted.size()
      << (sorted.size() == 1 ? " bucket" : " buckets");
  if (first) out << ", " << Time(first) << " to " << Time(last) << " (Central European time)";
  if (!failures.empty()) out << "; " << CouldNotBeRead(failures.size());
  out << "</p></header>\n<main>\n";
  if (history) {
    std::size_t fresh = 0, regressed = 0;
    for (const Bucket* b : sorted) {
      fresh += b->history->fresh || b->history->new_in ? 1 : 0;
      regressed += b->history->regressed ? 1 : 0;
    }
    out << "<section><h2>Crash history</h2><p>" << fresh << (fresh == 1 ? " bucket is" : " buckets are")
        << " new (first seen in the last run that added dumps, or first seen in the newest client version "
        << Or(history->newest_version) << "); " << regressed << (regressed == 1 ? " bucket" : " buckets")
        << " regressed (a dump of the version marked fixed, or a later one).</p></section>\n";
    WriteVersionChart(out, sorted, *history);
  }
  WriteChart(out, sorted);
  out << "<section><h2>Buckets</h2><div class=\"grid head\"><div>Dumps</div><div>Exception and where: top frames, or module + offset</div>"
      << "<div>Advice</div><div>First seen</div><div>Last seen</div><div>Client versions</div>"
      << "<div>Module versions</div></div>\n";
  // The largest bucket comes open: it is the one support looks at first.
  for (const Bucket* b : sorted) WriteBucket(out, *b, buckets.dumps(), b == sorted.front());
  out << "</section>\n";
  if (!failures.empty()) {
    out << "<section class=failures><h2>Files that could not be read</h2><ul>\n";
    for (const Failure& f : failures) out << "<li><code>" << Escape(f.file) << "</code>: " << Escape(f.why) << "</li>\n";
    out << "</ul></section>\n";
  }
  out << "</main></body></html>\n";
}

}  // namespace triage
