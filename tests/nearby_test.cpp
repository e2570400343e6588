#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>

#include "nearby/announcer.h"
#include "nearby/browser.h"
#include "nearby/peer_list.h"
#include "nearby/txt_records.h"
#include "support/nearby_world.h"
#include "support/recording_port.h"

namespace tovrin {
namespace {

using testing::ReadLine;
using testing::WaitFor;
using testing::WriteLine;

NearbyKey Key(uint8_t byte) {
  NearbyKey key;
  key.fill(byte);
  return key;
}

constexpr const char* BAD = "\xEF\xBF\xBD";  // U+FFFD, what replaces what cannot be shown

TEST(Nearby, TxtRecordsSayVersionKeyAndNameAndAreReadAsPeersSendThem) {
  Announcement announcement{4711, 3, Key(0xAB), "login@host"};
  std::string hex;
  for (int i = 0; i < 32; ++i) hex += "ab";
  const std::vector<std::string> records = TxtRecords(announcement);
  EXPECT_EQ(records, (std::vector<std::string>{"v=3", "kh=" + hex, "name=login@host"}));
  AnnouncedFields fields = ParseTxtRecords(records);
  EXPECT_EQ(fields.version, 3);
  EXPECT_EQ(fields.key_hash, Key(0xAB));
  EXPECT_EQ(fields.name, "login@host");
  announcement.key_hash.reset();
  EXPECT_EQ(TxtRecords(announcement), (std::vector<std::string>{"v=3", "name=login@host"}));

  // Keys without regard to case, the first of a key counts, what cannot be read is absent.
  fields = ParseTxtRecords({"flag", "V=2", "v=9", "KH=" + std::string(64, 'C'), "Name=bob"});
  EXPECT_EQ(fields.version, 2);
  EXPECT_EQ(fields.key_hash, Key(0xCC));
  EXPECT_EQ(fields.name, "bob");
  fields = ParseTxtRecords({"v=3x", "kh=" + std::string(63, 'c'), std::string("name=a\0b", 8)});
  EXPECT_EQ(fields.version, 0);
  EXPECT_FALSE(fields.key_hash);
  EXPECT_EQ(fields.name, std::string("a") + BAD + "b");
  EXPECT_FALSE(ParseTxtRecords({"kh=" + std::string(63, 'c') + "g"}).key_hash);

  // Names from the network: controls, reordering marks and broken UTF-8 (overlong forms,
  // surrogates, cut sequences) are replaced; other characters stay.
  EXPECT_EQ(CleanName("a\nb\xE2\x80\xAE"
                      "c\xC3(\xF0\x9F\x98\x80"),
            std::string("a") + BAD + "b" + BAD + "c" + BAD + "(\xF0\x9F\x98\x80");
  std::string five_bad;
  for (int i = 0; i < 5; ++i) five_bad += BAD;
  EXPECT_EQ(CleanName("\xC0\xAF\xED\xA0\x80"), five_bad);

  // Long names are cut at a character boundary: to one DNS label for the instance name, to
  // one TXT string for the name.
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "\xC3\xA9";
  EXPECT_EQ(InstanceNameFor(accented), accented.substr(0, 62));
  EXPECT_EQ(InstanceNameFor("x" + accented), "x" + accented.substr(0, 62));
  EXPECT_EQ(TxtRecords({1, 3, std::nullopt, "x" + accented}).back(),
            "name=x" + accented.substr(0, 248));
  EXPECT_EQ(InstanceNameFor(""), "Tovrin");
}

TEST(Nearby, ListHoldsEachPeerOnceFromAPhysicalInterfaceWithoutTheOwnAnnouncement) {
  const auto found = [](std::string instance, std::optional<NearbyKey> key, std::string address,
                        std::string interface, bool from_this_host = false) {
    return FoundPeer{{instance, instance, address, 4711, key, 3, interface}, from_this_host};
  };
  const std::vector<FoundPeer> bridged_first{
      found("carol", Key(1), "172.17.0.1", "docker0"),
      found("carol", Key(1), "192.168.1.5", "wlp2s0"),
      found("carol", Key(1), "10.0.3.1", "lxcbr0"),
      found("alice", Key(2), "192.168.122.1", "virbr0"),
      found("bob", std::nullopt, "192.168.1.7", "veth12ab"),
      found("bob", std::nullopt, "192.168.1.7", "enp3s0"),
      found("dave", std::nullopt, "192.168.1.8", "enp3s0"),
  };
  std::vector<FoundPeer> physical_first(bridged_first.rbegin(), bridged_first.rend());
  for (const auto& input : {bridged_first, physical_first}) {
    const std::vector<NearbyPeer> peers = CollapsePeers(input, {});
    ASSERT_EQ(peers.size(), 4u);
    EXPECT_EQ(peers[0].name + " " + peers[0].interface_name, "alice virbr0");
    EXPECT_EQ(peers[1].name + " " + peers[1].interface_name, "bob enp3s0");
    EXPECT_EQ(peers[2].address + " " + peers[2].interface_name, "192.168.1.5 wlp2s0");
    EXPECT_EQ(peers[3].name, "dave");
  }

  // The own key is left out from anywhere; the own instance name only from this host, since
  // another host's announcement may carry it on another link.
  std::vector<FoundPeer> with_own = bridged_first;
  with_own.push_back(found("me", Key(9), "192.168.1.2", "enp3s0", true));
  with_own.push_back(found("me #2", Key(9), "192.168.1.2", "enp3s0", true));
  with_own.push_back(found("alice", Key(3), "192.168.1.3", "enp3s0", true));
  const std::vector<NearbyPeer> peers = CollapsePeers(with_own, {Key(9), "alice"});
  ASSERT_EQ(peers.size(), 4u);
  EXPECT_EQ(peers[0].key_hash, Key(2));
  EXPECT_TRUE(std::none_of(peers.begin(), peers.end(), [](const NearbyPeer& peer) {
    return peer.key_hash == Key(9) || peer.key_hash == Key(3);
  }));
}

// The announcing side of the link test, in a process of its own: a process reaches one system
// bus only (the bus library keeps the first address it reads), and the browsing side is the
// test's process. Forked before any thread starts; answers one line to each command:
//   bus ADDRESS                   "ok" (before the first announcement)
//   announce N PORT BYTE NAME     "ok INSTANCE" or "failed REASON"; the key hash is BYTE x32
//   stop N                        "ok"
// At the end of its input it withdraws what it announced and exits.
class AnnouncingPeer final {
 public:
  AnnouncingPeer() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ends[0]);
      Serve(ends[1]);
      _exit(0);
    }
    close(ends[1]);
    socket_.Reset(ends[0]);
  }
  ~AnnouncingPeer() {
    socket_.Reset();
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  AnnouncingPeer(const AnnouncingPeer&) = delete;
  AnnouncingPeer& operator=(const AnnouncingPeer&) = delete;

  std::string Ask(const std::string& command) {
    return WriteLine(socket_.get(), command) ? ReadLine(socket_.get()) : "";
  }

 private:
  static void Serve(int socket) {
    std::map<int, Announcer> announcers;
    for (std::string line; !(line = ReadLine(socket)).empty();) {
      std::istringstream command(line);
      std::string verb;
      int index = 0;
      command >> verb;
      if (verb == "bus") {
        std::string address;
        command >> address;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        WriteLine(socket, "ok");
      } else if (verb == "announce") {
        Announcement announcement;
        int byte = 0;
        command >> index >> announcement.port >> byte >> announcement.name;
        announcement.version = 3;
        announcement.key_hash = Key(static_cast<uint8_t>(byte));
        std::string reason;
        Announcer& announcer = announcers[index];
        WriteLine(socket, announcer.Start(announcement, reason) ? "ok " + announcer.InstanceName()
                                                                : "failed " + reason);
      } else if (verb == "stop") {
        command >> index;
        announcers[index].Stop();
        WriteLine(socket, "ok");
      }
    }
  }

  pid_t pid_ = -1;
  Descriptor socket_;
};

// Whether the browser lists `instance` now.
bool Lists(const Browser& browser, const std::string& instance) {
  const std::vector<NearbyPeer> peers = browser.Peers();
  return std::any_of(peers.begin(), peers.end(),
                     [&](const NearbyPeer& peer) { return peer.instance == instance; });
}

// Two hosts joined by a link, each with its own bus and Avahi daemon: side a announces with
// Announcer, side b browses with Browser (this process, in b's network namespace).
TEST(NearbyLink, AnnouncedOnOneSideListedOnTheOtherUntilStoppedOrTheDaemonGoes) {
  AnnouncingPeer announcing;
  testing::NearbyWorld world;
  if (!world.skip_reason().empty()) GTEST_SKIP() << world.skip_reason();
  ASSERT_EQ(world.error(), "");
  ASSERT_TRUE(world.EnterNetwork('b'));
  ASSERT_EQ(setenv("DBUS_SYSTEM_BUS_ADDRESS", world.BusAddress('b').c_str(), 1), 0);
  ASSERT_EQ(announcing.Ask("bus " + world.BusAddress('a')), "ok");

  std::atomic<int> changes{0};
  Browser browser([&] { ++changes; });
  std::string reason;
  ASSERT_TRUE(browser.Start(reason)) << reason;
  EXPECT_EQ(browser.Status().state, NearbyStatus::State::kRunning);

  ASSERT_EQ(announcing.Ask("announce 0 4711 7 alice"), "ok alice");
  ASSERT_TRUE(WaitFor([&] { return Lists(browser, "alice"); }));
  std::vector<NearbyPeer> peers = browser.Peers();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].name, "alice");
  EXPECT_EQ(peers[0].address, testing::NearbyWorld::Address('a'));
  EXPECT_EQ(peers[0].port, 4711);
  EXPECT_EQ(peers[0].key_hash, Key(7));
  EXPECT_EQ(peers[0].version, 3);
  EXPECT_EQ(peers[0].interface_name, testing::NearbyWorld::InterfaceName('b'));
  // The change is told after the list holds it, on the Avahi thread.
  EXPECT_TRUE(WaitFor([&] { return changes.load() > 0; }));

  // A second announcement under a name in use takes the daemon's alternative name.
  ASSERT_EQ(announcing.Ask("announce 1 4712 8 alice"), "ok alice #2");
  ASSERT_TRUE(WaitFor([&] { return Lists(browser, "alice #2"); }));

  // This side announces under the name too: it collides on the network and moves on, and
  // its own browser leaves it out by key or by instance name.
  Announcer own;
  ASSERT_TRUE(own.Start({4720, 3, Key(5), "alice"}, reason)) << reason;
  ASSERT_TRUE(WaitFor([&] { return own.Status().state == NearbyStatus::State::kRunning; }));
  EXPECT_EQ(own.InstanceName(), "alice #3");
  ASSERT_TRUE(WaitFor([&] { return Lists(browser, "alice #3"); }));
  browser.SetOwn({Key(5), ""});
  EXPECT_FALSE(Lists(browser, "alice #3"));
  browser.SetOwn({std::nullopt, own.InstanceName()});
  EXPECT_FALSE(Lists(browser, "alice #3"));
  browser.SetOwn({});
  std::vector<NearbyPeer> found;
  ASSERT_TRUE(BrowseFor(std::chrono::milliseconds(500), {Key(7), ""}, found, reason)) << reason;
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].port + found[1].port, 4712 + 4720);

  // Stopped, the announcement leaves the other side's list.
  ASSERT_EQ(announcing.Ask("stop 0"), "ok");
  ASSERT_TRUE(WaitFor([&] { return !Lists(browser, "alice"); }));
  EXPECT_TRUE(Lists(browser, "alice #2"));

  // This side's daemon goes: the list empties and the announcement fails, each with a
  // reason; no announcement can start. The daemon comes back: both resume.
  ASSERT_TRUE(world.Command("stop-avahi b"));
  ASSERT_TRUE(WaitFor([&] { return browser.Status().state == NearbyStatus::State::kUnavailable; }));
  EXPECT_NE(browser.Status().reason, "");
  EXPECT_TRUE(browser.Peers().empty());
  ASSERT_TRUE(WaitFor([&] { return own.Status().state == NearbyStatus::State::kUnavailable; }));
  EXPECT_NE(own.Status().reason, "");
  Announcer announcer;
  reason.clear();
  EXPECT_FALSE(announcer.Start({4713, 3, Key(9), "bob"}, reason));
  EXPECT_NE(reason, "");

  ASSERT_TRUE(world.Command("start-avahi b"));
  ASSERT_TRUE(WaitFor([&] { return Lists(browser, "alice #2") && Lists(browser, "alice #3"); }));
  EXPECT_EQ(browser.Status().state, NearbyStatus::State::kRunning);
  EXPECT_TRUE(WaitFor([&] { return own.Status().state == NearbyStatus::State::kRunning; }));
}

}  // namespace
}  // namespace tovrin
