// The line's web view over HTTP, on cpp-httplib's server.
#include "tools/pool/web_server.h"

#include <httplib.h>

#include <cstdlib>

#include "tools/pool/json_text.h"
#include "tools/pool/line_report.h"
#include "tools/pool/web_assets.h"

namespace pelorus::pool {
namespace {

// The page's own files only: no inline script, nothing from elsewhere.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
// The report page is one file with its CSS and SVG inline, and runs no script.
constexpr const char* kReportPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; img-src data:; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";
constexpr std::size_t kMaxRequestBytes = 64 * 1024;
constexpr int kThreads = 64;
constexpr std::size_t kMaxReaders = kThreads - 8;

void Answer(httplib::Response& res, bool ok, int status, const std::string& body,
            const std::string& error, const char* type) {
  if (ok) {
    res.set_content(body, type);
    return;
  }
  res.status = status;
  if (std::string(type).rfind("application/json", 0) == 0) {
    res.set_content("{\"error\": " + JsonText(error) + "}\n", type);
  } else {
    res.set_content(error + "\n", "text/plain; charset=utf-8");
  }
}

}  // namespace

bool ParseListen(const std::string& listen, std::string* host, int* port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) {
    return false;
  }
  std::string name = listen.substr(0, colon);
  if (name.front() == '[') {
    if (name.back() != ']') {
      return false;
    }
    name = name.substr(1, name.size() - 2);
  }
  const std::string digits = listen.substr(colon + 1);
  if (name.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int number = std::atoi(digits.c_str());
  if (number > 65535) {
    return false;
  }
  *host = name;
  *port = number;
  return true;
}

WebServer::WebServer(std::shared_ptr<WebLineView> view, std::shared_ptr<WebEvents> events)
    : view_(std::move(view)),
      events_(std::move(events)),
      server_(std::make_unique<httplib::Server>()) {
  httplib::Server& server = *server_;
  server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_payload_max_length(kMaxRequestBytes);
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.has_header("Content-Security-Policy")) {
      res.set_header("Content-Security-Policy", kPagePolicy);
    }
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
  });

  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPageHtml, "text/html; charset=utf-8");
  });
  // Browsers ask for an icon by themselves; the page has none.
  server.Get("/favicon.ico",
             [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  server.Get("/page.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPageCss, "text/css; charset=utf-8");
  });
  server.Get("/page.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPageJs, "text/javascript; charset=utf-8");
  });
  constexpr const char* kJson = "application/json; charset=utf-8";
  server.Get("/api/pool", [this, kJson](const httplib::Request&, httplib::Response& res) {
    std::string body, error;
    int status = 200;
    const bool ok = view_->PoolJson(&body, &status, &error);
    Answer(res, ok, status, body, error, kJson);
  });
  server.Get("/api/stations", [this, kJson](const httplib::Request&, httplib::Response& res) {
    std::string body, error;
    int status = 200;
    const bool ok = view_->StationsJson(&body, &status, &error);
    Answer(res, ok, status, body, error, kJson);
  });
  server.Get("/api/attempts", [this, kJson](const httplib::Request& req, httplib::Response& res) {
    const std::string after = req.get_param_value("after");
    if (after.size() > 18 || after.find_first_not_of("0123456789") != std::string::npos) {
      Answer(res, false, 400, "", "after must be an attempt id", kJson);
      return;
    }
    std::string body, error;
    int status = 200;
    const bool ok =
        view_->AttemptsJson(after.empty() ? 0 : std::atoll(after.c_str()), &body, &status, &error);
    Answer(res, ok, status, body, error, kJson);
  });
  server.Get(
      R"(/transcript/(\d{1,18}))", [this](const httplib::Request& req, httplib::Response& res) {
        std::string body, error;
        int status = 200;
        const bool ok =
            view_->TranscriptPage(std::atoll(req.matches[1].str().c_str()), &body, &status, &error);
        Answer(res, ok, status, body, error, "text/html; charset=utf-8");
      });
  server.Get("/report", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string since = req.get_param_value("since");
    const auto ms = ParseUtc(since);
    if (!since.empty() && !ms) {
      Answer(res, false, 400, "", "since must be a UTC time such as 2026-12-06T08:00", "text/html");
      return;
    }
    std::string body, error;
    int status = 200;
    const bool ok = view_->ReportPage(ms ? FormatUtc(*ms) : "", &body, &status, &error);
    Answer(res, ok, status, body, error, "text/html; charset=utf-8");
    res.set_header("Content-Security-Policy", kReportPolicy);
  });
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    std::string body, error;
    int status = 200;
    const bool ok = view_->Metrics(&body, &status, &error);
    Answer(res, ok, status, body, error, "text/plain; version=0.0.4; charset=utf-8");
  });
  // Each reader holds one of the server's threads while it reads.
  server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    // Readers past this many would leave no thread for the pages and the JSON.
    if (events_->Readers() >= kMaxReaders) {
      res.status = 503;
      res.set_content("too many readers of the events\n", "text/plain; charset=utf-8");
      return;
    }
    auto subscription = events_->Subscribe();
    auto first = std::make_shared<bool>(true);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, subscription, first](std::size_t, httplib::DataSink& sink) {
          std::string text;
          if (*first) {
            *first = false;
            text = "retry: 2000\n\n" + events_->StoreEvent();
          } else if (auto next = subscription->Next(kKeepAlive)) {
            text = std::move(*next);
          } else if (subscription->Closed()) {
            sink.done();
            return true;
          } else {
            text = ": still here\n\n";
          }
          return sink.write(text.data(), text.size());
        },
        [subscription](bool) { subscription->Close(); });
  });
}

WebServer::~WebServer() {
  Stop();
}

bool WebServer::Bind(const std::string& host, int port, std::string* error) {
  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
  } else {
    port_ = server_->bind_to_port(host, port) ? port : -1;
  }
  if (port_ <= 0) {
    *error = "cannot listen on " + host + ":" + std::to_string(port);
    return false;
  }
  return true;
}

void WebServer::Serve() {
  server_->listen_after_bind();
}

void WebServer::Stop() {
  events_->Stop();
  server_->stop();
}

}  // namespace pelorus::pool
