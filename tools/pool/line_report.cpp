#include "tools/pool/line_report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <regex>

#include "tools/pool/json_text.h"

namespace pelorus::pool {
namespace {

constexpr double kMsPerDay = 24.0 * 3600 * 1000;

std::string JsonNumber(std::optional<double> value) {
  if (!value) {
    return "null";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", *value);
  return text;
}

std::string Ratio(std::uint64_t part, std::uint64_t whole) {
  return whole == 0 ? "null" : JsonNumber(static_cast<double>(part) / static_cast<double>(whole));
}

}  // namespace

std::optional<std::int64_t> ParseUtc(const std::string& text) {
  static const std::regex form(
      R"(^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2})(?::(\d{2})(?::(\d{2})(?:\.(\d{1,3}))?)?)?)?Z?$)");
  std::smatch m;
  if (!std::regex_match(text, m, form)) {
    return std::nullopt;
  }
  const auto field = [&m](int i) { return m[i].matched ? std::stoi(m[i].str()) : 0; };
  std::tm utc{};
  utc.tm_year = field(1) - 1900;
  utc.tm_mon = field(2) - 1;
  utc.tm_mday = field(3);
  utc.tm_hour = field(4);
  utc.tm_min = field(5);
  utc.tm_sec = field(6);
  if (utc.tm_mon < 0 || utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 ||
      utc.tm_hour > 23 || utc.tm_min > 59 || utc.tm_sec > 59) {
    return std::nullopt;
  }
  std::string ms = m[7].matched ? m[7].str() : "0";
  ms.resize(3, '0');
  const std::tm asked = utc;
  const std::int64_t seconds = timegm(&utc);
  if (utc.tm_mday != asked.tm_mday) {  // a day the month does not have
    return std::nullopt;
  }
  return seconds * 1000 + std::stoi(ms);
}

std::string FormatUtc(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

LineReport::LineReport(std::string pool, std::string where, std::string since, std::string until)
    : pool_(std::move(pool)),
      where_(std::move(where)),
      since_(std::move(since)),
      until_(std::move(until)) {}

void LineReport::Add(const Attempt& attempt) {
  const auto ended = ParseUtc(attempt.ended_at);
  if (!ended) {
    return;
  }
  const auto code = ParseUtc(attempt.code_at);
  const std::int64_t start = code ? std::min(*code, *ended) : *ended;
  start_ms_ = std::min(start_ms_.value_or(start), start);
  first_end_ms_ = std::min(first_end_ms_.value_or(*ended), *ended);
  last_end_ms_ = std::max(last_end_ms_.value_or(*ended), *ended);

  const bool verified = attempt.outcome == AttemptOutcome::kVerified;
  auto& hour = hours_[{attempt.station, attempt.ended_at.substr(0, 13)}];
  (verified ? hour.first : hour.second) += 1;
  outcomes_[static_cast<std::size_t>(attempt.outcome)] += 1;
  if (attempt.address) {
    addresses_.insert(*attempt.address);
  }
  for (Tally* tally : {&all_, &stations_[attempt.station]}) {
    tally->attempts += 1;
    if (!verified) {
      continue;
    }
    tally->verified += 1;
    if (code) {
      const double seconds = static_cast<double>(*ended - *code) / 1000.0;
      tally->seconds.push_back(seconds);
      if (seconds > tally->slowest) {
        tally->slowest = seconds;
        tally->slowest_id = attempt.id;
      }
    }
  }
}

void LineReport::Finish(const PoolStatus& status) {
  status_ = status;
  std::sort(all_.seconds.begin(), all_.seconds.end());
  for (auto& [station, tally] : stations_) {
    std::sort(tally.seconds.begin(), tally.seconds.end());
  }
}

std::optional<double> LineReport::Median(const Tally& tally) {
  const auto& s = tally.seconds;
  if (s.empty()) {
    return std::nullopt;
  }
  const std::size_t half = s.size() / 2;
  return s.size() % 2 == 1 ? s[half] : (s[half - 1] + s[half]) / 2;
}

std::optional<double> LineReport::Slowest(const Tally& tally) {
  return tally.seconds.empty() ? std::nullopt : std::optional<double>(tally.slowest);
}

std::vector<std::string> LineReport::Hours() const {
  std::vector<std::string> hours;
  if (!first_end_ms_) {
    return hours;
  }
  constexpr std::int64_t kHourMs = 3600 * 1000;
  for (std::int64_t at = *first_end_ms_ / kHourMs * kHourMs; at <= *last_end_ms_; at += kHourMs) {
    hours.push_back(FormatUtc(at).substr(0, 13));
  }
  return hours;
}

std::optional<double> LineReport::PerDay() const {
  const auto start = since_.empty() ? start_ms_ : ParseUtc(since_);
  const auto end = until_.empty() ? last_end_ms_ : ParseUtc(until_);
  if (!start || !end || *end <= *start) {
    return std::nullopt;
  }
  return static_cast<double>(addresses_.size()) * kMsPerDay / static_cast<double>(*end - *start);
}

std::optional<double> LineReport::DaysLeft() const {
  const auto per_day = PerDay();
  if (!per_day || *per_day <= 0) {
    return std::nullopt;
  }
  return static_cast<double>(status_.free) / *per_day;
}

void LineReport::WriteJson(std::ostream& out) const {
  const std::string since = !since_.empty() ? since_ : start_ms_ ? FormatUtc(*start_ms_) : "";
  const std::string until = !until_.empty() ? until_ : last_end_ms_ ? FormatUtc(*last_end_ms_) : "";
  out << "{\n"
      << "  \"pool\": " << JsonText(pool_) << ",\n"
      << "  \"location\": " << JsonText(where_) << ",\n"
      << "  \"since\": " << (since.empty() ? "null" : JsonText(since)) << ",\n"
      << "  \"until\": " << (until.empty() ? "null" : JsonText(until)) << ",\n"
      << "  \"attempts\": " << all_.attempts << ",\n"
      << "  \"verified\": " << all_.verified << ",\n"
      << "  \"failed\": " << all_.attempts - all_.verified << ",\n"
      << "  \"yield\": " << Ratio(all_.verified, all_.attempts) << ",\n"
      << "  \"outcomes\": {";
  for (std::size_t i = 0; i < outcomes_.size(); ++i) {
    out << (i == 0 ? "" : ", ") << JsonText(OutcomeName(static_cast<AttemptOutcome>(i))) << ": "
        << outcomes_[i];
  }
  out << "},\n"
      << "  \"seconds_per_board\": {\"median\": " << JsonNumber(Median(all_))
      << ", \"slowest\": " << JsonNumber(Slowest(all_))
      << ", \"slowest_attempt\": " << (Slowest(all_) ? std::to_string(all_.slowest_id) : "null")
      << "},\n"
      << "  \"stations\": [";
  const char* separator = "\n";
  for (const auto& [station, tally] : stations_) {
    out << separator << "    {\"station\": " << JsonText(station)
        << ", \"attempts\": " << tally.attempts << ", \"verified\": " << tally.verified
        << ", \"failed\": " << tally.attempts - tally.verified
        << ", \"yield\": " << Ratio(tally.verified, tally.attempts)
        << ", \"median_seconds\": " << JsonNumber(Median(tally))
        << ", \"slowest_seconds\": " << JsonNumber(Slowest(tally)) << "}";
    separator = ",\n";
  }
  out << (stations_.empty() ? "],\n" : "\n  ],\n") << "  \"hours\": [";
  separator = "\n";
  for (const auto& [key, counts] : hours_) {
    out << separator << "    {\"station\": " << JsonText(key.first)
        << ", \"hour\": " << JsonText(key.second + ":00Z") << ", \"verified\": " << counts.first
        << ", \"failed\": " << counts.second << "}";
    separator = ",\n";
  }
  out << (hours_.empty() ? "],\n" : "\n  ],\n") << "  \"pool_use\": {\"size\": " << status_.total
      << ", \"issued\": " << status_.issued << ", \"free\": " << status_.free
      << ", \"addresses_in_window\": " << addresses_.size()
      << ", \"per_day\": " << JsonNumber(PerDay()) << ", \"days_left\": " << JsonNumber(DaysLeft())
      << "}\n"
      << "}\n";
}

}  // namespace pelorus::pool
