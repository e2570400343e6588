#include "console/options.h"

#include <cstdlib>
#include <filesystem>

#include "console/nearby_commands.h"
#include "secure/identity.h"
#include "secure/pairing.h"
#include "session/opening.h"

namespace tovrin {
namespace {

// The longest --peers browses.
constexpr int PEERS_MAX_SECONDS = 600;

// A port of 1 to 65535 in plain decimal digits; -1 for anything else.
int ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return -1;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    port = port * 10 + (c - '0');
  }
  return port >= 1 && port <= 65535 ? port : -1;
}

std::string AbsolutePath(const std::string& path, const std::string& current_dir) {
  std::filesystem::path absolute(path);
  if (absolute.is_relative()) absolute = std::filesystem::path(current_dir) / absolute;
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Splits "--name=value" into name and value; other arguments are left whole.
bool SplitInlineValue(const std::string& arg, std::string& name, std::string& value) {
  const size_t equals = arg.find('=');
  if (arg.rfind("--", 0) != 0 || equals == std::string::npos) {
    name = arg;
    return false;
  }
  name = arg.substr(0, equals);
  value = arg.substr(equals + 1);
  return true;
}

// --peers takes an optional number of seconds: inline, or as the next argument when that is
// all digits (anything else there is a path).
bool ParsePeersSeconds(const std::vector<std::string>& args, bool inline_value,
                       const std::string& value, size_t& i, int& seconds, std::string& error) {
  std::string text = value;
  if (!inline_value) {
    const bool next_is_number = i + 1 < args.size() && !args[i + 1].empty() &&
                                args[i + 1].find_first_not_of("0123456789") == std::string::npos;
    if (!next_is_number) {
      seconds = PEERS_DEFAULT_SECONDS;
      return true;
    }
    text = args[++i];
  }
  const int parsed = ParsePort(text);
  if (parsed < 1 || parsed > PEERS_MAX_SECONDS) {
    error = "--peers takes seconds from 1 to " + std::to_string(PEERS_MAX_SECONDS) + ", not '" +
            text + "'";
    return false;
  }
  seconds = parsed;
  return true;
}

}  // namespace

bool ParseConsoleOptions(const std::vector<std::string>& args, const std::string& current_dir,
                         ConsoleOptions& options, std::string& error) {
  options = ConsoleOptions{};
  bool have_save_dir = false;
  bool have_mode = false;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
      if (arg.empty()) {
        error = "empty PATH argument";
        return false;
      }
      options.paths.push_back(AbsolutePath(arg, current_dir));
      continue;
    }
    std::string name, value;
    const bool inline_value = SplitInlineValue(arg, name, value);
    const bool takes_mode =
        name == "--listen" || name == "--connect" || name == "--address";
    const bool takes_value = takes_mode || name == "--save-dir" || name == "--pair" ||
                             name == "--forget" || name == "--name" || name == "--accept";
    if (takes_value && !inline_value) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!takes_value && inline_value && name != "--peers") {
      error = name + " takes no value";
      return false;
    }

    if (name == "--") {
      options_ended = true;
    } else if (name == "-h" || name == "--help") {
      options.help = true;
    } else if (name == "--subfolders") {
      options.subfolders = true;
    } else if (name == "--exit-after-batch") {
      options.exit_after_batch = true;
    } else if (name == "--classic") {
      options.classic = true;
    } else if (name == "--save-dir") {
      if (have_save_dir) {
        error = "--save-dir given twice";
        return false;
      }
      have_save_dir = true;
      options.save_dir_text = value;
    } else if (name == "--paired-only") {
      options.paired_only = true;
    } else if (name == "--accept") {
      if (value == "all") {
        options.accept = AcceptPolicy::kAll;
      } else if (value == "paired") {
        options.accept = AcceptPolicy::kPaired;
      } else if (value == "none") {
        options.accept = AcceptPolicy::kNone;
      } else {
        error = "--accept takes all, paired or none, not '" + value + "'";
        return false;
      }
    } else if (name == "--offer-pairing") {
      options.offer_pairing = true;
    } else if (name == "--keep-listening") {
      options.keep_listening = true;
    } else if (name == "--no-announce") {
      options.no_announce = true;
    } else if (name == "--peers") {
      if (!ParsePeersSeconds(args, inline_value, value, i, options.peers_seconds, error)) {
        return false;
      }
    } else if (name == "--fingerprint") {
      options.show_fingerprint = true;
    } else if (name == "--pair") {
      if (!IsPairingCode(value)) {
        error = "--pair needs the " + std::to_string(PAIRING_CODE_DIGITS) +
                "-digit code the waiting peer shows, not '" + value + "'";
        return false;
      }
      options.pair_code = value;
    } else if (name == "--name") {
      // Sent to peers as it is: what they would see otherwise is refused here.
      if (value.empty() || InstallationName(value) != value) {
        error = "--name needs a name of 1 to " + std::to_string(MAX_INSTALLATION_NAME) +
                " bytes of UTF-8 without control characters, not '" + value + "'";
        return false;
      }
      options.name = value;
    } else if (name == "--forget") {
      if (NormalizeFingerprint(value).empty()) {
        error = "--forget needs a fingerprint such as ABCD-EFGH-IJKL-MNOP, not '" + value + "'";
        return false;
      }
      options.forget = value;
    } else if (takes_mode) {
      if (have_mode) {
        error = "only one of --listen, --connect and --address may be given";
        return false;
      }
      have_mode = true;
      if (name == "--listen") {
        options.mode = ConsoleOptions::Mode::kListen;
        options.listen_port = ParsePort(value);
        if (options.listen_port < 0) {
          error = "--listen needs a port from 1 to 65535, not '" + value + "'";
          return false;
        }
      } else {
        options.mode =
            name == "--connect" ? ConsoleOptions::Mode::kConnect : ConsoleOptions::Mode::kAddress;
        if (value.empty()) {
          error = name + " needs a non-empty address";
          return false;
        }
        options.address_text = value;
      }
    } else {
      error = "unknown option '" + arg + "'";
      return false;
    }
  }
  return true;
}

std::string AddressFieldText(const ConsoleOptions& options, const std::string& own_address) {
  switch (options.mode) {
    case ConsoleOptions::Mode::kListen:
      return own_address + ":" + std::to_string(options.listen_port);
    case ConsoleOptions::Mode::kConnect:
    case ConsoleOptions::Mode::kAddress:
      return options.address_text;
    case ConsoleOptions::Mode::kOwnAddress:
      break;
  }
  return own_address;
}

std::string UsageText(const char* program) {
  return std::string("usage: ") + program +
         " [--save-dir DIR] [--subfolders] [--listen PORT | --connect HOST[:PORT] |"
         " --address TEXT]\n"
         "       [--exit-after-batch] [--classic] [--pair CODE] [--paired-only] [--name NAME]\n"
         "       [--offer-pairing] [--keep-listening] [--no-announce]\n"
         "       [--accept all|paired|none] [PATH ...]\n"
         "       " + program + " --fingerprint | --forget FINGERPRINT | --peers [SECONDS]\n"
         "  --save-dir DIR      where received files are written (default: ./Received Files/)\n"
         "  --subfolders        receive each sender folder into a subfolder of its own\n"
         "  --listen PORT       wait for a peer on PORT\n"
         "  --connect HOST[:PORT]  connect to HOST (port 10000): a dotted IPv4 address, the\n"
         "                      fingerprint or the exact name of a peer waiting nearby (at\n"
         "                      the port it announced), or a host name\n"
         "  --address TEXT      as typed into the address field: the own address listens,\n"
         "                      any other connects (default: the own address)\n"
         "  --exit-after-batch  end the session once every PATH has been sent\n"
         "  --classic           speak only the classic wire, even to a peer that knows more\n"
         "  --pair CODE         pair with the waiting peer that shows this code\n"
         "  --paired-only       take only encrypted sessions with paired peers\n"
         "  --name NAME         the name peers see for this installation (default: login@host)\n"
         "  --offer-pairing     while waiting, show a pairing code (one per wait)\n"
         "  --keep-listening    wait again after each session, until standard input ends\n"
         "                      or a signal comes\n"
         "  --no-announce       do not announce a wait to nearby peers\n"
         "  --accept all|paired|none  whose files are received: everyone's (default), only\n"
         "                      paired peers', or nobody's; the others' are declined\n"
         "  --fingerprint       print this installation's fingerprint and exit\n"
         "  --peers [SECONDS]   list the peers waiting nearby (browsing 3 s) and exit\n"
         "  --forget FINGERPRINT  forget a paired peer and exit\n"
         "  PATH ...            files and folders to send\n"
         "Every line of standard input is sent as a chat line.\n"
         "Exit codes: 0 a session ended and every PATH was delivered, 1 no session,\n"
         "2 wrong usage, 3 a session ended with files of PATH not delivered\n"
         "(with --keep-listening: any session counts), 4 no Avahi daemon for --peers or\n"
         "--connect FINGERPRINT.\n";
}

}  // namespace tovrin
