#include "tools/pool/pool_report.h"

#include <algorithm>
#include <cstdio>
#include <regex>

#include "tools/pool/json_text.h"

namespace pelorus::pool {

bool RunningLow(const PoolStatus& status) {
  return status.free * 100 < status.total || status.free < 100;
}

void WriteStatus(std::ostream& out, const PoolStatus& status, const std::string& where) {
  out << "pool      " << status.name << " at " << where << '\n'
      << "range     " << FormatMac48(status.first) << " ... " << FormatMac48(status.last) << " ("
      << status.total << " addresses)\n"
      << "issued    " << status.issued << '\n'
      << "verified  " << status.verified << '\n'
      << "written   " << status.written
      << " (never verified: unconfirmed, spent until a person releases them)\n"
      << "leased    " << status.leased << " (never written)\n"
      << "free      " << status.free << '\n'
      << "released  " << status.released << " (unconfirmed, given back after a check)\n";
  if (RunningLow(status)) {
    out << "warning: pool " << status.name << " has only " << status.free
        << " free addresses left\n";
  }
}

void WriteStatusJson(std::ostream& out, const PoolStatus& status, const std::string& where) {
  out << "{\"pool\":" << JsonText(status.name) << ",\"location\":" << JsonText(where)
      << ",\"first\":" << JsonText(FormatMac48(status.first))
      << ",\"last\":" << JsonText(FormatMac48(status.last)) << ",\"total\":" << status.total
      << ",\"issued\":" << status.issued << ",\"verified\":" << status.verified
      << ",\"written\":" << status.written << ",\"leased\":" << status.leased
      << ",\"free\":" << status.free << ",\"released\":" << status.released
      << ",\"running_low\":" << (RunningLow(status) ? "true" : "false") << "}\n";
}

void WriteCheckJson(std::ostream& out, const AddressRecord& record) {
  out << "{\"address\":" << JsonText(FormatMac48(record.address))
      << ",\"pool\":" << JsonText(record.pool) << ",\"state\":" << JsonText(StateName(record.state))
      << ",\"station\":" << JsonText(record.station) << ",\"port\":" << JsonText(record.port)
      << ",\"leased_at\":" << JsonText(record.leased_at)
      << ",\"written_at\":" << JsonText(record.written_at)
      << ",\"verified_at\":" << JsonText(record.verified_at) << ",\"attempts\":" << record.attempts
      << ",\"readback\":" << JsonText(record.readback)
      << ",\"released_at\":" << JsonText(record.released_at)
      << ",\"released_by\":" << JsonText(record.released_by)
      << ",\"release_reason\":" << JsonText(record.release_reason) << "}\n";
}

std::optional<std::string> RecordTime(const std::string& text) {
  static const std::regex form(
      R"((\d{4}-\d{2}-\d{2})(?:[T ](\d{2}:\d{2})(?::(\d{2})(?:\.(\d{1,3}))?)?)?Z?)");
  std::smatch part;
  if (!std::regex_match(text, part, form)) {
    return std::nullopt;
  }
  const std::string minute = part[2].matched ? part[2].str() : "00:00";
  const std::string second = part[3].matched ? part[3].str() : "00";
  const std::string fraction = (part[4].str() + "000").substr(0, 3);
  return part[1].str() + "T" + minute + ":" + second + "." + fraction + "Z";
}

void WriteCheck(std::ostream& out, const AddressRecord& record) {
  out << "address   " << FormatMac48(record.address) << '\n'
      << "pool      " << record.pool << '\n'
      << "state     " << StateName(record.state) << '\n';
  if (record.state != AddressState::kFree) {
    out << "station   " << record.station << '\n' << "leased    " << record.leased_at << '\n';
    if (record.attempts > 0) {
      out << "port      " << record.port << '\n'
          << "written   " << record.written_at << " (" << record.attempts
          << (record.attempts == 1 ? " attempt)\n" : " attempts)\n");
    }
    if (record.state == AddressState::kVerified) {
      out << "verified  " << record.verified_at << '\n' << "readback  " << record.readback << '\n';
    }
  }
  if (!record.released_at.empty()) {
    out << "released  " << record.released_at << " by " << record.released_by << '\n'
        << "reason    " << record.release_reason << '\n';
  }
}

void WriteColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> width;
  for (const auto& row : rows) {
    width.resize(std::max(width.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i) {
      width[i] = std::max(width[i], row[i].size());
    }
  }
  for (const auto& row : rows) {
    std::string text;
    for (std::size_t i = 0; i < row.size(); ++i) {
      text += row[i];
      if (i + 1 < row.size()) {
        text += std::string(width[i] - row[i].size() + 2, ' ');
      }
    }
    text.erase(text.find_last_not_of(' ') + 1);
    out << text << '\n';
  }
}

void WriteUnconfirmed(std::ostream& out, const std::vector<AddressRecord>& records) {
  std::vector<std::vector<std::string>> rows = {
      {"address", "station", "port", "written", "attempts", "last console line"}};
  for (const AddressRecord& r : records) {
    rows.push_back({FormatMac48(r.address), r.station, r.port, r.written_at,
                    std::to_string(r.attempts), r.readback});
  }
  WriteColumns(out, rows);
}

namespace {

// One CSV field, quoted when it holds a comma, a quote or a line break; the last of a line
// ends it.
void Field(std::ostream& out, const std::string& text, bool last = false) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    out << text;
  } else {
    out << '"';
    for (const char c : text) {
      out << c;
      if (c == '"') {
        out << '"';
      }
    }
    out << '"';
  }
  out << (last ? "\r\n" : ",");
}

}  // namespace

CsvRecordWriter::CsvRecordWriter(std::ostream& out) : out_(out) {
  out_ << "address,state,station,port,leased_at,written_at,verified_at,attempts,readback,"
          "released_at,released_by,release_reason\r\n";
}

void CsvRecordWriter::Write(const AddressRecord& record) {
  for (const std::string& field :
       {FormatMac48(record.address), std::string(StateName(record.state)), record.station,
        record.port, record.leased_at, record.written_at, record.verified_at,
        std::to_string(record.attempts), record.readback, record.released_at, record.released_by}) {
    Field(out_, field);
  }
  Field(out_, record.release_reason, true);
}

CsvAttemptWriter::CsvAttemptWriter(std::ostream& out) : out_(out) {
  out_ << "id,station,port,address,outcome,code_at,written_at,readback_sent_at,matched_at,"
          "ended_at,transcript_bytes,transcript_cut\r\n";
}

void CsvAttemptWriter::Write(const Attempt& attempt) {
  for (const std::string& field : {std::to_string(attempt.id), attempt.station, attempt.port,
                                   attempt.address ? FormatMac48(*attempt.address) : std::string(),
                                   std::string(OutcomeName(attempt.outcome)), attempt.code_at,
                                   attempt.written_at, attempt.readback_sent_at, attempt.matched_at,
                                   attempt.ended_at, std::to_string(attempt.transcript_bytes)}) {
    Field(out_, field);
  }
  Field(out_, std::to_string(attempt.transcript_cut), true);
}

}  // namespace pelorus::pool
