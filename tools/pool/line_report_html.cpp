// The line report as one page: a small template, its parts filled in with inline SVG.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "tools/pool/line_report.h"

namespace pelorus::pool {
namespace {

constexpr const char* kVerifiedColour = "#2e7d32";
constexpr const char* kFailedColour = "#c62828";

// {{NAME}} marks where a part goes.
constexpr const char* kPage = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Line report: pool {{POOL}}</title>
<style>
  :root { --ok: #2e7d32; --bad: #c62828; --ink: #1d1d1f; --soft: #5f6368; --rule: #d9dce1; }
  * { box-sizing: border-box; }
  body { margin: 0; padding: 24px; font: 15px/1.45 system-ui, "DejaVu Sans", sans-serif;
         color: var(--ink); background: #fff; -webkit-print-color-adjust: exact;
         print-color-adjust: exact; }
  main { max-width: 1100px; margin: 0 auto; }
  h1 { font-size: 24px; margin: 0 0 4px; }
  h2 { font-size: 18px; margin: 28px 0 8px; border-bottom: 2px solid var(--rule);
       padding-bottom: 4px; }
  h3 { font-size: 14px; margin: 12px 0 2px; font-weight: 600; }
  h3 span { font-weight: 400; color: var(--soft); }
  p.meta { margin: 0; color: var(--soft); font-size: 13px; }
  .cards { display: grid; grid-template-columns: repeat(auto-fit, minmax(150px, 1fr));
           gap: 10px; margin-top: 18px; }
  .card { border: 1px solid var(--rule); border-radius: 6px; padding: 10px 12px; }
  .card b { display: block; font-size: 24px; line-height: 1.2; }
  .card span { color: var(--soft); font-size: 13px; }
  .legend { font-size: 13px; color: var(--soft); margin: 0 0 4px; }
  .swatch { display: inline-block; width: 12px; height: 12px; vertical-align: -1px;
            margin: 0 4px 0 12px; }
  svg { display: block; width: 100%; height: auto; }
  svg text { font: 14px system-ui, "DejaVu Sans", sans-serif; fill: var(--soft); }
  table { border-collapse: collapse; width: 100%; font-size: 14px; }
  th, td { text-align: left; padding: 5px 8px; border-bottom: 1px solid var(--rule); }
  th { font-weight: 600; color: var(--soft); font-size: 13px; }
  td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
  td.bar { width: 30%; }
  td.bar svg { height: 12px; }
  section { break-inside: avoid; page-break-inside: avoid; }
  .station { break-inside: avoid; page-break-inside: avoid; }
  @page { size: A4; margin: 12mm; }
  @media print {
    body { padding: 0; font-size: 10pt; }
    h1 { font-size: 16pt; }
    h2 { font-size: 12.5pt; margin-top: 16px; }
    .cards { grid-template-columns: repeat(3, 1fr); }
    .card b { font-size: 15pt; }
    table { font-size: 9.5pt; }
  }
</style>
</head>
<body>
<main>
<h1>Line report: pool {{POOL}}</h1>
<p class="meta">{{WINDOW}}</p>
<p class="meta">{{WHERE}}</p>
<div class="cards">{{CARDS}}</div>
<section>
<h2>Boards per hour</h2>
<p class="legend">Hours in UTC, by the time each attempt ended.
<span class="swatch" style="background:var(--ok)"></span>verified
<span class="swatch" style="background:var(--bad)"></span>failed</p>
{{HOURS}}
</section>
<section>
<h2>Yield and time per board, by station</h2>
{{STATIONS}}
</section>
<section>
<h2>Failures by outcome</h2>
{{OUTCOMES}}
</section>
<section>
<h2>Pool</h2>
{{POOL_USE}}
</section>
</main>
</body>
</html>
)page";

// A part of an id: letters and digits stay, any other byte becomes _XX.
std::string IdPart(const std::string& text) {
  std::string id;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      id += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "_%02X", byte);
      id += hex;
    }
  }
  return id;
}

std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

std::string Fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Seconds(std::optional<double> seconds) {
  return seconds ? Fixed(*seconds, 1) + " s" : "&ndash;";
}

std::string Percent(std::uint64_t part, std::uint64_t whole) {
  return whole == 0
             ? "&ndash;"
             : Fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 1) + " %";
}

// A bar of share (0 ... 1) in colour, for a table's cell.
std::string ShareBar(double share, const char* colour) {
  return "<svg viewBox=\"0 0 100 10\" preserveAspectRatio=\"none\" role=\"img\"><rect "
         "width=\"100\" "
         "height=\"10\" fill=\"#eceef1\"/><rect width=\"" +
         Fixed(std::clamp(share, 0.0, 1.0) * 100, 2) + "\" height=\"10\" fill=\"" + colour +
         "\"/></svg>";
}

std::string Card(const std::string& figure, const std::string& label) {
  return "<div class=\"card\"><b>" + figure + "</b><span>" + label + "</span></div>";
}

void Fill(std::string* page, const std::string& name, const std::string& part) {
  const std::string mark = "{{" + name + "}}";
  for (auto at = page->find(mark); at != std::string::npos; at = page->find(mark, at)) {
    page->replace(at, mark.size(), part);
    at += part.size();
  }
}

}  // namespace

std::string HtmlText(const std::string& text) {
  std::string html;
  for (const char c : text) {
    switch (c) {
      case '&':
        html += "&amp;";
        break;
      case '<':
        html += "&lt;";
        break;
      case '>':
        html += "&gt;";
        break;
      case '"':
        html += "&quot;";
        break;
      case '\'':
        html += "&#39;";
        break;
      case '{':  // never a template's mark
        html += "&#123;";
        break;
      default:
        html += c;
    }
  }
  return html;
}

void LineReport::WriteHtml(std::ostream& out) const {
  std::string page = kPage;
  Fill(&page, "POOL", HtmlText(pool_));
  const auto since = since_.empty() ? start_ms_ : ParseUtc(since_);
  const auto until = until_.empty() ? last_end_ms_ : ParseUtc(until_);
  const auto shown = [](std::optional<std::int64_t> ms) {
    return ms ? FormatUtc(*ms).substr(0, 16).replace(10, 1, " ") : std::string("&ndash;");
  };
  Fill(&page, "WINDOW",
       since || until ? shown(since) + " to " + shown(until) + " UTC" : "No attempts on record");
  Fill(&page, "WHERE", "Store " + HtmlText(where_));

  std::string cards = Card(Grouped(all_.attempts), "attempts") +
                      Card(Grouped(all_.verified), "boards verified") +
                      Card(Percent(all_.verified, all_.attempts), "yield") +
                      Card(Seconds(Median(all_)), "median time per board") +
                      Card(Seconds(Slowest(all_)), "slowest board");
  const auto days = DaysLeft();
  cards += Card(days ? Fixed(*days, *days < 10 ? 1 : 0) : "&ndash;", "days of addresses left");
  Fill(&page, "CARDS", cards);

  // One chart per station on one scale, so that stations compare at a glance.
  const std::vector<std::string> hours = Hours();
  std::uint64_t top = 1;
  for (const auto& [key, counts] : hours_) {
    top = std::max(top, counts.first + counts.second);
  }
  const double left = 44;
  const double right = 992;
  const double plot_top = 10;
  const double plot_bottom = 96;
  const double slot = hours.empty() ? 0 : (right - left) / static_cast<double>(hours.size());
  const std::size_t label_every = std::max<std::size_t>(1, (hours.size() + 15) / 16);
  std::ostringstream charts;
  if (hours.empty()) {
    charts << "<p>No attempts in this window.</p>\n";
  }
  for (const auto& [station, tally] : stations_) {
    charts << "<div class=\"station\"><h3>" << HtmlText(station) << " <span>" << tally.verified
           << " verified, " << tally.attempts - tally.verified << " failed</span></h3>\n"
           << "<svg viewBox=\"0 0 1000 132\" role=\"img\" aria-label=\"boards per hour at "
           << HtmlText(station) << "\">\n";
    for (const std::uint64_t tick : {top, (top + 1) / 2, std::uint64_t{0}}) {
      const double y = plot_bottom - (plot_bottom - plot_top) * static_cast<double>(tick) /
                                         static_cast<double>(top);
      charts << "<line x1=\"" << left << "\" x2=\"" << right << "\" y1=\"" << Fixed(y, 1)
             << "\" y2=\"" << Fixed(y, 1) << "\" stroke=\"" << (tick == 0 ? "#9aa0a6" : "#e3e5e8")
             << "\"/><text x=\"" << left - 6 << "\" y=\"" << Fixed(y + 4, 1)
             << "\" text-anchor=\"end\">" << tick << "</text>\n";
    }
    for (std::size_t i = 0; i < hours.size(); ++i) {
      const std::string& hour = hours[i];
      const double x = left + slot * static_cast<double>(i);
      if (i % label_every == 0) {
        charts << "<text x=\"" << Fixed(x + slot / 2, 1) << "\" y=\"113\" text-anchor=\"middle\">"
               << hour.substr(11, 2) << ":00</text>";
        if (i == 0 || hour.substr(11, 2) == "00") {
          charts << "<text x=\"" << Fixed(x + slot / 2, 1) << "\" y=\"129\" text-anchor=\"middle\">"
                 << hour.substr(5, 5) << "</text>";
        }
        charts << '\n';
      }
      const auto found = hours_.find({station, hour});
      if (found == hours_.end()) {
        continue;
      }
      const auto [verified, failed] = found->second;
      const double unit = (plot_bottom - plot_top) / static_cast<double>(top);
      const double width = std::max(1.0, slot * 0.72);
      const double bar_x = x + (slot - width) / 2;
      const double ok_height = unit * static_cast<double>(verified);
      const double bad_height = unit * static_cast<double>(failed);
      charts << "<g class=\"bar\" id=\"bar-" << IdPart(station) << "-" << hour << "\"><title>"
             << HtmlText(station) << ", " << hour.substr(0, 10) << " " << hour.substr(11, 2)
             << ":00 UTC: " << verified << " verified, " << failed << " failed</title>"
             << "<rect x=\"" << Fixed(bar_x, 1) << "\" y=\"" << Fixed(plot_bottom - ok_height, 2)
             << "\" width=\"" << Fixed(width, 1) << "\" height=\"" << Fixed(ok_height, 2)
             << "\" fill=\"" << kVerifiedColour << "\"/><rect x=\"" << Fixed(bar_x, 1) << "\" y=\""
             << Fixed(plot_bottom - ok_height - bad_height, 2) << "\" width=\"" << Fixed(width, 1)
             << "\" height=\"" << Fixed(bad_height, 2) << "\" fill=\"" << kFailedColour
             << "\"/></g>\n";
    }
    charts << "</svg></div>\n";
  }
  Fill(&page, "HOURS", charts.str());

  std::ostringstream stations;
  stations << "<table><tr><th>station</th><th class=\"n\">attempts</th><th class=\"n\">"
              "verified</th><th class=\"n\">yield</th><th></th><th class=\"n\">median</th>"
              "<th class=\"n\">slowest</th></tr>\n";
  for (const auto& [station, tally] : stations_) {
    stations << "<tr><td>" << HtmlText(station) << "</td><td class=\"n\">"
             << Grouped(tally.attempts) << "</td><td class=\"n\">" << Grouped(tally.verified)
             << "</td><td class=\"n\">" << Percent(tally.verified, tally.attempts)
             << "</td><td class=\"bar\">"
             << ShareBar(tally.attempts == 0 ? 0
                                             : static_cast<double>(tally.verified) /
                                                   static_cast<double>(tally.attempts),
                         kVerifiedColour)
             << "</td><td class=\"n\">" << Seconds(Median(tally)) << "</td><td class=\"n\">"
             << Seconds(Slowest(tally)) << "</td></tr>\n";
  }
  stations << "<tr><td><b>all</b></td><td class=\"n\"><b>" << Grouped(all_.attempts)
           << "</b></td><td class=\"n\"><b>" << Grouped(all_.verified)
           << "</b></td><td class=\"n\"><b>" << Percent(all_.verified, all_.attempts)
           << "</b></td><td></td><td class=\"n\"><b>" << Seconds(Median(all_))
           << "</b></td><td class=\"n\"><b>" << Seconds(Slowest(all_)) << "</b></td></tr>\n"
           << "</table>\n<p class=\"meta\">Time per board: from the CODE answer to the end of a "
              "verified attempt.</p>\n";
  Fill(&page, "STATIONS", stations.str());

  const std::uint64_t failed = all_.attempts - all_.verified;
  std::ostringstream outcomes;
  outcomes << "<table><tr><th>outcome</th><th class=\"n\">attempts</th><th class=\"n\">"
              "of the failures</th><th></th></tr>\n";
  for (std::size_t i = 1; i < outcomes_.size(); ++i) {
    outcomes << "<tr><td>" << OutcomeName(static_cast<AttemptOutcome>(i)) << "</td><td class=\"n\">"
             << Grouped(outcomes_[i]) << "</td><td class=\"n\">" << Percent(outcomes_[i], failed)
             << "</td><td class=\"bar\">"
             << ShareBar(failed == 0
                             ? 0
                             : static_cast<double>(outcomes_[i]) / static_cast<double>(failed),
                         kFailedColour)
             << "</td></tr>\n";
  }
  outcomes << "</table>\n";
  Fill(&page, "OUTCOMES", outcomes.str());

  const auto per_day = PerDay();
  std::ostringstream use;
  use << "<table><tr><td>issued</td><td class=\"n\">" << Grouped(status_.issued) << " of "
      << Grouped(status_.total) << "</td><td class=\"n\">" << Percent(status_.issued, status_.total)
      << "</td><td class=\"bar\">"
      << ShareBar(status_.total == 0
                      ? 0
                      : static_cast<double>(status_.issued) / static_cast<double>(status_.total),
                  "#3b6fb6")
      << "</td></tr>\n<tr><td>free</td><td class=\"n\">" << Grouped(status_.free)
      << "</td><td></td><td></td></tr>\n<tr><td>addresses written in the window</td><td "
         "class=\"n\">"
      << Grouped(addresses_.size()) << "</td><td class=\"n\">"
      << (per_day ? Fixed(*per_day, 1) + " a day" : "&ndash;")
      << "</td><td></td></tr>\n<tr><td>days left at that rate</td><td class=\"n\">"
      << (days ? Fixed(*days, 1) : "&ndash;") << "</td><td></td><td></td></tr>\n</table>\n";
  Fill(&page, "POOL_USE", use.str());
  out << page;
}

}  // namespace pelorus::pool
