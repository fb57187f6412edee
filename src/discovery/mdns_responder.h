// A compact mDNS/DNS-SD responder for one service: claims its names by probing (moving to the
// next free name when another host holds them), announces it, answers queries for it from the
// local link on every usable IPv4 interface, follows the machine's addresses as they come and go,
// and says goodbye when it is withdrawn. Each link hears only its own adapter's addresses, from
// a socket of its own, and no record is multicast on a link more than once a second: an answer
// held back by that limit goes out as soon as the limit allows.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "discovery/ipv4.h"
#include "discovery/mdns_socket.h"
#include "discovery/multicast_limiter.h"
#include "discovery/name_claim.h"
#include "discovery/network_view.h"
#include "discovery/responder_wakeups.h"
#include "discovery/service_record.h"
#include "discovery/unicast_limiter.h"
#include "platform/result.h"

namespace brindle {

// Public methods may be called from any thread; the sockets and the registered service belong
// to the responder's own thread. Commands are queued: their effect on the network comes later.
class MdnsResponder {
  struct Passkey {};

 public:
  // Called on the responder's thread after the usable addresses changed.
  using AddressesChanged = std::function<void(MdnsResponder&, const std::vector<Ipv4Address>&)>;
  // Called on the responder's thread once a new name, taken after a conflict, is ours.
  using Renamed = std::function<void(const std::string& instance_name)>;

  // Binds the unicast socket, starts watching the addresses, joins the group on every usable
  // IPv4 interface (a socket each) and starts the thread. Does not wait for any traffic. The error
  // is the cause alone, one line.
  static Result<std::unique_ptr<MdnsResponder>> create(AddressesChanged on_change = {},
                                                       Renamed on_renamed = {});

  // The socket of one link, what was multicast on it lately and what it still owes the group; a
  // link that vanishes takes its owed answer with it.
  struct LinkSocket {
    MdnsSocket socket;
    MulticastLimiter limiter;
  };

  MdnsResponder(Passkey, MdnsSocket unicast, std::unique_ptr<ResponderWakeups> wakeups,
                NetworkView view, std::vector<LinkSocket> links, AddressesChanged on_change,
                Renamed on_renamed);
  MdnsResponder(const MdnsResponder&) = delete;
  MdnsResponder& operator=(const MdnsResponder&) = delete;
  // Sends whatever is still queued (a goodbye included), then ends the thread.
  ~MdnsResponder();

  // The usable addresses as the responder last saw them.
  std::vector<Ipv4Address> usable_addresses() const;

  // Checks the names and queues the service; it is answered for with the usable addresses of
  // the moment (its own are replaced), announced twice, one second apart, whenever they change,
  // and held silent while there are none. One service per responder.
  Status register_service(ServiceRecord service);

  // Queues the withdrawal of the service with this full name, the one it was registered with
  // (a goodbye with TTL 0).
  Status unregister(const std::string& full_name);

 private:
  struct Command {
    std::optional<ServiceRecord> register_service;  // else: unregister `full_name`
    std::string full_name;
  };

  void run();
  bool receive(size_t socket_position, std::span<uint8_t> buffer);
  void follow_network();
  // `direct`: sent to our own address, not to the group; answered to the querier alone.
  void answer(std::span<const uint8_t> datagram, const Ipv4Endpoint& source, uint32_t arrival_index,
              bool direct);
  void announce();
  void send_owed(std::chrono::steady_clock::time_point now);
  void say_goodbye();
  void start_announcements();
  void claim_step(std::chrono::steady_clock::time_point now);
  // True when the datagram was another host's word on our names.
  bool judge(std::span<const uint8_t> datagram, const Ipv4Endpoint& source, const LinkView* link);
  void take_next_name(std::chrono::steady_clock::time_point now);
  ServiceRecord service_on(const LinkView& link) const;
  size_t position_of(const LinkView& link) const;

  // Declared before the sockets, so that every socket is closed before what watches it.
  std::unique_ptr<ResponderWakeups> wakeups_;  // waited on by the responder thread only
  MdnsSocket unicast_;                         // responder thread only
  NetworkView view_;                           // responder thread only
  std::vector<LinkSocket> links_;              // responder thread only; one per view_.links
  AddressesChanged on_change_;                 // responder thread only
  Renamed on_renamed_;                         // responder thread only
  std::optional<ServiceRecord> service_;       // responder thread only
  std::string registered_as_;                  // responder thread only: the first full name
  NameClaim claim_;                            // responder thread only
  std::minstd_rand random_;     // responder thread only: probe spread, shared-answer delays
  int announcements_left_ = 0;  // responder thread only
  std::chrono::steady_clock::time_point next_announcement_{};  // responder thread only
  // Responder thread only: what each querier was sent lately.
  UnicastLimiter unicast_limiter_;
  mutable std::mutex mutex_;
  std::vector<Ipv4Address> usable_;             // guarded by mutex_
  std::optional<std::string> registered_name_;  // guarded by mutex_
  std::deque<Command> commands_;                // guarded by mutex_
  bool stopping_ = false;                       // guarded by mutex_
  std::thread thread_;
};

}  // namespace brindle
