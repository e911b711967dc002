#include <netinet/in.h>
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
#include "serial/comm.h"
#include "serial/telnet_codec.h"
#include "test_window.h"

namespace pelorus::testing {
namespace {

using namespace std::chrono_literals;
using namespace telnet;
using Kind = PortError::Kind;
using Clock = std::chrono::steady_clock;

std::string Bytes(std::initializer_list<unsigned> values) {
  std::string bytes;
  for (const unsigned value : values) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

std::string AllByteValues() {
  std::string all;
  for (int value = 0; value < 256; ++value) {
    all += static_cast<char>(value);
  }
  return all;
}

std::string ComPort(std::initializer_list<unsigned> payload) {
  return Bytes({kIac, kSb, kComPort}) + Bytes(payload) + Bytes({kIac, kSe});
}

// What the console server's Telnet port says first (see the engineering notes).
const std::string kOpening = Bytes(
    {255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0, 255, 251, 0, 255, 253, 44});
// 115200 bits/s, 8 data bits, no parity, one stop bit, no flow control, as RFC 2217 says it.
const std::string kLineRequests = ComPort({1, 0, 1, 0xC2, 0}) + ComPort({2, 8}) + ComPort({3, 1}) +
                                  ComPort({4, 1}) + ComPort({5, 1});
const std::string kLineAnswers = ComPort({101, 0, 1, 0xC2, 0}) + ComPort({102, 8}) +
                                 ComPort({103, 1}) + ComPort({104, 1}) + ComPort({105, 1});

bool SawRequests(const std::string& got) {
  return Contains(got, kLineRequests);
}

// Waits for the client to hang up.
void UntilClosed(int connection) {
  ReadUntil(connection, [](const std::string&) { return false; });
}

class ConsoleCommTest : public ::testing::Test {
 protected:
  void SetUp() override { comm_.SetNotifyWindow(&window_); }

  void TearDown() override {
    EXPECT_TRUE(CloseOnWindow());
    window_.Stop();
  }

  // Also lets a fake server that waits for the hang-up end.
  bool CloseOnWindow() {
    return window_.Run([this] { comm_.Close(); });
  }

  int OpenOnWindow(const std::string& target, const PortSettings& settings = DefaultSettings()) {
    setenv("PELORUS_COM1", target.c_str(), 1);
    int result = -1;
    EXPECT_TRUE(window_.Run([&] { result = comm_.Open(settings); }));
    return result;
  }

  bool WaitReceived(const std::string& bytes) {
    return window_.WaitFor([&](const auto& seen) { return seen.received == bytes; });
  }

  CComm comm_;
  TestWindow window_{&comm_};
};

TEST_F(ConsoleCommTest, RawTcpCarriesEveryByteValueBothWaysAndAHangUpIsALostPort) {
  const std::string all = AllByteValues();
  std::string server_got;
  FakeServer server([&](int connection) {
    SendAll(connection, all + all);
    server_got = ReadUntil(connection, [](const std::string& got) { return got.size() >= 512; });
  });
  ASSERT_EQ(OpenOnWindow(server.Url("tcp")), 1);
  EXPECT_EQ(comm_.LastError().kind, Kind::kNone);
  ASSERT_TRUE(WaitReceived(all + all));
  ASSERT_TRUE(window_.Run([&] {
    comm_.Write(all.size(), all.data());
    comm_.Write(all.size(), all.data());
  }));
  server.Join();  // the server has read it all and hung up
  EXPECT_EQ(server_got, all + all);

  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.lost == 1; }));
  EXPECT_TRUE(window_.Seen().lost_was_current);
  // Writes into the closed connection fail as on a gone device: no "ERROR" on top.
  ASSERT_TRUE(window_.Run([this] {
    for (int i = 0; i < 3; ++i) {
      comm_.Write(3, "d\r\n");
    }
  }));
  EXPECT_EQ(window_.Seen().lost, 1);
  EXPECT_TRUE(window_.Seen().messages.empty());
}

TEST_F(ConsoleCommTest, AResetIsALostPortAndAServerThatStopsReadingTimesTheWriteOut) {
  std::promise<void> seen;
  FakeServer resetting([&](int connection) {
    SendAll(connection, "bye");
    seen.get_future().wait_for(10s);
    const linger abort{1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  });
  ASSERT_EQ(OpenOnWindow(resetting.Url("tcp")), 1);
  ASSERT_TRUE(WaitReceived("bye"));
  seen.set_value();
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.lost == 1; }));
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
  std::string negotiation;
  std::string after;  // what the client sent once its line settings were acknowledged
  std::promise<void> first_part_seen;
  std::promise<void> all_seen;
  FakeServer server([&](int connection) {
    // The opening, an option nobody knows and a NOP; then console output that comes before
    // the acknowledgements.
    SendAll(connection, kOpening + Bytes({kIac, kWill, 0x99, kIac, 241}));
    negotiation = ReadUntil(connection, [](const std::string& got) {
      return SawRequests(got) && Contains(got, Bytes({kIac, kDont, 0x99}));
    });
    SendAll(connection, "boot" + Bytes({kIac, kIac}) + kLineAnswers + "x" + Bytes({kIac}));
    first_part_seen.get_future().wait_for(10s);
    // The rest of the escaped 0xFF, a modem-state notice and data; then commands alone.
    SendAll(connection, Bytes({kIac, 'y'}) + ComPort({107, 0x30}) + "z");
    all_seen.get_future().wait_for(10s);
    SendAll(connection, Bytes({kIac, 241, kIac, kDo, 0x55}));
    after = ReadUntil(connection, [](const std::string& got) { return got.size() >= 3; });
    SendAll(connection, "!");
    after += ReadUntil(connection, [](const std::string& got) { return got.size() >= 4; });
  });
  ASSERT_EQ(OpenOnWindow(server.Url("telnet")), 1) << comm_.LastError().Text();
  EXPECT_EQ(comm_.LastError().kind, Kind::kNone);
  EXPECT_TRUE(Contains(negotiation, Bytes({kIac, kWill, kComPort})));
  EXPECT_TRUE(Contains(negotiation, Bytes({kIac, kDont, kEcho})));
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
  const TestWindow::Record seen = window_.Seen();
  EXPECT_TRUE(seen.messages.empty());
  EXPECT_EQ(seen.received, "boot\xffx\xffyz!");

  // Other settings travel as their RFC 2217 codes.
  const std::string requests = ComPort({1, 0, 0, 0xE1, 0}) + ComPort({2, 7}) + ComPort({3, 3}) +
                               ComPort({4, 2}) + ComPort({5, 2});
  FakeServer other([&](int connection) {
    SendAll(connection, kOpening);
    ReadUntil(connection, [&](const std::string& got) { return Contains(got, requests); });
    SendAll(connection, ComPort({101, 0, 0, 0xE1, 0}) + ComPort({102, 7}) + ComPort({103, 3}) +
                            ComPort({104, 2}) + ComPort({105, 2}));
    UntilClosed(connection);
  });
  PortSettings settings = DefaultSettings();
  settings.baudRate = 57600;
  settings.dataBits = 7;
  settings.parity = 2;  // even
  settings.stopBits = 2;
  settings.flow = kFlowXonXoff;
  EXPECT_EQ(OpenOnWindow(other.Url("telnet"), settings), 1) << comm_.LastError().Text();
  EXPECT_TRUE(CloseOnWindow());
}

TEST_F(ConsoleCommTest, FailedOpensSayWhatFailedAndWhereWithoutWaiting) {
  // Bound, not listening: connections to it are refused.
  const int closed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string refused = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  struct Case {
    std::string target;  // empty: the variable is unset
    unsigned port;
    Kind kind;
    std::string where;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"tcp://" + refused, 1, Kind::kRefused, refused, "Connection refused"},
      {"telnet://" + refused, 1, Kind::kRefused, refused, "Connection refused"},
      {"telnet://console-server", 1, Kind::kOther, "console-server", "not HOST:PORT"},
      {"tcp://::1:23", 1, Kind::kOther, "::1:23", "not HOST:PORT"},
      {"tcp://127.0.0.1:65536", 1, Kind::kOther, "127.0.0.1:65536", "not HOST:PORT"},
      {"", 6, Kind::kNoDevice, "", "TELNET"},
      {"/nonexistent/pelorus-port", 1, Kind::kMissing, "/nonexistent/pelorus-port", "No such file"},
      {"/dev/null", 1, Kind::kNotATerminal, "/dev/null", ""},
  };
  comm_.SetConnectTimeout(30s);  // a failure that waits for it shows in the time taken
  const long before = OpenDescriptorCount();
  for (const Case& each : cases) {
    const std::string& target = each.target;
    unsetenv("PELORUS_TELNET");
    PortSettings settings = DefaultSettings();
    settings.port = static_cast<std::uint8_t>(each.port);
    const auto start = Clock::now();
    EXPECT_EQ(OpenOnWindow(target, settings), 0) << target;
    EXPECT_LT(Clock::now() - start, 10s) << target;
    const PortError& error = comm_.LastError();
    EXPECT_EQ(error.kind, each.kind) << target;
    EXPECT_EQ(error.target, each.where) << target;
    EXPECT_TRUE(Contains(error.reason, each.why)) << target << ": " << error.reason;
    EXPECT_FALSE(comm_.IsConnected());
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  close(closed);

  FakeServer server([](int connection) { UntilClosed(connection); });
  ASSERT_EQ(OpenOnWindow(server.Url("tcp")), 1);
  EXPECT_EQ(comm_.LastError().kind, Kind::kNone);
  EXPECT_TRUE(CloseOnWindow());
}

TEST_F(ConsoleCommTest, MisbehavingTelnetServersFailTheOpenWithAReason) {
  const auto after_requests = [](std::string answer) {
    return [answer](int connection) {
      SendAll(connection, kOpening);
      ReadUntil(connection, SawRequests);
      SendAll(connection, answer);
      UntilClosed(connection);
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
    std::chrono::milliseconds limit;
    Kind kind;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"refuses the com-port option", at_once(Bytes({kIac, kDont, kComPort})), 30s,
       Kind::kNegotiationRefused, "com-port"},
      {"refuses binary", at_once(Bytes({kIac, kDo, kComPort, kIac, kWont, kBinary})), 30s,
       Kind::kNegotiationRefused, "binary"},
      {"answers garbage", at_once(Bytes({kIac, 7, kIac, kWill, 3})), 30s, Kind::kNegotiationGarbage,
       "malformed"},
      {"answers the speed in two bytes", after_requests(ComPort({101, 0, 1})), 30s,
       Kind::kNegotiationGarbage, "wrong length"},
      {"sets another speed", after_requests(ComPort({101, 0, 0, 0x25, 0x80})), 30s,
       Kind::kLineSettingsRefused, "9600 instead of 115200"},
      {"hangs up",
       [](int connection) {
         SendAll(connection, kOpening);
         ReadUntil(connection, SawRequests);
       },
       30s, Kind::kConnectionLost, "closed"},
      {"never answers", [](int connection) { UntilClosed(connection); }, 300ms, Kind::kTimedOut,
       "300 ms"},
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
  const int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(full, 0), 0);
  ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&address), length), 0);
  const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const long before = OpenDescriptorCount();

  comm_.SetConnectTimeout(300ms);
  EXPECT_EQ(OpenOnWindow("tcp://" + where), 0);
  EXPECT_EQ(comm_.LastError().kind, Kind::kTimedOut);
  EXPECT_EQ(comm_.LastError().target, where);
  TestWindow::Record seen = window_.Seen();
  EXPECT_GT(seen.ready_waits, 0);
  EXPECT_NE(seen.ready_events & POLLOUT, 0);
  EXPECT_TRUE(seen.ready_waits_on_window);

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
