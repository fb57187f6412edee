#include "main/status_line.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brindle {
namespace {

std::string cells(int filled) {
  std::string bar = "[";
  for (int i = 0; i < METER_CELLS; ++i) bar += i < filled ? "#" : "\u00b7";
  return bar + "]";
}

SocketAddress mapped_v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  SocketAddress address;
  address.is_v6 = true;
  address.ip = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d};
  address.port = port;
  return address;
}

struct BarCase {
  float level;
  int filled;
};

class MeterBarTest : public ::testing::TestWithParam<BarCase> {};

TEST_P(MeterBarTest, DrawsNearestCellCountHalvesUp) {
  EXPECT_EQ(meter_bar(GetParam().level), cells(GetParam().filled));
}

INSTANTIATE_TEST_SUITE_P(Levels, MeterBarTest,
                         ::testing::Values(BarCase{0.0f, 0}, BarCase{0.5f, 10}, BarCase{0.125f, 3},
                                           BarCase{0.1f, 2}, BarCase{1.0f, 20}, BarCase{0.024f, 0},
                                           BarCase{0.026f, 1}, BarCase{0.975f, 20},
                                           BarCase{1.5f, 20}, BarCase{-0.3f, 0},
                                           BarCase{std::numeric_limits<float>::infinity(), 20},
                                           BarCase{-std::numeric_limits<float>::infinity(), 0},
                                           BarCase{std::numeric_limits<float>::quiet_NaN(), 0}));

TEST(MeterBar, IsAlwaysTwentyCellsWide) {
  for (int i = 0; i <= 40; ++i) {
    const std::string bar = meter_bar(static_cast<float>(i) / 40.0f);
    // '[' + ']' + n one-byte '#' + (20 - n) two-byte middle dots.
    const auto hashes = std::count(bar.begin(), bar.end(), '#');
    EXPECT_EQ(bar.size(), 2 + hashes + 2 * (METER_CELLS - hashes)) << bar;
  }
}

TEST(StatusLine, WaitingBeforeAnyDatagram) {
  StatusLoopState state;
  EXPECT_EQ(
      format_status_line(state, StatusFigures{}),
      "[  waiting] phone=\u2014  rx=0 (+0)  lost=0  fill=0ms  under=0  " + cells(0) + " 0.00\n");
}

TEST(StatusLine, StreamingExample) {
  StatusLoopState state{.previous_packets = 1400, .meter = 0.0f};
  StatusFigures figures{.packets = 1500,
                        .lost = 0,
                        .peak = 0.4f,
                        .sender = mapped_v4(192, 168, 1, 20, 50412),
                        .fill_ms = 41.2,
                        .underruns = 3};
  EXPECT_EQ(format_status_line(state, figures),
            "[streaming] phone=[::ffff:192.168.1.20]:50412  rx=1500 (+100)  lost=0  fill=41ms  "
            "under=3  [########\u00b7\u00b7\u00b7\u00b7\u00b7\u00b7\u00b7\u00b7\u00b7\u00b7\u00b7"
            "\u00b7] 0.40\n");
  EXPECT_EQ(state.previous_packets, 1500u);
  EXPECT_FLOAT_EQ(state.meter, 0.4f);
}

TEST(StatusLine, FieldsRoundAndPlainIntegers) {
  StatusLoopState state;
  SocketAddress v4;
  v4.ip = {10, 0, 0, 7};
  v4.port = 9;
  StatusFigures figures{.packets = 12345678901234ull,
                        .lost = 4294967296ull,
                        .peak = 0.996f,
                        .sender = v4,
                        .fill_ms = 119.6,
                        .underruns = 18446744073709551615ull};
  EXPECT_EQ(format_status_line(state, figures),
            "[streaming] phone=10.0.0.7:9  rx=12345678901234 (+12345678901234)  lost=4294967296  "
            "fill=120ms  under=18446744073709551615  " +
                cells(20) + " 1.00\n");
}

// One step of the loop: figures in, meter and the line's state and bar out.
struct Step {
  uint64_t packets;
  float peak;
  const char* state;
  float meter;
  int cells;
};

struct SequenceCase {
  const char* name;
  std::vector<Step> steps;
};

class StatusSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(StatusSequenceTest, StateAndMeterFollowTheFigures) {
  StatusLoopState state;
  uint64_t previous = 0;
  for (size_t i = 0; i < GetParam().steps.size(); ++i) {
    const Step& step = GetParam().steps[i];
    StatusFigures figures;
    figures.packets = step.packets;
    figures.peak = step.peak;
    const std::string line = format_status_line(state, figures);
    SCOPED_TRACE(testing::Message() << "line " << i << ": " << line);
    EXPECT_EQ(line.substr(0, 11), std::string("[") + step.state + "]");
    EXPECT_NE(line.find(" (+" + std::to_string(step.packets - previous) + ")"), std::string::npos);
    EXPECT_NE(line.find("  " + cells(step.cells) + " "), std::string::npos);
    EXPECT_EQ(state.meter, step.meter);  // exact: the decay is specified in 32-bit floats
    previous = step.packets;
  }
}

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Sequences, StatusSequenceTest,
    ::testing::Values(
        SequenceCase{"SteadyHalfPeak",
                     {{100, 0.5f, "streaming", 0.5f, 10}, {200, 0.5f, "streaming", 0.5f, 10}}},
        SequenceCase{"IdleHalvesTheLastPeak",
                     {{100, 0.8f, "streaming", 0.8f, 16},
                      {100, 0.8f, "     idle", 0.8f * 0.5f, 8},
                      {100, 0.8f, "     idle", 0.8f * 0.5f, 8}}},
        SequenceCase{"SilentDatagramsLetTheMeterDecay",
                     {{10, 0.9f, "streaming", 0.9f, 18},
                      {20, 0.0f, "streaming", 0.9f * 0.6f, 11},
                      {20, 0.0f, "     idle", 0.9f * 0.6f * 0.6f * 0.5f, 3}}},
        SequenceCase{"DecayWinsOverSmallerPeak",
                     {{5, 1.0f, "streaming", 1.0f, 20}, {9, 0.1f, "streaming", 0.6f, 12}}},
        SequenceCase{"NaNPeakOnlyDecays",
                     {{5, 0.5f, "streaming", 0.5f, 10},
                      {6, NaN, "streaming", 0.5f * 0.6f, 6},
                      {6, NaN, "     idle", 0.5f * 0.6f * 0.6f * 0.5f, 2}}},
        SequenceCase{"WaitingNeverMovesTheMeter",
                     {{0, 0.0f, "  waiting", 0.0f, 0}, {0, 0.0f, "  waiting", 0.0f, 0}}}),
    [](const auto& info) { return info.param.name; });

TEST(StatusLine, NaNPeakNeverRaisesTheMeter) {
  StatusLoopState state;
  StatusFigures figures;
  figures.packets = 1;
  figures.peak = NaN;
  const std::string line = format_status_line(state, figures);
  EXPECT_EQ(state.meter, 0.0f);
  EXPECT_NE(line.find(cells(0)), std::string::npos);
}

}  // namespace
}  // namespace brindle
