#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "poll_set.h"

namespace pelorus::campaign {

// A TCP relay on the loopback between clients and one server, run by the campaign's poll
// loop, that can cut the line the way a network does: without a reset. During a cut nothing
// is forwarded and nothing is closed, and connections made meanwhile hang unanswered. The cut
// ends on the clients' side: their connections are closed, so they connect afresh, while
// the server's side of each cut connection stays open and silent, a session the server still
// believes in (a ghost) until the campaign lets it go.
class TcpRelay {
 public:
  TcpRelay() = default;
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  // Listens on a free loopback port and forwards to host:port over TCP. False with *error.
  bool Start(const std::string& host, int port, std::string* error);
  int Port() const { return port_; }

  // Every turn of the loop: what the relay waits on.
  void Watch(PollSet* set);

  void Cut();
  // Ends the cut: the clients' side of every cut connection is closed; the server's stays.
  void Reconnect();
  // The local ports of the ghosts' connections to the server (pg_stat_activity.client_port).
  std::vector<int> GhostPorts() const;
  // Closes the ghosts' side to the server.
  void DropGhosts();
  bool IsCut() const { return cut_; }
  int Connections() const { return static_cast<int>(links_.size()); }

 private:
  struct Link {
    int client = -1;
    int server = -1;
    std::string to_server;
    std::string to_client;
    bool cut = false;
  };
  int Connect(std::string* error) const;
  void Accept();
  void Pump(int id, bool from_client, short revents);
  void Close(int id);

  std::string host_;
  int server_port_ = 0;
  int listener_ = -1;
  int port_ = 0;
  bool cut_ = false;
  int next_id_ = 0;
  std::map<int, std::unique_ptr<Link>> links_;
  std::vector<int> ghosts_;  // server-side descriptors of cut connections
};

}  // namespace pelorus::campaign
