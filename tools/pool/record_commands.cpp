#include "tools/pool/record_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "pool/address_pool.h"
#include "pool/transcript.h"
#include "tools/pool/line_report.h"
#include "tools/pool/pool_choice.h"

namespace pelorus::pool {
namespace {

using Piece = Transcript::Piece;

constexpr const char* kJsonKeys =
    "JSON keys: pool, location, since, until (the window: as given, or from the first "
    "attempt's start to the last one's end), attempts, verified, failed, yield (verified / "
    "attempts), outcomes (attempts per outcome), seconds_per_board {median, slowest, "
    "slowest_attempt} (CODE answered to the end of verified attempts), stations [{station, "
    "attempts, verified, failed, yield, median_seconds, slowest_seconds}], hours [{station, "
    "hour, verified, failed}] (by the hour an attempt ended, UTC; hours with attempts only), "
    "pool_use {size, issued, free, addresses_in_window, per_day, days_left} (days_left: the "
    "free addresses at the window's rate of addresses written). A figure without data is null.";

bool Fail(const std::string& reason) {
  std::cerr << "pelorus-pool: " << reason << '\n';
  return false;
}

std::unique_ptr<AddressPool> OpenPool(const std::string& location) {
  std::string error;
  auto pool = AddressPool::Open(location, false, &error);
  if (!pool) {
    Fail(error);
  }
  return pool;
}

// "+S.mmm" of a span in microseconds.
std::string Offset(std::int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%lld.%03lld", us < 0 ? "-" : "+",
                static_cast<long long>(std::abs(us) / 1000000),
                static_cast<long long>(std::abs(us) / 1000 % 1000));
  return text;
}

}  // namespace

void WriteTranscript(std::ostream& out, const std::vector<Piece>& pieces) {
  if (pieces.empty()) {
    return;
  }
  const std::int64_t base = pieces.front().at_us;
  std::string line;
  std::int64_t line_at = 0;
  Transcript::Direction line_direction = Transcript::Direction::kFromDevice;
  const auto flush = [&] {
    if (line.empty()) {
      return;
    }
    if (line.back() == '\n') {
      line.pop_back();
    }
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::string stamp = Offset(line_at - base);
    stamp.insert(0, stamp.size() < 10 ? 10 - stamp.size() : 0, ' ');
    out << stamp << (line_direction == Transcript::Direction::kToDevice ? " >> " : "    ")
        << EscapeConsoleLine(line) << '\n';
    line.clear();
  };
  for (const Piece& piece : pieces) {
    if (piece.direction != line_direction) {
      flush();
    }
    for (const char c : piece.bytes) {
      if (line.empty()) {
        line_at = piece.at_us;
        line_direction = piece.direction;
      }
      line += c;
      if (c == '\n') {
        flush();
      }
    }
  }
  flush();
}

namespace {

std::string Normal(const std::string& time, bool* ok) {
  if (time.empty()) {
    return time;
  }
  const auto ms = ParseUtc(time);
  *ok = *ok && ms.has_value();
  return ms ? FormatUtc(*ms) : time;
}

}  // namespace

RecordCommands::RecordCommands(CLI::App& app) {
  CLI::App* history = Add(app, "history",
                          "Every attempt that wrote an address, oldest first: id, station, port, "
                          "start, each step's time after it, outcome",
                          &RecordCommands::History);
  history->add_option("ADDRESS", address_, "six octets of two hex digits, - or : between them")
      ->required();

  CLI::App* transcript = Add(app, "transcript",
                             "One attempt's console as text: each line's time after the "
                             "first, bytes sent to the device marked >>",
                             &RecordCommands::Transcript);
  transcript->add_option("ATTEMPT-ID", id_, "the attempt's id (see history)")->required();
  transcript->add_flag("--raw", raw_,
                       "write the bytes the device sent, exactly as they came, and nothing else");

  CLI::App* report = Add(app, "report",
                         "The line's figures over a window of time: boards per hour and "
                         "station, yield, failures by outcome, time per board, the pool's use",
                         &RecordCommands::Report);
  report
      ->add_option("--name", name_,
                   "the pool's name (default: the store's only pool, or else default)")
      ->check(CLI::Validator([](std::string& name) { return NameProblem("pool", name); }, ""));
  report->add_option("--since", since_,
                     "from this UTC time on (2026-12-06, 2026-12-06T08:00, ...; default: the "
                     "first attempt)");
  report->add_option("--until", until_, "up to this UTC time, not included (default: the last)");
  report->add_option("--html", html_, "write the report as one HTML page to FILE");
  json_option_ = report
                     ->add_option("--json", json_,
                                  "write the figures as JSON to FILE, or to "
                                  "standard output without FILE")
                     ->expected(0, 1);
  report->footer(std::string(kJsonKeys) +
                 "\nExit status: 0 on success, 1 with a one-line reason on stderr otherwise.");
}

CLI::App* RecordCommands::Add(CLI::App& app, const char* name, const char* description,
                              bool (RecordCommands::*command)() const) {
  CLI::App* sub = app.add_subcommand(name, description);
  sub->add_option("LOCATION", location_,
                  "the store: a SQLite file, or a postgresql:// URI or libpq key=value string")
      ->required();
  sub->callback([this, command] { command_ = command; });
  return sub;
}

bool RecordCommands::History() const {
  const auto address = ParseMac48(address_);
  if (!address) {
    return Fail("malformed address \"" + address_ +
                "\" (six octets of two hex digits, - or : between them)");
  }
  auto pool = OpenPool(location_);
  std::vector<Attempt> attempts;
  std::string error;
  if (!pool || !pool->History(*address, &attempts, &error)) {
    return pool && Fail(error);
  }
  if (attempts.empty()) {
    std::cout << "no attempt wrote " << FormatMac48(*address) << '\n';
    return true;
  }
  using Line = std::array<std::string, 10>;
  std::vector<Line> lines = {{"id", "station", "port", "start", "code", "written", "read-back",
                              "matched", "ended", "outcome"}};
  for (const Attempt& a : attempts) {
    const std::array<const std::string*, 5> steps = {&a.code_at, &a.written_at, &a.readback_sent_at,
                                                     &a.matched_at, &a.ended_at};
    const std::string* start = *std::find_if(steps.begin(), steps.end(),
                                             [](const std::string* at) { return !at->empty(); });
    const auto start_ms = ParseUtc(*start);
    Line line = {std::to_string(a.id), a.station, a.port, *start};
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const auto at = ParseUtc(*steps[i]);
      line[4 + i] = at && start_ms ? Offset((*at - *start_ms) * 1000) : "-";
    }
    line[9] = OutcomeName(a.outcome);
    lines.push_back(line);
  }
  std::array<std::size_t, 10> width{};
  for (const Line& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      width[i] = std::max(width[i], line[i].size());
    }
  }
  for (const Line& line : lines) {
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
      std::cout << line[i] << std::string(width[i] - line[i].size() + 2, ' ');
    }
    std::cout << line.back() << '\n';
  }
  return true;
}

bool RecordCommands::Transcript() const {
  auto pool = OpenPool(location_);
  std::string encoded;
  std::string error;
  if (!pool || !pool->TranscriptOf(id_, &encoded, &error)) {
    return pool && Fail(error);
  }
  std::vector<Piece> pieces;
  std::uint64_t cut = 0;
  if (!Transcript::Decode(encoded, &pieces, &cut, &error)) {
    return Fail("attempt " + std::to_string(id_) + ": " + error);
  }
  if (raw_) {
    for (const Piece& piece : pieces) {
      if (piece.direction == Transcript::Direction::kFromDevice) {
        std::cout.write(piece.bytes.data(), static_cast<std::streamsize>(piece.bytes.size()));
      }
    }
  } else {
    WriteTranscript(std::cout, pieces);
    if (cut > 0) {
      std::cout << "[" << cut << " more bytes past the " << Transcript::kCapBytes / (1024 * 1024)
                << " MB cap were left out]\n";
    }
  }
  std::cout.flush();
  return std::cout.good() || Fail("cannot write the transcript to standard output");
}

bool RecordCommands::Report() const {
  const bool to_json = json_option_->count() > 0;
  if (html_.empty() && !to_json) {
    return Fail("report needs --html FILE or --json [FILE]");
  }
  bool times_ok = true;
  const std::string since = Normal(since_, &times_ok);
  const std::string until = Normal(until_, &times_ok);
  if (!times_ok) {
    return Fail("malformed time (a UTC date and time such as 2026-12-06T08:00)");
  }
  auto pool = OpenPool(location_);
  PoolStatus status;
  std::string name;
  std::string error;
  if (!pool || PoolOfStore(*pool, name_, &name, &error) != Outcome::kDone ||
      !pool->Status(name, &status, &error)) {
    return pool && Fail(error);
  }
  LineReport report(name, pool->Where(), since, until);
  if (!pool->ExportAttempts(
          name, since, until, [&](const Attempt& attempt) { report.Add(attempt); }, &error)) {
    return Fail(error);
  }
  report.Finish(status);
  const auto write = [](const std::string& path, auto&& what) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file) {
      what(file);
      file.close();
    }
    return (file && !file.fail()) || Fail("cannot write " + path);
  };
  if (!html_.empty() && !write(html_, [&](std::ostream& out) { report.WriteHtml(out); })) {
    return false;
  }
  if (to_json && !json_.empty()) {
    return write(json_, [&](std::ostream& out) { report.WriteJson(out); });
  }
  if (to_json) {
    report.WriteJson(std::cout);
    std::cout.flush();
    return std::cout.good() || Fail("cannot write the report to standard output");
  }
  return true;
}

}  // namespace pelorus::pool
