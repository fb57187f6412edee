// Publishing the receiver as "_brindle._udp" over multicast DNS.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

namespace brindle {

class MdnsResponder;

inline constexpr char SERVICE_TYPE[] = "_brindle._udp.local.";
// The receiver's UDP_PORT; this library does not depend on the receiver's.
inline constexpr uint16_t ADVERTISED_PORT = 45333;

// The registered service; held by the main thread for as long as it should stay advertised.
class MdnsAdvertisement {
 public:
  MdnsAdvertisement(std::string full_name, std::string instance_name,
                    std::unique_ptr<MdnsResponder> responder);
  MdnsAdvertisement(MdnsAdvertisement&&) noexcept;
  MdnsAdvertisement& operator=(MdnsAdvertisement&&) noexcept;
  ~MdnsAdvertisement();  // unregisters full_name (goodbye), then releases the responder

  const std::string& full_name() const { return full_name_; }
  const std::string& instance_name() const { return instance_name_; }

 private:
  void release();

  std::string full_name_;
  std::string instance_name_;
  std::unique_ptr<MdnsResponder> responder_;
};

// Creates the responder and registers the service; the error text is one line. Main thread,
// once per run.
Result<MdnsAdvertisement> advertise_mdns();

}  // namespace brindle
