// pelorus-pool serve under abuse: many clients that connect and drop, readers of the events
// that never read, and a bounded fuzz of malformed and oversized requests; through all of it
// the server answers the others.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pool/address_pool.h"
#include "tests/pool/event_reader.h"
#include "tests/pool/pool_store.h"
#include "tests/pool/serve_process.h"

namespace pelorus::pool {
namespace {

using ::testing::HasSubstr;

// A connection to the server on the loopback; -1 when it cannot be made.
int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends bytes (as much as the server takes within a second) and reads its answer until it
// closes or 10 s pass; the answer's first line, or what became of it.
std::string Exchange(int port, const std::string& bytes) {
  const int fd = Connect(port);
  if (fd < 0) {
    return "no connection";
  }
  std::size_t sent = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (sent < bytes.size() && std::chrono::steady_clock::now() < until) {
    pollfd out = {fd, POLLOUT, 0};
    if (poll(&out, 1, 100) <= 0) {
      continue;
    }
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      break;
    }
    sent += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    pollfd in = {fd, POLLIN, 0};
    if (std::chrono::steady_clock::now() >= deadline) {
      answer = "hung";
      break;
    }
    if (poll(&in, 1, 100) <= 0) {
      continue;
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      break;
    }
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer.empty() ? "closed" : answer.substr(0, answer.find("\r\n"));
}

TEST(ServeLoadTest, KeepsServingOthersThroughDropsSlowReadersAndMalformedRequests) {
  testing::PoolStore store("sqlite");
  ASSERT_FALSE(store.location().empty()) << store.error();
  std::string error;
  auto pool = AddressPool::Open(store.location(), true, &error);
  ASSERT_TRUE(pool) << error;
  ASSERT_TRUE(pool->Create("line", 0x020000000000, 0x0200000000FF, &error)) << error;
  testing::ServeProcess serve(store.location());
  ASSERT_GT(serve.port(), 0) << serve.err();
  httplib::Client client("127.0.0.1", serve.port());
  client.set_read_timeout(10, 0);
  const auto served = [&] {
    const auto res = client.Get("/api/pool");
    return res && res->status == 200;
  };

  // 200 clients that connect and drop: at once, after half a request, after a whole one.
  for (int i = 0; i < 200; ++i) {
    const int fd = Connect(serve.port());
    ASSERT_GE(fd, 0);
    const std::string half = i % 3 == 1 ? "GET /api/st" : "GET /api/stations HTTP/1.1\r\n\r\n";
    if (i % 3 != 0) {
      send(fd, half.data(), half.size(), MSG_NOSIGNAL);
    }
    close(fd);
  }
  EXPECT_TRUE(served());

  // Readers of the events that never read, more than the server takes, while the line makes
  // far more events than any queue holds: they are dropped or turned away, the others go on.
  testing::EventReader reader(serve.port());
  ASSERT_NE(reader.WaitFor("event: store"), std::string::npos);
  std::vector<int> slow;
  for (int i = 0; i < 70; ++i) {
    slow.push_back(Connect(serve.port()));
    const std::string request = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
    send(slow.back(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  EXPECT_TRUE(served());
  StationState state;
  state.activity = StationActivity::kFailed;
  for (int i = 0; i < 600; ++i) {
    state.station = "st-" + std::to_string(i % 30);
    state.detail = std::string(150, 'x') + std::to_string(i);
    ASSERT_TRUE(pool->PublishState("line", state, &error)) << error;
  }
  state.station = "last";
  ASSERT_TRUE(pool->PublishState("line", state, &error)) << error;
  EXPECT_NE(reader.WaitFor("\"station\": \"last\""), std::string::npos);
  EXPECT_TRUE(served());
  for (const int fd : slow) {
    close(fd);
  }

  // Malformed and oversized requests, from a fixed seed: each is answered with an error or
  // closed, none hangs the server.
  std::mt19937 random(23);
  const std::vector<std::string> shapes = {
      "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
      "GET /" + std::string(70000, 'a') + " HTTP/1.1\r\n\r\n",
      "GET / HTTP/1.1\r\nX: " + std::string(200000, 'b') + "\r\n\r\n",
      "BREW /pot HTCPCP/1.0\r\n\r\n",
      "GET /api/attempts?after=99999999999999999999999 HTTP/1.1\r\n\r\n",
      "GET /transcript/-1 HTTP/1.1\r\n\r\n",
      "POST /api/pool HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\nxx",
      "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
      "\r\n\r\n\r\n",
  };
  for (int i = 0; i < 120; ++i) {
    std::string request = shapes[random() % shapes.size()];
    const int cuts = static_cast<int>(random() % 4);
    for (int c = 0; c < cuts && !request.empty(); ++c) {
      request[random() % request.size()] = static_cast<char>(random() % 256);
    }
    if (i % 10 == 0) {
      for (int h = 0; h < 2000; ++h) {
        request.insert(request.find("\r\n") + 2, "H" + std::to_string(h) + ": v\r\n");
      }
    }
    const std::string answer = Exchange(serve.port(), request);
    EXPECT_NE(answer, "hung") << i << ": " << request.substr(0, 80);
    EXPECT_NE(answer, "no connection") << i;
  }
  EXPECT_TRUE(served());
  EXPECT_THAT(client.Get("/api/stations")->body, HasSubstr("\"station\": \"last\""));
  EXPECT_EQ(serve.Stop(), 0) << serve.err();
}

}  // namespace
}  // namespace pelorus::pool
