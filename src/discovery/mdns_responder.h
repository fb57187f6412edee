// A compact mDNS/DNS-SD responder for one service: announces it, answers queries for it from the
// local link on every usable IPv4 interface, follows the machine's addresses as they come and go,
// and says goodbye when it is withdrawn.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/ipv4.h"
#include "discovery/mdns_socket.h"
#include "discovery/network_view.h"
#include "discovery/responder_wakeups.h"
#include "discovery/service_record.h"
#include "platform/result.h"

namespace brindle {

// Public methods may be called from any thread; the sockets and the registered service belong
// to the responder's own thread. Commands are queued: their effect on the network comes later.
class MdnsResponder {
  struct Passkey {};

 public:
  // Called on the responder's thread after the usable addresses changed.
  using AddressesChanged = std::function<void(MdnsResponder&, const std::vector<Ipv4Address>&)>;

  // Binds the socket, starts watching the addresses, joins the group on every usable IPv4
  // interface and starts the thread. Does not wait for any traffic. The error is the cause
  // alone, one line.
  static Result<std::unique_ptr<MdnsResponder>> create(AddressesChanged on_change = {});

  MdnsResponder(Passkey, MdnsSocket socket, std::unique_ptr<ResponderWakeups> wakeups,
                NetworkView view, AddressesChanged on_change);
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

  // Queues the withdrawal of the service with this full name (a goodbye with TTL 0).
  Status unregister(const std::string& full_name);

 private:
  struct Command {
    std::optional<ServiceRecord> register_service;  // else: unregister `full_name`
    std::string full_name;
  };

  void run();
  void follow_network();
  void answer(std::span<const uint8_t> datagram, const Ipv4Endpoint& source);
  void send_multicast(const std::vector<uint8_t>& bytes);
  void start_announcements();

  MdnsSocket socket_;                          // responder thread only
  std::unique_ptr<ResponderWakeups> wakeups_;  // waited on by the responder thread only
  NetworkView view_;                           // responder thread only
  AddressesChanged on_change_;                 // responder thread only
  std::optional<ServiceRecord> service_;       // responder thread only
  int announcements_left_ = 0;                 // responder thread only
  std::chrono::steady_clock::time_point next_announcement_{};  // responder thread only
  mutable std::mutex mutex_;
  std::vector<Ipv4Address> usable_;             // guarded by mutex_
  std::optional<std::string> registered_name_;  // guarded by mutex_
  std::deque<Command> commands_;                // guarded by mutex_
  bool stopping_ = false;                       // guarded by mutex_
  std::thread thread_;
};

}  // namespace brindle
