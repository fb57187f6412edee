#include "receiver/receiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/datagram.h"

namespace brindle {
namespace {

using testing::make_datagram;

const SocketAddress PHONE = make_v6_address(
    std::array<uint8_t, 16>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 198, 51, 100, 7}, 50000, 0,
    0);
const SocketAddress OTHER_PHONE = make_v6_address(
    std::array<uint8_t, 16>{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, 40000, 0,
    0);

// A zero-prefill buffer plays whatever is queued, so tests can read back what was pushed.
struct Fixture {
  std::shared_ptr<JitterBuffer> jitter = std::make_shared<JitterBuffer>(0);
  Receiver receiver;
  explicit Fixture(float gain = 1.0f) : receiver(jitter, gain) {}

  const ReceiverStats& stats() const { return *receiver.stats(); }
  size_t queued() const { return jitter->queued_samples(); }
  std::vector<float> drain() {
    std::vector<float> out(queued());
    jitter->pop_into(out);
    return out;
  }
  void feed(uint32_t seq, std::initializer_list<int16_t> samples,
            const SocketAddress& from = PHONE) {
    receiver.handle_datagram(make_datagram(seq, samples), from);
  }
};

struct LossCase {
  std::string name;
  std::vector<uint32_t> seqs;
  uint64_t lost;
  friend void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }
};

class LossAccounting : public ::testing::TestWithParam<LossCase> {};

TEST_P(LossAccounting, CountsForwardGapsOnly) {
  Fixture f;
  for (const uint32_t seq : GetParam().seqs) f.feed(seq, {100, 200});
  EXPECT_EQ(f.stats().lost.load(), GetParam().lost);
  EXPECT_EQ(f.stats().packets.load(), GetParam().seqs.size());
  // Every datagram is queued in arrival order, whatever its number.
  EXPECT_EQ(f.queued(), 2 * GetParam().seqs.size());
}

constexpr uint32_t MAX = 4294967295u;

INSTANTIATE_TEST_SUITE_P(
    Receiver, LossAccounting,
    ::testing::Values(
        LossCase{"first_never_counts", {123456}, 0}, LossCase{"consecutive", {1, 2, 3, 4}, 0},
        LossCase{"gap", {1, 5}, 3}, LossCase{"reorder_counts_twice", {1, 2, 4, 3, 5}, 2},
        LossCase{"duplicate", {10, 10}, 0}, LossCase{"wrap_to_zero", {MAX, 0}, 0},
        LossCase{"gap_across_wrap", {MAX, 3}, 3}, LossCase{"restart_lower", {10, 5, 6}, 0},
        LossCase{"restart_then_gap", {10, 5, 8}, 2}, LossCase{"just_below_wrap", {MAX - 1, MAX}, 0},
        // The expected number wraps to 0 here; a repeat or a late datagram must
        // not count as billions lost.
        LossCase{"duplicate_of_last_number", {MAX, MAX}, 0},
        LossCase{"late_after_last_number", {MAX - 1, MAX, MAX - 2}, 0},
        // Late datagrams from before the wrap, and jumps of half the number space or more.
        LossCase{"late_across_wrap", {MAX - 1, 0, 1, MAX}, 0},
        LossCase{"jump_of_half_range", {5, 5 + 0x80000000u}, 0},
        LossCase{"jump_just_below_half_range", {5, 5 + 0x7FFFFFFFu}, 0x7FFFFFFEu},
        LossCase{"late_then_on_again", {100, 0x90000000u, 101, 103}, 1}),
    [](const auto& info) { return info.param.name; });

struct GainCase {
  std::string name;
  float gain;
  std::vector<int16_t> raw;
  std::vector<float> queued;
  float peak;
  friend void PrintTo(const GainCase& c, std::ostream* os) { *os << c.name; }
};

class GainAndPeak : public ::testing::TestWithParam<GainCase> {};

TEST_P(GainAndPeak, ScalesClampsAndMeasures) {
  const GainCase& c = GetParam();
  Fixture f(c.gain);
  f.receiver.handle_datagram(make_datagram(1, c.raw), PHONE);
  EXPECT_EQ(f.stats().peak(), c.peak);
  EXPECT_EQ(f.drain(), c.queued);
}

INSTANTIATE_TEST_SUITE_P(
    Receiver, GainAndPeak,
    ::testing::Values(
        GainCase{"gain_4_clamps_both_ways", 4.0f, {16384, -9830}, {1.0f, -1.0f}, 1.0f},
        GainCase{"unity_keeps_minus_one", 1.0f, {-32768, 16384}, {-1.0f, 0.5f}, 1.0f},
        GainCase{"unity_keeps_largest", 1.0f, {32767}, {32767.0f / 32768}, 32767.0f / 32768},
        GainCase{"half", 0.5f, {16384, -8192}, {0.25f, -0.125f}, 0.25f},
        GainCase{"negative_peak_is_absolute", 2.0f, {-4096, 1024}, {-0.25f, 0.0625f}, 0.25f},
        GainCase{"zero_gain_silences", 0.0f, {12345, -32768}, {0.0f, 0.0f}, 0.0f},
        GainCase{"no_samples", 4.0f, {}, {}, 0.0f}),
    [](const auto& info) { return info.param.name; });

TEST(Receiver, PeakIsTheLatestDatagramsNotTheLargestSeen) {
  Fixture f;
  f.feed(1, {-32768});
  EXPECT_EQ(f.stats().peak(), 1.0f);
  f.feed(2, {8192});
  EXPECT_EQ(f.stats().peak(), 0.25f);
  f.feed(3, {});
  EXPECT_EQ(f.stats().peak(), 0.0f);
}

TEST(Receiver, RejectedDatagramsLeaveNoTrace) {
  Fixture f;
  f.feed(1, {8192});
  std::vector<uint8_t> wrong_magic = make_datagram(5, {16384, 16384});
  wrong_magic[3] = '2';
  f.receiver.handle_datagram(wrong_magic, OTHER_PHONE);
  f.receiver.handle_datagram(std::vector<uint8_t>(11, 0), OTHER_PHONE);
  f.receiver.handle_datagram({}, OTHER_PHONE);

  EXPECT_EQ(f.stats().packets.load(), 1u);
  EXPECT_EQ(f.stats().lost.load(), 0u);
  EXPECT_EQ(f.stats().last_addr(), PHONE);
  EXPECT_EQ(f.stats().peak(), 0.25f);
  EXPECT_EQ(f.queued(), 1u);

  f.feed(2, {});  // the rejected seq 5 did not move the expected number
  EXPECT_EQ(f.stats().lost.load(), 0u);
}

TEST(Receiver, DatagramWithoutSamplesCountsEverywhereButTheQueue) {
  Fixture f;
  EXPECT_FALSE(f.stats().last_addr());
  f.feed(1, {16384});
  f.feed(4, {}, OTHER_PHONE);
  EXPECT_EQ(f.stats().packets.load(), 2u);
  EXPECT_EQ(f.stats().lost.load(), 2u);
  EXPECT_EQ(f.stats().peak(), 0.0f);
  EXPECT_EQ(f.stats().last_addr(), OTHER_PHONE);
  EXPECT_EQ(f.queued(), 1u);
  f.feed(5, {});
  EXPECT_EQ(f.stats().lost.load(), 2u);
}

TEST(Receiver, TwoSendersShareTheQueueAndTheLossAccounting) {
  Fixture f;
  f.feed(1, {1, 2}, PHONE);
  f.feed(3, {3}, OTHER_PHONE);
  f.feed(4, {4, 5}, PHONE);
  EXPECT_EQ(f.stats().packets.load(), 3u);
  EXPECT_EQ(f.stats().lost.load(), 1u);
  EXPECT_EQ(f.stats().last_addr(), PHONE);
  const std::vector<float> expected = {1.0f / 32768, 2.0f / 32768, 3.0f / 32768, 4.0f / 32768,
                                       5.0f / 32768};
  EXPECT_EQ(f.drain(), expected);
}

}  // namespace
}  // namespace brindle
