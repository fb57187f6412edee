// Publishing the receiver as "_brindle._udp" over multicast DNS.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/result.h"

namespace brindle {

class MdnsResponder;
struct AdvertisementState;

inline constexpr char SERVICE_TYPE[] = "_brindle._udp.local.";
// The receiver's UDP_PORT; this library does not depend on the receiver's.
inline constexpr uint16_t ADVERTISED_PORT = 45333;
// Reported while no address is usable; the advertisement still waits for one.
inline constexpr char NO_ADDRESS[] = "no usable IPv4 LAN address to advertise (is the network up?)";

// Where the advertisement tells what became of it: during advertise_mdns on the calling thread,
// later (an address appeared, another name taken after a conflict) on the responder's or the
// system responder's thread.
struct AdvertisementNotices {
  std::function<void(const std::string& instance_name)> advertised;
  std::function<void(const std::string& error)> failed;  // the cause, one line
};

// The registered service, or one waiting for a usable address; held by the main thread for as
// long as it should stay advertised.
class MdnsAdvertisement {
 public:
  MdnsAdvertisement(std::unique_ptr<AdvertisementState> state,
                    std::unique_ptr<MdnsResponder> responder);
  MdnsAdvertisement(MdnsAdvertisement&&) noexcept;
  MdnsAdvertisement& operator=(MdnsAdvertisement&&) noexcept;
  ~MdnsAdvertisement();  // unregisters the service (goodbye), then releases the responder

  std::string full_name() const;      // as registered: what unregistering names
  std::string instance_name() const;  // the name in use, a later one after a conflict

 private:
  void release();

  std::unique_ptr<AdvertisementState> state_;
  std::unique_ptr<MdnsResponder> responder_;
};

// Creates the responder and registers the service, reporting the outcome through `notices`.
// Without a usable address it reports that and keeps watching: the service is registered, and
// reported advertised, as soon as one appears. Empty when discovery cannot work at all. Main
// thread, once per run.
std::optional<MdnsAdvertisement> advertise_mdns(AdvertisementNotices notices);

}  // namespace brindle
