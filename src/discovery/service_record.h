// The one DNS-SD service a responder publishes: what it is called, where it lives, and the
// checks a record passes before it is built and before it is registered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/ipv4.h"
#include "platform/result.h"

namespace brindle {

struct ServiceRecord {
  std::string service_type;            // "_brindle._udp.local."
  std::string instance_name;           // one label, e.g. "DESKTOP-AB12"
  std::string host_name;               // "DESKTOP-AB12.local."
  std::vector<Ipv4Address> addresses;  // no duplicates
  uint16_t port = 0;

  // instance, ".", service type: "DESKTOP-AB12._brindle._udp.local."
  std::string full_name() const;
};

// Builds the record from an address text of dotted quads joined by "," (pieces trimmed of
// spaces and tabs, duplicates collapsed, first occurrence kept). The error text is one line.
Result<ServiceRecord> make_service_record(std::string_view service_type,
                                          std::string_view instance_name,
                                          std::string_view host_name, std::string_view addresses,
                                          uint16_t port);

// The name limits of DNS, checked when a record is registered.
Status check_registrable(const ServiceRecord& record);

}  // namespace brindle
