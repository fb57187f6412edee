// A compact mDNS/DNS-SD responder for one service: announces it, answers queries for it on
// every usable IPv4 interface and says goodbye when it is withdrawn.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/ipv4.h"
#include "discovery/mdns_socket.h"
#include "discovery/service_record.h"
#include "platform/result.h"

namespace brindle {

// Public methods may be called from any thread; the sockets and the registered service belong
// to the responder's own thread. Commands are queued: their effect on the network comes later.
class MdnsResponder {
  struct Passkey {};

 public:
  // Binds the socket, joins the group on every usable IPv4 interface and starts the thread.
  // Does not wait for any traffic. The error is the cause alone, one line.
  static Result<std::unique_ptr<MdnsResponder>> create();

  MdnsResponder(Passkey, MdnsSocket socket, std::vector<Ipv4Address> interfaces);
  MdnsResponder(const MdnsResponder&) = delete;
  MdnsResponder& operator=(const MdnsResponder&) = delete;
  // Sends whatever is still queued (a goodbye included), then ends the thread.
  ~MdnsResponder();

  // Checks the names and queues the service; it is announced twice, one second apart, and
  // answered for until it is unregistered. One service per responder.
  Status register_service(ServiceRecord service);

  // Queues the withdrawal of the service with this full name (a goodbye with TTL 0).
  Status unregister(const std::string& full_name);

 private:
  struct Command {
    std::optional<ServiceRecord> register_service;  // else: unregister `full_name`
    std::string full_name;
  };

  void run();
  void send_multicast(const std::vector<uint8_t>& bytes);

  MdnsSocket socket_;                           // responder thread only
  std::vector<Ipv4Address> interfaces_;         // one address per joined interface; immutable
  std::optional<ServiceRecord> service_;        // responder thread only
  std::optional<std::string> registered_name_;  // guarded by mutex_
  std::mutex mutex_;
  std::deque<Command> commands_;  // guarded by mutex_
  bool stopping_ = false;         // guarded by mutex_
  std::thread thread_;
};

}  // namespace brindle
