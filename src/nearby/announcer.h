#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nearby/nearby_status.h"
#include "nearby/txt_records.h"

struct AvahiClient;
struct AvahiEntryGroup;

namespace tovrin {

class AvahiLink;

// Announces one waiting side as NEARBY_SERVICE_TYPE on IPv4 through the Avahi daemon, with
// the TXT records TxtRecords makes, for as long as it is started. When another service on
// the network holds the instance name, the announcement takes the daemon's alternative
// ("name #2", …). When the daemon goes away the status says so, and the announcement is
// made again once the daemon is back.
//
// Start, Stop and the destructor are for the owner's thread (one at a time), never the
// Avahi event thread; InstanceName and Status are for any thread.
class Announcer final {
 public:
  Announcer();
  // Withdraws the announcement.
  ~Announcer();
  Announcer(const Announcer&) = delete;
  Announcer& operator=(const Announcer&) = delete;

  // Withdraws what was announced, then announces `announcement`. False, with `reason`, when
  // the daemon cannot be reached or refuses the records; nothing is announced then. True when
  // the daemon took the records (or will take them once it is running): Status then moves
  // from kStarting to kRunning once the name is established on the network.
  [[nodiscard]] bool Start(const Announcement& announcement, std::string& reason);
  // Withdraws the announcement at once (the daemon tells the network it is gone).
  void Stop();

  // The instance name announced under, after any collision; empty when stopped.
  [[nodiscard]] std::string InstanceName() const;
  [[nodiscard]] NearbyStatus Status() const;

 private:
  // On the event thread with the event loop's lock held, or on Start's thread.
  void Register(AvahiClient* client);
  void Fail(const std::string& reason);
  static void OnGroupState(AvahiEntryGroup* group, int state, void* self);

  uint16_t port_ = 0;
  std::vector<std::string> txt_;
  AvahiEntryGroup* group_ = nullptr;  // event loop's lock
  std::unique_ptr<AvahiLink> link_;
  mutable std::mutex lock_;  // guards instance_ and status_
  std::string instance_;
  NearbyStatus status_;
};

}  // namespace tovrin
