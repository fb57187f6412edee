#include "main/wifi_scan_hold.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace brindle {
namespace {

// Connected interfaces "w1" and "w2" as a row says; writes down "+w1" for a hold taken and "-w1"
// for one given back, and refuses the interfaces a row names.
class FakeWlan final : public WlanService {
 public:
  FakeWlan(std::vector<WlanInterfaceId> connected, std::set<WlanInterfaceId> refused)
      : connected(std::move(connected)), refused_(std::move(refused)) {}
  std::vector<WlanInterfaceId> connected_interfaces() override { return connected; }
  bool hold_scans(const WlanInterfaceId& id, bool on) override {
    if (!calls.empty()) calls += ' ';
    calls += on ? '+' : '-';
    calls += id;
    return refused_.count(id) == 0;
  }
  std::vector<WlanInterfaceId> connected;
  std::string calls;

 private:
  std::set<WlanInterfaceId> refused_;
};

struct HoldCase {
  const char* name;
  std::vector<WlanInterfaceId> connected;
  std::set<WlanInterfaceId> refused;
  // p: streaming, i: idle, c: w2 connects, d: w1 disconnects, x: w1 goes away, e: the end
  std::string events;
  std::string calls;
  std::set<WlanInterfaceId> held;
};

class WifiScanHoldTable : public ::testing::TestWithParam<HoldCase> {};

TEST_P(WifiScanHoldTable, TakesAndGivesBack) {
  FakeWlan wlan(GetParam().connected, GetParam().refused);
  WifiScanHold hold(wlan);
  for (const char event : GetParam().events) {
    switch (event) {
      case 'p':
      case 'i':
        hold.stream_playing(event == 'p');
        break;
      case 'c':
        wlan.connected.push_back("w2");
        hold.interface_connected();
        break;
      case 'd':
      case 'x':
        wlan.connected.erase(std::remove(wlan.connected.begin(), wlan.connected.end(), "w1"),
                             wlan.connected.end());
        if (event == 'd') hold.interface_disconnected("w1");
        if (event == 'x') hold.interface_removed("w1");
        break;
      case 'e':
        hold.release();
        break;
    }
  }
  EXPECT_EQ(wlan.calls, GetParam().calls);
  EXPECT_EQ(hold.held(), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WifiScanHoldTable,
    ::testing::Values(
        HoldCase{"StreamingTakesEveryConnectedInterface",
                 {"w1", "w2"},
                 {},
                 "p",
                 "+w1 +w2",
                 {"w1", "w2"}},
        HoldCase{"EachStatusLineOfAStreamTakesNothingMore", {"w1"}, {}, "ppp", "+w1", {"w1"}},
        HoldCase{"IdleGivesBack", {"w1", "w2"}, {}, "pi", "+w1 +w2 -w1 -w2", {}},
        HoldCase{"NoWifiNoCalls", {}, {}, "pipe", "", {}},
        HoldCase{"RefusedIsNeitherHeldNorGivenBack", {"w1"}, {"w1"}, "pi", "+w1", {}},
        HoldCase{
            "InterfaceConnectedDuringAStreamIsTaken", {"w1"}, {}, "pc", "+w1 +w2", {"w1", "w2"}},
        HoldCase{"InterfaceConnectedWhileIdleIsLeftAlone", {"w1"}, {}, "c", "", {}},
        HoldCase{"DisconnectGivesBack", {"w1"}, {}, "pdi", "+w1 -w1", {}},
        HoldCase{"InterfaceGoneHasNothingToGiveBack", {"w1"}, {}, "pxi", "+w1", {}},
        HoldCase{"EndGivesBackAndTakesNoMore", {"w1"}, {}, "pepc", "+w1 -w1", {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
