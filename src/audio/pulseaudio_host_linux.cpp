// PulseAudio backend: one threaded main loop and context per host, shared by the host, its
// devices and their streams. Output devices are sinks, named by their descriptions.
#include <pulse/pulseaudio.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio_host.h"
#include "audio/linux_hosts.h"
#include "audio/sound_server_names.h"

namespace brindle {
namespace {

// Target for the whole server-side buffer. At 20 ms the server kept 5 ms for the sink and ran
// dry several times a minute on an idle machine (bench/cost, dropouts); 40 ms rides that out.
constexpr pa_usec_t TARGET_LATENCY_USEC = 40 * 1000;

std::string pulse_error_text(int code) {
  return pa_strerror(code);
}

// Holds the main loop lock for its scope. Never used on the loop thread itself.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

struct OperationUnref {
  void operator()(pa_operation* op) const { pa_operation_unref(op); }
};
using Operation = std::unique_ptr<pa_operation, OperationUnref>;

// The connection to the server. Every pa_* call on the context or its streams happens with the
// loop lock held (or on the loop thread, inside a callback).
class PulseContext {
 public:
  static Result<std::shared_ptr<PulseContext>> connect() {
    auto self = std::shared_ptr<PulseContext>(new PulseContext());
    if (!self->loop_ || !self->context_) return make_error("cannot create the PulseAudio context");
    LoopLock lock(self->loop_);
    pa_context_set_state_callback(self->context_, &PulseContext::on_state, self.get());
    if (pa_context_connect(self->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return make_error(pulse_error_text(pa_context_errno(self->context_)));
    }
    if (pa_threaded_mainloop_start(self->loop_) < 0) {
      return make_error("cannot start the PulseAudio main loop");
    }
    self->loop_running_ = true;
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(self->context_);
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state)) {
        return make_error(pulse_error_text(pa_context_errno(self->context_)));
      }
      pa_threaded_mainloop_wait(self->loop_);
    }
    return self;
  }

  ~PulseContext() {
    if (loop_running_) {
      {
        LoopLock lock(loop_);
        disconnect();
      }
      pa_threaded_mainloop_stop(loop_);
    } else {
      disconnect();
    }
    if (context_) pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_free(loop_);
  }

  PulseContext(const PulseContext&) = delete;
  PulseContext& operator=(const PulseContext&) = delete;

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  // Caller holds the loop lock. Waits until the operation has finished or was cancelled.
  void wait(Operation op) const {
    while (pa_operation_get_state(op.get()) == PA_OPERATION_RUNNING) {
      pa_threaded_mainloop_wait(loop_);
    }
  }

  // Caller holds the loop lock.
  std::string last_error() const { return pulse_error_text(pa_context_errno(context_)); }

  // Caller holds the loop lock. From now on `changed` runs on the loop thread each time the
  // server names a default sink other than `current`; a null `changed` ends the watch.
  void watch_default_sink(std::optional<std::string> current, std::function<void()> changed) {
    default_sink_ = std::move(current);
    default_changed_ = std::move(changed);
    if (subscribed_ || !default_changed_) return;
    pa_context_set_subscribe_callback(context_, &PulseContext::on_server_event, this);
    subscribed_ = Operation(pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr,
                                                 nullptr)) != nullptr;
  }

 private:
  PulseContext()
      : loop_(pa_threaded_mainloop_new()),
        context_(loop_ ? pa_context_new(pa_threaded_mainloop_get_api(loop_), APPLICATION_NAME)
                       : nullptr) {}

  void disconnect() {
    if (!context_) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
  }

  static void on_state(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseContext*>(self)->loop_, 0);
  }

  // A server event names no field: ask which sink is the default now.
  static void on_server_event(pa_context* context, pa_subscription_event_type_t, uint32_t,
                              void* self) {
    const Operation op(pa_context_get_server_info(context, &PulseContext::on_server_now, self));
  }

  static void on_server_now(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseContext*>(userdata);
    if (!info || !info->default_sink_name || self->default_sink_ == info->default_sink_name) {
      return;
    }
    self->default_sink_ = info->default_sink_name;
    if (self->default_changed_) self->default_changed_();
  }

  pa_threaded_mainloop* const loop_;
  pa_context* const context_;
  bool loop_running_ = false;
  // Touched under the loop lock only.
  bool subscribed_ = false;
  std::optional<std::string> default_sink_;
  std::function<void()> default_changed_;
};

// What a device needs to know about its sink, copied when the sink was listed.
struct SinkSnapshot {
  std::string name;
  std::string description;
  pa_sample_spec spec{};
  pa_channel_map map{};
};

SinkSnapshot snapshot_of(const pa_sink_info& info) {
  SinkSnapshot sink;
  sink.name = info.name ? info.name : "";
  sink.description = (info.description && *info.description) ? info.description : sink.name;
  sink.spec = info.sample_spec;
  sink.map = info.channel_map;
  return sink;
}

struct SinkQuery {
  const PulseContext* pulse = nullptr;
  std::vector<SinkSnapshot> sinks;
  std::optional<std::string> error;
};

void on_sink_info(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* query = static_cast<SinkQuery*>(userdata);
  if (eol < 0) {
    query->error = query->pulse->last_error();
  } else if (info) {
    query->sinks.push_back(snapshot_of(*info));
  }
  if (eol != 0) pa_threaded_mainloop_signal(query->pulse->loop(), 0);
}

struct ServerQuery {
  const PulseContext* pulse = nullptr;
  std::optional<std::string> default_sink;
};

void on_server_info(pa_context*, const pa_server_info* info, void* userdata) {
  auto* query = static_cast<ServerQuery*>(userdata);
  if (info && info->default_sink_name) query->default_sink = info->default_sink_name;
  pa_threaded_mainloop_signal(query->pulse->loop(), 0);
}

std::optional<pa_sample_format_t> pulse_format(SampleFormat format) {
  switch (format) {
    case SampleFormat::F32:
      return PA_SAMPLE_FLOAT32NE;
    case SampleFormat::I16:
      return PA_SAMPLE_S16NE;
    case SampleFormat::I32:
      return PA_SAMPLE_S32NE;
    case SampleFormat::U8:
      return PA_SAMPLE_U8;
    default:
      return std::nullopt;
  }
}

// A playback stream on one sink. The callbacks run on the loop thread with the lock held.
class PulseStream final : public AudioStream {
 public:
  PulseStream(std::shared_ptr<PulseContext> pulse, DataCallback data, ErrorCallback error)
      : pulse_(std::move(pulse)), data_(std::move(data)), error_(std::move(error)) {}

  ~PulseStream() override {
    if (!stream_) return;
    LoopLock lock(pulse_->loop());
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }

  Status connect(const SinkSnapshot& sink, const StreamConfig& config, pa_sample_format_t format) {
    const pa_sample_spec spec{format, config.sample_rate, static_cast<uint8_t>(config.channels)};
    if (config.channels == 0 || config.channels > PA_CHANNELS_MAX || !pa_sample_spec_valid(&spec)) {
      return make_error("invalid stream configuration");
    }
    pa_channel_map map;
    if (sink.map.channels == spec.channels) {
      map = sink.map;
    } else if (!pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT)) {
      return make_error("no channel map for " + std::to_string(spec.channels) + " channels");
    }
    frame_bytes_ = pa_frame_size(&spec);
    sample_bytes_ = pa_sample_size(&spec);

    LoopLock lock(pulse_->loop());
    stream_ = pa_stream_new(pulse_->context(), STREAM_NAME, &spec, &map);
    if (!stream_) return make_error(pulse_->last_error());
    pa_stream_set_state_callback(stream_, &PulseStream::on_state, this);
    pa_stream_set_write_callback(stream_, &PulseStream::on_write, this);

    const uint32_t AUTO = static_cast<uint32_t>(-1);
    const pa_buffer_attr attr{AUTO,
                              static_cast<uint32_t>(pa_usec_to_bytes(TARGET_LATENCY_USEC, &spec)),
                              AUTO, AUTO, AUTO};
    // Never follow the stream to another sink: audio meant for the virtual cable must not
    // leak into the speakers when the cable goes away; the stream fails instead.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_playback(stream_, sink.name.c_str(), &attr, flags, nullptr, nullptr) <
        0) {
      return make_error(pulse_->last_error());
    }
    for (;;) {
      const pa_stream_state_t state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) return make_error(pulse_->last_error());
      pa_threaded_mainloop_wait(pulse_->loop());
    }
    connected_ = true;
    return {};
  }

  Status play() override { return cork(false); }

  // A corked stream asks for nothing, so neither this process nor the server wakes for it.
  Status pause() override { return cork(true); }

 private:
  Status cork(bool corked) {
    LoopLock lock(pulse_->loop());
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) return make_error(pulse_->last_error());
    Operation op(pa_stream_cork(stream_, corked ? 1 : 0, &PulseStream::on_success, this));
    if (!op) return make_error(pulse_->last_error());
    success_ = false;
    pulse_->wait(std::move(op));
    if (!success_) return make_error(pulse_->last_error());
    return {};
  }

  static void on_state(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (self->connected_ && !self->failed_ && state == PA_STREAM_FAILED) {
      self->failed_ = true;
      const int code = pa_context_errno(self->pulse_->context());
      self->error_(code == PA_ERR_KILLED ? "the output device was removed"
                                         : pulse_error_text(code));
    }
    pa_threaded_mainloop_signal(self->pulse_->loop(), 0);
  }

  static void on_success(pa_stream*, int success, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    self->success_ = success != 0;
    pa_threaded_mainloop_signal(self->pulse_->loop(), 0);
  }

  // Fills what the server asks for straight into its own buffers, so nothing is allocated here.
  static void on_write(pa_stream* stream, size_t requested, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    while (requested >= self->frame_bytes_) {
      void* data = nullptr;
      size_t bytes = requested;
      if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data) return;
      bytes -= bytes % self->frame_bytes_;
      if (bytes == 0) {
        pa_stream_cancel_write(stream);
        return;
      }
      self->data_(data, bytes / self->sample_bytes_);
      if (pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
      requested -= bytes;
    }
  }

  const std::shared_ptr<PulseContext> pulse_;
  const DataCallback data_;
  const ErrorCallback error_;
  pa_stream* stream_ = nullptr;
  size_t frame_bytes_ = 0;
  size_t sample_bytes_ = 0;
  // Touched under the loop lock only.
  bool connected_ = false;
  bool failed_ = false;
  bool success_ = false;
};

// One sink as it was when listed. Main thread only; its streams run on the loop thread.
class PulseDevice final : public AudioDevice {
 public:
  PulseDevice(std::shared_ptr<PulseContext> pulse, SinkSnapshot sink)
      : pulse_(std::move(pulse)), sink_(std::move(sink)) {}

  Result<std::string> name() const override { return sink_.description; }

  // The sink's own rate and channel count; the server converts the sample format.
  Result<std::vector<SupportedConfigRange>> supported_output_configs() const override {
    const auto channels = static_cast<uint16_t>(sink_.spec.channels);
    const uint32_t rate = sink_.spec.rate;
    return std::vector<SupportedConfigRange>{{channels, rate, rate, SampleFormat::F32},
                                             {channels, rate, rate, SampleFormat::I16}};
  }

  Result<StreamConfig> default_output_config() const override {
    return StreamConfig{static_cast<uint16_t>(sink_.spec.channels), sink_.spec.rate,
                        SampleFormat::F32};
  }

  Result<std::unique_ptr<AudioStream>> build_output_stream(const StreamConfig& config,
                                                           DataCallback data,
                                                           ErrorCallback error) override {
    if (!data || !error) return make_error("the stream needs a data and an error callback");
    const std::optional<pa_sample_format_t> format = pulse_format(config.format);
    if (!format) {
      return make_error(std::string("sample format ") +
                        std::string(sample_format_name(config.format)) +
                        " is not supported by PulseAudio");
    }
    auto stream = std::make_unique<PulseStream>(pulse_, std::move(data), std::move(error));
    if (const Status connected = stream->connect(sink_, config, *format); !connected) {
      return make_error(connected.error());
    }
    return std::unique_ptr<AudioStream>(std::move(stream));
  }

 private:
  const std::shared_ptr<PulseContext> pulse_;
  const SinkSnapshot sink_;
};

// Main thread only. Connects on first use; a failed connection is kept and reported by every
// query, so the listing and the device search show why.
class PulseHost final : public AudioHost {
 public:
  ~PulseHost() override {
    // A device's stream may keep the connection: the watch ends with the host.
    if (!watching_) return;
    const std::shared_ptr<PulseContext>& pulse = **connection_;
    LoopLock lock(pulse->loop());
    pulse->watch_default_sink(std::nullopt, nullptr);
  }

  std::string name() const override { return "PulseAudio"; }

  std::unique_ptr<AudioDevice> default_output_device() override {
    const Result<std::shared_ptr<PulseContext>>& pulse = connection();
    if (!pulse) return nullptr;
    const PulseContext& ctx = **pulse;
    LoopLock lock(ctx.loop());
    const std::optional<std::string> default_sink = default_sink_name(ctx);
    if (!default_sink) return nullptr;

    SinkQuery sinks{&ctx, {}, std::nullopt};
    Operation by_name(pa_context_get_sink_info_by_name(ctx.context(), default_sink->c_str(),
                                                       &on_sink_info, &sinks));
    if (!by_name) return nullptr;
    ctx.wait(std::move(by_name));
    if (sinks.error || sinks.sinks.empty()) return nullptr;
    return std::make_unique<PulseDevice>(*pulse, std::move(sinks.sinks.front()));
  }

  Result<std::vector<std::unique_ptr<AudioDevice>>> output_devices() override {
    const Result<std::shared_ptr<PulseContext>>& pulse = connection();
    if (!pulse) return make_error(pulse.error());
    const PulseContext& ctx = **pulse;
    SinkQuery sinks{&ctx, {}, std::nullopt};
    {
      LoopLock lock(ctx.loop());
      Operation op(pa_context_get_sink_info_list(ctx.context(), &on_sink_info, &sinks));
      if (!op) return make_error(ctx.last_error());
      ctx.wait(std::move(op));
      if (!sinks.error && !PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx.context()))) {
        sinks.error = ctx.last_error();
      }
    }
    if (sinks.error) return make_error(*sinks.error);
    std::vector<std::unique_ptr<AudioDevice>> devices;
    devices.reserve(sinks.sinks.size());
    for (SinkSnapshot& sink : sinks.sinks) {
      devices.push_back(std::make_unique<PulseDevice>(*pulse, std::move(sink)));
    }
    return devices;
  }

  void watch_default_output(std::function<void()> changed) override {
    const Result<std::shared_ptr<PulseContext>>& pulse = connection();
    if (!pulse) return;
    LoopLock lock((*pulse)->loop());
    (*pulse)->watch_default_sink(default_sink_name(**pulse), std::move(changed));
    watching_ = true;
  }

 private:
  // Caller holds the loop lock.
  static std::optional<std::string> default_sink_name(const PulseContext& ctx) {
    ServerQuery server{&ctx, std::nullopt};
    Operation op(pa_context_get_server_info(ctx.context(), &on_server_info, &server));
    if (!op) return std::nullopt;
    ctx.wait(std::move(op));
    return server.default_sink;
  }

  const Result<std::shared_ptr<PulseContext>>& connection() {
    if (!connection_) connection_.emplace(PulseContext::connect());
    return *connection_;
  }

  std::optional<Result<std::shared_ptr<PulseContext>>> connection_;
  bool watching_ = false;
};

}  // namespace

std::unique_ptr<AudioHost> make_pulseaudio_host() {
  return std::make_unique<PulseHost>();
}

}  // namespace brindle
