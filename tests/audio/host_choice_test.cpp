#include "audio/host_choice.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace brindle {
namespace {

using S = std::optional<std::string>;

struct Choice {
  const char* what;
  HostEnvironment env;
  std::optional<HostPlan> plan;  // nullopt: an error
};

class HostChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(HostChoice, PlansFromTheEnvironment) {
  const Choice& c = GetParam();
  const Result<HostPlan> plan = plan_audio_host(c.env);
  ASSERT_EQ(plan.ok(), c.plan.has_value()) << c.what;
  if (plan) {
    EXPECT_EQ(*plan, *c.plan) << c.what;
  } else {
    EXPECT_NE(plan.error().find("BRINDLE_AUDIO_HOST=alsa"), std::string::npos) << plan.error();
  }
}

INSTANTIATE_TEST_SUITE_P(
    HostChoice, HostChoice,
    ::testing::Values(
        Choice{"a desktop",
               {S(), S(), S(), S(), S("/run/user/1000")},
               HostPlan::PIPEWIRE_THEN_PULSEAUDIO},
        Choice{"pipewire-pulse's socket",
               {S(), S("unix:/run/user/1000/pulse/native"), S(), S(), S("/run/user/1000/")},
               HostPlan::PIPEWIRE_THEN_PULSEAUDIO},
        Choice{"a private PulseAudio elsewhere",
               {S(), S("unix:/tmp/test-1/native"), S(), S(), S("/run/user/1000")},
               HostPlan::PULSEAUDIO_ONLY},
        Choice{"a folder that only starts alike",
               {S(), S("/run/user/10000/native"), S(), S(), S("/run/user/1000")},
               HostPlan::PULSEAUDIO_ONLY},
        Choice{"a remote PulseAudio",
               {S(), S("tcp:studio:4713"), S(), S(), S("/run/user/1000")},
               HostPlan::PULSEAUDIO_ONLY},
        Choice{"PipeWire's own runtime folder wins",
               {S(), S("unix:/run/user/1000/pulse/native"), S(), S("/srv/pw"), S("/run/user/1000")},
               HostPlan::PULSEAUDIO_ONLY},
        Choice{"a PipeWire socket path beside the PulseAudio one",
               {S(), S("unix:/tmp/x/pulse/native"), S("/tmp/x/pipewire-0"), S(), S("/run/u")},
               HostPlan::PIPEWIRE_THEN_PULSEAUDIO},
        Choice{"a PipeWire remote named elsewhere",
               {S(), S("unix:/tmp/x/native"), S("pipewire-1"), S(), S("/run/u")},
               HostPlan::PULSEAUDIO_ONLY},
        Choice{"a PipeWire remote named inside the runtime folder",
               {S(), S("unix:/run/u/pulse/native"), S("pipewire-1"), S(), S("/run/u")},
               HostPlan::PIPEWIRE_THEN_PULSEAUDIO},
        Choice{"no runtime folder",
               {S(), S("unix:/tmp/x/native"), S(), S(), S()},
               HostPlan::PULSEAUDIO_ONLY},
        Choice{"forced PulseAudio",
               {S("pulseaudio"), S(), S(), S(), S("/run/user/1000")},
               HostPlan::PULSEAUDIO_ONLY},
        Choice{"forced PipeWire",
               {S("pipewire"), S("unix:/tmp/x/native"), S(), S(), S()},
               HostPlan::PIPEWIRE_ONLY},
        Choice{"an unknown host", {S("alsa"), S(), S(), S(), S()}, std::nullopt}));

}  // namespace
}  // namespace brindle
