#pragma once

#include <memory>
#include <string>

#include "tools/pool/web_events.h"
#include "tools/pool/web_line_view.h"

namespace httplib {
class Server;
}

namespace pelorus::pool {

// The line's web view over HTTP: the page and its files at "/", "/page.css", "/page.js";
// JSON at "/api/pool", "/api/stations", "/api/attempts?after=ID"; "/transcript/ID",
// "/report?since=TIME", "/metrics" and the events at "/events" (text/event-stream, see
// WebEvents; a comment line every kKeepAlive while nothing happens; 503 while 56 others read
// them, so that some threads always answer the rest). Only GET; every answer carries
// a Content-Security-Policy that lets the page load nothing but its own files. A failed store read
// answers 503 with the reason (as JSON on the JSON endpoints), never the location's password.
class WebServer {
 public:
  static constexpr std::chrono::milliseconds kKeepAlive{15000};

  // Serves view, and the events of events (started and stopped by the caller).
  WebServer(std::shared_ptr<WebLineView> view, std::shared_ptr<WebEvents> events);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds host:port (port 0: one the kernel picks); false with *error when it cannot.
  bool Bind(const std::string& host, int port, std::string* error);
  // The port bound.
  int Port() const { return port_; }
  // Serves until Stop (from any thread).
  void Serve();
  void Stop();

 private:
  std::shared_ptr<WebLineView> view_;
  std::shared_ptr<WebEvents> events_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
};

// "HOST:PORT" (a bracketed IPv6 host, "[::1]:8080") into its parts; false for anything else.
bool ParseListen(const std::string& listen, std::string* host, int* port);

}  // namespace pelorus::pool
