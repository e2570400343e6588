#include <memory>

#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/connection.h"
#include "protocol/extended.h"
#include "session/lifecycle.h"
#include "session/session.h"
#include "workers/workers.h"

namespace tovrin {

uint32_t RunWorker(void* parameter, CTHREAD Session::*record, bool ends_session, WorkerBody body) {
  const std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(parameter));
  Session& s = *args->session;
  if (args->connection) {
    // Before the worker sends or reads anything, so the hello is the session's first message.
    args->connection->Begin(s.classic.load() ? 0 : EXTENSION_VERSION, text::kCaption);
    body(s, *args->connection, args->attempt);
  }
  if (ends_session) Teardown(s, args->attempt);
  EndWorker(s, s.*record);
  return 0;
}

void LogSessionKind(Session& s, uint32_t attempt, const std::string& line) {
  s.port.RunOnUiThread([&] {
    if (!s.Ended(attempt)) s.port.AppendChatLog(line);
  });
}

}  // namespace tovrin
