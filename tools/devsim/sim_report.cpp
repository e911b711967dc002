#include "sim_report.h"

#include <cinttypes>

#include "sim_address.h"

namespace pelorus::devsim {
namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string Mac(const std::optional<std::uint64_t>& address) {
  return address ? FormatAddress(*address, '-') : std::string("-");
}

std::string Seconds(double ms) {
  if (ms < 0) {
    return "-";
  }
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.3f", ms / 1000.0);
  return buf;
}

std::string Hex(std::uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "%016" PRIx64, value);
  return buf;
}

}  // namespace

std::string Escape(const std::string& bytes, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == 0) {
      out += "\\0";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (bytes.size() > limit) {
    out += "...";
  }
  return out;
}

JsonLine::JsonLine(const std::string& event) : text_("{\"event\":" + JsonString(event)) {}

JsonLine& JsonLine::Add(const std::string& key, const std::string& value) {
  text_ += "," + JsonString(key) + ":" + JsonString(value);
  return *this;
}

JsonLine& JsonLine::Add(const std::string& key, long long value) {
  text_ += "," + JsonString(key) + ":" + std::to_string(value);
  return *this;
}

JsonLine& JsonLine::AddMs(const std::string& key, double ms) {
  char buf[32] = "null";
  if (ms >= 0) {
    std::snprintf(buf, sizeof(buf), "%.3f", ms);
  }
  text_ += "," + JsonString(key) + ":" + buf;
  return *this;
}

JsonLine& JsonLine::AddBool(const std::string& key, bool value) {
  text_ += "," + JsonString(key) + ":" + (value ? "true" : "false");
  return *this;
}

SimReport::~SimReport() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

bool SimReport::Open(const std::string& path, bool console, std::string* error) {
  console_ = console;
  if (path.empty()) {
    return true;
  }
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    *error = "cannot create the report " + path;
    return false;
  }
  return true;
}

void SimReport::Event(const JsonLine& line) {
  if (file_ != nullptr) {
    std::fprintf(file_, "%s\n", line.Text().c_str());
    std::fflush(file_);
  }
}

void SimReport::Say(const std::string& text) {
  if (console_) {
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
  }
}

void SimReport::Device(const DeviceRecord& d) {
  JsonLine line("device");
  line.Add("device", d.number)
      .Add("result", d.result)
      .Add("address", Mac(d.written))
      .Add("expected", Mac(d.expected))
      .Add("readback", d.shown ? FormatAddress(*d.shown, ' ') : std::string("-"))
      .AddBool("readback_ok", d.shown && d.written && *d.shown == *d.written)
      .Add("boots", d.boots)
      .Add("host_errors", d.host_errors)
      .AddMs("power_on_ms", d.power_on_ms)
      .AddMs("code_ms", d.code_ms)
      .AddMs("interrupt_ms", d.interrupt_ms)
      .AddMs("prompt_ms", d.prompt_ms)
      .AddMs("write_ms", d.write_ms)
      .AddMs("done_ms", d.done_ms)
      .AddMs("read_ms", d.read_ms)
      .AddMs("dump_ms", d.dump_ms)
      .Add("serial", d.serial);
  Event(line);
  Say("device " + std::to_string(d.number) + ": " + d.result + " " + Mac(d.written) + " (boots " +
      std::to_string(d.boots) + ")  power-on " + Seconds(d.power_on_ms) + "  CODE " +
      Seconds(d.code_ms) + "  interrupt " + Seconds(d.interrupt_ms) + "  480 " +
      Seconds(d.prompt_ms) + "  write " + Seconds(d.write_ms) + "  done " + Seconds(d.done_ms) +
      "  read " + Seconds(d.read_ms) + "  dump " + Seconds(d.dump_ms) + " s");
}

void SimReport::HostError(double t_ms, int device, const std::string& state,
                          const std::string& what) {
  Event(JsonLine("host_error")
            .AddMs("t_ms", t_ms)
            .Add("device", device)
            .Add("state", state)
            .Add("what", what));
  if (console_) {
    std::fprintf(stderr, "pelorus-devsim: host error: device %d, %s: %s\n", device, state.c_str(),
                 what.c_str());
  }
}

void SimReport::End(double t_ms, const SimResult& r) {
  int ok = 0;
  for (const auto& d : r.devices) {
    ok += d.result == "ok" ? 1 : 0;
  }
  Event(JsonLine("end")
            .AddMs("t_ms", t_ms)
            .Add("exit", r.exit_code)
            .Add("reason", r.reason)
            .Add("devices_played", static_cast<int>(r.devices.size()))
            .Add("devices_ok", ok)
            .Add("host_errors", static_cast<int>(r.host_errors.size()))
            .AddBool("hung_up", r.hung_up)
            .Add("unplugs", r.unplugs)
            .Add("bytes_out", static_cast<long long>(r.bytes_out))
            .Add("bytes_in", static_cast<long long>(r.bytes_in))
            .Add("out_digest", Hex(r.out_digest))
            .Add("chunk_digest", Hex(r.chunk_digest)));
  Say(std::string("result: ") + (r.exit_code == 0 ? "ok" : "FAILED") + ", " + r.reason);
}

}  // namespace pelorus::devsim
