#include "nearby/browser.h"

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <net/if.h>

#include <condition_variable>

#include "nearby/avahi_link.h"

namespace tovrin {

namespace {

std::string InterfaceName(AvahiIfIndex interface) {
  char name[IF_NAMESIZE] = {};
  if (if_indextoname(static_cast<unsigned>(interface), name) == nullptr) {
    return std::to_string(interface);
  }
  return name;
}

std::vector<std::string> TxtStrings(AvahiStringList* txt) {
  std::vector<std::string> strings;
  for (; txt != nullptr; txt = avahi_string_list_get_next(txt)) {
    strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(txt)),
                         avahi_string_list_get_size(txt));
  }
  return strings;
}

// The peer a resolution describes; nullopt for anything but an IPv4 address.
std::optional<NearbyPeer> ResolvedPeer(AvahiIfIndex interface, const char* name,
                                       const AvahiAddress* address, uint16_t port,
                                       AvahiStringList* txt) {
  if (address == nullptr || address->proto != AVAHI_PROTO_INET) return std::nullopt;
  char text[AVAHI_ADDRESS_STR_MAX] = {};
  avahi_address_snprint(text, sizeof text, address);
  const AnnouncedFields fields = ParseTxtRecords(TxtStrings(txt));
  NearbyPeer peer;
  peer.instance = CleanName(name != nullptr ? name : "");
  peer.name = fields.name.empty() ? peer.instance : fields.name;
  peer.address = text;
  peer.port = port;
  peer.key_hash = fields.key_hash;
  peer.version = fields.version;
  peer.interface_name = InterfaceName(interface);
  return peer;
}

}  // namespace

Browser::Browser(OnChange on_change, OwnAnnouncement own)
    : on_change_(std::move(on_change)), own_(std::move(own)) {}

// The event thread stops before the client goes, and the client frees the service browser
// and every resolver with it.
Browser::~Browser() { link_.reset(); }

bool Browser::Start(std::string& reason) {
  if (link_ != nullptr) return true;
  link_ = std::make_unique<AvahiLink>(AvahiLink::Events{
      .running = [this](AvahiClient* client) { OnRunning(client); },
      .registering = [] {},
      .lost = [this](const std::string& why) { OnLost(why); },
  });
  {
    std::lock_guard hold(lock_);
    status_ = {NearbyStatus::State::kStarting, {}};
  }
  bool started = link_->Start(reason);
  if (started) {
    AvahiLink::Lock hold_loop(*link_);
    notify_ = true;
    std::lock_guard hold(lock_);
    if (status_.state == NearbyStatus::State::kUnavailable) {
      reason = status_.reason;
      started = false;
    }
  }
  if (started) return true;
  link_.reset();
  service_browser_ = nullptr;
  items_.clear();
  std::lock_guard hold(lock_);
  found_.clear();
  status_ = {NearbyStatus::State::kUnavailable, reason};
  return false;
}

void Browser::SetOwn(OwnAnnouncement own) {
  std::lock_guard hold(lock_);
  own_ = std::move(own);
}

std::vector<NearbyPeer> Browser::Peers() const {
  std::lock_guard hold(lock_);
  return CollapsePeers(found_, own_);
}

NearbyStatus Browser::Status() const {
  std::lock_guard hold(lock_);
  return status_;
}

void Browser::OnRunning(AvahiClient* client) {
  if (service_browser_ != nullptr) return;
  service_browser_ = avahi_service_browser_new(
      client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, NEARBY_SERVICE_TYPE, nullptr, AvahiLookupFlags(0),
      [](AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
         AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
         AvahiLookupResultFlags flags, void* self) {
        OnBrowse(browser, interface, protocol, event, name, type, domain, flags, self);
      },
      this);
  if (service_browser_ == nullptr) {
    return OnLost(avahi_strerror(avahi_client_errno(client)));
  }
  {
    std::lock_guard hold(lock_);
    status_ = {NearbyStatus::State::kRunning, {}};
  }
  Publish();
}

void Browser::OnLost(const std::string& reason) {
  // The client is still there (the link frees it later), so its objects are freed here and no
  // callback of theirs can reach an item that is gone.
  if (service_browser_ != nullptr) avahi_service_browser_free(service_browser_);
  service_browser_ = nullptr;
  for (auto& [key, item] : items_) {
    if (item.resolver != nullptr) avahi_service_resolver_free(item.resolver);
  }
  items_.clear();
  {
    std::lock_guard hold(lock_);
    status_ = {NearbyStatus::State::kUnavailable, reason};
  }
  Publish();
}

void Browser::Publish() {
  std::vector<FoundPeer> found;
  for (const auto& [key, item] : items_) {
    if (item.peer) found.push_back({*item.peer, item.from_this_host});
  }
  {
    std::lock_guard hold(lock_);
    found_ = std::move(found);
  }
  if (notify_ && on_change_) on_change_();
}

void Browser::OnBrowse(AvahiServiceBrowser* service_browser, int interface, int protocol, int event,
                       const char* name, const char* type, const char* domain, int flags,
                       void* self) {
  auto& browser = *static_cast<Browser*>(self);
  if (event == AVAHI_BROWSER_FAILURE) {
    // The failed browser is left to the client, which frees it with itself.
    browser.service_browser_ = nullptr;
    return browser.OnLost(
        avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(service_browser))));
  }
  if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) return;
  const ItemKey key{interface, protocol, name, type, domain};
  if (event == AVAHI_BROWSER_REMOVE) {
    const auto found = browser.items_.find(key);
    if (found == browser.items_.end()) return;
    if (found->second.resolver != nullptr) avahi_service_resolver_free(found->second.resolver);
    browser.items_.erase(found);
    return browser.Publish();
  }
  const auto [position, added] = browser.items_.try_emplace(key);
  if (!added) return;
  Item& item = position->second;
  item.browser = &browser;
  item.from_this_host = (flags & AVAHI_LOOKUP_RESULT_LOCAL) != 0;
  item.resolver = avahi_service_resolver_new(
      avahi_service_browser_get_client(service_browser), interface, protocol, name, type, domain,
      AVAHI_PROTO_INET, AvahiLookupFlags(0),
      [](AvahiServiceResolver* resolver, AvahiIfIndex resolved_interface, AvahiProtocol,
         AvahiResolverEvent resolved, const char* resolved_name, const char*, const char*,
         const char*, const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
         AvahiLookupResultFlags, void* context) {
        auto& found = *static_cast<Item*>(context);
        if (resolved == AVAHI_RESOLVER_FOUND) {
          found.peer = ResolvedPeer(resolved_interface, resolved_name, address, port, txt);
        } else {
          // Not resolved in time: the item stays unlisted until the peer announces anew.
          avahi_service_resolver_free(resolver);
          found.resolver = nullptr;
          found.peer.reset();
        }
        found.browser->Publish();
      },
      &item);
  if (item.resolver == nullptr) browser.items_.erase(position);
}

bool BrowseFor(std::chrono::milliseconds duration, const OwnAnnouncement& own,
               std::vector<NearbyPeer>& peers, std::string& reason) {
  std::mutex lock;
  std::condition_variable changed;
  Browser browser(
      [&] {
        std::lock_guard hold(lock);
        changed.notify_all();
      },
      own);
  if (!browser.Start(reason)) return false;
  const auto lost = [&] { return browser.Status().state == NearbyStatus::State::kUnavailable; };
  {
    std::unique_lock hold(lock);
    changed.wait_until(hold, std::chrono::steady_clock::now() + duration, lost);
  }
  const NearbyStatus status = browser.Status();
  if (status.state == NearbyStatus::State::kUnavailable) {
    reason = status.reason;
    return false;
  }
  peers = browser.Peers();
  return true;
}

}  // namespace tovrin
