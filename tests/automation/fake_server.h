#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "automation/frame/win.h"

namespace vesk::test {

// A scripted server on 127.0.0.1 for the objects' dialogues under Wine. The
// script alternates what the server sends with the lines it waits for; the
// server records everything the client sent.
//
//   ScriptedServer server({{"+OK ready\r\n", "USER me"}, {"+OK\r\n", ""}});
//   ... point the object at 127.0.0.1:server.port() ...
class ScriptedServer {
 public:
  struct Step {
    std::string send;           // sent first (may be empty); "{tag}" becomes the
                                // first word of the client's last line
    std::string wait_for_line;  // then a client line is awaited unless empty
  };

  explicit ScriptedServer(std::vector<Step> script);
  ~ScriptedServer();

  unsigned short port() const { return port_; }
  // Waits for the script to end, then gives what the client sent.
  std::string Received();

 private:
  void Run();

  std::vector<Step> script_;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
};

// A loopback port nothing listens on.
unsigned short UnusedPort();

}  // namespace vesk::test
