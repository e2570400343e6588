#pragma once

#include <cstdint>
#include <string>

namespace tovrin {

class CTHREAD;
struct Session;
struct WorkerExits;

inline constexpr uint32_t FD_ACCEPT = 8;
inline constexpr uint32_t FD_CONNECT = 16;

// Connect / Send (IDC_CONNECT), UI thread.
bool OnConnect(Session& s);
// UI thread, from OnConnect.
void StartListening(Session& s, int port);
// A host that is no IPv4 address but may be a host name is resolved first, without holding
// up the UI thread.
void ConnectToPeer(Session& s, const std::string& host, int port);
// UI thread: connects to `address` (network order).
void ConnectToAddress(Session& s, uint32_t address, int port);
// UI thread: the listening socket reported an event (the low 16 bits; FD_ACCEPT is acted on),
// or FD_CONNECT: the connect under way has ended or its time is up.
bool OnSocketNotify(Session& s, uint32_t word);
// UI thread: a connected socket exists in peer_socket. Its workers start at once, or, while a
// worker of the previous session is still ending, as soon as the last of those has ended.
void StartSession(Session& s);
// A worker's last act: empties its record (CTHREAD::Exit) and starts the workers of a
// session that waited for it. Any worker thread.
void EndWorker(Session& s, CTHREAD& record);
// Ends the session or attempt numbered `attempt`; an older number does nothing. Any thread:
// the work itself is done on the UI thread. With keep_waiting, a session of the waiting side that
// ends makes it wait again at once on the same port.
bool Teardown(Session& s, uint32_t attempt);
// The Disconnect button: tears down the current attempt (a session, which may wait again, or
// the waiting itself, which stops).
bool Teardown(Session& s);
// The waiting side, UI thread: shows a new pairing code (replacing any), valid
// PAIRING_CODE_LIFETIME and spent by the first connection that tries to pair. False, with a
// line in the chat log, when no code can be offered (not waiting, or not encrypting).
[[nodiscard]] bool OfferPairingCode(Session& s);
// How the workers StartSession starts leave their session: through Teardown and EndWorker.
// Also for a worker started by hand (the receive fuzzer).
[[nodiscard]] WorkerExits SessionExits();
// WM_DESTROY of the main window, and the console's end, UI thread: ends the attempt for good.
bool OnDestroy(Session& s);

// The port the listening socket is bound to (for tests that listen on port 0), or -1.
[[nodiscard]] int ListeningPort(const Session& s);

}  // namespace tovrin
