#pragma once

#include <string>

namespace tovrin {

// Where an announcer or a browser stands with the Avahi daemon.
struct NearbyStatus {
  enum class State {
    kStopped,      // not started, or stopped
    kStarting,     // the daemon was reached; it or the announcement is being established
    kRunning,      // announced, or browsing
    kUnavailable,  // no daemon, or it went away or refused: `reason` says why
  };
  State state = State::kStopped;
  std::string reason;  // for kUnavailable, in the Avahi library's words ("Daemon not running")
};

}  // namespace tovrin
