#pragma once

#include <sys/types.h>

#include <string>

#include "net/descriptor.h"
#include "support/files.h"

namespace tovrin::testing {

// One line to and from a helper process over a socket (the world's script, a peer process),
// waiting at most a minute; what was read before the end of the line or the connection.
bool WriteLine(int socket, const std::string& line);
[[nodiscard]] std::string ReadLine(int socket);

// Two hosts of the test's own joined by a link, each with its own D-Bus system bus and Avahi
// daemon, built and taken down by tests/support/nearby_world.sh: side 'a' at 10.231.0.1 on
// interface tovrin-a, side 'b' at 10.231.0.2 on tovrin-b. The machine's network, bus and
// daemons are never touched. A test skips when skip_reason() is set, and fails when error()
// is; the world goes, with every process it started, when the object does (or the test dies).
class NearbyWorld final {
 public:
  NearbyWorld();
  ~NearbyWorld();
  NearbyWorld(const NearbyWorld&) = delete;
  NearbyWorld& operator=(const NearbyWorld&) = delete;

  // Why this machine cannot host the world (not root, a tool missing, no namespaces).
  [[nodiscard]] const std::string& skip_reason() const { return skip_reason_; }
  // What went wrong where the world should have been built.
  [[nodiscard]] const std::string& error() const { return error_; }

  // The D-Bus address of a side's system bus, for DBUS_SYSTEM_BUS_ADDRESS.
  [[nodiscard]] std::string BusAddress(char side) const;
  [[nodiscard]] static std::string Address(char side);
  [[nodiscard]] static std::string InterfaceName(char side);
  // The calling thread joins a side's network namespace; threads it starts later are there
  // too. False when it cannot.
  [[nodiscard]] bool EnterNetwork(char side) const;
  // Stops or starts a side's Avahi daemon ("stop-avahi b", "start-avahi b"); true once done.
  [[nodiscard]] bool Command(const std::string& line);

 private:
  TempDir dir_;
  pid_t script_pid_ = -1;
  Descriptor script_;  // the script's standard input and output
  pid_t holder_a_ = -1;
  pid_t holder_b_ = -1;
  std::string skip_reason_;
  std::string error_;
};

}  // namespace tovrin::testing
