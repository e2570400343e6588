#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/cthread.h"

namespace tovrin {

class Connection;
struct Session;

// The three workers of a session. Each takes a WorkerArgs* (which it owns and deletes),
// reads its connection from it once, and ends its own thread through its CTHREAD record.
uint32_t ReceiveWorker(void* parameter);
uint32_t SendWorker(void* parameter);
uint32_t ChatWorker(void* parameter);

// The files that sending the queue's `entries` would offer (a folder counts the files below
// it, one that cannot be listed counts as one), for what is left when a session ends.
[[nodiscard]] int CountQueuedFiles(const std::vector<std::string>& entries);

// Without progress of the peer's transfer for this long, a side that has finished its own
// batch no longer waits for the peer's before it closes.
inline constexpr uint32_t PEER_STALL_MS = 60000;

// What a worker does on its session's connection; `attempt` is the session's number.
using WorkerBody = void (*)(Session& s, Connection& connection, uint32_t attempt);

// How every worker begins and ends: takes its WorkerArgs, runs `body`, tears the session
// down when `ends_session` (the receive and send workers; the chat worker ends silently),
// and leaves through its record `record` of the session.
uint32_t RunWorker(void* parameter, CTHREAD Session::*record, bool ends_session, WorkerBody body);

}  // namespace tovrin
