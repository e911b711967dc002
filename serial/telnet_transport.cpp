#include "telnet_transport.h"

#include <poll.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace pelorus {
namespace {

using namespace telnet;
using Clock = std::chrono::steady_clock;
using OptionState = TelnetOptions::State;

// RFC 2217's commands from client to server; the server answers each with command + 100.
constexpr unsigned char kSetBaudRate = 1;
constexpr unsigned char kSetDataSize = 2;
constexpr unsigned char kSetParity = 3;
constexpr unsigned char kSetStopSize = 4;
constexpr unsigned char kSetControl = 5;
constexpr unsigned char kServerOffset = 100;
// SET-CONTROL values for flow control in both directions.
constexpr unsigned char kNoFlowControl = 1;
constexpr unsigned char kXonXoffFlowControl = 2;
constexpr unsigned char kHardwareFlowControl = 3;

// More console output than any device prints while its server negotiates: beyond this the
// server is not negotiating.
constexpr std::size_t kMaxEarlyData = 1 << 20;

struct Request {
  unsigned char command;
  std::string value;
  const char* what;
};

std::string Byte(unsigned value) {
  return std::string(1, static_cast<char>(value));
}

// The record as com-port commands. What a local port refuses is refused here as well, and
// what the option cannot carry (two kinds of flow control at once).
bool LineRequests(const PortSettings& settings, std::vector<Request>* requests, std::string* why) {
  const std::uint32_t baud = settings.baudRate;
  if (baud == 0 || settings.dataBits < 5 || settings.dataBits > 8 || settings.parity > 4) {
    *why = "no such speed, data size or parity";
  } else if (settings.stopBits != 0 && settings.stopBits != 2) {
    *why = "only one or two stop bits can be set";
  } else if ((settings.flow & kFlowDtrDsr) != 0) {
    *why = "DTR/DSR flow control cannot be set";
  } else if ((settings.flow & kFlowRtsCts) != 0 && (settings.flow & kFlowXonXoff) != 0) {
    *why = "only one kind of flow control can be set";
  } else {
    const unsigned char flow = (settings.flow & kFlowRtsCts) != 0    ? kHardwareFlowControl
                               : (settings.flow & kFlowXonXoff) != 0 ? kXonXoffFlowControl
                                                                     : kNoFlowControl;
    *requests = {
        {kSetBaudRate,
         Byte(baud >> 24) + Byte((baud >> 16) & 0xFF) + Byte((baud >> 8) & 0xFF) +
             Byte(baud & 0xFF),
         "the speed"},
        {kSetDataSize, Byte(settings.dataBits), "the data size"},
        {kSetParity, Byte(settings.parity + 1u), "the parity"},
        {kSetStopSize, Byte(settings.stopBits == 2 ? 2 : 1), "the stop size"},
        {kSetControl, Byte(flow), "the flow control"},
    };
    return true;
  }
  return false;
}

std::string Number(const std::string& value) {
  std::uint32_t number = 0;
  for (const char byte : value) {
    number = (number << 8) | static_cast<unsigned char>(byte);
  }
  return std::to_string(number);
}

// Marks the request a com-port answer acknowledges. False with *error when the answer has
// the wrong length or another value than asked (the server's own line then differs).
bool TakeAnswer(const std::string& answer, const std::vector<Request>& requests,
                std::vector<bool>* acknowledged, const std::string& target, PortError* error) {
  const auto command = static_cast<unsigned char>(answer[0]);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (command != requests[i].command + kServerOffset) {
      continue;
    }
    const std::string value = answer.substr(1);
    if (value.size() != requests[i].value.size()) {
      *error = PortError{
          PortError::Kind::kNegotiationGarbage, target,
          std::string("the server's answer for ") + requests[i].what + " has the wrong length"};
      return false;
    }
    if (value != requests[i].value) {
      *error = PortError{PortError::Kind::kLineSettingsRefused, target,
                         std::string("the server set ") + requests[i].what + " to " +
                             Number(value) + " instead of " + Number(requests[i].value)};
      return false;
    }
    (*acknowledged)[i] = true;
  }
  return true;
}

// False with *error once the server refused what the port cannot do without.
bool StillWanted(const TelnetOptions& options, const std::string& target, PortError* error) {
  if (options.Ours(kComPort) == OptionState::kNo) {
    *error = PortError{PortError::Kind::kNegotiationRefused, target,
                       "the server refuses the com-port option (no serial control)"};
    return false;
  }
  // Without binary transmission the server would change line ends and 0xFF on the way.
  if (options.Ours(kBinary) == OptionState::kNo || options.Theirs(kBinary) == OptionState::kNo) {
    *error = PortError{PortError::Kind::kNegotiationRefused, target,
                       "the server refuses binary transmission"};
    return false;
  }
  return true;
}

}  // namespace

TelnetTransport::TelnetTransport(std::unique_ptr<TcpTransport> connection)
    : connection_(std::move(connection)) {}

bool TelnetTransport::Configure(const PortSettings& settings, const OpenWaiter& waiter,
                                PortError* error) {
  const std::string& target = connection_->Target();
  std::vector<Request> requests;
  std::string why;
  if (!LineRequests(settings, &requests, &why)) {
    *error = PortError{PortError::Kind::kLineSettingsRefused, target, why};
    return false;
  }
  const auto deadline = Clock::now() + waiter.stage_limit;
  SendControl(options_.Offers());
  std::vector<std::string> answers;
  std::vector<bool> acknowledged(requests.size(), false);
  bool requested = false;
  for (;;) {
    if (!StillWanted(options_, target, error)) {
      return false;
    }
    // Com-port commands are only understood once the server agreed to the option.
    if (!requested && options_.Ours(kComPort) == OptionState::kYes) {
      std::string commands;
      for (const Request& request : requests) {
        commands += TelnetCodec::Subnegotiation(kComPort, Byte(request.command) + request.value);
      }
      SendControl(commands);
      requested = true;
    }
    for (const std::string& answer : answers) {
      if (!TakeAnswer(answer, requests, &acknowledged, target, error)) {
        return false;
      }
    }
    answers.clear();
    const bool all =
        std::all_of(acknowledged.begin(), acknowledged.end(), [](bool b) { return b; });
    if (requested && all && options_.Ours(kBinary) == OptionState::kYes &&
        options_.Theirs(kBinary) == OptionState::kYes) {
      return true;
    }
    if (!Exchange(waiter, deadline, &answers, error)) {
      return false;
    }
  }
}

int TelnetTransport::Read(char* buffer, std::size_t count, ReadStatus* status) {
  if (early_read_ < early_data_.size()) {
    const std::size_t n = std::min(count, early_data_.size() - early_read_);
    std::memcpy(buffer, early_data_.data() + early_read_, n);
    early_read_ += n;
    if (early_read_ == early_data_.size()) {
      early_data_ = std::string();
      early_read_ = 0;
    }
    *status = ReadStatus::kData;
    return static_cast<int>(n);
  }
  // Decoding never makes more bytes than it was given, so the data fits the caller's buffer.
  char raw[4096];
  const int n = connection_->Read(raw, std::min(count, sizeof raw), status);
  if (n == 0) {
    return 0;
  }
  received_.clear();
  Take(raw, static_cast<std::size_t>(n), &received_, nullptr);
  std::memcpy(buffer, received_.data(), received_.size());
  *status = received_.empty() ? ReadStatus::kNothing : ReadStatus::kData;
  return static_cast<int>(received_.size());
}

Transport::WriteResult TelnetTransport::Write(const char* bytes, std::size_t count,
                                              std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  // Answers still unsent go first: they are whole commands, and data must not split them.
  const std::size_t control = unsent_.size();
  std::string out = std::move(unsent_);
  unsent_.clear();
  out += TelnetCodec::Escape(bytes, count);
  std::size_t sent = 0;
  const WriteResult result = connection_->Send(out.data(), out.size(), timeout, &sent);
  const std::size_t keep = std::max(control, TelnetCodec::EndOfUnit(out, sent));
  if (keep > sent) {
    unsent_ = out.substr(sent, keep - sent);
  }
  return result;
}

bool TelnetTransport::Exchange(const OpenWaiter& waiter, Clock::time_point deadline,
                               std::vector<std::string>* com_port, PortError* error) {
  const std::string& target = connection_->Target();
  SendControl({});
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0 || !waiter.wait_ready(Fd(), POLLIN, left)) {
    *error = PortError{PortError::Kind::kTimedOut, target,
                       "the server did not finish the Telnet negotiation within " +
                           std::to_string(waiter.stage_limit.count()) + " ms"};
    return false;
  }
  char raw[4096];
  ReadStatus status = ReadStatus::kNothing;
  const int n = connection_->Read(raw, sizeof raw, &status);
  if (status == ReadStatus::kLost) {
    *error = PortError{PortError::Kind::kConnectionLost, target,
                       "the server closed the connection during the Telnet negotiation"};
    return false;
  }
  Take(raw, static_cast<std::size_t>(n), &early_data_, com_port);
  if (codec_.Errors() > 0) {
    *error = PortError{PortError::Kind::kNegotiationGarbage, target,
                       "the server sent malformed Telnet commands"};
    return false;
  }
  if (early_data_.size() > kMaxEarlyData) {
    *error = PortError{PortError::Kind::kNegotiationGarbage, target,
                       "the server sent console output but never answered the negotiation"};
    return false;
  }
  return true;
}

void TelnetTransport::Take(const char* raw, std::size_t count, std::string* data,
                           std::vector<std::string>* com_port) {
  commands_.clear();
  codec_.Decode(raw, count, data, &commands_);
  std::string answers;
  for (const TelnetCodec::Command& command : commands_) {
    if (command.verb != kSb) {
      answers += options_.Receive(command.verb, command.option);
    } else if (com_port != nullptr && command.option == kComPort && !command.payload.empty()) {
      com_port->push_back(command.payload);
    }
  }
  if (!answers.empty()) {
    SendControl(answers);
  }
}

void TelnetTransport::SendControl(const std::string& control) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  unsent_ += control;
  if (unsent_.empty()) {
    return;
  }
  std::size_t sent = 0;
  connection_->Send(unsent_.data(), unsent_.size(), std::chrono::milliseconds(0), &sent);
  unsent_.erase(0, sent);
}

}  // namespace pelorus
