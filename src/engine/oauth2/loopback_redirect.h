#pragma once

// The receiving end of a browser sign-in (RFC 8252 section 7.3): a listener
// on 127.0.0.1 at a free port, served by a thread of its own from Start on,
// so that the browser's request is answered whether or not anyone waits yet.
// The first request that carries `code`, `error` or `state` ends it; the
// browser gets a short page saying whether the sign-in may go on.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "engine/platform/sockets.h"

namespace vesk::oauth2 {

class LoopbackRedirect {
 public:
  enum class Outcome { kWaiting, kArrived, kWrongState };

  LoopbackRedirect() = default;
  LoopbackRedirect(const LoopbackRedirect&) = delete;
  LoopbackRedirect& operator=(const LoopbackRedirect&) = delete;
  ~LoopbackRedirect();

  // Listens and starts serving; a redirect must carry `state`. False with
  // the socket error number when no listener could be opened.
  bool Start(const std::string& state, int& socket_error);
  std::uint16_t port() const { return port_; }

  // Waits up to timeout_ms for the redirect. kArrived gives its query
  // parameters; kWrongState means a redirect came whose state was not ours
  // (its parameters are not handed over); kWaiting that none came in time.
  Outcome Wait(int timeout_ms, std::map<std::string, std::string>& query);

  // Stops serving and closes the listener (also done by the destructor).
  void Stop();

 private:
  void Serve();
  // Serves one connection; true when it ended the sign-in.
  bool ServeConnection(sockets::Handle connection);

  sockets::Handle listener_ = sockets::kInvalidHandle;
  std::uint16_t port_ = 0;
  std::string state_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  Outcome outcome_ = Outcome::kWaiting;
  std::map<std::string, std::string> query_;
};

}  // namespace vesk::oauth2
