// The one responder this host gets: the service is published through the system's responder
// where one answers (Avahi on Linux) and through our own everywhere else.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "discovery/advertisement.h"
#include "discovery/system_publication.h"

namespace brindle {

class ServiceAdvertisement {
 public:
  explicit ServiceAdvertisement(std::unique_ptr<SystemPublication> system);
  explicit ServiceAdvertisement(MdnsAdvertisement own);
  ServiceAdvertisement(const ServiceAdvertisement&) = delete;
  ServiceAdvertisement& operator=(const ServiceAdvertisement&) = delete;
  ~ServiceAdvertisement();

  // Any thread, any number of times: the goodbyes go out on every link, then the responder (or
  // our hold on the system's) is released.
  void withdraw();

 private:
  std::mutex mutex_;
  std::unique_ptr<SystemPublication> system_;  // guarded by mutex_
  std::optional<MdnsAdvertisement> own_;       // guarded by mutex_
};

// Main thread, once per run. The start-up outcome goes to `notices` as from advertise_mdns;
// null when discovery cannot work at all.
std::shared_ptr<ServiceAdvertisement> advertise_service(AdvertisementNotices notices);

}  // namespace brindle
