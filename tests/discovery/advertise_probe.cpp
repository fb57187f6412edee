// Advertises like the receiver, holds the advertisement for a while, then releases it, so an
// end-to-end test can watch the announcements and the goodbye on the wire.
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "discovery/advertisement.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  const int hold_ms = argc > 1 ? std::atoi(argv[1]) : 3000;
  std::optional<brindle::MdnsAdvertisement> advertisement = brindle::advertise_mdns(
      brindle::AdvertisementNotices{[](const std::string&) {},
                                    [](const std::string& error) {
                                      brindle::console::write_err("failed: " + error + "\n");
                                    }});
  if (!advertisement || advertisement->full_name().empty()) return 1;
  brindle::console::write_out("advertised " + advertisement->instance_name() + " " +
                              advertisement->full_name() + "\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
  advertisement.reset();
  brindle::console::write_out("released\n");
  return 0;
}
