#include "session/lifecycle.h"
#include "session/session.h"
// Placeholder until the connection lifecycle lands.
namespace tovrin {
AddressText SplitAddress(const std::string& text) { return {text, DEFAULT_PORT}; }
std::optional<uint32_t> ParseIpv4(const std::string&) { return std::nullopt; }
std::string OwnAddress() { return "127.0.0.1"; }
bool OnConnect(Session&) { return true; }
void StartListening(Session&, int) {}
bool ConnectToPeer(Session&, const std::string&, int) { return true; }
bool OnSocketNotify(Session&, uint32_t) { return true; }
void StartSession(Session&) {}
bool Teardown(Session&, uint32_t) { return true; }
bool Teardown(Session& s) { return Teardown(s, s.attempt.load()); }
bool OnDestroy(Session&) { return true; }
int ListeningPort(const Session&) { return -1; }
}  // namespace tovrin
