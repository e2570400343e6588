#include "nearby/avahi_link.h"

#include <avahi-common/error.h>

namespace tovrin {

AvahiLink::AvahiLink(Events events) : events_(std::move(events)) {}

AvahiLink::~AvahiLink() {
  if (started_) avahi_threaded_poll_stop(poll_);
  if (client_ != nullptr) avahi_client_free(client_);
  if (poll_ != nullptr) avahi_threaded_poll_free(poll_);
}

bool AvahiLink::Start(std::string& reason) {
  poll_ = avahi_threaded_poll_new();
  if (poll_ == nullptr) {
    reason = avahi_strerror(AVAHI_ERR_NO_MEMORY);
    return false;
  }
  int error = 0;
  client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                             &AvahiLink::OnClientState, this, &error);
  if (client_ == nullptr) {
    reason = avahi_strerror(error);
    return false;
  }
  if (avahi_threaded_poll_start(poll_) < 0) {
    reason = avahi_strerror(AVAHI_ERR_FAILURE);
    return false;
  }
  started_ = true;
  return true;
}

AvahiLink::Lock::Lock(AvahiLink& link) : poll_(link.started_ ? link.poll_ : nullptr) {
  if (poll_ != nullptr) avahi_threaded_poll_lock(poll_);
}

AvahiLink::Lock::~Lock() {
  if (poll_ != nullptr) avahi_threaded_poll_unlock(poll_);
}

void AvahiLink::OnClientState(AvahiClient* client, AvahiClientState state, void* self) {
  auto& link = *static_cast<AvahiLink*>(self);
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      link.events_.running(client);
      break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
      link.events_.registering();
      break;
    case AVAHI_CLIENT_FAILURE: {
      const int error = avahi_client_errno(client);
      link.events_.lost(avahi_strerror(error));
      // The failed client is freed, and a waiting one made, from a callback of its own: this
      // one runs inside the client's message handling.
      if (error == AVAHI_ERR_DISCONNECTED && link.client_ == client) {
        const AvahiPoll* api = avahi_threaded_poll_get(link.poll_);
        struct timeval now {};
        api->timeout_new(api, &now, &AvahiLink::OnReconnect, &link);
      }
      break;
    }
    case AVAHI_CLIENT_CONNECTING:
      break;
  }
}

void AvahiLink::OnReconnect(AvahiTimeout* timeout, void* self) {
  auto& link = *static_cast<AvahiLink*>(self);
  avahi_threaded_poll_get(link.poll_)->timeout_free(timeout);
  avahi_client_free(link.client_);
  int error = 0;
  link.client_ = avahi_client_new(avahi_threaded_poll_get(link.poll_), AVAHI_CLIENT_NO_FAIL,
                                  &AvahiLink::OnClientState, &link, &error);
}

}  // namespace tovrin
