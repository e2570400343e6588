#include <memory>

#include "session/lifecycle.h"
#include "session/session.h"
#include "workers/workers.h"

namespace tovrin {

uint32_t RunWorker(void* parameter, CTHREAD Session::*record, bool ends_session, WorkerBody body) {
  const std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(parameter));
  Session& s = *args->session;
  if (args->connection) body(s, *args->connection, args->attempt);
  if (ends_session) Teardown(s, args->attempt);
  EndWorker(s, s.*record);
  return 0;
}

}  // namespace tovrin
