#include "discovery/advertisement.h"

#include <mutex>
#include <vector>

#include "discovery/interface_addresses.h"
#include "discovery/machine_label.h"
#include "discovery/mdns_responder.h"
#include "discovery/service_record.h"

namespace brindle {

// Shared by the main thread and the responder's change reports.
struct AdvertisementState {
  AdvertisementState(AdvertisementNotices n, std::string l)
      : notices(std::move(n)), label(std::move(l)) {}

  // Registers with these addresses unless already registered; the error is the one to report.
  Status try_register(MdnsResponder& responder, const std::vector<Ipv4Address>& usable) {
    if (usable.empty()) return make_error(NO_ADDRESS);
    auto record = make_service_record(SERVICE_TYPE, label, label + ".local.",
                                      join_addresses(usable), ADVERTISED_PORT);
    if (!record) return make_error("service info: " + record.error());
    std::string name = record->full_name();
    if (auto done = responder.register_service(std::move(record).value()); !done) {
      return make_error("mDNS register: " + done.error());
    }
    full_name = std::move(name);
    registered = true;
    return {};
  }

  // A later address set: the responder follows it once registered; until then each new set is
  // one attempt, reported once.
  void addresses_changed(MdnsResponder& responder, const std::vector<Ipv4Address>& usable) {
    const std::lock_guard lock(mutex);
    if (!started || registered || usable.empty()) return;
    if (const Status done = try_register(responder, usable); !done) {
      notices.failed(done.error());
    } else {
      notices.advertised(label);
    }
  }

  // The responder took another name after a conflict; it is reported like the first.
  void renamed(const std::string& instance) {
    const std::lock_guard lock(mutex);
    current = instance;
    if (started) notices.advertised(instance);
  }

  std::mutex mutex;
  AdvertisementNotices notices;
  const std::string label;
  std::string current = label;  // guarded by mutex: the name in use
  std::string full_name;        // guarded by mutex
  bool started = false;         // guarded by mutex: the start-up outcome was reported
  bool registered = false;      // guarded by mutex
};

MdnsAdvertisement::MdnsAdvertisement(std::unique_ptr<AdvertisementState> state,
                                     std::unique_ptr<MdnsResponder> responder)
    : state_(std::move(state)), responder_(std::move(responder)) {}

MdnsAdvertisement::MdnsAdvertisement(MdnsAdvertisement&&) noexcept = default;

MdnsAdvertisement& MdnsAdvertisement::operator=(MdnsAdvertisement&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
    responder_ = std::move(other.responder_);
  }
  return *this;
}

MdnsAdvertisement::~MdnsAdvertisement() {
  release();
}

std::string MdnsAdvertisement::full_name() const {
  const std::lock_guard lock(state_->mutex);
  return state_->full_name;
}

std::string MdnsAdvertisement::instance_name() const {
  const std::lock_guard lock(state_->mutex);
  return state_->current;
}

void MdnsAdvertisement::release() {
  if (!responder_) return;
  {
    const std::lock_guard lock(state_->mutex);
    // The goodbye is queued, not awaited; a refusal leaves nothing to do.
    if (state_->registered) (void)responder_->unregister(state_->full_name);
    state_->registered = false;
    // No late registration while the responder winds down.
    state_->started = false;
  }
  // The responder goes first: its thread reports into the state.
  responder_.reset();
  state_.reset();
}

std::optional<MdnsAdvertisement> advertise_mdns(AdvertisementNotices notices) {
  const MachineNameSources sources = read_machine_name_sources();
  auto state = std::make_unique<AdvertisementState>(
      std::move(notices), machine_label(sources.computer_name, sources.host_name));
  AdvertisementState* const shared = state.get();

  // The responder comes first so that its failure shows even without a usable address.
  auto responder = MdnsResponder::create(
      [shared](MdnsResponder& r, const std::vector<Ipv4Address>& usable) {
        shared->addresses_changed(r, usable);
      },
      [shared](const std::string& instance) { shared->renamed(instance); });
  if (!responder) {
    shared->notices.failed("mDNS daemon: " + responder.error());
    return std::nullopt;
  }

  const std::lock_guard lock(shared->mutex);
  shared->started = true;
  // The responder's own view, which a change report may already have brought up to date.
  if (const Status done = shared->try_register(**responder, (*responder)->usable_addresses());
      !done) {
    shared->notices.failed(done.error());
    // Only a missing address is worth waiting for; a bad name stays bad.
    if (done.error() != NO_ADDRESS) {
      shared->started = false;
      return std::nullopt;
    }
  } else {
    shared->notices.advertised(shared->label);
  }
  return MdnsAdvertisement(std::move(state), std::move(responder).value());
}

}  // namespace brindle
