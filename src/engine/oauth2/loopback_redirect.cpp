#include "engine/oauth2/loopback_redirect.h"

#include <chrono>

#include "engine/oauth2/form.h"
#include "engine/platform/listener.h"

namespace vesk::oauth2 {
namespace {

// A browser's request head is small; anything longer is not our redirect.
constexpr size_t kLongestRequestHead = 16384;
// How long one connection may take to send its request head.
constexpr int kRequestTimeoutMs = 5000;
// How often the serving thread looks whether it must stop.
constexpr int kAcceptSliceMs = 100;

// The request head, up to the blank line, within the time; empty when none.
std::string ReadRequestHead(sockets::Handle connection) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  char buffer[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kLongestRequestHead) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || sockets::WaitReadable(connection, static_cast<int>(left.count())) != 1) return {};
    const int got = sockets::Receive(connection, buffer, sizeof buffer, sockets::ReceiveMode::kConsume);
    if (got <= 0) return {};
    head.append(buffer, static_cast<size_t>(got));
  }
  return head;
}

void Answer(sockets::Handle connection, const char* status, const std::string& words) {
  const std::string page = "<!DOCTYPE html><html><head><title>VeskMail</title></head><body><p>" + words +
                           "</p></body></html>";
  const std::string reply = std::string("HTTP/1.1 ") + status +
                            "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                            "Connection: close\r\nContent-Length: " +
                            std::to_string(page.size()) + "\r\n\r\n" + page;
  size_t sent = 0;
  while (sent < reply.size()) {
    const int count = sockets::SendWithin(connection, reply.data() + sent, static_cast<int>(reply.size() - sent),
                                          kRequestTimeoutMs);
    if (count <= 0) return;
    sent += static_cast<size_t>(count);
  }
}

}  // namespace

LoopbackRedirect::~LoopbackRedirect() { Stop(); }

bool LoopbackRedirect::Start(const std::string& state, int& socket_error) {
  Stop();
  listener_ = sockets::ListenOnLoopback(&port_);
  if (listener_ == sockets::kInvalidHandle) {
    socket_error = sockets::LastError();
    return false;
  }
  state_ = state;
  outcome_ = Outcome::kWaiting;
  query_.clear();
  stopping_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void LoopbackRedirect::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != sockets::kInvalidHandle) sockets::CloseSocket(listener_);
  listener_ = sockets::kInvalidHandle;
}

void LoopbackRedirect::Serve() {
  while (!stopping_) {
    const sockets::Handle connection = sockets::AcceptWithin(listener_, kAcceptSliceMs);
    if (connection == sockets::kInvalidHandle) continue;
    const bool ended = ServeConnection(connection);
    sockets::CloseSocket(connection);
    if (ended) return;
  }
}

bool LoopbackRedirect::ServeConnection(sockets::Handle connection) {
  const std::string head = ReadRequestHead(connection);
  // "GET /path?query HTTP/1.1"
  const size_t first_space = head.find(' ');
  const size_t second_space = first_space == std::string::npos ? first_space : head.find(' ', first_space + 1);
  if (head.compare(0, 4, "GET ") != 0 || second_space == std::string::npos) {
    Answer(connection, "400 Bad Request", "This address only takes the end of a VeskMail sign-in.");
    return false;
  }
  const std::string target = head.substr(first_space + 1, second_space - first_space - 1);
  const size_t question = target.find('?');
  std::map<std::string, std::string> query =
      question == std::string::npos ? std::map<std::string, std::string>{} : ParseQuery(target.substr(question + 1));
  if (!query.count("code") && !query.count("error") && !query.count("state")) {
    Answer(connection, "404 Not Found", "Nothing here.");
    return false;
  }
  const auto state = query.find("state");
  const bool ours = state != query.end() && state->second == state_;
  if (ours) {
    Answer(connection, "200 OK",
           query.count("code") ? "Signed in. You may close this window and go back to the script."
                               : "The sign-in was not completed. You may close this window.");
  } else {
    Answer(connection, "400 Bad Request", "This sign-in was refused: it does not belong to the one that was started.");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outcome_ = ours ? Outcome::kArrived : Outcome::kWrongState;
    if (ours) query_ = std::move(query);
  }
  arrived_.notify_all();
  return true;
}

LoopbackRedirect::Outcome LoopbackRedirect::Wait(int timeout_ms, std::map<std::string, std::string>& query) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return outcome_ != Outcome::kWaiting; });
  if (outcome_ == Outcome::kArrived) query = query_;
  return outcome_;
}

}  // namespace vesk::oauth2
