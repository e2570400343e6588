#pragma once

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

#include <functional>
#include <string>

namespace tovrin {

// One client of the Avahi daemon with its own event thread (Avahi's threaded poll), shared
// by the announcer and the browser. Its owner learns of the daemon through Events, called
// with the event loop's lock held on the event thread (during Start, on Start's thread):
//  - running(client): the daemon serves; make what is missing with `client`.
//  - registering(): the daemon is establishing its host name anew; reset published records.
//  - lost(reason): the daemon went away or failed; everything made with the client is gone.
// After the daemon went away the link makes a new client that waits for it to come back, and
// calls running again once it has.
class AvahiLink final {
 public:
  struct Events {
    std::function<void(AvahiClient* client)> running;
    std::function<void()> registering;
    std::function<void(const std::string& reason)> lost;
  };

  explicit AvahiLink(Events events);
  // Stops the event thread, then frees the client and with it everything made with it. Never
  // on the event thread.
  ~AvahiLink();
  AvahiLink(const AvahiLink&) = delete;
  AvahiLink& operator=(const AvahiLink&) = delete;

  // Connects to the daemon and starts the event thread. False, with `reason`, when there is no
  // daemon (or no system bus); no event thread runs then.
  [[nodiscard]] bool Start(std::string& reason);

  // Holds the event loop's lock: what touches the client's objects off the event thread
  // does so inside one. Never on the event thread, which holds the lock already.
  class Lock final {
   public:
    explicit Lock(AvahiLink& link);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    AvahiThreadedPoll* poll_;
  };

 private:
  static void OnClientState(AvahiClient* client, AvahiClientState state, void* self);
  static void OnReconnect(AvahiTimeout* timeout, void* self);

  Events events_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;  // event loop's lock
  bool started_ = false;
};

}  // namespace tovrin
