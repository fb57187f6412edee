#include "jitter/jitter_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

namespace brindle {
namespace {

constexpr size_t BLOCK = 480;

// Consecutive values from `first`, so every sample says where it came from.
std::vector<float> ramp(size_t count, float first) {
  std::vector<float> v(count);
  std::iota(v.begin(), v.end(), first);
  return v;
}

std::vector<float> pop(JitterBuffer& buffer, size_t count = BLOCK) {
  std::vector<float> block(count, -7.0f);  // poison: every slot must be written
  buffer.pop_into(block);
  return block;
}

bool all_zero(const std::vector<float>& v) {
  return std::all_of(v.begin(), v.end(), [](float s) { return s == 0.0f; });
}

struct Construction {
  double ms;
  size_t prefill;
  size_t max_fill;
};

class JitterConstruction : public ::testing::TestWithParam<Construction> {};

TEST_P(JitterConstruction, DerivesPrefillAndHighWaterMark) {
  const Construction& c = GetParam();
  const JitterBuffer buffer(c.ms);
  EXPECT_EQ(buffer.prefill(), c.prefill);
  EXPECT_EQ(buffer.max_fill(), c.max_fill);
  EXPECT_EQ(buffer.capacity(), 48000u);
  EXPECT_EQ(buffer.fill_ms(), 0.0);
  EXPECT_EQ(buffer.underruns(), 0u);
}

constexpr size_t LARGEST = std::numeric_limits<size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Jitter, JitterConstruction,
    ::testing::Values(Construction{40, 1920, 5760}, Construction{500, 24000, 48000},
                      Construction{12.3456, 592, 1776}, Construction{999, 47952, 48000},
                      Construction{333.3, 15998, 47994}, Construction{1000.0 / 3, 16000, 48000},
                      Construction{1.0 / 48, 1, 3},
                      // Zero prefill never trims: the ring alone bounds the queue.
                      Construction{0.01, 0, 48000}, Construction{0, 0, 48000},
                      Construction{-5, 0, 48000}, Construction{std::nan(""), 0, 48000},
                      Construction{1e300, LARGEST, 48000}));

TEST(Jitter, WaitsForPrefillWithoutCountingThenPlaysOldestFirst) {
  JitterBuffer buffer(40);
  for (int i = 0; i < 3; ++i) {
    buffer.push(ramp(BLOCK, static_cast<float>(1 + i * BLOCK)));
    EXPECT_TRUE(all_zero(pop(buffer, BLOCK))) << "block " << i;
  }
  EXPECT_EQ(buffer.underruns(), 0u);
  EXPECT_EQ(buffer.queued_samples(), 3 * BLOCK);

  buffer.push(ramp(BLOCK, 1 + 3 * BLOCK));  // now 1920 queued
  EXPECT_EQ(pop(buffer), ramp(BLOCK, 1));
  EXPECT_EQ(pop(buffer), ramp(BLOCK, 1 + BLOCK));
  EXPECT_EQ(buffer.underruns(), 0u);
}

TEST(Jitter, RunningDryMidBlockPadsThenNextEmptyBlockCountsOneUnderrun) {
  JitterBuffer buffer(40);
  buffer.push(ramp(1920 + 100, 1));
  for (int i = 0; i < 4; ++i) pop(buffer);
  ASSERT_EQ(buffer.queued_samples(), 100u);

  std::vector<float> expected = ramp(100, 1921);
  expected.resize(BLOCK, 0.0f);
  EXPECT_EQ(pop(buffer), expected);
  EXPECT_EQ(buffer.underruns(), 0u);

  EXPECT_TRUE(all_zero(pop(buffer)));
  EXPECT_EQ(buffer.underruns(), 1u);

  // Refilling after an underrun: silent and uncounted until a full prefill is back.
  buffer.push(ramp(1919, 5000));
  EXPECT_TRUE(all_zero(pop(buffer)));
  EXPECT_TRUE(all_zero(pop(buffer)));
  EXPECT_EQ(buffer.underruns(), 1u);
  buffer.push(ramp(1, 6919));
  EXPECT_EQ(pop(buffer), ramp(BLOCK, 5000));
}

TEST(Jitter, SamplesArrivingBeforeTheNextBlockAvoidTheUnderrun) {
  JitterBuffer buffer(10);  // prefill 480
  buffer.push(ramp(BLOCK, 1));
  EXPECT_EQ(pop(buffer), ramp(BLOCK, 1));  // ends exactly empty, still playing
  buffer.push(ramp(10, 100));
  std::vector<float> expected = ramp(10, 100);
  expected.resize(BLOCK, 0.0f);
  EXPECT_EQ(pop(buffer), expected);
  EXPECT_EQ(buffer.underruns(), 0u);
}

TEST(Jitter, PushPastHighWaterKeepsExactlyTheNewestPrefill) {
  JitterBuffer buffer(40);
  float next = 1;
  while (buffer.queued_samples() + BLOCK <= 5760) {
    buffer.push(ramp(BLOCK, next));
    next += BLOCK;
  }
  ASSERT_EQ(buffer.queued_samples(), 5760u);  // exactly at the mark: nothing trimmed
  buffer.push(ramp(BLOCK, next));
  next += BLOCK;
  EXPECT_EQ(buffer.queued_samples(), 1920u);
  EXPECT_EQ(buffer.fill_ms(), 40.0);
  EXPECT_EQ(buffer.underruns(), 0u);

  std::vector<float> played;
  for (int i = 0; i < 4; ++i) {
    const auto block = pop(buffer);
    played.insert(played.end(), block.begin(), block.end());
  }
  EXPECT_EQ(played, ramp(1920, next - 1920));
}

struct Backlog {
  size_t queued;       // pushed
  size_t played;       // popped before drop_backlog(), which primes the buffer
  size_t kept;         // after it
  bool plays_at_once;  // primed: the next pop plays rather than waits
};

class JitterDropBacklog : public ::testing::TestWithParam<Backlog> {};

TEST_P(JitterDropBacklog, KeepsTheNewestPrefillAndWaitsBelowIt) {
  const Backlog& b = GetParam();
  JitterBuffer buffer(40);
  buffer.push(ramp(b.queued, 1));
  if (b.played > 0) pop(buffer, b.played);
  buffer.drop_backlog();
  EXPECT_EQ(buffer.queued_samples(), b.kept);
  const std::vector<float> block = pop(buffer);
  if (b.plays_at_once) {
    EXPECT_EQ(block[0], static_cast<float>(b.queued - b.kept + 1));
  } else {
    EXPECT_TRUE(all_zero(block));
  }
  EXPECT_EQ(buffer.underruns(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Jitter, JitterDropBacklog,
                         ::testing::Values(Backlog{5000, 0, 1920, true},
                                           Backlog{1920, 0, 1920, true},
                                           Backlog{1000, 0, 1000, false}, Backlog{0, 0, 0, false},
                                           Backlog{5000, 480, 1920, true},
                                           Backlog{1920, 480, 1440, false}));

TEST(Jitter, TrimHappensOncePerDatagramNotPerSample) {
  JitterBuffer buffer(40);
  buffer.push(ramp(5000, 1));
  // One datagram from 5000 to 6000: the rule looks only at the end, so 1920 remain, not
  // whatever a per-sample check would leave.
  buffer.push(ramp(1000, 5001));
  EXPECT_EQ(buffer.queued_samples(), 1920u);
  EXPECT_EQ(pop(buffer), ramp(BLOCK, 6001 - 1920));
}

TEST(Jitter, FullRingOverwritesOldestWithoutTrimWhenMarkIsCapacity) {
  JitterBuffer buffer(999);  // prefill 47952, max_fill 48000
  float next = 0;
  for (int i = 0; i < 110; ++i) {  // 52800 samples, nothing read
    buffer.push(ramp(BLOCK, next));
    next += BLOCK;
  }
  EXPECT_EQ(buffer.queued_samples(), 48000u);
  EXPECT_EQ(buffer.fill_ms(), 1000.0);
  // The oldest 4800 were overwritten one by one; playback starts from the 4801st.
  EXPECT_EQ(pop(buffer), ramp(BLOCK, 4800));
}

TEST(Jitter, OneDatagramLongerThanTheRingKeepsItsLastSecond) {
  JitterBuffer buffer(999);
  buffer.push(ramp(100, -1000));
  buffer.push(ramp(50000, 0));
  EXPECT_EQ(buffer.queued_samples(), 48000u);
  std::vector<float> played;
  for (int i = 0; i < 100; ++i) {
    const auto block = pop(buffer);
    played.insert(played.end(), block.begin(), block.end());
  }
  EXPECT_EQ(played, ramp(48000, 2000));
}

TEST(Jitter, EmptyPushChangesNothing) {
  JitterBuffer buffer(40);
  buffer.push({});
  EXPECT_EQ(buffer.fill_ms(), 0.0);
  EXPECT_TRUE(all_zero(pop(buffer)));
  EXPECT_EQ(buffer.underruns(), 0u);
}

TEST(Jitter, FillMsIsTheQueuedAudio) {
  JitterBuffer buffer(40);
  buffer.push(ramp(1, 1));
  EXPECT_DOUBLE_EQ(buffer.fill_ms(), 1.0 / 48.0);
  buffer.push(ramp(1919, 2));
  EXPECT_EQ(buffer.fill_ms(), 40.0);
}

TEST(Jitter, DrainedWhenEmptyOrStillFillingButNotWhilePlayingTheLastSample) {
  JitterBuffer buffer(40);
  EXPECT_TRUE(buffer.drained());
  buffer.push(ramp(1919, 1));
  EXPECT_TRUE(buffer.drained());  // one short of the prefill: pops give silence
  buffer.push(ramp(1, 1920));
  EXPECT_FALSE(buffer.drained());
  pop(buffer, 1919);
  EXPECT_FALSE(buffer.drained());  // playing: the last sample is still to come
  pop(buffer, 1);
  EXPECT_TRUE(buffer.drained());
}

TEST(Jitter, ConcurrentPushAndPopKeepArrivalOrder) {
  JitterBuffer buffer(10);
  constexpr int DATAGRAMS = 4000;
  std::atomic<bool> finished = false;
  std::thread receiver([&] {
    for (int i = 0; i < DATAGRAMS; ++i) {
      buffer.push(ramp(480, 1.0f + static_cast<float>(i) * 480));
      if (i % 8 == 0) std::this_thread::yield();
    }
    finished = true;
  });
  // Trims and underruns may drop or delay samples, but never reorder or invent them.
  float last = 0;
  bool ordered = true;
  const auto play = [&] {
    for (const float s : pop(buffer)) {
      if (s == 0.0f) continue;
      ordered = ordered && s > last;
      last = s;
    }
  };
  while (!finished) play();
  receiver.join();
  // Everything is a multiple of the prefill here, so the rest plays out in a few blocks.
  for (int i = 0; i < 10 && buffer.queued_samples() > 0; ++i) play();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(last, static_cast<float>(DATAGRAMS * 480));
}

TEST(JitterZeroPrefill, PlaysTheFirstSampleAtOnce) {
  JitterBuffer buffer(0);
  EXPECT_TRUE(all_zero(pop(buffer)));  // nothing yet: silent, not an underrun
  EXPECT_EQ(buffer.underruns(), 0u);

  buffer.push(ramp(BLOCK, 1));
  EXPECT_EQ(pop(buffer), ramp(BLOCK, 1));
  buffer.push(ramp(1, 0.5f));
  std::vector<float> expected(BLOCK, 0.0f);
  expected[0] = 0.5f;
  EXPECT_EQ(pop(buffer), expected);
  EXPECT_EQ(buffer.underruns(), 0u);
}

TEST(JitterZeroPrefill, CountsOneUnderrunPerDryPeriodAndResumesOnOneSample) {
  JitterBuffer buffer(0);
  buffer.push(ramp(BLOCK, 1));
  pop(buffer);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(all_zero(pop(buffer)));
  EXPECT_EQ(buffer.underruns(), 1u);

  buffer.push(ramp(1, 9));
  std::vector<float> expected(BLOCK, 0.0f);
  expected[0] = 9;
  EXPECT_EQ(pop(buffer), expected);
  EXPECT_EQ(buffer.underruns(), 1u);
}

TEST(JitterZeroPrefill, NeverTrimsAndTheRingBoundsTheQueue) {
  JitterBuffer buffer(0);
  float next = 0;
  for (int i = 0; i < 120; ++i) {
    buffer.push(ramp(BLOCK, next));
    next += BLOCK;
  }
  EXPECT_EQ(buffer.queued_samples(), 48000u);
  EXPECT_EQ(pop(buffer), ramp(BLOCK, next - 48000));
}

}  // namespace
}  // namespace brindle
