#include <cassert>
#include <memory>

#include "port/texts.h"
#include "port/window_port.h"
#include "transfer/connection.h"
#include "transfer/session.h"
#include "transfer/workers.h"

namespace tovrin {

uint32_t RunWorker(void* parameter, CTHREAD Session::*record, bool ends_session, WorkerBody body) {
  const std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(parameter));
  Session& s = *args->session;
  assert(args->exits.teardown != nullptr && args->exits.end_worker != nullptr);
  // The connection's opening (hello, and TLS with the peer's authentication) is over before
  // any worker starts: every worker knows the kind of session from its first step.
  if (args->connection) body(s, *args->connection, args->attempt);
  if (ends_session) args->exits.teardown(s, args->attempt);
  // The worker's share of the connection (its TLS state with it) goes before its last act:
  // once the record says the worker has ended, nothing of it may still be running.
  args->connection.reset();
  args->exits.end_worker(s, s.*record);
  return 0;
}

}  // namespace tovrin
