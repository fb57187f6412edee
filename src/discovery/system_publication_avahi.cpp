// Avahi through its client library: one entry group holds the service on every link with that
// link's addresses, under Avahi's own host name when it is our label, else under ours.
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "discovery/debounce.h"
#include "discovery/interface_addresses.h"
#include "discovery/name_claim.h"
#include "discovery/network_view.h"
#include "discovery/responder_wakeups.h"
#include "discovery/system_publication.h"

namespace brindle {
namespace {

constexpr char SERVICE[] = "_brindle._udp";
constexpr size_t MAX_LABEL_BYTES = 63;

// "label", "label-2", "label-3", ...: letters, digits and hyphens, one DNS label.
std::string numbered_name(const std::string& label, unsigned number) {
  return number <= 1 ? label.substr(0, MAX_LABEL_BYTES) : numbered_label(label, number);
}

bool same_label(std::string a, std::string b) {
  const auto lower = [](std::string& s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
      return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
  };
  lower(a);
  lower(b);
  return a == b;
}

struct PollFree {
  void operator()(AvahiThreadedPoll* poll) const { avahi_threaded_poll_free(poll); }
};

std::vector<LinkView> current_links() {
  const auto entries = list_interface_addresses();
  return entries ? network_view(entries.value()).links : std::vector<LinkView>{};
}

class AvahiPublication final : public SystemPublication {
 public:
  AvahiPublication(std::string label, AdvertisementNotices notices,
                   std::unique_ptr<AvahiThreadedPoll, PollFree> poll,
                   std::unique_ptr<ResponderWakeups> wakeups)
      : label_(std::move(label)),
        notices_(std::move(notices)),
        poll_(std::move(poll)),
        wakeups_(std::move(wakeups)) {}

  ~AvahiPublication() override {
    stopping_.store(true);
    if (wakeups_) wakeups_->wake();
    if (watcher_.joinable()) watcher_.join();
    avahi_threaded_poll_stop(poll_.get());
    // Freeing the group has the daemon withdraw its records with goodbyes.
    if (group_ != nullptr) avahi_entry_group_free(group_);
    if (client_ != nullptr) avahi_client_free(client_);
  }

  // Main thread, before the poll thread runs; false when no daemon answers on the bus.
  bool connect() {
    int error = 0;
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_.get()), AvahiClientFlags(0),
                               &AvahiPublication::on_client, this, &error);
    return client_ != nullptr;
  }

  // Main thread: the first publication, reported; then the daemon and the network are followed.
  SystemOutcome::Kind start() {
    links_ = current_links();
    const Status done = publish();
    if (!done) {
      notices_.failed(done.error());
      if (done.error() != NO_ADDRESS) return SystemOutcome::Kind::FAILED;
    } else if (committed_) {
      report_name();
    }
    started_ = true;
    if (avahi_threaded_poll_start(poll_.get()) < 0) {
      notices_.failed("mDNS daemon: the Avahi event thread did not start");
      return SystemOutcome::Kind::FAILED;
    }
    try {
      watcher_ = std::thread([this] { follow_network(); });
    } catch (const std::system_error&) {
      // Without the watcher the start-up addresses stay published.
    }
    return SystemOutcome::Kind::PUBLISHED;
  }

 private:
  static void on_client(AvahiClient* client, AvahiClientState state, void* self) {
    static_cast<AvahiPublication*>(self)->client_changed(client, state);
  }
  static void on_group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    static_cast<AvahiPublication*>(self)->group_changed(group, state);
  }

  std::string name() const { return numbered_name(label_, number_); }

  void report_name() {
    if (name() == reported_) return;
    reported_ = name();
    notices_.advertised(reported_);
  }

  // Poll thread, or inside avahi_client_new.
  void client_changed(AvahiClient* client, AvahiClientState state) {
    client_ = client;
    if (!started_) return;
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        republish();
        break;
      case AVAHI_CLIENT_S_REGISTERING:
      case AVAHI_CLIENT_S_COLLISION:
        // The daemon's host name is changing: ours follows once it settles.
        if (group_ != nullptr) avahi_entry_group_reset(group_);
        committed_ = false;
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          // The daemon stopped: a new client waits for it and publishes again on its return.
          group_ = nullptr;
          committed_ = false;
          avahi_client_free(client);
          client_ = nullptr;
          int error = 0;
          client_ = avahi_client_new(avahi_threaded_poll_get(poll_.get()), AVAHI_CLIENT_NO_FAIL,
                                     &AvahiPublication::on_client, this, &error);
        }
        break;
      case AVAHI_CLIENT_CONNECTING:
        break;
    }
  }

  // Poll thread.
  void group_changed(AvahiEntryGroup*, AvahiEntryGroupState state) {
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        report_name();
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        // Another host holds the instance or host name: the next number, probed again.
        ++number_;
        republish();
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        notices_.failed(std::string("mDNS register: ") +
                        avahi_strerror(avahi_client_errno(client_)));
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  // Poll thread (or the watcher, under the poll lock): a service published once follows
  // silently; until then each attempt is reported as at start-up, a missing address excepted.
  void republish() {
    const Status done = publish();
    if (!reported_.empty()) return;
    if (!done) {
      if (done.error() != NO_ADDRESS) notices_.failed(done.error());
    } else if (committed_) {
      report_name();
    }
  }

  // The group afresh from links_ and the current name; nothing while the daemon is not running.
  Status publish() {
    committed_ = false;
    if (client_ == nullptr || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) {
      return {};
    }
    if (group_ != nullptr) {
      avahi_entry_group_reset(group_);
    } else {
      group_ = avahi_entry_group_new(client_, &AvahiPublication::on_group, this);
      if (group_ == nullptr) return failure(avahi_client_errno(client_));
    }
    if (links_.empty()) return make_error(NO_ADDRESS);
    const std::string instance = name();
    const char* const daemon_host = avahi_client_get_host_name(client_);
    const bool own_host = daemon_host != nullptr && same_label(daemon_host, label_);
    const std::string host = instance + ".local";
    for (const LinkView& link : links_) {
      const AvahiIfIndex index =
          link.iface.index != 0 ? static_cast<AvahiIfIndex>(link.iface.index) : AVAHI_IF_UNSPEC;
      if (!own_host) {
        for (const Ipv4Address& address : link.addresses) {
          AvahiAddress a{};
          a.proto = AVAHI_PROTO_INET;
          std::copy(address.begin(), address.end(), reinterpret_cast<uint8_t*>(&a.data.ipv4));
          // The daemon owns the reverse names of its addresses.
          if (const int e = avahi_entry_group_add_address(
                  group_, index, AVAHI_PROTO_INET, AVAHI_PUBLISH_NO_REVERSE, host.c_str(), &a);
              e < 0) {
            return failure(e);
          }
        }
      }
      if (const int e = avahi_entry_group_add_service(
              group_, index, AVAHI_PROTO_INET, AvahiPublishFlags(0), instance.c_str(), SERVICE,
              nullptr, own_host ? nullptr : host.c_str(), ADVERTISED_PORT, nullptr);
          e < 0) {
        return failure(e);
      }
    }
    if (const int e = avahi_entry_group_commit(group_); e < 0) return failure(e);
    committed_ = true;
    return {};
  }

  Status failure(int error) {
    if (group_ != nullptr) avahi_entry_group_reset(group_);
    return make_error(std::string("mDNS register: ") + avahi_strerror(error));
  }

  // Watcher thread: the addresses, looked at once a burst of changes has settled.
  void follow_network() {
    Debounce changes = network_change_debounce();
    while (!stopping_.load()) {
      if (changes.take(Debounce::Clock::now())) {
        std::vector<LinkView> links = current_links();
        avahi_threaded_poll_lock(poll_.get());
        if (links != links_) {
          links_ = std::move(links);
          republish();
        }
        avahi_threaded_poll_unlock(poll_.get());
      }
      std::optional<std::chrono::milliseconds> timeout;
      if (const auto due = changes.due()) {
        timeout =
            std::max(std::chrono::ceil<std::chrono::milliseconds>(*due - Debounce::Clock::now()),
                     std::chrono::milliseconds(0));
      }
      if (wakeups_->wait(timeout, {}).addresses) changes.report(Debounce::Clock::now());
    }
  }

  const std::string label_;
  const AdvertisementNotices notices_;
  std::unique_ptr<AvahiThreadedPoll, PollFree> poll_;
  std::unique_ptr<ResponderWakeups> wakeups_;
  // Under the poll lock once the poll thread runs.
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::vector<LinkView> links_;
  unsigned number_ = 1;
  std::string reported_;  // the name last reported advertised
  bool committed_ = false;
  bool started_ = false;
  std::atomic<bool> stopping_{false};
  std::thread watcher_;
};

}  // namespace

SystemOutcome publish_through_system(const std::string& label, AdvertisementNotices notices) {
  std::unique_ptr<AvahiThreadedPoll, PollFree> poll(avahi_threaded_poll_new());
  auto wakeups = ResponderWakeups::create();
  if (!poll || !wakeups) return {};
  auto publication = std::make_unique<AvahiPublication>(label, std::move(notices), std::move(poll),
                                                        std::move(wakeups).value());
  if (!publication->connect()) return {};
  const SystemOutcome::Kind kind = publication->start();
  if (kind != SystemOutcome::Kind::PUBLISHED) return {kind, nullptr};
  return {kind, std::move(publication)};
}

}  // namespace brindle
