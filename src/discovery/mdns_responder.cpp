#include "discovery/mdns_responder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <system_error>

#include "discovery/debounce.h"
#include "discovery/dns_message.h"
#include "discovery/interface_addresses.h"
#include "discovery/mdns_replies.h"

namespace brindle {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int ANNOUNCEMENTS = 2;
constexpr auto ANNOUNCE_INTERVAL = std::chrono::seconds(1);
// After a socket error the socket rests this long, so a repeating error cannot spin the thread.
constexpr auto SOCKET_REST = std::chrono::milliseconds(100);
// Datagrams handled per wake-up before commands get their turn again.
constexpr int DATAGRAMS_PER_WAKE = 64;

bool same_full_name(const std::string& a, const std::string& b) {
  return dns::same_name(dns::name_from_text(a), dns::name_from_text(b));
}

std::optional<std::chrono::milliseconds> until(Clock::time_point now,
                                               std::optional<Clock::time_point> deadline) {
  if (!deadline) return std::nullopt;
  // Rounded up, so the thread does not wake a moment early and sleep again for 0 ms.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
  return std::max(left, std::chrono::milliseconds(0));
}

std::optional<Clock::time_point> earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// Out of an interface whose address is gone: only its index still names it.
void send_by_index(MdnsSocket& socket, MulticastInterface iface,
                   const std::vector<uint8_t>& bytes) {
  if (iface.index == 0 || bytes.empty()) return;
  iface.address = {};
  (void)socket.send_multicast(iface, bytes);
}

}  // namespace

Result<std::unique_ptr<MdnsResponder>> MdnsResponder::create(AddressesChanged on_change) {
  auto socket = MdnsSocket::open();
  if (!socket) return make_error(socket.error());
  // Watching starts before the first look, so no change falls between the two.
  auto wakeups = ResponderWakeups::create(socket.value());
  if (!wakeups) return make_error(wakeups.error());
  // A failed listing leaves the responder without interfaces; the caller's own address check
  // reports that situation in its words.
  const auto entries = list_interface_addresses();
  NetworkView view = entries ? network_view(entries.value()) : NetworkView{};
  // An interface that is down or cannot multicast just stays out.
  std::erase_if(view.interfaces,
                [&](const MulticastInterface& i) { return !socket->join_group(i).ok(); });
  try {
    return std::make_unique<MdnsResponder>(Passkey{}, std::move(socket).value(),
                                           std::move(wakeups).value(), std::move(view),
                                           std::move(on_change));
  } catch (const std::system_error& e) {
    return make_error(e.what());
  }
}

MdnsResponder::MdnsResponder(Passkey, MdnsSocket socket, std::unique_ptr<ResponderWakeups> wakeups,
                             NetworkView view, AddressesChanged on_change)
    : socket_(std::move(socket)),
      wakeups_(std::move(wakeups)),
      view_(std::move(view)),
      on_change_(std::move(on_change)),
      usable_(view_.usable) {
  thread_ = std::thread([this] { run(); });
}

MdnsResponder::~MdnsResponder() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wakeups_->wake();
  if (thread_.joinable()) thread_.join();
}

std::vector<Ipv4Address> MdnsResponder::usable_addresses() const {
  const std::lock_guard lock(mutex_);
  return usable_;
}

Status MdnsResponder::register_service(ServiceRecord service) {
  if (auto checked = check_registrable(service); !checked) return checked;
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) return make_error("responder is shutting down");
    if (registered_name_) return make_error("a service is already registered");
    registered_name_ = service.full_name();
    commands_.push_back(Command{std::move(service), {}});
  }
  wakeups_->wake();
  return {};
}

Status MdnsResponder::unregister(const std::string& full_name) {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) return make_error("responder is shutting down");
    if (!registered_name_ || !same_full_name(*registered_name_, full_name)) {
      return make_error("service is not registered");
    }
    registered_name_.reset();
    commands_.push_back(Command{std::nullopt, full_name});
  }
  wakeups_->wake();
  return {};
}

void MdnsResponder::send_multicast(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  for (const auto& iface : view_.interfaces) {
    // A failed send on one interface must not keep the others silent.
    (void)socket_.send_multicast(iface, bytes);
  }
}

void MdnsResponder::start_announcements() {
  if (!service_ || view_.usable.empty()) {
    announcements_left_ = 0;
    return;
  }
  announcements_left_ = ANNOUNCEMENTS;
  next_announcement_ = Clock::now();
}

void MdnsResponder::follow_network() {
  const auto entries = list_interface_addresses();
  // A failed listing changes nothing; the next report looks again.
  if (!entries) return;
  NetworkView next = network_view(entries.value());
  const NetworkChange change = compare_views(view_, next);
  for (const auto& iface : change.joined) {
    if (!socket_.join_group(iface)) {
      std::erase(next.interfaces, iface);
    }
  }
  // A system that tied the membership to the old address may have dropped it; a membership that
  // is still there just refuses the second join.
  for (const auto& iface : change.readdressed) (void)socket_.join_group(iface);
  if (service_ && !change.gone.empty()) {
    if (next.usable.empty()) {
      // Nothing is left to advertise: withdraw the service wherever a link still carries it.
      const auto goodbye = goodbye_message(*service_);
      for (const auto& iface : view_.interfaces) send_by_index(socket_, iface, goodbye);
    } else {
      const auto goodbye = address_goodbye_message(*service_, change.gone);
      for (const auto& iface : next.interfaces) (void)socket_.send_multicast(iface, goodbye);
      for (const auto& iface : change.left) send_by_index(socket_, iface, goodbye);
    }
  }
  for (const auto& iface : change.left) (void)socket_.leave_group(iface);
  view_ = std::move(next);
  if (!change.usable_changed) return;
  {
    const std::lock_guard lock(mutex_);
    usable_ = view_.usable;
  }
  if (service_) {
    service_->addresses = view_.usable;
    start_announcements();
  }
  if (on_change_) on_change_(*this, view_.usable);
}

void MdnsResponder::answer(std::span<const uint8_t> datagram, const Ipv4Endpoint& source) {
  // Silent without an address, and to anyone beyond the local link (RFC 6762 section 11).
  if (!service_ || view_.usable.empty() || !is_on_link(source.address, view_.subnets)) return;
  for (const auto& reply : replies_to_datagram(*service_, datagram, source)) {
    if (reply.multicast) {
      send_multicast(reply.bytes);
    } else {
      (void)socket_.send_to(reply.destination, reply.bytes);
    }
  }
}

void MdnsResponder::run() {
  std::array<uint8_t, dns::MAX_MESSAGE_BYTES> buffer{};
  Debounce changes = network_change_debounce();
  std::optional<Clock::time_point> socket_rests_until;
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
        service_->addresses = view_.usable;
        start_announcements();
      } else if (service_ && same_full_name(service_->full_name(), command.full_name)) {
        if (!view_.usable.empty()) send_multicast(goodbye_message(*service_));
        service_.reset();
        announcements_left_ = 0;
      }
    }
    if (stopping) return;

    Clock::time_point now = Clock::now();
    if (changes.take(now)) {
      follow_network();
      now = Clock::now();
    }
    if (announcements_left_ > 0 && now >= next_announcement_) {
      send_multicast(announcement_message(*service_));
      --announcements_left_;
      next_announcement_ += ANNOUNCE_INTERVAL;
    }
    if (socket_rests_until && now >= *socket_rests_until) socket_rests_until.reset();

    std::optional<Clock::time_point> deadline = earliest(changes.due(), socket_rests_until);
    if (announcements_left_ > 0) deadline = earliest(deadline, next_announcement_);
    const auto woken = wakeups_->wait(until(now, deadline), !socket_rests_until);
    if (woken.addresses) changes.report(Clock::now());
    if (!woken.datagram) continue;
    for (int i = 0; i < DATAGRAMS_PER_WAKE; ++i) {
      const auto received = socket_.try_receive(buffer);
      if (received.status == MdnsSocket::ReceiveStatus::NOTHING) break;
      if (received.status == MdnsSocket::ReceiveStatus::FAILED) {
        // Transient socket errors (an ICMP report, for one) must not spin the thread.
        socket_rests_until = Clock::now() + SOCKET_REST;
        break;
      }
      if (received.truncated) continue;
      answer(std::span<const uint8_t>(buffer.data(), received.length), received.source);
    }
  }
}

}  // namespace brindle
