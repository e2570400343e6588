#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "nearby/nearby_status.h"
#include "nearby/peer_list.h"

struct AvahiClient;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;

namespace tovrin {

class AvahiLink;

// Browses NEARBY_SERVICE_TYPE through the Avahi daemon and keeps the live list of waiting
// peers, resolved to IPv4 and collapsed as CollapsePeers does. When the daemon goes away the
// list empties and the status says why; once the daemon is back the browsing resumes.
//
// Start and the destructor are for the owner's thread, never the Avahi event thread; the
// other calls are for any thread. `on_change` is called on the Avahi event thread, with its
// event loop locked, after the list or the status may have changed (never during Start); it
// may call Peers, Status and SetOwn, and must neither destroy the browser nor wait for a
// thread that does.
class Browser final {
 public:
  using OnChange = std::function<void()>;

  explicit Browser(OnChange on_change = {}, OwnAnnouncement own = {});
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Connects to the daemon and starts browsing. False, with `reason`, when the daemon cannot
  // be reached or refuses to browse.
  [[nodiscard]] bool Start(std::string& reason);
  // What to leave out of the list from now on (the own announcement's key and instance name
  // may be known only once it is made).
  void SetOwn(OwnAnnouncement own);

  [[nodiscard]] std::vector<NearbyPeer> Peers() const;
  [[nodiscard]] NearbyStatus Status() const;

 private:
  // One announcement the daemon reported, on one interface, with its resolution.
  struct Item {
    Browser* browser = nullptr;
    AvahiServiceResolver* resolver = nullptr;
    bool from_this_host = false;
    std::optional<NearbyPeer> peer;
  };
  using ItemKey = std::tuple<int, int, std::string, std::string, std::string>;

  // On the event thread with the event loop's lock held, or on Start's thread.
  void OnRunning(AvahiClient* client);
  void OnLost(const std::string& reason);
  void Publish();
  static void OnBrowse(AvahiServiceBrowser* browser, int interface, int protocol, int event,
                       const char* name, const char* type, const char* domain, int flags,
                       void* self);

  const OnChange on_change_;
  bool notify_ = false;                             // event loop's lock
  AvahiServiceBrowser* service_browser_ = nullptr;  // event loop's lock
  std::map<ItemKey, Item> items_;                   // event loop's lock
  std::unique_ptr<AvahiLink> link_;
  mutable std::mutex lock_;  // guards own_, found_ and status_
  OwnAnnouncement own_;
  std::vector<FoundPeer> found_;
  NearbyStatus status_;
};

// Browses for `duration` and gives the peers listed then, leaving out `own`: for a listing
// made once. False, with `reason`, when the daemon cannot be reached or goes away meanwhile.
[[nodiscard]] bool BrowseFor(std::chrono::milliseconds duration, const OwnAnnouncement& own,
                             std::vector<NearbyPeer>& peers, std::string& reason);

}  // namespace tovrin
