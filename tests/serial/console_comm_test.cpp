#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_server.h"
#include "pty_fixture.h"
#include "serial/telnet_codec.h"

namespace pelorus::testing {
namespace {

using namespace std::chrono_literals;
using namespace telnet;
using Kind = PortError::Kind;
using Clock = std::chrono::steady_clock;
using ConsoleCommTest = PortFixture;

// RFC 2217 commands, each {command, value...}; a server answers with the command + 100.
using ComPortCommands = std::vector<std::vector<unsigned>>;
std::string ComPort(ComPortCommands commands, unsigned offset = 0) {
  std::string bytes;
  for (const std::vector<unsigned>& command : commands) {
    bytes += Bytes({kIac, kSb, kComPort, command[0] + offset});
    for (std::size_t i = 1; i < command.size(); ++i) {
      bytes += static_cast<char>(command[i]);
    }
    bytes += Bytes({kIac, kSe});
  }
  return bytes;
}

// What the console server's Telnet port says first (see the engineering notes).
const std::string kOpening = Bytes(
    {255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0, 255, 251, 0, 255, 253, 44});
// 115200 bits/s, 8 data bits, no parity, one stop bit, no flow control, as RFC 2217 says it.
const ComPortCommands kLine = {{1, 0, 1, 0xC2, 0}, {2, 8}, {3, 1}, {4, 1}, {5, 1}};

bool SawRequests(const std::string& got) {
  return Contains(got, ComPort(kLine));
}

// Waits for the client to hang up.
void UntilClosed(int connection) {
  ReadUntil(connection, [](const std::string&) { return false; });
}

// The server hangs up, then another resets the connection: each time the port is lost, told
// once, and writes into the closed connection fail as on a gone device, with no "ERROR" on
// top. A server that stops reading times the write out instead.
TEST_F(ConsoleCommTest, RawTcpCarriesEveryByteValueBothWaysAndAHangUpIsALostPort) {
  const std::string all = AllByteValues();
  std::string server_got;
  FakeServer server([&](int connection) {
    SendAll(connection, all + all);
    server_got = ReadUntil(connection, [](const std::string& got) { return got.size() >= 512; });
  });
  ASSERT_EQ(OpenOnWindow(server.Url("tcp")), 1);
  ASSERT_TRUE(WaitReceived(all + all));
  ASSERT_TRUE(window_.Run([&] {
    comm_.Write(all.size(), all.data());
    comm_.Write(all.size(), all.data());
  }));
  server.Join();  // the server has read it all and hung up
  EXPECT_EQ(server_got, all + all);
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.lost == 1; }));
  EXPECT_TRUE(window_.Seen().lost_was_current);
  ASSERT_TRUE(window_.Run([this] {
    for (int i = 0; i < 3; ++i) {
      comm_.Write(3, "d\r\n");
    }
  }));
  EXPECT_EQ(window_.Seen().lost, 1);

  std::promise<void> seen;
  FakeServer resetting([&](int connection) {
    SendAll(connection, "bye");
    seen.get_future().wait_for(10s);
    const linger abort{1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  });
  ASSERT_EQ(OpenOnWindow(resetting.Url("tcp")), 1);
  ASSERT_TRUE(WaitReceived(all + all + "bye"));
  seen.set_value();
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.lost == 2; }));
  EXPECT_TRUE(window_.Seen().messages.empty());

  std::promise<void> done;
  FakeServer stalled([&](int) { done.get_future().wait_for(10s); });
  comm_.SetWriteTimeout(50ms);
  ASSERT_EQ(OpenOnWindow(stalled.Url("tcp")), 1);
  const std::string flood(64 << 20, 'x');
  ASSERT_TRUE(window_.Run([&] { comm_.Write(flood.size(), flood.data()); }));
  EXPECT_EQ(window_.Seen().messages, std::vector<std::string>{"ERROR"});
  done.set_value();
}

TEST_F(ConsoleCommTest, TelnetNegotiatesSetsTheLineAndCarries0xFFExactlyOnceBothWays) {
  std::string after;  // what the client sent once its line settings were acknowledged
  std::promise<void> first_part_seen;
  std::promise<void> all_seen;
  FakeServer server([&](int connection) {
    // The opening, an option nobody knows and a NOP; then console output that comes before
    // the acknowledgements.
    SendAll(connection, kOpening + Bytes({kIac, kWill, 0x99, kIac, 241}));
    ReadUntil(connection, [](const std::string& got) {
      return SawRequests(got) && Contains(got, Bytes({kIac, kDont, 0x99}));
    });
    SendAll(connection, "boot" + Bytes({kIac, kIac}) + ComPort(kLine, 100) + "x" + Bytes({kIac}));
    first_part_seen.get_future().wait_for(10s);
    // The rest of the escaped 0xFF, a modem-state notice and data; then commands alone.
    SendAll(connection, Bytes({kIac, 'y'}) + ComPort({{107, 0x30}}) + "z");
    all_seen.get_future().wait_for(10s);
    SendAll(connection, Bytes({kIac, 241, kIac, kDo, 0x55}));
    after = ReadUntil(connection, [](const std::string& got) { return got.size() >= 3; });
    SendAll(connection, "!");
    after += ReadUntil(connection, [](const std::string& got) { return got.size() >= 4; });
  });
  ASSERT_EQ(OpenOnWindow(server.Url("telnet")), 1) << comm_.LastError().Text();
  EXPECT_EQ(comm_.LastError().kind, Kind::kNone);
  // Connect and negotiation waited through the window, on its thread.
  EXPECT_GT(window_.Seen().ready_waits, 0);
  EXPECT_TRUE(window_.Seen().ready_waits_on_window);

  ASSERT_TRUE(WaitReceived("boot\xffx"));
  first_part_seen.set_value();
  ASSERT_TRUE(WaitReceived("boot\xffx\xffyz"));
  all_seen.set_value();
  // The commands alone were answered, and the watcher read on after them.
  ASSERT_TRUE(WaitReceived("boot\xffx\xffyz!"));
  const std::string data = Bytes({1, 255, 2});
  ASSERT_TRUE(window_.Run([&] { comm_.Write(data.size(), data.data()); }));
  server.Join();
  EXPECT_EQ(after, Bytes({kIac, kWont, 0x55, 1, 255, 255, 2}));
  EXPECT_TRUE(window_.Seen().messages.empty());

  // Other settings travel as their RFC 2217 codes.
  const ComPortCommands line = {{1, 0, 0, 0xE1, 0}, {2, 7}, {3, 3}, {4, 2}, {5, 2}};
  FakeServer other([&](int connection) {
    SendAll(connection, kOpening);
    ReadUntil(connection, [&](const std::string& got) { return Contains(got, ComPort(line)); });
    SendAll(connection, ComPort(line, 100));
    UntilClosed(connection);
  });
  const PortSettings settings{1, 0, 7, kFlowXonXoff, /*even*/ 2, 2, 57600};
  EXPECT_EQ(OpenOnWindow(other.Url("telnet"), settings), 1) << comm_.LastError().Text();
  ASSERT_TRUE(CloseOnWindow());  // the hang-up that server waits for
}

TEST_F(ConsoleCommTest, FailedOpensSayWhatFailedAndWhereWithoutWaiting) {
  int port = 0;
  const int closed = BoundLoopback(&port);  // not listening: connections to it are refused
  ASSERT_NE(port, 0);
  const std::string refused = "127.0.0.1:" + std::to_string(port);

  struct Case {
    std::string target;
    Kind kind;
    std::string where;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"tcp://" + refused, Kind::kRefused, refused, "Connection refused"},
      {"telnet://" + refused, Kind::kRefused, refused, "Connection refused"},
      {"telnet://console-server", Kind::kOther, "console-server", "not HOST:PORT"},
      {"tcp://::1:23", Kind::kOther, "::1:23", "not HOST:PORT"},
      {"tcp://127.0.0.1:65536", Kind::kOther, "127.0.0.1:65536", "not HOST:PORT"},
      {"/nonexistent/pelorus-port", Kind::kMissing, "/nonexistent/pelorus-port", "No such file"},
      {"/dev/null", Kind::kNotATerminal, "/dev/null", ""},
  };
  comm_.SetConnectTimeout(30s);  // a failure that waits for it shows in the time taken
  const long before = OpenDescriptorCount();
  for (const Case& each : cases) {
    const auto start = Clock::now();
    EXPECT_EQ(OpenOnWindow(each.target), 0) << each.target;
    EXPECT_LT(Clock::now() - start, 10s) << each.target;
    const PortError& error = comm_.LastError();
    EXPECT_EQ(error.kind, each.kind) << each.target;
    EXPECT_EQ(error.target, each.where) << each.target;
    EXPECT_TRUE(Contains(error.reason, each.why)) << each.target << ": " << error.reason;
    EXPECT_FALSE(comm_.IsConnected());
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  close(closed);
}

TEST_F(ConsoleCommTest, MisbehavingTelnetServersFailTheOpenWithAReason) {
  // The opening, then once the line requests came, the answer; then the wait for the hang-up,
  // or none.
  const auto after_requests = [](std::string answer, bool wait = true) {
    return [answer, wait](int connection) {
      SendAll(connection, kOpening);
      ReadUntil(connection, SawRequests);
      SendAll(connection, answer);
      if (wait) {
        UntilClosed(connection);
      }
    };
  };
  const auto at_once = [](std::string answer) {
    return [answer](int connection) {
      SendAll(connection, answer);
      UntilClosed(connection);
    };
  };
  struct Case {
    const char* name;
    std::function<void(int)> script;
    Kind kind;
    std::string why;
    std::chrono::milliseconds limit = 30s;
  };
  const std::vector<Case> cases = {
      {"refuses the com-port option", at_once(Bytes({kIac, kDont, kComPort})),
       Kind::kNegotiationRefused, "com-port"},
      {"refuses binary", at_once(Bytes({kIac, kDo, kComPort, kIac, kWont, kBinary})),
       Kind::kNegotiationRefused, "binary"},
      {"answers garbage", at_once(Bytes({kIac, 7, kIac, kWill, 3})), Kind::kNegotiationGarbage,
       "malformed"},
      {"answers the speed in two bytes", after_requests(ComPort({{101, 0, 1}})),
       Kind::kNegotiationGarbage, "wrong length"},
      {"sets another speed", after_requests(ComPort({{101, 0, 0, 0x25, 0x80}})),
       Kind::kLineSettingsRefused, "9600 instead of 115200"},
      {"hangs up", after_requests("", false), Kind::kConnectionLost, "closed"},
      {"never answers", UntilClosed, Kind::kTimedOut, "300 ms", 300ms},
  };
  for (const Case& each : cases) {
    FakeServer server(each.script);
    comm_.SetConnectTimeout(each.limit);
    const auto start = Clock::now();
    EXPECT_EQ(OpenOnWindow(server.Url("telnet")), 0) << each.name;
    EXPECT_LT(Clock::now() - start, 10s) << each.name;
    const PortError& error = comm_.LastError();
    EXPECT_EQ(error.kind, each.kind) << each.name;
    EXPECT_EQ(error.target, server.Address()) << each.name;
    EXPECT_TRUE(Contains(error.reason, each.why)) << each.name << ": " << error.reason;
  }
  EXPECT_TRUE(window_.Seen().messages.empty());
}

TEST_F(ConsoleCommTest, ConnectWaitsThroughTheWindowAndEndsAtItsTimeOutOrAClose) {
  // A listener whose one-place queue is taken: the kernel drops further connection requests.
  int port = 0;
  const int full = BoundLoopback(&port, 0);
  const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  ASSERT_EQ(connect(queued, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string where = "127.0.0.1:" + std::to_string(port);
  const long before = OpenDescriptorCount();

  comm_.SetConnectTimeout(300ms);
  EXPECT_EQ(OpenOnWindow("tcp://" + where), 0);
  EXPECT_EQ(comm_.LastError().kind, Kind::kTimedOut);
  EXPECT_EQ(comm_.LastError().target, where);

  // The operator ends the run while the window waits: the open gives up, and a START
  // meanwhile is turned away rather than taking the port from under it.
  int nested = -1;
  window_.OnWaitReady([&] {
    comm_.Close();
    nested = comm_.Open(DefaultSettings());
  });
  EXPECT_EQ(OpenOnWindow("telnet://" + where), 0);
  EXPECT_EQ(nested, 0);
  EXPECT_EQ(comm_.LastError().kind, Kind::kCancelled);
  EXPECT_EQ(comm_.LastError().target, where);
  EXPECT_EQ(OpenDescriptorCount(), before);
  window_.OnWaitReady(nullptr);
  close(queued);
  close(full);

  // Names are looked up (each address tried), also through the window's wait.
  FakeServer server([](int connection) {
    SendAll(connection, "up");
    UntilClosed(connection);
  });
  comm_.SetConnectTimeout(3s);
  ASSERT_EQ(OpenOnWindow("tcp://localhost:" + std::to_string(server.Port())), 1);
  ASSERT_TRUE(WaitReceived("up"));
  // A name that does not resolve fails on the resolver's answer, or at the time-out when
  // no name server answers; either way naming it.
  EXPECT_EQ(OpenOnWindow("tcp://no-such-host.invalid:23"), 0);
  const Kind kind = comm_.LastError().kind;
  EXPECT_TRUE(kind == Kind::kUnreachable || kind == Kind::kTimedOut) << comm_.LastError().Text();
  EXPECT_EQ(comm_.LastError().target, "no-such-host.invalid:23");
}

}  // namespace
}  // namespace pelorus::testing
