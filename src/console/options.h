#pragma once

#include <string>
#include <vector>

#include "transfer/session.h"

namespace tovrin {

// What the command line of tovrin-cli asks for.
struct ConsoleOptions {
  enum class Mode { kOwnAddress, kListen, kConnect, kAddress };

  // The --save-dir text as given (ResolveSaveDir applies its rules); empty: the default.
  std::string save_dir_text;
  bool subfolders = false;
  Mode mode = Mode::kOwnAddress;
  int listen_port = 0;       // kListen
  std::string address_text;  // kConnect and kAddress: the address field's text
  bool exit_after_batch = false;
  bool classic = false;  // the extension off: classic messages only
  std::string pair_code;  // --pair: the code the waiting peer shows
  bool paired_only = false;
  // --accept all|paired|none: whose batches are received (kAsk has no user here).
  AcceptPolicy accept = AcceptPolicy::kAll;
  bool offer_pairing = false;   // --offer-pairing: each wait offers one pairing code
  bool keep_listening = false;  // --keep-listening: wait again after each session
  bool no_announce = false;  // --no-announce: a wait is not announced to nearby peers
  // --name: this installation's name for its peers; empty: login@host.
  std::string name;
  // Commands that do their work and exit instead of starting a session.
  bool show_fingerprint = false;
  std::string forget;  // --forget: the fingerprint of a paired peer
  int peers_seconds = 0;  // --peers: how long to browse for nearby peers (0: not asked)
  // Absolute, normalised, without a trailing '/': one drop on the send queue.
  std::vector<std::string> paths;
  bool help = false;
};

inline constexpr int EXIT_USAGE = 2;
// A session was made, but not every queued file was delivered.
inline constexpr int EXIT_NOT_DELIVERED = 3;

// Parses the arguments after the program name. Relative paths are taken from `current_dir`
// (an absolute directory). False with a one-line reason in `error` for bad usage.
[[nodiscard]] bool ParseConsoleOptions(const std::vector<std::string>& args,
                                       const std::string& current_dir, ConsoleOptions& options,
                                       std::string& error);

// The text the address field gets before Connect: `own_address` listens, any other connects.
[[nodiscard]] std::string AddressFieldText(const ConsoleOptions& options,
                                           const std::string& own_address);

// The usage text, several lines, ending in a newline.
[[nodiscard]] std::string UsageText(const char* program);

}  // namespace tovrin
