#pragma once

// Progress of a long transfer, for a caller that shows it or may stop it:
// the engine counts bytes and tells a listener at most every 64 KiB or
// 100 ms, and once at the end with the whole total done. A listener that
// answers false stops the transfer.

#include <chrono>
#include <cstdint>
#include <functional>

namespace vesk {

enum class TransferKind : int {
  kSend = 1,
  kRetrieve = 2,
  kRetrieveTop = 3,
  kAppend = 4,
  kSavePart = 5,
  kApiSend = 6,
  kApiRetrieve = 7,
};

// Bytes done and the total (0 when it is not known); false stops the transfer.
using ProgressListener = std::function<bool(TransferKind kind, std::uint64_t done, std::uint64_t total)>;

class TransferMeter {
 public:
  static constexpr std::uint64_t kReportBytes = 64 * 1024;
  static constexpr auto kReportInterval = std::chrono::milliseconds(100);

  TransferMeter(const ProgressListener& listener, TransferKind kind, std::uint64_t total)
      : listener_(listener), kind_(kind), total_(total), last_time_(std::chrono::steady_clock::now()) {}

  // The total once it is known (a size announced after the transfer began).
  void set_total(std::uint64_t total) { total_ = total; }
  std::uint64_t total() const { return total_; }
  std::uint64_t done() const { return done_; }
  bool stopped() const { return stopped_; }

  // Counts bytes; false once the listener has asked to stop.
  bool Add(std::uint64_t bytes) {
    done_ += bytes;
    if (stopped_ || !listener_) return !stopped_;
    if (total_ && done_ >= total_) return true;  // the last report is Finish's
    const auto now = std::chrono::steady_clock::now();
    if (done_ - last_done_ < kReportBytes && now - last_time_ < kReportInterval) return true;
    last_done_ = done_;
    last_time_ = now;
    return Tell(done_, total_);
  }

  // The last report, with the whole transfer done (made once, however
  // often this is called); false when the listener asked to stop there
  // (what was done stays done).
  bool Finish() {
    if (stopped_ || !listener_ || finished_) return !stopped_;
    finished_ = true;
    // A known total is what the caller was told to expect (the bytes that
    // frame a transfer on the wire may count beyond it).
    const std::uint64_t total = total_ ? total_ : done_;
    return Tell(total, total);
  }

 private:
  bool Tell(std::uint64_t done, std::uint64_t total) {
    if (!listener_(kind_, done, total)) stopped_ = true;
    return !stopped_;
  }

  const ProgressListener& listener_;
  TransferKind kind_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  std::uint64_t last_done_ = 0;
  std::chrono::steady_clock::time_point last_time_;
  bool stopped_ = false;
  bool finished_ = false;
};

}  // namespace vesk
