#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "port_error.h"
#include "tcp_transport.h"
#include "telnet_codec.h"
#include "telnet_options.h"
#include "transport.h"

namespace pelorus {

// A console server's Telnet port with serial control (RFC 2217) on a TCP connection: data
// passes escaped, commands never reach the reader, and the line settings go to the server
// through the com-port option. Read runs on the watcher's thread after the open and Write on
// the window's; the two share only the sending side, under a lock.
class TelnetTransport : public Transport {
 public:
  // Takes over an established connection; nothing is sent before Configure.
  explicit TelnetTransport(std::unique_ptr<TcpTransport> connection);

  int Fd() const override { return connection_->Fd(); }
  const std::string& Target() const override { return connection_->Target(); }
  // Negotiates binary both ways, suppress go-ahead and the com-port option, then sets speed,
  // data size, parity, stop size and flow control and waits, within the waiter's stage
  // limit, until the server acknowledged each with the value asked for. False with *error:
  // kLineSettingsRefused (asked for what the option cannot carry, or the server set another
  // value), kNegotiationRefused (binary or the com-port option refused),
  // kNegotiationGarbage (malformed commands or answers), kTimedOut, kConnectionLost.
  // Console bytes that arrive meanwhile are kept for the first reads.
  bool Configure(const PortSettings& settings, const OpenWaiter& waiter, PortError* error) override;
  // Data bytes only; a read that brought only commands (answered as they come) is kNothing.
  int Read(char* buffer, std::size_t count, ReadStatus* status) override;
  // Sends the bytes escaped. On a time-out the command or escape under way is finished with
  // the next write, so the server never loses step with the framing.
  WriteResult Write(const char* bytes, std::size_t count,
                    std::chrono::milliseconds timeout) override;

 private:
  // Waits for and takes in one read from the server during Configure: data kept, option
  // commands answered, com-port subnegotiations appended to *com_port. False with *error
  // when the time is up, the connection went or the server's commands make no sense.
  bool Exchange(const OpenWaiter& waiter, std::chrono::steady_clock::time_point deadline,
                std::vector<std::string>* com_port, PortError* error);
  // Decodes raw bytes: data appended to *data, option commands answered, com-port
  // subnegotiations appended to *com_port.
  void Take(const char* raw, std::size_t count, std::string* data,
            std::vector<std::string>* com_port);
  // Sends answers (and whatever an earlier write left unsent) as far as the connection takes
  // them now; the rest goes first with the next send.
  void SendControl(const std::string& control);

  std::unique_ptr<TcpTransport> connection_;
  TelnetCodec codec_;
  TelnetOptions options_;
  std::vector<TelnetCodec::Command> commands_;  // reused by Take
  std::string received_;                        // reused by Read
  std::string early_data_;  // console bytes that came during Configure, not yet read
  std::size_t early_read_ = 0;

  std::mutex send_mutex_;
  std::string unsent_;  // guarded by send_mutex_
};

}  // namespace pelorus
