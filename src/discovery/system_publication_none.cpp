#include "discovery/system_publication.h"

namespace brindle {

// No system responder to publish through here: ours always serves.
SystemOutcome publish_through_system(const std::string&, AdvertisementNotices) {
  return {};
}

}  // namespace brindle
