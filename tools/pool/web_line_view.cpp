// The line's web view: each answer read from the store on request, as JSON, HTML or metrics.
#include "tools/pool/web_line_view.h"

#include <chrono>
#include <cstdio>
#include <sstream>
#include <vector>

#include "pool/postgres_pool.h"
#include "pool/transcript.h"
#include "tools/pool/json_text.h"
#include "tools/pool/line_report.h"
#include "tools/pool/record_commands.h"

namespace pelorus::pool {
namespace {

constexpr std::int64_t kMsPerHour = 3600 * 1000;
constexpr std::int64_t kMsPerDay = 24 * kMsPerHour;
constexpr std::size_t kShownAttempts = 50;

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

std::string OptionalAddress(const std::optional<Mac48>& address) {
  return address ? JsonText(FormatMac48(*address)) : "null";
}

// A Prometheus label value: backslash, quote and line end escaped.
std::string Label(const std::string& text) {
  std::string label;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      label += '\\';
      label += c;
    } else if (c == '\n') {
      label += "\\n";
    } else {
      label += c;
    }
  }
  return label;
}

}  // namespace

std::string AttemptJson(const Attempt& attempt) {
  return "{\"id\": " + std::to_string(attempt.id) +
         ", \"ended_at\": " + JsonText(attempt.ended_at) +
         ", \"station\": " + JsonText(attempt.station) + ", \"port\": " + JsonText(attempt.port) +
         ", \"address\": " + OptionalAddress(attempt.address) +
         ", \"outcome\": " + JsonText(OutcomeName(attempt.outcome)) + "}";
}

WebLineView::WebLineView(std::string location, std::string pool_name,
                         std::function<std::int64_t()> now_ms)
    : location_(std::move(location)),
      pool_name_(std::move(pool_name)),
      where_(AddressPool::Shown(location_)),
      now_ms_(now_ms ? std::move(now_ms) : [] {
        return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
      }),
      is_file_(!PostgresPool::Names(location_)) {}

AddressPool* WebLineView::Store(std::string* error) {
  if (is_file_) {
    const auto file = StoreFile::Of(location_, error);
    if (!file) {
      pool_.reset();
      *error = where_ + ": " + *error;
      return nullptr;
    }
    if (pool_ && *file != *file_) {
      pool_.reset();
    }
    file_ = file;
  }
  if (!pool_) {
    pool_ = AddressPool::Open(location_, false, error);
  }
  return pool_.get();
}

bool WebLineView::Failed(int* status, int code) {
  // A refusal leaves the connection as good as it was; a store failure may not have.
  if (code != 404) {
    pool_.reset();
  }
  *status = code;
  return false;
}

bool WebLineView::PoolJson(std::string* json, int* status, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddressPool* pool = Store(error);
  PoolStatus counts;
  std::vector<std::string> stations;
  if (pool == nullptr || !pool->Status(pool_name_, &counts, error) ||
      !pool->StationNames(pool_name_, &stations, error)) {
    return Failed(status, pool != nullptr && pool->Refused() ? 404 : 503);
  }
  const std::int64_t now = now_ms_();
  FigureSpans spans;
  spans.week = FormatUtc(now - 7 * kMsPerDay);
  double per_day = 0;
  for (const std::string& station : stations) {
    StationFigures figures;
    if (!pool->FiguresOf(pool_name_, station, spans, &figures, error)) {
      return Failed(status, 503);
    }
    const auto since = ParseUtc(figures.recent_since);
    if (since && *since < now && figures.verified_recent > 0) {
      per_day += static_cast<double>(figures.verified_recent) * kMsPerDay /
                 static_cast<double>(now - *since);
    }
  }
  std::ostringstream out;
  out << "{\"pool\": " << JsonText(pool_name_) << ", \"where\": " << JsonText(where_)
      << ", \"total\": " << counts.total << ", \"issued\": " << counts.issued
      << ", \"free\": " << counts.free << ", \"verified\": " << counts.verified
      << ", \"written\": " << counts.written << ", \"leased\": " << counts.leased
      << ", \"per_day\": " << Number(per_day) << ", \"days_left\": "
      << (per_day <= 0 ? "null" : Number(static_cast<double>(counts.free) / per_day)) << "}\n";
  *json = out.str();
  return true;
}

bool WebLineView::StationsJson(std::string* json, int* status, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddressPool* pool = Store(error);
  std::vector<std::string> stations;
  std::vector<StationState> states;
  if (pool == nullptr || !pool->StationNames(pool_name_, &stations, error) ||
      !pool->StationStates(pool_name_, &states, error)) {
    return Failed(status, pool != nullptr && pool->Refused() ? 404 : 503);
  }
  const std::int64_t now = now_ms_();
  FigureSpans spans;
  spans.hour = FormatUtc(now - now % kMsPerHour);
  spans.day = FormatUtc(now - now % kMsPerDay);
  std::ostringstream out;
  out << "[";
  auto state = states.begin();
  for (std::size_t i = 0; i < stations.size(); ++i) {
    StationFigures figures;
    if (!pool->FiguresOf(pool_name_, stations[i], spans, &figures, error)) {
      return Failed(status, 503);
    }
    while (state != states.end() && state->station < stations[i]) {
      ++state;
    }
    const bool has_state = state != states.end() && state->station == stations[i];
    const auto heartbeat = has_state ? ParseUtc(state->heartbeat_at) : std::nullopt;
    const bool offline = heartbeat && now - *heartbeat > kOfflineAfterMs;
    out << (i == 0 ? "" : ",") << "\n {\"station\": " << JsonText(stations[i])
        << ", \"activity\": " << (has_state ? JsonText(ActivityText(state->activity)) : "null")
        << ", \"detail\": " << JsonText(has_state ? state->detail : "")
        << ", \"since\": " << JsonText(has_state ? state->since : "")
        << ", \"heartbeat_at\": " << JsonText(has_state ? state->heartbeat_at : "")
        << ", \"offline\": " << (offline ? "true" : "false")
        << ", \"offline_since\": " << (offline ? JsonText(state->heartbeat_at) : "null")
        << ", \"in_hand\": " << OptionalAddress(figures.in_hand)
        << ", \"last_outcome\": " << JsonText(figures.last_outcome)
        << ", \"last_at\": " << JsonText(figures.last_at)
        << ", \"last_address\": " << OptionalAddress(figures.last_address)
        << ", \"boards_this_hour\": " << figures.verified_hour
        << ", \"attempts_today\": " << figures.attempts_today << ", \"yield_today\": "
        << (figures.attempts_today == 0 ? "null"
                                        : Number(static_cast<double>(figures.verified_today) /
                                                 static_cast<double>(figures.attempts_today)))
        << "}";
  }
  out << "\n]\n";
  *json = out.str();
  return true;
}

bool WebLineView::AttemptsJson(std::int64_t after, std::string* json, int* status,
                               std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddressPool* pool = Store(error);
  std::vector<Attempt> attempts;
  if (pool == nullptr ||
      !pool->RecentAttempts(pool_name_, after, kShownAttempts, &attempts, error)) {
    return Failed(status, pool != nullptr && pool->Refused() ? 404 : 503);
  }
  std::ostringstream out;
  out << "[";
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    out << (i == 0 ? "" : ",") << "\n " << AttemptJson(attempts[i]);
  }
  out << "\n]\n";
  *json = out.str();
  return true;
}

bool WebLineView::TranscriptPage(std::int64_t id, std::string* html, int* status,
                                 std::string* error) {
  std::string encoded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    AddressPool* pool = Store(error);
    if (pool == nullptr || !pool->TranscriptOf(id, &encoded, error)) {
      return Failed(status, pool != nullptr && pool->Refused() ? 404 : 503);
    }
  }
  std::vector<Transcript::Piece> pieces;
  std::uint64_t cut = 0;
  if (!Transcript::Decode(encoded, &pieces, &cut, error)) {
    *error = "attempt " + std::to_string(id) + ": " + *error;
    *status = 500;
    return false;
  }
  std::ostringstream text;
  WriteTranscript(text, pieces);
  if (cut > 0) {
    text << "[" << cut << " more bytes past the cap were left out]\n";
  }
  const std::string title = "Attempt " + std::to_string(id);
  *html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + title +
          "</title><link rel=\"stylesheet\" href=\"/page.css\"></head><body><h1>" + title +
          "</h1><p><a href=\"/\">the line</a></p><pre>" + HtmlText(text.str()) +
          "</pre></body></html>\n";
  return true;
}

bool WebLineView::ReportPage(const std::string& since, std::string* html, int* status,
                             std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddressPool* pool = Store(error);
  PoolStatus counts;
  if (pool == nullptr || !pool->Status(pool_name_, &counts, error)) {
    return Failed(status, pool != nullptr && pool->Refused() ? 404 : 503);
  }
  LineReport report(pool_name_, where_, since, "");
  if (!pool->ExportAttempts(
          pool_name_, since, "", [&](const Attempt& attempt) { report.Add(attempt); }, error)) {
    return Failed(status, 503);
  }
  report.Finish(counts);
  std::ostringstream out;
  report.WriteHtml(out);
  *html = out.str();
  return true;
}

bool WebLineView::Metrics(std::string* text, int* status, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddressPool* pool = Store(error);
  PoolStatus counts;
  std::vector<std::string> stations;
  std::vector<StationState> states;
  if (pool == nullptr || !pool->Status(pool_name_, &counts, error) ||
      !pool->StationNames(pool_name_, &stations, error) ||
      !pool->StationStates(pool_name_, &states, error)) {
    return Failed(status, pool != nullptr && pool->Refused() ? 404 : 503);
  }
  const std::string pool_label = "pool=\"" + Label(pool_name_) + "\"";
  const std::int64_t now = now_ms_();
  const std::string settled_until = FormatUtc(now - kSettledAfterMs);
  std::ostringstream verified;
  std::ostringstream failed;
  for (const std::string& station : stations) {
    Settled& settled = settled_[station];
    // The record's settled past is counted once and kept; only what came after it is counted
    // at each scrape. A clock set back leaves the kept part as it is.
    if (settled.until < settled_until) {
      StationTotals more;
      if (!pool->TotalsOf(pool_name_, station, settled.until, settled_until, &more, error)) {
        return Failed(status, 503);
      }
      settled.totals.verified += more.verified;
      settled.totals.failed += more.failed;
      settled.until = settled_until;
    }
    StationTotals recent;
    if (!pool->TotalsOf(pool_name_, station, settled.until, "", &recent, error)) {
      return Failed(status, 503);
    }
    const std::string labels = "{" + pool_label + ",station=\"" + Label(station) + "\"}";
    verified << "pelorus_verified_marks_total" << labels << ' '
             << settled.totals.verified + recent.verified << '\n';
    failed << "pelorus_failed_attempts_total" << labels << ' '
           << settled.totals.failed + recent.failed << '\n';
  }
  std::ostringstream out;
  out << "# HELP pelorus_verified_marks_total Addresses the station verified, from the record.\n"
      << "# TYPE pelorus_verified_marks_total counter\n"
      << verified.str()
      << "# HELP pelorus_failed_attempts_total Attempts of the station that failed, from the "
         "record.\n"
      << "# TYPE pelorus_failed_attempts_total counter\n"
      << failed.str() << "# HELP pelorus_free_addresses Addresses of the pool never issued.\n"
      << "# TYPE pelorus_free_addresses gauge\n"
      << "pelorus_free_addresses{" << pool_label << "} " << counts.free << '\n'
      << "# HELP pelorus_station_up 1 while the station's heartbeat goes on.\n"
      << "# TYPE pelorus_station_up gauge\n";
  std::ostringstream activity;
  for (const StationState& state : states) {
    const auto heartbeat = ParseUtc(state.heartbeat_at);
    const bool up = heartbeat && now - *heartbeat <= kOfflineAfterMs;
    const std::string labels = pool_label + ",station=\"" + Label(state.station) + "\"";
    out << "pelorus_station_up{" << labels << "} " << (up ? 1 : 0) << '\n';
    activity << "pelorus_station_state{" << labels << ",state=\""
             << Label(ActivityText(state.activity)) << "\"} 1\n";
  }
  out << "# HELP pelorus_station_state The station's latest state, as a label.\n"
      << "# TYPE pelorus_station_state gauge\n"
      << activity.str();
  *text = out.str();
  return true;
}

}  // namespace pelorus::pool
