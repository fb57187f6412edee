#include "discovery/advertisement.h"

#include "discovery/interface_addresses.h"
#include "discovery/machine_label.h"
#include "discovery/mdns_responder.h"
#include "discovery/service_record.h"

namespace brindle {

MdnsAdvertisement::MdnsAdvertisement(std::string full_name, std::string instance_name,
                                     std::unique_ptr<MdnsResponder> responder)
    : full_name_(std::move(full_name)),
      instance_name_(std::move(instance_name)),
      responder_(std::move(responder)) {}

MdnsAdvertisement::MdnsAdvertisement(MdnsAdvertisement&&) noexcept = default;

MdnsAdvertisement& MdnsAdvertisement::operator=(MdnsAdvertisement&& other) noexcept {
  if (this != &other) {
    release();
    full_name_ = std::move(other.full_name_);
    instance_name_ = std::move(other.instance_name_);
    responder_ = std::move(other.responder_);
  }
  return *this;
}

MdnsAdvertisement::~MdnsAdvertisement() {
  release();
}

void MdnsAdvertisement::release() {
  if (!responder_) return;
  // The goodbye is queued, not awaited; a refusal leaves nothing to do.
  (void)responder_->unregister(full_name_);
  responder_.reset();
}

Result<MdnsAdvertisement> advertise_mdns() {
  // The responder comes first so that its failure shows even without a usable address.
  auto responder = MdnsResponder::create();
  if (!responder) return make_error("mDNS daemon: " + responder.error());

  const MachineNameSources sources = read_machine_name_sources();
  const std::string label = machine_label(sources.computer_name, sources.host_name);
  const std::string host_name = label + ".local.";

  // A failed listing counts as an empty one.
  const auto entries = list_interface_addresses();
  const std::vector<Ipv4Address> addresses =
      entries ? filter_lan_ipv4(entries.value()) : std::vector<Ipv4Address>{};
  if (addresses.empty()) {
    return make_error("no usable IPv4 LAN address to advertise (is the network up?)");
  }

  auto record = make_service_record(SERVICE_TYPE, label, host_name, join_addresses(addresses),
                                    ADVERTISED_PORT);
  if (!record) return make_error("service info: " + record.error());
  std::string full_name = record->full_name();
  if (auto registered = (*responder)->register_service(std::move(record).value()); !registered) {
    return make_error("mDNS register: " + registered.error());
  }
  return MdnsAdvertisement(std::move(full_name), label, std::move(responder).value());
}

}  // namespace brindle
