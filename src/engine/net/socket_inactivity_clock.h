#pragma once

// SocketConnection::InactivityClock, the count of empty polls that ends a
// read; included by socket_connection.h, which declares it.

#include "engine/net/socket_connection.h"

namespace vesk {

// Counts the polls of one read that find nothing. Fifty in a row end the read;
// after every poll that found bytes the count starts again (one empty poll
// then only restarts it), so only silence ends a read, never slowness.
class SocketConnection::InactivityClock {
 public:
  explicit InactivityClock(int timeout_ms)
      : pause_ms_(timeout_ms > 0 ? timeout_ms / kEmptyPollsBeforeTimeOut : 0) {}

  int pause_ms() const { return pause_ms_; }
  void NoteBytes() { bytes_seen_ = true; }
  // A new read begins: the count starts from the beginning.
  void Restart() {
    empty_polls_left_ = kEmptyPollsBeforeTimeOut;
    bytes_seen_ = false;
  }

  // False when this empty poll is the one that ends the read.
  bool NoteEmptyPoll() {
    if (bytes_seen_) {
      bytes_seen_ = false;
      empty_polls_left_ = kEmptyPollsBeforeTimeOut;
      return true;
    }
    return --empty_polls_left_ > 0;
  }

 private:
  int pause_ms_;
  int empty_polls_left_ = kEmptyPollsBeforeTimeOut;
  bool bytes_seen_ = false;
};

}  // namespace vesk
