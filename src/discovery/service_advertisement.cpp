#include "discovery/service_advertisement.h"

#include "discovery/machine_label.h"

namespace brindle {

ServiceAdvertisement::ServiceAdvertisement(std::unique_ptr<SystemPublication> system)
    : system_(std::move(system)) {}

ServiceAdvertisement::ServiceAdvertisement(MdnsAdvertisement own) : own_(std::move(own)) {}

ServiceAdvertisement::~ServiceAdvertisement() {
  withdraw();
}

void ServiceAdvertisement::withdraw() {
  const std::lock_guard lock(mutex_);
  system_.reset();
  own_.reset();
}

std::shared_ptr<ServiceAdvertisement> advertise_service(AdvertisementNotices notices) {
  const MachineNameSources sources = read_machine_name_sources();
  SystemOutcome system =
      publish_through_system(machine_label(sources.computer_name, sources.host_name), notices);
  switch (system.kind) {
    case SystemOutcome::Kind::PUBLISHED:
      return std::make_shared<ServiceAdvertisement>(std::move(system.publication));
    case SystemOutcome::Kind::FAILED:
      return nullptr;
    case SystemOutcome::Kind::NO_SYSTEM_RESPONDER:
      break;
  }
  std::optional<MdnsAdvertisement> own = advertise_mdns(std::move(notices));
  if (!own) return nullptr;
  return std::make_shared<ServiceAdvertisement>(std::move(*own));
}

}  // namespace brindle
