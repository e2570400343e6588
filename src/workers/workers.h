#pragma once

#include <cstdint>
#include <string>

#include "workers/cthread.h"

namespace tovrin {

class Connection;
struct Session;

// The three workers of a session. Each takes a WorkerArgs* (which it owns and deletes),
// reads its connection from it once, and ends its own thread through its CTHREAD record.
uint32_t ReceiveWorker(void* parameter);
uint32_t SendWorker(void* parameter);
uint32_t ChatWorker(void* parameter);

// What a worker does on its session's connection; `attempt` is the session's number.
using WorkerBody = void (*)(Session& s, Connection& connection, uint32_t attempt);

// How every worker begins and ends: takes its WorkerArgs, runs `body`, tears the session
// down when `ends_session` (the receive and send workers; the chat worker ends silently),
// and leaves through its record `record` of the session.
uint32_t RunWorker(void* parameter, CTHREAD Session::*record, bool ends_session, WorkerBody body);

}  // namespace tovrin
