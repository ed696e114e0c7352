#include "automation/fake_server.h"

namespace vesk::test {

ScriptedServer::ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener_, 1);
  int length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  closesocket(listener_);
  if (thread_.joinable()) thread_.join();
}

void ScriptedServer::Run() {
  // Waits at most 10 s for the client, and 10 s for each line.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(listener_, &readable);
  timeval limit{10, 0};
  if (select(0, &readable, nullptr, nullptr, &limit) <= 0) return;
  SOCKET client = accept(listener_, nullptr, nullptr);
  if (client == INVALID_SOCKET) return;
  std::string pending;
  std::string tag;  // first word of the client's last line
  for (const Step& step : script_) {
    std::string reply = step.send;
    for (size_t at = reply.find("{tag}"); at != std::string::npos; at = reply.find("{tag}", at + tag.size())) {
      reply.replace(at, 5, tag);
    }
    if (!reply.empty()) send(client, reply.data(), static_cast<int>(reply.size()), 0);
    if (step.wait_for_line.empty()) continue;
    for (;;) {
      const size_t end = pending.find('\n');
      if (end != std::string::npos) {
        tag = pending.substr(0, std::min(end, pending.find(' ')));
        pending.erase(0, end + 1);
        break;
      }
      FD_ZERO(&readable);
      FD_SET(client, &readable);
      limit = {10, 0};
      if (select(0, &readable, nullptr, nullptr, &limit) <= 0) break;
      char buffer[4096];
      const int got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      pending.append(buffer, static_cast<size_t>(got));
      std::lock_guard<std::mutex> guard(mutex_);
      received_.append(buffer, static_cast<size_t>(got));
    }
  }
  shutdown(client, SD_SEND);
  closesocket(client);
}

std::string ScriptedServer::Received() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

unsigned short UnusedPort() {
  SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(probe);
  return ntohs(address.sin_port);
}

}  // namespace vesk::test
