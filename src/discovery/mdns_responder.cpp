#include "discovery/mdns_responder.h"

#include <algorithm>
#include <array>
#include <system_error>

#include "discovery/dns_message.h"
#include "discovery/interface_addresses.h"
#include "discovery/mdns_replies.h"

namespace brindle {
namespace {

constexpr int ANNOUNCEMENTS = 2;
constexpr auto ANNOUNCE_INTERVAL = std::chrono::seconds(1);
// How long the thread may sleep in the socket before it looks at its commands again.
constexpr auto COMMAND_LATENCY = std::chrono::milliseconds(100);

bool same_full_name(const std::string& a, const std::string& b) {
  return dns::same_name(dns::name_from_text(a), dns::name_from_text(b));
}

}  // namespace

Result<std::unique_ptr<MdnsResponder>> MdnsResponder::create() {
  auto socket = MdnsSocket::open();
  if (!socket) return make_error(socket.error());
  // A failed listing leaves the responder without interfaces; the caller's own address check
  // reports that situation in its words.
  const auto entries = list_interface_addresses();
  std::vector<Ipv4Address> joined;
  if (entries) {
    for (const auto& address : multicast_interface_addresses(entries.value())) {
      // An interface that is down or cannot multicast just stays out.
      if (socket->join_group(address)) joined.push_back(address);
    }
  }
  try {
    return std::make_unique<MdnsResponder>(Passkey{}, std::move(socket).value(), std::move(joined));
  } catch (const std::system_error& e) {
    return make_error(e.what());
  }
}

MdnsResponder::MdnsResponder(Passkey, MdnsSocket socket, std::vector<Ipv4Address> interfaces)
    : socket_(std::move(socket)), interfaces_(std::move(interfaces)) {
  thread_ = std::thread([this] { run(); });
}

MdnsResponder::~MdnsResponder() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (thread_.joinable()) thread_.join();
}

Status MdnsResponder::register_service(ServiceRecord service) {
  if (auto checked = check_registrable(service); !checked) return checked;
  const std::lock_guard lock(mutex_);
  if (stopping_) return make_error("responder is shutting down");
  if (registered_name_) return make_error("a service is already registered");
  registered_name_ = service.full_name();
  commands_.push_back(Command{std::move(service), {}});
  return {};
}

Status MdnsResponder::unregister(const std::string& full_name) {
  const std::lock_guard lock(mutex_);
  if (stopping_) return make_error("responder is shutting down");
  if (!registered_name_ || !same_full_name(*registered_name_, full_name)) {
    return make_error("service is not registered");
  }
  registered_name_.reset();
  commands_.push_back(Command{std::nullopt, full_name});
  return {};
}

void MdnsResponder::send_multicast(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  for (const auto& address : interfaces_) {
    // A failed send on one interface must not keep the others silent.
    (void)socket_.send_multicast(address, bytes);
  }
}

void MdnsResponder::run() {
  using Clock = std::chrono::steady_clock;
  std::array<uint8_t, dns::MAX_MESSAGE_BYTES> buffer{};
  int announcements_left = 0;
  Clock::time_point next_announcement{};
  for (;;) {
    std::deque<Command> commands;
    bool stopping = false;
    {
      const std::lock_guard lock(mutex_);
      commands.swap(commands_);
      stopping = stopping_;
    }
    for (auto& command : commands) {
      if (command.register_service) {
        service_ = std::move(command.register_service);
        announcements_left = ANNOUNCEMENTS;
        next_announcement = Clock::now();
      } else if (service_ && same_full_name(service_->full_name(), command.full_name)) {
        send_multicast(goodbye_message(*service_));
        service_.reset();
        announcements_left = 0;
      }
    }
    if (stopping) return;

    if (service_ && announcements_left > 0 && Clock::now() >= next_announcement) {
      send_multicast(announcement_message(*service_));
      --announcements_left;
      next_announcement += ANNOUNCE_INTERVAL;
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(COMMAND_LATENCY);
    if (announcements_left > 0) {
      const auto until =
          std::chrono::duration_cast<std::chrono::milliseconds>(next_announcement - Clock::now());
      wait = std::clamp(until, std::chrono::milliseconds(0), wait);
    }
    const auto received = socket_.receive(buffer, wait);
    if (received.status == MdnsSocket::ReceiveStatus::FAILED) {
      // Transient socket errors (an ICMP report, for one) must not spin the thread.
      std::this_thread::sleep_for(COMMAND_LATENCY);
      continue;
    }
    if (received.status != MdnsSocket::ReceiveStatus::DATAGRAM || received.truncated || !service_) {
      continue;
    }
    const std::span<const uint8_t> datagram(buffer.data(), received.length);
    for (const auto& reply : replies_to_datagram(*service_, datagram, received.source)) {
      if (reply.multicast) {
        send_multicast(reply.bytes);
      } else {
        (void)socket_.send_to(reply.destination, reply.bytes);
      }
    }
  }
}

}  // namespace brindle
