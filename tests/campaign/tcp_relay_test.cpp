// The relay between real loopback sockets: a server of the test's own on one side, a client
// on the other, the relay run by a poll loop as the campaign runs it.
#include "tcp_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>

namespace pelorus::campaign {
namespace {

using std::chrono::milliseconds;

// A server that never blocks on accept.
int Listen(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::listen(fd, 8);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return fd;
}

int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ? fd : -1;
}

class TcpRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = Listen(&server_port_);
    std::string error;
    ASSERT_TRUE(relay_.Start("127.0.0.1", server_port_, &error)) << error;
  }
  void TearDown() override { ::close(server_); }

  // Runs the relay until done() holds or the limit has passed; whether it held.
  bool PumpUntil(const std::function<bool()>& done, milliseconds limit = milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      PollSet set;
      relay_.Watch(&set);
      set.Wait(milliseconds(10));
    }
    return true;
  }
  // What fd has to read now, without waiting; "" at its end (closed or reset), "-" when
  // nothing is there.
  static std::string ReadNow(int fd) {
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n >= 0) {
      return std::string(buffer, static_cast<std::size_t>(n));
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? "-" : "";
  }
  // Everything fd receives until its end, the relay running meanwhile.
  std::string ReadToEnd(int fd) {
    std::string all;
    std::string got;
    PumpUntil([&] {
      got = ReadNow(fd);
      all += got == "-" ? "" : got;
      return got.empty();
    });
    return all;
  }
  // Accepts the relay's connection to the server.
  int AcceptFromRelay() {
    int accepted = -1;
    PumpUntil([&] {
      accepted = ::accept4(server_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      return accepted >= 0;
    });
    return accepted;
  }

  int server_ = -1;
  int server_port_ = 0;
  TcpRelay relay_;
};

// Forwarding both ways; a cut forwards nothing and closes nothing, and a connection made
// meanwhile reaches nothing; the cut's end closes the clients' side only, and the server's side
// of the cut connection stays, silent, as a ghost whose port is known, until it is dropped.
TEST_F(TcpRelayTest, CutsWithoutAResetAndLeavesTheServersSideAsAGhost) {
  const int client = ConnectTo(relay_.Port());
  ASSERT_GE(client, 0);
  const int upstream = AcceptFromRelay();
  ASSERT_GE(upstream, 0);
  std::string got;
  ASSERT_EQ(::send(client, "ping", 4, 0), 4);
  ASSERT_TRUE(PumpUntil([&] { return (got = ReadNow(upstream)) != "-"; }));
  EXPECT_EQ(got, "ping");
  ASSERT_EQ(::send(upstream, "pong", 4, 0), 4);
  ASSERT_TRUE(PumpUntil([&] { return (got = ReadNow(client)) != "-"; }));
  EXPECT_EQ(got, "pong");

  relay_.Cut();
  ASSERT_EQ(::send(client, "lost", 4, 0), 4);
  const int late = ConnectTo(relay_.Port());
  ASSERT_GE(late, 0);
  EXPECT_FALSE(PumpUntil(
      [&] {
        return ReadNow(upstream) != "-" || ReadNow(client) != "-" ||
               ::accept4(server_, nullptr, nullptr, SOCK_NONBLOCK) >= 0;
      },
      milliseconds(300)));

  relay_.Reconnect();
  EXPECT_EQ(ReadNow(client), "");
  EXPECT_EQ(ReadNow(late), "");
  EXPECT_EQ(ReadNow(upstream), "-");
  sockaddr_in peer{};
  socklen_t size = sizeof(peer);
  ASSERT_EQ(::getpeername(upstream, reinterpret_cast<sockaddr*>(&peer), &size), 0);
  EXPECT_EQ(relay_.GhostPorts(), std::vector<int>{ntohs(peer.sin_port)});

  // The line is back for new connections.
  const int again = ConnectTo(relay_.Port());
  const int upstream_again = AcceptFromRelay();
  ASSERT_GE(upstream_again, 0);
  ASSERT_EQ(::send(again, "back", 4, 0), 4);
  ASSERT_TRUE(PumpUntil([&] { return (got = ReadNow(upstream_again)) != "-"; }));
  EXPECT_EQ(got, "back");

  relay_.DropGhosts();
  EXPECT_EQ(ReadNow(upstream), "");
  EXPECT_TRUE(relay_.GhostPorts().empty());
  for (int fd : {client, late, upstream, again, upstream_again}) {
    ::close(fd);
  }
}

// A side that closes closes the other: a session the server ends is ended for the client.
TEST_F(TcpRelayTest, AnEndOnOneSideEndsTheOther) {
  const int client = ConnectTo(relay_.Port());
  const int upstream = AcceptFromRelay();
  ASSERT_GE(upstream, 0);
  ASSERT_EQ(::send(upstream, "bye", 3, 0), 3);
  ::close(upstream);
  EXPECT_EQ(ReadToEnd(client), "bye");
  EXPECT_EQ(relay_.Connections(), 0);
  ::close(client);
}

}  // namespace
}  // namespace pelorus::campaign
