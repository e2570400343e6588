#pragma once

#include <string>

#include "transfer/session.h"

namespace tovrin {

// Loads or creates this installation's key in the configuration folder `dir` and opens its
// list of paired peers, into the session's security, with the TLS context made now so that no
// opening waits for it. The chat log tells what the loading did besides and, without a usable
// key, why sessions go unencrypted; an installation that may then have paired peers refuses
// extended sessions in the clear. The console, the window and the tests all load this way.
// UI thread, before the first attempt.
void LoadSecurity(Session& s, const std::string& dir);

}  // namespace tovrin
