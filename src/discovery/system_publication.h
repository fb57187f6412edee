// Publishing the service through the system's own mDNS responder where one runs (Avahi on
// Linux), so that the host keeps one responder.
#pragma once

#include <memory>
#include <string>

#include "discovery/advertisement.h"

namespace brindle {

class SystemPublication {
 public:
  virtual ~SystemPublication() = default;  // withdraws the service: the system says goodbye
};

struct SystemOutcome {
  enum class Kind {
    NO_SYSTEM_RESPONDER,  // none answers, or it refused us: ours serves instead
    FAILED,               // it answered, but the service cannot be published (reported)
    PUBLISHED,            // published, or waiting for a usable address (reported)
  };
  Kind kind = Kind::NO_SYSTEM_RESPONDER;
  std::unique_ptr<SystemPublication> publication;  // PUBLISHED only
};

// Main thread, once. Reports through `notices` as advertise_mdns does, renames after a conflict
// included; republishes when the system's responder restarts and when the addresses change.
SystemOutcome publish_through_system(const std::string& label, AdvertisementNotices notices);

}  // namespace brindle
