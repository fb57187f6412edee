// The pieces that shape the sent stream: datagram bytes, faults and timing.
#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "datagram.h"
#include "impairments.h"
#include "pacing.h"
#include "protocol/packet.h"

namespace brindle::send {
namespace {

TEST(Datagram, HeaderAndSamplesAreLittleEndian) {
  const std::vector<int16_t> samples = {1, -1, -32768, 32767};
  const Datagram d = encode_datagram(0x01020304, samples);
  const Datagram expected = {'B', 'R', 'D',  '1',  0x04, 0x03, 0x02, 0x01, 4,    0,
                             0,   0,   0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F};
  EXPECT_EQ(d, expected);
}

TEST(Datagram, TheReceiversParserReadsItBack) {
  std::vector<int16_t> samples(480);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 137 - 30000);
  const Datagram d = encode_datagram(4294967295u, samples);
  const auto packet = parse_packet(d);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->seq, 4294967295u);
  ASSERT_EQ(packet->samples.size(), samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(packet->samples[i], samples[i] / 32768.0f) << i;
  }
}

struct FaultCase {
  const char* name;
  uint64_t drop, duplicate, reorder;
  uint64_t datagrams;
  std::vector<uint8_t> sent;  // datagram numbers in sending order
  ImpairmentCounts counts;
};

class ImpairmentTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ImpairmentTest, SendsTheExpectedOrder) {
  const FaultCase& c = GetParam();
  Impairments impairments(c.drop, c.duplicate, c.reorder);
  std::vector<Datagram> out;
  for (uint64_t n = 1; n <= c.datagrams; ++n) {
    impairments.submit(n, Datagram{static_cast<uint8_t>(n)}, out);
  }
  impairments.flush(out);
  std::vector<uint8_t> sent;
  for (const Datagram& d : out) sent.push_back(d.at(0));
  EXPECT_EQ(sent, c.sent);
  EXPECT_EQ(impairments.counts().dropped, c.counts.dropped);
  EXPECT_EQ(impairments.counts().duplicated, c.counts.duplicated);
  EXPECT_EQ(impairments.counts().reordered, c.counts.reordered);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ImpairmentTest,
    ::testing::Values(
        FaultCase{"None", 0, 0, 0, 5, {1, 2, 3, 4, 5}, {0, 0, 0}},
        FaultCase{"DropEveryThird", 3, 0, 0, 7, {1, 2, 4, 5, 7}, {2, 0, 0}},
        FaultCase{"DuplicateEverySecond", 0, 2, 0, 5, {1, 2, 2, 3, 4, 4, 5}, {0, 2, 0}},
        FaultCase{"SwapPairs", 0, 0, 2, 6, {1, 3, 2, 5, 4, 6}, {0, 0, 2}},
        FaultCase{"SwapEveryOneNeverChains", 0, 0, 1, 5, {2, 1, 4, 3, 5}, {0, 0, 2}},
        FaultCase{"HeldLastGoesOutAtTheEnd", 0, 0, 3, 3, {1, 2, 3}, {0, 0, 0}},
        FaultCase{"HeldWaitsPastADrop", 4, 0, 3, 6, {1, 2, 5, 3, 6}, {1, 0, 1}},
        FaultCase{"DroppedIsNeverDuplicated", 2, 2, 0, 4, {1, 3}, {2, 0, 0}},
        FaultCase{"ReorderedCopiesStayTogether", 0, 2, 2, 3, {1, 3, 2, 2}, {0, 1, 1}}),
    [](const auto& info) { return info.param.name; });

TEST(Pacing, DeadlinesAreExactMultiplesOfTheDatagramLength) {
  const Pacing pacing(480, 1);
  EXPECT_EQ(pacing.send_offset(0), std::chrono::nanoseconds(0));
  EXPECT_EQ(pacing.send_offset(1), std::chrono::milliseconds(10));
  EXPECT_EQ(pacing.send_offset(100), std::chrono::seconds(1));
  // A day of datagrams lands on the second: no accumulated rounding.
  EXPECT_EQ(pacing.send_offset(8'640'000), std::chrono::hours(24));
  const Pacing odd(441, 1);
  EXPECT_EQ(odd.send_offset(48000), std::chrono::seconds(441));
  EXPECT_EQ(odd.send_offset(1), std::chrono::nanoseconds(9'187'500));
}

TEST(Pacing, BurstsLeaveTogetherWhenTheirLastAudioIsReady) {
  const Pacing pacing(480, 4);
  for (uint64_t i = 0; i < 4; ++i) EXPECT_EQ(pacing.send_offset(i), std::chrono::milliseconds(30));
  for (uint64_t i = 4; i < 8; ++i) EXPECT_EQ(pacing.send_offset(i), std::chrono::milliseconds(70));
  // The last, short group does not wait for datagrams that will never be made.
  EXPECT_EQ(pacing.send_offset(8, 10), std::chrono::milliseconds(90));
  EXPECT_EQ(pacing.send_offset(9, 10), std::chrono::milliseconds(90));
}

}  // namespace
}  // namespace brindle::send
