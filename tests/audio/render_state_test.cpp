#include "audio/render_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "allocation_counter.h"
#include "jitter/jitter_buffer.h"

namespace brindle {
namespace {

// 300 ms of prefill: room for 14400 queued samples before the high-water trim can act.
constexpr double PREFILL_MS = 300.0;
constexpr size_t QUEUED = 14400;

std::vector<float> random_samples(size_t count, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> out(count);
  for (float& x : out) x = dist(gen);
  return out;
}

std::shared_ptr<JitterBuffer> queued(const std::vector<float>& samples) {
  auto jitter = std::make_shared<JitterBuffer>(PREFILL_MS);
  jitter->push(samples);
  return jitter;
}

// Renders `sizes` callbacks of mono F32 in a row and returns the output joined.
std::vector<float> render_f32(RenderState& state, const std::vector<size_t>& sizes) {
  std::vector<float> out;
  for (const size_t size : sizes) {
    std::vector<float> buffer(size, 99.0f);
    state.render_block(buffer);
    out.insert(out.end(), buffer.begin(), buffer.end());
  }
  return out;
}

struct ConversionCase {
  float x;
  int16_t i16;
  uint16_t u16;
};

class ConversionTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(ConversionTest, IntegerFormats) {
  EXPECT_EQ(convert_i16(GetParam().x), GetParam().i16);
  EXPECT_EQ(convert_u16(GetParam().x), GetParam().u16);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConversionTest,
    ::testing::Values(ConversionCase{1.0f, 32767, 65535}, ConversionCase{-1.0f, -32768, 0},
                      ConversionCase{0.0f, 0, 32768}, ConversionCase{0.5f, 16384, 49152},
                      ConversionCase{-0.5f, -16384, 16384}, ConversionCase{0.25f, 8192, 40960},
                      ConversionCase{0.00001f, 0, 32768}, ConversionCase{-0.00004f, -1, 32767},
                      ConversionCase{7.5f, 32767, 65535}, ConversionCase{-7.5f, -32768, 0},
                      ConversionCase{NAN, 0, 32768}));

TEST(RenderState, At48kHzOutputIsTheSourceSampleForSample) {
  const std::vector<float> source = random_samples(QUEUED, 1);
  RenderState state(queued(source), 48000, 1);
  EXPECT_EQ(state.step(), 1.0);
  const std::vector<float> out = render_f32(state, {1024, 1, 333, 480, 4000});
  for (size_t n = 0; n < out.size(); ++n) ASSERT_EQ(out[n], source[n]) << "frame " << n;
}

TEST(RenderState, F32IsNeitherScaledNorClamped) {
  std::vector<float> source(QUEUED, 0.0f);
  source[0] = 1.5f;
  source[1] = -2.25f;
  RenderState state(queued(source), 48000, 1);
  const std::vector<float> out = render_f32(state, {2});
  EXPECT_EQ(out[0], 1.5f);
  EXPECT_EQ(out[1], -2.25f);
}

// Eight source samples at 474..481, across the first pull-block boundary, and silence around
// them; the rendered frames are written out by hand.
struct ResampleCase {
  uint32_t rate;
  std::vector<size_t> callbacks;
  size_t first;  // frame where `frames` begin; every other frame is silence
  std::vector<float> frames;
};

class ResampleTest : public ::testing::TestWithParam<ResampleCase> {};

TEST_P(ResampleTest, RendersTheHandWorkedFrames) {
  const ResampleCase& c = GetParam();
  std::vector<float> source(QUEUED, 0.0f);
  const std::vector<float> marks{0.5f, -0.5f, 0.25f, 1.0f, 0.0f, -1.0f, 0.75f, 0.125f};
  std::copy(marks.begin(), marks.end(), source.begin() + 474);
  RenderState state(queued(source), c.rate, 1);
  const std::vector<float> out = render_f32(state, c.callbacks);
  std::vector<float> expected(out.size(), 0.0f);
  std::copy(c.frames.begin(), c.frames.end(), expected.begin() + static_cast<ptrdiff_t>(c.first));
  EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResampleTest,
    ::testing::Values(
        // Step 0.5: every other frame lies halfway between two source samples.
        ResampleCase{96000,
                     {900, 7, 193},
                     947,
                     {0.25f, 0.5f, 0.0f, -0.5f, -0.125f, 0.25f, 0.625f, 1.0f, 0.5f, 0.0f, -0.5f,
                      -1.0f, -0.125f, 0.75f, 0.4375f, 0.125f, 0.0625f}},
        // Step 1.5: a source sample, then the midpoint of the next two.
        ResampleCase{32000, {300, 17, 783}, 316, {0.5f, -0.125f, 1.0f, -0.5f, 0.75f, 0.0625f}},
        ResampleCase{
            48000, {470, 1, 9, 520}, 474, {0.5f, -0.5f, 0.25f, 1.0f, 0.0f, -1.0f, 0.75f, 0.125f}}));

TEST(RenderState, At44100HzFollowsTheSourceTimeline) {
  // A slow ramp makes the interpolated value tell the source position it was taken at.
  std::vector<float> source(QUEUED);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<float>(i) * 1e-5f;
  RenderState state(queued(source), 44100, 1);
  const double step = 48000.0 / 44100.0;
  EXPECT_EQ(state.step(), step);
  const std::vector<float> out = render_f32(state, {441, 1000, 3, 4410, 7000});
  for (size_t n = 0; n < out.size(); ++n) {
    ASSERT_NEAR(out[n], static_cast<double>(n) * step * 1e-5, 2e-7) << "frame " << n;
  }
}

TEST(RenderState, SplitCallbacksMatchOneLongCallback) {
  const std::vector<float> source = random_samples(QUEUED, 3);
  RenderState whole(queued(source), 44100, 1);
  RenderState split(queued(source), 44100, 1);
  const std::vector<float> one = render_f32(whole, {9000});
  const std::vector<float> many = render_f32(split, {1, 2, 441, 1000, 4096, 3460});
  EXPECT_EQ(one, many);
}

TEST(RenderState, EveryChannelCarriesTheSameSignal) {
  const std::vector<float> source = random_samples(QUEUED, 4);
  RenderState mono(queued(source), 44100, 1);
  RenderState stereo(queued(source), 44100, 2);
  std::vector<int16_t> mono_out(700);
  std::vector<int16_t> stereo_out(1400);
  mono.render_block(mono_out);
  stereo.render_block(stereo_out);
  for (size_t k = 0; k < mono_out.size(); ++k) {
    ASSERT_EQ(stereo_out[2 * k], mono_out[k]) << "frame " << k;
    ASSERT_EQ(stereo_out[2 * k + 1], mono_out[k]) << "frame " << k;
  }
}

TEST(RenderState, SilenceBeforeAnyAudioInEveryFormat) {
  auto jitter = std::make_shared<JitterBuffer>(40.0);
  RenderState state(jitter, 48000, 2);
  std::vector<float> f32(2048, 99.0f);
  std::vector<int16_t> i16(2048, 99);
  std::vector<uint16_t> u16(2048, 99);
  state.render_block(f32);
  state.render_block(i16);
  state.render_block(u16);
  EXPECT_EQ(f32, std::vector<float>(2048, 0.0f));
  EXPECT_EQ(i16, std::vector<int16_t>(2048, 0));
  EXPECT_EQ(u16, std::vector<uint16_t>(2048, 32768));
  EXPECT_EQ(jitter->underruns(), 0u);
}

TEST(RenderState, TrailingPartialFrameGetsSilence) {
  std::vector<float> source(QUEUED, 0.5f);
  RenderState state(queued(source), 48000, 2);
  std::vector<uint16_t> buffer(5, 7);
  state.render_block(buffer);
  EXPECT_EQ(buffer, (std::vector<uint16_t>{49152, 49152, 49152, 49152, 32768}));
}

TEST(RenderState, PullsOncePer480SourceSamples) {
  // 1024 frames at 48 kHz read 1024 new samples per callback (plus one look-ahead at the
  // start), so each callback pulls three blocks or two, depending on where the block stood.
  auto jitter = queued(std::vector<float>(QUEUED, 0.1f));
  RenderState state(jitter, 48000, 1);
  std::vector<float> buffer(1024);
  std::vector<size_t> pulls;
  size_t before = jitter->queued_samples();
  for (int i = 0; i < 12; ++i) {
    state.render_block(buffer);
    const size_t after = jitter->queued_samples();
    pulls.push_back((before - after) / PULL_BLOCK_SAMPLES);
    before = after;
  }
  // Source samples read after k callbacks: 1024 k + 1; blocks pulled: that over 480, rounded up.
  EXPECT_EQ(pulls, (std::vector<size_t>{3, 2, 2, 2, 2, 2, 2, 3, 2, 2, 2, 2}));
}

// From the first callback on, and through a quantum change to a larger buffer (1024 -> 4096
// frames, as PipeWire's clock.force-quantum does), rendering allocates nothing.
TEST(RenderState, RenderAllocatesNothingFromFirstCallbackThroughQuantumChange) {
  RenderState state(queued(random_samples(QUEUED, 5)), 44100, 2);
  std::vector<float> quantum(2 * 1024);
  std::vector<float> larger(2 * 4096);
  std::vector<int16_t> small(2 * 256);
  const size_t before = testing::allocation_count();
  state.render_block(quantum);
  EXPECT_EQ(testing::allocation_count(), before) << "first callback";
  state.render_block(larger);
  EXPECT_EQ(testing::allocation_count(), before) << "after the quantum change";
  for (int i = 0; i < 20; ++i) {
    state.render_block(larger);
    state.render_block(small);
  }
  EXPECT_EQ(testing::allocation_count(), before);
}

}  // namespace
}  // namespace brindle
