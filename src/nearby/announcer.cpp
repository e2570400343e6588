#include "nearby/announcer.h"

#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include "nearby/avahi_link.h"

namespace tovrin {

namespace {

// Bounds the search for a free instance name; each step is one call to the daemon.
constexpr int RENAMES_MAX = 100;

std::string AlternativeName(const std::string& name) {
  char* alternative = avahi_alternative_service_name(name.c_str());
  std::string result = alternative != nullptr ? alternative : name + " #2";
  avahi_free(alternative);
  return result;
}

std::string ClientError(AvahiClient* client) { return avahi_strerror(avahi_client_errno(client)); }

}  // namespace

Announcer::Announcer() = default;

Announcer::~Announcer() { Stop(); }

bool Announcer::Start(const Announcement& announcement, std::string& reason) {
  Stop();
  port_ = announcement.port;
  txt_ = TxtRecords(announcement);
  {
    std::lock_guard hold(lock_);
    instance_ = InstanceNameFor(announcement.name);
    status_ = {NearbyStatus::State::kStarting, {}};
  }
  link_ = std::make_unique<AvahiLink>(AvahiLink::Events{
      .running = [this](AvahiClient* client) { Register(client); },
      .registering =
          [this] {
            if (group_ == nullptr) return;
            avahi_entry_group_reset(group_);
            std::lock_guard hold(lock_);
            status_ = {NearbyStatus::State::kStarting, {}};
          },
      .lost =
          [this](const std::string& why) {
            group_ = nullptr;
            Fail(why);
          },
  });
  const bool reached = link_->Start(reason);
  if (reached) {
    AvahiLink::Lock hold_loop(*link_);
    std::lock_guard hold(lock_);
    if (status_.state != NearbyStatus::State::kUnavailable) return true;
    reason = status_.reason;
  }
  Stop();
  std::lock_guard hold(lock_);
  status_ = {NearbyStatus::State::kUnavailable, reason};
  return false;
}

void Announcer::Stop() {
  link_.reset();
  group_ = nullptr;
  std::lock_guard hold(lock_);
  instance_.clear();
  status_ = {};
}

std::string Announcer::InstanceName() const {
  std::lock_guard hold(lock_);
  return instance_;
}

NearbyStatus Announcer::Status() const {
  std::lock_guard hold(lock_);
  return status_;
}

void Announcer::Fail(const std::string& reason) {
  std::lock_guard hold(lock_);
  status_ = {NearbyStatus::State::kUnavailable, reason};
}

void Announcer::Register(AvahiClient* client) {
  if (group_ == nullptr) {
    group_ = avahi_entry_group_new(
        client,
        [](AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
          OnGroupState(group, state, self);
        },
        this);
    if (group_ == nullptr) return Fail(ClientError(client));
  }
  if (!avahi_entry_group_is_empty(group_)) return;
  AvahiStringList* txt = nullptr;
  for (auto record = txt_.rbegin(); record != txt_.rend(); ++record) {
    txt = avahi_string_list_add_arbitrary(txt, reinterpret_cast<const uint8_t*>(record->data()),
                                          record->size());
  }
  std::string instance = InstanceName();
  int error = AVAHI_OK;
  for (int renames = 0; renames <= RENAMES_MAX; ++renames) {
    error = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                 AvahiPublishFlags(0), instance.c_str(),
                                                 NEARBY_SERVICE_TYPE, nullptr, nullptr, port_, txt);
    if (error != AVAHI_ERR_COLLISION) break;
    instance = AlternativeName(instance);
  }
  avahi_string_list_free(txt);
  if (error == AVAHI_OK) error = avahi_entry_group_commit(group_);
  if (error != AVAHI_OK) return Fail(avahi_strerror(error));
  std::lock_guard hold(lock_);
  instance_ = instance;
  status_ = {NearbyStatus::State::kStarting, {}};
}

void Announcer::OnGroupState(AvahiEntryGroup* group, int state, void* self) {
  auto& announcer = *static_cast<Announcer*>(self);
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED: {
      std::lock_guard hold(announcer.lock_);
      announcer.status_ = {NearbyStatus::State::kRunning, {}};
      break;
    }
    case AVAHI_ENTRY_GROUP_COLLISION: {
      // Another host on the network holds the name: take the next one and announce again.
      {
        std::lock_guard hold(announcer.lock_);
        announcer.instance_ = AlternativeName(announcer.instance_);
      }
      avahi_entry_group_reset(group);
      announcer.Register(avahi_entry_group_get_client(group));
      break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
      announcer.Fail(ClientError(avahi_entry_group_get_client(group)));
      break;
    default:
      break;
  }
}

}  // namespace tovrin
