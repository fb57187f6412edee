#include "discovery/mdns_responder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <random>
#include <system_error>

#include "discovery/debounce.h"
#include "discovery/direct_query.h"
#include "discovery/dns_message.h"
#include "discovery/interface_addresses.h"
#include "discovery/mdns_replies.h"
#include "discovery/name_claim.h"
#include "discovery/query_answers.h"

namespace brindle {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int ANNOUNCEMENTS = 2;
constexpr auto ANNOUNCE_INTERVAL = std::chrono::seconds(1);
// After a socket error the socket rests this long, so a repeating error cannot spin the thread.
constexpr auto SOCKET_REST = std::chrono::milliseconds(100);
// Datagrams handled per wake-up before commands get their turn again.
constexpr int DATAGRAMS_PER_WAKE = 64;
// Hosts started together spread their first probes over this (RFC 6762 section 8.1).
constexpr int FIRST_PROBE_SPREAD_MS = 250;

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
MulticastInterface by_index_only(MulticastInterface iface) {
  if (iface.index != 0) iface.address = {};
  return iface;
}

void send_all(MdnsSocket& socket, const MulticastInterface& iface, const Messages& messages) {
  for (const auto& bytes : messages) {
    // A failed send (the interface going away, a full buffer) must not stop the rest.
    (void)socket.send_multicast(iface, bytes);
  }
}

// A socket that hears the group on this interface only and wakes the responder thread.
Result<MdnsSocket> open_link_socket(const MulticastInterface& iface, ResponderWakeups& wakeups) {
  auto socket = MdnsSocket::open();
  if (!socket) return socket;
  if (auto joined = socket->join_group(iface); !joined) return make_error(joined.error());
  if (auto watched = wakeups.watch(socket.value()); !watched) return make_error(watched.error());
  return socket;
}

// Gives every link of `view` a socket, reusing those of `before` (which are used up); links
// that cannot have one (down, no multicast) are dropped from the view. Sockets of links that
// are gone close first, so their memberships are free before new ones are taken.
std::vector<MdnsResponder::LinkSocket> give_sockets(NetworkView& view, const NetworkView& before,
                                                    std::vector<MdnsResponder::LinkSocket> old,
                                                    ResponderWakeups& wakeups) {
  std::vector<std::optional<MdnsResponder::LinkSocket>> slots(view.links.size());
  for (size_t i = 0; i < before.links.size(); ++i) {
    const LinkView* kept = find_link(view.links, before.links[i].iface);
    if (kept == nullptr) {
      (void)old[i].socket.leave_group(before.links[i].iface);
      continue;
    }
    // A system that tied the membership to the old address may have dropped it; a membership
    // that is still there just refuses the second join.
    if (kept->iface.address != before.links[i].iface.address) {
      (void)old[i].socket.join_group(kept->iface);
    }
    slots[static_cast<size_t>(kept - view.links.data())] = std::move(old[i]);
  }
  old.clear();
  std::vector<MdnsResponder::LinkSocket> sockets;
  std::vector<LinkView> links;
  for (size_t i = 0; i < view.links.size(); ++i) {
    if (!slots[i]) {
      auto opened = open_link_socket(view.links[i].iface, wakeups);
      if (!opened) continue;
      slots[i] = MdnsResponder::LinkSocket{std::move(opened).value(), {}};
    }
    sockets.push_back(std::move(*slots[i]));
    links.push_back(std::move(view.links[i]));
  }
  view.links = std::move(links);
  return sockets;
}

}  // namespace

Result<std::unique_ptr<MdnsResponder>> MdnsResponder::create(AddressesChanged on_change,
                                                             Renamed on_renamed) {
  // Opened first: a port that another program holds alone is reported even without a link.
  auto unicast = MdnsSocket::open();
  if (!unicast) return make_error(unicast.error());
  // Watching starts before the first look, so no change falls between the two.
  auto wakeups = ResponderWakeups::create();
  if (!wakeups) return make_error(wakeups.error());
  if (auto watched = (*wakeups)->watch(unicast.value()); !watched) {
    return make_error(watched.error());
  }
  // A failed listing leaves the responder without interfaces; the caller's own address check
  // reports that situation in its words.
  const auto entries = list_interface_addresses();
  NetworkView view = entries ? network_view(entries.value()) : NetworkView{};
  auto links = give_sockets(view, {}, {}, **wakeups);
  try {
    return std::make_unique<MdnsResponder>(
        Passkey{}, std::move(unicast).value(), std::move(wakeups).value(), std::move(view),
        std::move(links), std::move(on_change), std::move(on_renamed));
  } catch (const std::system_error& e) {
    return make_error(e.what());
  }
}

MdnsResponder::MdnsResponder(Passkey, MdnsSocket unicast, std::unique_ptr<ResponderWakeups> wakeups,
                             NetworkView view, std::vector<LinkSocket> links,
                             AddressesChanged on_change, Renamed on_renamed)
    : wakeups_(std::move(wakeups)),
      unicast_(std::move(unicast)),
      view_(std::move(view)),
      links_(std::move(links)),
      on_change_(std::move(on_change)),
      on_renamed_(std::move(on_renamed)),
      random_(std::random_device{}()),
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

ServiceRecord MdnsResponder::service_on(const LinkView& link) const {
  return service_on_link(*service_, link);
}

size_t MdnsResponder::position_of(const LinkView& link) const {
  return static_cast<size_t>(&link - view_.links.data());
}

void MdnsResponder::announce() {
  const auto now = Clock::now();
  for (size_t i = 0; i < view_.links.size(); ++i) {
    send_all(links_[i].socket, view_.links[i].iface,
             announcement_messages(service_on(view_.links[i]), &links_[i].limiter, now));
  }
}

void MdnsResponder::say_goodbye() {
  for (size_t i = 0; i < view_.links.size(); ++i) {
    send_all(links_[i].socket, view_.links[i].iface, goodbye_messages(service_on(view_.links[i])));
  }
}

void MdnsResponder::send_owed(Clock::time_point now) {
  for (size_t i = 0; i < links_.size(); ++i) {
    MulticastLimiter& limiter = links_[i].limiter;
    const auto due = limiter.owed_due();
    if (!due || now < *due) continue;
    // Withdrawn or without an address, the service owes nothing; a due debt must not stay due.
    if (!service_ || view_.usable.empty()) {
      (void)limiter.take_owed();
      continue;
    }
    send_all(links_[i].socket, view_.links[i].iface,
             owed_messages(service_on(view_.links[i]), limiter, now));
  }
}

void MdnsResponder::start_announcements() {
  if (!service_ || view_.usable.empty() || !claim_.owned()) {
    announcements_left_ = 0;
    return;
  }
  announcements_left_ = ANNOUNCEMENTS;
  next_announcement_ = Clock::now();
}

void MdnsResponder::claim_step(Clock::time_point now) {
  switch (claim_.step(now)) {
    case NameClaim::Step::WAIT:
      return;
    case NameClaim::Step::PROBE:
      for (size_t i = 0; i < view_.links.size(); ++i) {
        if (const auto probe = probe_message(unique_records(service_on(view_.links[i])))) {
          send_all(links_[i].socket, view_.links[i].iface, {*probe});
        }
      }
      return;
    case NameClaim::Step::WON:
      start_announcements();
      if (service_->full_name() != registered_as_ && on_renamed_) {
        on_renamed_(service_->instance_name);
      }
      return;
  }
}

void MdnsResponder::take_next_name(Clock::time_point now) {
  // Announced records under the old name are ours to withdraw; the name itself is not.
  if (claim_.owned()) say_goodbye();
  claim_.conflict(now);
  service_->instance_name = claim_.name();
  service_->host_name = claim_.name() + ".local.";
  announcements_left_ = 0;
}

bool MdnsResponder::judge(std::span<const uint8_t> datagram, const Ipv4Endpoint& source,
                          const LinkView* link) {
  // What we sent ourselves comes back over the loop.
  if (std::find(view_.usable.begin(), view_.usable.end(), source.address) != view_.usable.end()) {
    return false;
  }
  const auto message = dns::decode_message(datagram);
  if (!message) return false;
  const ServiceRecord ours = link != nullptr ? service_on(*link) : *service_;
  const auto now = Clock::now();
  switch (judge_message(message.value(), unique_records(ours), !claim_.owned())) {
    case ClaimVerdict::NONE:
      return false;
    case ClaimVerdict::CONFLICT:
      take_next_name(now);
      return true;
    case ClaimVerdict::LOST_TIE:
      claim_.lost_tie(now);
      return true;
  }
  return false;
}

void MdnsResponder::follow_network() {
  const auto entries = list_interface_addresses();
  // A failed listing changes nothing; the next report looks again.
  if (!entries) return;
  NetworkView next = network_view(entries.value());
  // Goodbyes go first, out of the link that carried each address, while its socket is open.
  if (service_) {
    for (size_t i = 0; i < view_.links.size(); ++i) {
      const LinkView& old = view_.links[i];
      const LinkView* now = find_link(next.links, old.iface);
      Messages bye;
      if (next.usable.empty()) {
        // Nothing is left to advertise: withdraw the service wherever a link still carries it.
        bye = goodbye_messages(service_on(old));
      } else {
        std::vector<Ipv4Address> gone;
        for (const auto& a : old.addresses) {
          if (now == nullptr ||
              std::find(now->addresses.begin(), now->addresses.end(), a) == now->addresses.end()) {
            gone.push_back(a);
          }
        }
        bye = address_goodbye_messages(service_on(old), gone);
      }
      send_all(links_[i].socket, now != nullptr ? now->iface : by_index_only(old.iface), bye);
    }
  }
  links_ = give_sockets(next, view_, std::move(links_), *wakeups_);
  const NetworkChange change = compare_views(view_, next);
  view_ = std::move(next);
  if (!change.usable_changed && !change.links_changed) return;
  if (change.usable_changed) {
    const std::lock_guard lock(mutex_);
    usable_ = view_.usable;
  }
  if (service_) {
    service_->addresses = view_.usable;
    start_announcements();
  }
  if (change.usable_changed && on_change_) on_change_(*this, view_.usable);
}

void MdnsResponder::answer(std::span<const uint8_t> datagram, const Ipv4Endpoint& source,
                           uint32_t arrival_index, bool direct) {
  // Silent without an address, and to anyone beyond the local link (RFC 6762 section 11).
  if (!service_ || view_.usable.empty() || !is_on_link(source.address, view_.subnets)) return;
  const auto now = Clock::now();
  const LinkView* group = multicast_link(view_.links, arrival_index, source.address);
  const LinkView* querier = unicast_link(view_.links, arrival_index, source.address);
  // Names still being claimed are not ours to answer for.
  if (judge(datagram, source, group != nullptr ? group : querier) || !claim_.owned()) return;
  LinkSocket* link = group != nullptr ? &links_[position_of(*group)] : nullptr;
  const auto delay = std::chrono::milliseconds(std::uniform_int_distribution(20, 120)(random_));
  send_answers(*service_, Query{datagram, source, direct, now, delay},
               AnswerOutlets{group, link != nullptr ? &link->socket : nullptr,
                             link != nullptr ? &link->limiter : nullptr, querier, &unicast_,
                             &unicast_limiter_});
}

bool MdnsResponder::receive(size_t position, std::span<uint8_t> buffer) {
  MdnsSocket& socket = position == 0 ? unicast_ : links_[position - 1].socket;
  // A link's socket hears the group on its own interface only.
  const uint32_t own_index = position == 0 ? 0 : view_.links[position - 1].iface.index;
  for (int i = 0; i < DATAGRAMS_PER_WAKE; ++i) {
    const auto received = socket.try_receive(buffer);
    if (received.status == MdnsSocket::ReceiveStatus::NOTHING) return true;
    if (received.status == MdnsSocket::ReceiveStatus::FAILED) return false;
    if (received.truncated) continue;
    const uint32_t arrival = received.arrival_index != 0 ? received.arrival_index : own_index;
    answer(buffer.first(received.length), received.source, arrival,
           is_direct_query(received.destination));
  }
  return true;
}

void MdnsResponder::run() {
  std::array<uint8_t, dns::MAX_MESSAGE_BYTES> buffer{};
  Debounce changes = network_change_debounce();
  std::optional<Clock::time_point> socket_rests_until;
  std::vector<MdnsSocket::Handle> handles;
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
        registered_as_ = service_->full_name();
        claim_ = NameClaim(service_->instance_name);
        const int spread = std::uniform_int_distribution<int>(0, FIRST_PROBE_SPREAD_MS)(random_);
        claim_.start(Clock::now() + std::chrono::milliseconds(spread));
        announcements_left_ = 0;
      } else if (service_ && same_full_name(registered_as_, command.full_name)) {
        say_goodbye();
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
      announce();
      --announcements_left_;
      next_announcement_ += ANNOUNCE_INTERVAL;
    }
    if (service_) claim_step(now);
    send_owed(now);
    if (socket_rests_until && now >= *socket_rests_until) socket_rests_until.reset();

    std::optional<Clock::time_point> deadline = earliest(changes.due(), socket_rests_until);
    if (announcements_left_ > 0) deadline = earliest(deadline, next_announcement_);
    if (service_) deadline = earliest(deadline, claim_.due());
    for (const auto& link : links_) deadline = earliest(deadline, link.limiter.owed_due());
    handles.clear();
    if (!socket_rests_until) {
      handles.push_back(unicast_.handle());
      for (const auto& link : links_) handles.push_back(link.socket.handle());
    }
    const auto woken = wakeups_->wait(until(now, deadline), handles);
    if (woken.addresses) changes.report(Clock::now());
    for (const size_t position : woken.readable) {
      // Transient socket errors (an ICMP report, for one) must not spin the thread.
      if (!receive(position, buffer)) {
        socket_rests_until = Clock::now() + SOCKET_REST;
        break;
      }
    }
  }
}

}  // namespace brindle
