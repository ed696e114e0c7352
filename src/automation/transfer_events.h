#pragma once

#include "automation/frame/connection_points.h"
#include "engine/common/progress.h"

namespace vesk::com {

// While a sink is connected, the engine's progress of transfers goes to the
// object's Progress event (and a Cancel set there stops the transfer);
// without one, nothing is counted.
inline void ReportProgressTo(EventSource& events, ProgressListener& listener) {
  events.sinks_changed = [&events, &listener](bool connected) {
    if (!connected) {
      listener = nullptr;
      return;
    }
    listener = [&events](TransferKind kind, std::uint64_t done, std::uint64_t total) {
      return events.FireProgress(static_cast<int>(kind), done, total);
    };
  };
}

}  // namespace vesk::com
