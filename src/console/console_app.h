#pragma once

#include "console/options.h"

namespace tovrin {

// Runs one session as the options ask and returns the process exit code: 0 once the first
// connected session has ended, 1 when no session could be made (an invalid address, a failed
// connect, a port that cannot be listened on, or an end requested before any session).
//
// The session objects are made once and never destroyed: workers may still be finishing when
// this returns, and the process exits without waiting for them.
[[nodiscard]] int RunConsole(const ConsoleOptions& options);

}  // namespace tovrin
