#include "session/security_loader.h"

#include <optional>
#include <vector>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "secure/identity.h"
#include "secure/tls_engine.h"

namespace tovrin {

void LoadSecurity(Session& s, const std::string& dir) {
  if (s.security.name.empty()) s.security.name = DefaultInstallationName();
  std::string error;
  std::vector<std::string> notices;
  std::optional<Identity> identity = LoadOrCreateIdentity(dir, error, &notices);
  for (const std::string& notice : notices) {
    s.port.AppendChatLog(FormatLine(text::KEY_NOTICE, notice.c_str()));
  }
  if (identity && TlsEngine::Prepare(*identity, error)) {
    s.security.identity = std::make_shared<const Identity>(std::move(*identity));
    s.security.peers = std::make_shared<PeerStore>(dir);
  } else {
    s.port.AppendChatLog(FormatLine(text::NO_IDENTITY, error.c_str()));
    s.security.key_unusable_with_peers = PeerStore(dir).MayHavePeers();
  }
}

}  // namespace tovrin
