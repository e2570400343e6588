#include "support/nearby_world.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "net/socket_io.h"

extern char** environ;

namespace tovrin::testing {

namespace {

// Building the world starts two daemons per side; a loaded machine may take a while.
constexpr auto LINE_LIMIT = std::chrono::seconds(60);

}  // namespace

bool WriteLine(int socket, const std::string& line) {
  const std::string text = line + "\n";
  return SendAll(socket, text.data(), text.size(), std::chrono::steady_clock::now() + LINE_LIMIT) ==
         IoEnd::kDone;
}

std::string ReadLine(int socket) {
  const auto deadline = std::chrono::steady_clock::now() + LINE_LIMIT;
  std::string line;
  char c = 0;
  while (ReceiveAll(socket, &c, 1, deadline) == IoEnd::kDone && c != '\n') line += c;
  return line;
}

NearbyWorld::NearbyWorld() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    error_ = "no socket pair for the world's script";
    return;
  }
  script_.Reset(ends[0]);
  const Descriptor script_end(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, script_end.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, script_end.get(), STDOUT_FILENO);
  std::string shell = "bash";
  std::string script = TOVRIN_NEARBY_WORLD_SCRIPT;
  std::string dir = dir_.path();
  char* argv[] = {shell.data(), script.data(), dir.data(), nullptr};
  if (posix_spawnp(&script_pid_, shell.c_str(), &actions, nullptr, argv, environ) != 0) {
    script_pid_ = -1;
    error_ = "cannot run " + script;
  }
  posix_spawn_file_actions_destroy(&actions);
  if (script_pid_ < 0) return;
  std::istringstream answer(ReadLine(script_.get()));
  std::string word;
  answer >> word;
  if (word == "ready" && answer >> holder_a_ >> holder_b_) return;
  std::string rest;
  std::getline(answer >> std::ws, rest);
  if (word == "skip") {
    skip_reason_ = rest;
  } else {
    error_ = word.empty() ? script + " ended without an answer" : word + " " + rest;
  }
}

NearbyWorld::~NearbyWorld() {
  script_.Reset();
  if (script_pid_ > 0) waitpid(script_pid_, nullptr, 0);
}

std::string NearbyWorld::BusAddress(char side) const {
  return "unix:path=" + dir_.path() + side + "/dbus/system_bus_socket";
}

std::string NearbyWorld::Address(char side) { return side == 'a' ? "10.231.0.1" : "10.231.0.2"; }

std::string NearbyWorld::InterfaceName(char side) { return std::string("tovrin-") + side; }

bool NearbyWorld::EnterNetwork(char side) const {
  const pid_t holder = side == 'a' ? holder_a_ : holder_b_;
  const Descriptor ns(
      open(("/proc/" + std::to_string(holder) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC));
  return ns.valid() && setns(ns.get(), CLONE_NEWNET) == 0;
}

bool NearbyWorld::Command(const std::string& line) {
  return WriteLine(script_.get(), line) && ReadLine(script_.get()) == "ok";
}

}  // namespace tovrin::testing
