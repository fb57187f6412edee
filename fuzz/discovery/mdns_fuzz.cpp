// Any datagram: the decoder must not crash, the responder must not crash, and every reply it
// would send must itself decode and fit one datagram.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "discovery/dns_message.h"
#include "discovery/mdns_replies.h"
#include "discovery/service_record.h"

namespace {

const brindle::ServiceRecord& service() {
  static const brindle::ServiceRecord record =
      brindle::make_service_record("_brindle._udp.local.", "Fuzz-PC", "Fuzz-PC.local.",
                                   "198.51.100.1,10.0.0.5", 45333)
          .value();
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  (void)brindle::dns::decode_message(bytes);

  // The first byte picks the source port: the mDNS port, or a legacy resolver's.
  const uint16_t port = (size > 0 && (data[0] & 1) != 0) ? brindle::MDNS_PORT : 40000;
  const brindle::Ipv4Endpoint source{{198, 51, 100, 2}, port};
  for (const auto& reply : brindle::replies_to_datagram(service(), bytes, source)) {
    if (!brindle::dns::decode_message(reply.bytes).ok()) std::abort();
    // Larger would be fragmented on the link, or not sent at all.
    if (reply.bytes.size() > brindle::MAX_REPLY_BYTES) std::abort();
  }
  return 0;
}
