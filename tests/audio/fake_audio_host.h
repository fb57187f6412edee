// An in-memory AudioHost for tests: devices, ranges, default configs and every failure are set
// by the test; a built stream hands its callbacks back so the test can play the render thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio_host.h"

namespace brindle::testing {

struct FakeDeviceSpec {
  std::optional<std::string> name;  // nullopt: reading the name fails
  // nullopt: the range query fails
  std::optional<std::vector<SupportedConfigRange>> ranges = std::vector<SupportedConfigRange>{};
  std::optional<StreamConfig> default_config;  // nullopt: no default configuration
  std::string build_error;                     // non-empty: building the stream fails
  std::string play_error;                      // non-empty: starting the stream fails
};

// What the last built stream was given, and what became of it.
struct FakeStreamRecord {
  bool built = false;
  StreamConfig config;
  DataCallback data;
  ErrorCallback error;
  // Atomic so that a test can watch a stream that another thread plays and pauses.
  std::atomic<bool> playing{false};
  bool released = false;
  std::atomic<int> pauses{0};
  std::string pause_error;   // non-empty: pausing fails
  std::string resume_error;  // non-empty: play() fails from now on
};

class FakeStream final : public AudioStream {
 public:
  FakeStream(std::shared_ptr<FakeStreamRecord> record, std::string play_error)
      : record_(std::move(record)), play_error_(std::move(play_error)) {}
  // Releasing a stream releases its callbacks, as a real backend does.
  ~FakeStream() override {
    record_->released = true;
    record_->data = nullptr;
    record_->error = nullptr;
  }
  Status play() override {
    if (!play_error_.empty()) return make_error(play_error_);
    if (!record_->resume_error.empty()) return make_error(record_->resume_error);
    record_->playing = true;
    return {};
  }
  Status pause() override {
    if (!record_->pause_error.empty()) return make_error(record_->pause_error);
    record_->playing = false;
    ++record_->pauses;
    return {};
  }

 private:
  std::shared_ptr<FakeStreamRecord> record_;
  std::string play_error_;
};

class FakeDevice final : public AudioDevice {
 public:
  FakeDevice(FakeDeviceSpec spec, std::shared_ptr<FakeStreamRecord> record)
      : spec_(std::move(spec)), record_(std::move(record)) {}

  Result<std::string> name() const override {
    if (!spec_.name) return make_error("device name unavailable");
    return *spec_.name;
  }
  Result<std::vector<SupportedConfigRange>> supported_output_configs() const override {
    if (!spec_.ranges) return make_error("range query failed");
    return *spec_.ranges;
  }
  Result<StreamConfig> default_output_config() const override {
    if (!spec_.default_config) return make_error("device has no default format");
    return *spec_.default_config;
  }
  Result<std::unique_ptr<AudioStream>> build_output_stream(const StreamConfig& config,
                                                           DataCallback data,
                                                           ErrorCallback error) override {
    if (!spec_.build_error.empty()) return make_error(spec_.build_error);
    record_->built = true;
    record_->config = config;
    record_->data = std::move(data);
    record_->error = std::move(error);
    record_->playing = false;
    record_->released = false;
    record_->pauses = 0;
    record_->pause_error.clear();
    record_->resume_error.clear();
    return std::unique_ptr<AudioStream>(std::make_unique<FakeStream>(record_, spec_.play_error));
  }

 private:
  FakeDeviceSpec spec_;
  std::shared_ptr<FakeStreamRecord> record_;
};

class FakeHost final : public AudioHost {
 public:
  std::string name() const override { return "FakeHost"; }

  std::unique_ptr<AudioDevice> default_output_device() override {
    if (!default_device) return nullptr;
    return std::make_unique<FakeDevice>(*default_device, stream);
  }

  Result<std::vector<std::unique_ptr<AudioDevice>>> output_devices() override {
    ++enumerations;
    if (enumerate_error) return make_error(*enumerate_error);
    std::vector<std::unique_ptr<AudioDevice>> out;
    for (const FakeDeviceSpec& spec : devices)
      out.push_back(std::make_unique<FakeDevice>(spec, stream));
    return out;
  }

  void watch_default_output(std::function<void()> changed) override {
    *default_watch = std::move(changed);
  }
  // A new system default, told to whoever watches this host or a copy of it.
  void change_default(FakeDeviceSpec spec) {
    default_device = std::move(spec);
    if (*default_watch) (*default_watch)();
  }

  std::vector<FakeDeviceSpec> devices;
  std::optional<FakeDeviceSpec> default_device;
  std::shared_ptr<std::function<void()>> default_watch = std::make_shared<std::function<void()>>();
  std::optional<std::string> enumerate_error;
  int enumerations = 0;
  std::shared_ptr<FakeStreamRecord> stream = std::make_shared<FakeStreamRecord>();
};

// A device with a name and nothing else of interest.
inline FakeDeviceSpec named(std::string name) {
  FakeDeviceSpec spec;
  spec.name = std::move(name);
  return spec;
}

}  // namespace brindle::testing
