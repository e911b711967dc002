// pelorus-pool serve: opens the pool once to check it, then serves until a signal ends it.
#include "tools/pool/serve_command.h"

#include <pthread.h>
#include <signal.h>

#include <iostream>
#include <memory>
#include <thread>

#include "tools/pool/pool_choice.h"
#include "tools/pool/web_server.h"

namespace pelorus::pool {
namespace {

bool Loopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

bool ServeStep(const Request& request) {
  std::string host;
  int port = 0;
  if (!ParseListen(request.listen, &host, &port)) {
    return Fail("malformed --listen \"" + request.listen +
                "\" (HOST:PORT, such as 127.0.0.1:8080)");
  }
  std::string error;
  auto pool = AddressPool::Open(request.location, false, &error);
  std::string name;
  if (!pool ||
      PoolOfStore(*pool, request.name_given ? request.name : "", &name, &error) != Outcome::kDone) {
    return Fail(error);
  }
  pool.reset();
  // The signals are waited for on a thread of their own; every other thread leaves them be.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  auto events = std::make_shared<WebEvents>(request.location, name);
  WebServer server(std::make_shared<WebLineView>(request.location, name), events);
  if (!server.Bind(host, port, &error)) {
    return Fail(error);
  }
  if (!Loopback(host)) {
    std::cerr << "pelorus-pool: listening on " << request.listen
              << ": the page has no login; anyone who reaches this address sees the line (put a "
                 "reverse proxy with TLS and a login before it)\n";
  }
  std::cout << "serving pool " << name << " of " << AddressPool::Shown(request.location)
            << " at http://" << (host.find(':') != std::string::npos ? "[" + host + "]" : host)
            << ":" << server.Port() << "/" << std::endl;
  events->Start();
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    server.Stop();
  });
  server.Serve();
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return true;
}

}  // namespace pelorus::pool
