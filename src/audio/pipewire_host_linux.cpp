// PipeWire backend: one thread loop, context and core per host, shared by the host, its devices
// and their streams. The registry is followed for the life of the host: sink nodes (named by
// their descriptions) and the default sink from the "default" metadata. A stream watches its
// sink's node and the connection itself, so a removed sink or a dead server is one stream error.
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/raw-types.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "audio/linux_hosts.h"
#include "audio/pipewire_props.h"
#include "audio/sound_server_names.h"
#include "protocol/packet.h"

namespace brindle {
namespace {

constexpr const char* NODE_NAME = "brindle_receiver";
// The graph quantum the stream asks for, 30 ms: measured (bench/cost), the lowest CPU that keeps
// a click's median latency to a recording program within 60 ms.
constexpr uint32_t LATENCY_FRAMES = 1440;
// How long the server and its session manager get to answer before it counts as a failure.
constexpr int64_t ANSWER_TIMEOUT_NS = 3'000'000'000;
constexpr int64_t LINK_TIMEOUT_NS = 3'000'000'000;
constexpr int64_t WAIT_SLICE_NS = 100'000'000;

void init_library() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// Holds the thread loop's lock for its scope. Never used on the loop thread itself.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

// Caller holds the loop lock. Waits for a signal until `done()` or the deadline; false on the
// deadline. The loop's timed wait takes a wall-clock time, which a clock stepped back would
// stretch: the deadline is kept on the steady clock and each wait is a short slice.
template <class Done>
bool wait_until(pw_thread_loop* loop, int64_t timeout_ns, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeout_ns);
  while (!done()) {
    const int64_t left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             deadline - std::chrono::steady_clock::now())
                             .count();
    if (left <= 0) return done();
    timespec slice{};
    pw_thread_loop_get_time(loop, &slice, std::min(left, WAIT_SLICE_NS));
    pw_thread_loop_timed_wait_full(loop, &slice);
  }
  return true;
}

std::optional<std::string_view> prop(const spa_dict* props, const char* key) {
  const char* value = props ? spa_dict_lookup(props, key) : nullptr;
  if (!value) return std::nullopt;
  return std::string_view(value);
}

// A sink node as the registry announced it.
struct SinkNode {
  uint32_t id = 0;
  std::string name;
  std::string description;
  uint16_t channels = 2;
  std::vector<std::string> positions;
};

// A stream's view of the connection; called on the loop thread with the lock held.
class ConnectionWatcher {
 public:
  virtual ~ConnectionWatcher() = default;
  virtual void global_removed(uint32_t id) = 0;
  virtual void connection_lost() = 0;
};

// The connection to the daemon. Every pw_* call on it or its streams happens with the loop
// lock held, or on the loop thread inside a callback.
class PipeWireContext {
 public:
  // Fails only when no daemon accepts the connection.
  static Result<std::shared_ptr<PipeWireContext>> open() {
    init_library();
    auto self = std::shared_ptr<PipeWireContext>(new PipeWireContext());
    self->loop_ = pw_thread_loop_new("brindle-pipewire", nullptr);
    if (!self->loop_) return make_error("cannot create the PipeWire loop");
    self->context_ =
        pw_context_new(pw_thread_loop_get_loop(self->loop_),
                       pw_properties_new(PW_KEY_APP_NAME, APPLICATION_NAME, nullptr), 0);
    if (!self->context_) return make_error("cannot create the PipeWire context");
    if (pw_thread_loop_start(self->loop_) < 0) return make_error("cannot start the PipeWire loop");
    self->loop_running_ = true;

    LoopLock lock(self->loop_);
    self->core_ = pw_context_connect(
        self->context_, pw_properties_new(PW_KEY_APP_NAME, APPLICATION_NAME, nullptr), 0);
    if (!self->core_) {
      return make_error(std::string("no PipeWire daemon: ") + std::strerror(errno));
    }
    pw_core_add_listener(self->core_, &self->core_listener_, &CORE_EVENTS, self.get());
    self->registry_ = pw_core_get_registry(self->core_, PW_VERSION_REGISTRY, 0);
    if (!self->registry_) return make_error("cannot read the PipeWire registry");
    pw_registry_add_listener(self->registry_, &self->registry_listener_, &REGISTRY_EVENTS,
                             self.get());
    return self;
  }

  ~PipeWireContext() {
    // Once the loop has stopped no callback runs, so the rest needs no lock.
    if (loop_running_) pw_thread_loop_stop(loop_);
    if (metadata_) {
      spa_hook_remove(&metadata_listener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata_));
    }
    if (registry_) {
      spa_hook_remove(&registry_listener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_) {
      spa_hook_remove(&core_listener_);
      pw_core_disconnect(core_);
    }
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
  }

  PipeWireContext(const PipeWireContext&) = delete;
  PipeWireContext& operator=(const PipeWireContext&) = delete;

  pw_thread_loop* loop() const { return loop_; }
  pw_core* core() const { return core_; }

  // Caller holds the loop lock. Waits until the server has sent everything asked for so far:
  // twice, because the "default" metadata is bound only once the registry has named it.
  Status settle() {
    for (int round = 0; round < 2; ++round) {
      const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
      const bool answered =
          wait_until(loop_, ANSWER_TIMEOUT_NS, [&] { return lost_ || done_seq_ == seq; });
      if (lost_) return make_error(*lost_);
      if (!answered) return make_error("the PipeWire daemon does not answer");
    }
    return {};
  }

  // Caller holds the loop lock.
  const std::optional<std::string>& lost() const { return lost_; }
  std::vector<SinkNode> sinks() const {
    std::vector<SinkNode> list;
    for (const auto& [id, sink] : sinks_) list.push_back(sink);
    return list;
  }
  std::optional<SinkNode> default_sink() const {
    if (!default_sink_) return std::nullopt;
    for (const auto& [id, sink] : sinks_) {
      if (sink.name == *default_sink_) return sink;
    }
    return std::nullopt;
  }
  // Caller holds the loop lock. From now on `changed` runs on the loop thread each time the
  // metadata names a default sink other than today's; a null `changed` ends the watch.
  void watch_default_sink(std::function<void()> changed) {
    followed_sink_ = default_sink_;
    default_changed_ = std::move(changed);
  }
  void watch(ConnectionWatcher* watcher) { watchers_.push_back(watcher); }
  void unwatch(ConnectionWatcher* watcher) {
    watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
  }

 private:
  PipeWireContext() = default;

  static void on_done(void* data, uint32_t id, int seq) {
    auto* self = static_cast<PipeWireContext*>(data);
    if (id != PW_ID_CORE) return;
    self->done_seq_ = seq;
    pw_thread_loop_signal(self->loop_, false);
  }

  static void on_error(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<PipeWireContext*>(data);
    if (id != PW_ID_CORE || res != -EPIPE || self->lost_) return;
    self->lost_ = std::string("the PipeWire daemon went away (") +
                  (message ? message : std::strerror(-res)) + ")";
    // A copy: a watcher's error callback may lead to its stream being released.
    const std::vector<ConnectionWatcher*> watchers = self->watchers_;
    for (ConnectionWatcher* watcher : watchers) watcher->connection_lost();
    pw_thread_loop_signal(self->loop_, false);
  }

  static void on_global(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                        const spa_dict* props) {
    auto* self = static_cast<PipeWireContext*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      if (prop(props, PW_KEY_MEDIA_CLASS) != std::string_view("Audio/Sink")) return;
      SinkNode sink;
      sink.id = id;
      sink.name = std::string(prop(props, PW_KEY_NODE_NAME).value_or(""));
      sink.description = std::string(prop(props, PW_KEY_NODE_DESCRIPTION).value_or(""));
      if (sink.description.empty()) sink.description = sink.name;
      const std::optional<std::string_view> position = prop(props, "audio.position");
      sink.channels = sink_channel_count(prop(props, "audio.channels"), position);
      if (position) sink.positions = parse_channel_positions(*position);
      self->sinks_[id] = std::move(sink);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && !self->metadata_ &&
               prop(props, PW_KEY_METADATA_NAME) == std::string_view("default")) {
      self->metadata_ = static_cast<pw_metadata*>(
          pw_registry_bind(self->registry_, id, type, PW_VERSION_METADATA, 0));
      if (!self->metadata_) return;
      self->metadata_id_ = id;
      pw_metadata_add_listener(self->metadata_, &self->metadata_listener_, &METADATA_EVENTS, self);
    }
  }

  static void on_global_remove(void* data, uint32_t id) {
    auto* self = static_cast<PipeWireContext*>(data);
    self->sinks_.erase(id);
    if (self->metadata_ && id == self->metadata_id_) {
      spa_hook_remove(&self->metadata_listener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(self->metadata_));
      self->metadata_ = nullptr;
      self->default_sink_.reset();
    }
    const std::vector<ConnectionWatcher*> watchers = self->watchers_;
    for (ConnectionWatcher* watcher : watchers) watcher->global_removed(id);
  }

  static int on_property(void* data, uint32_t subject, const char* key, const char*,
                         const char* value) {
    auto* self = static_cast<PipeWireContext*>(data);
    if (subject != PW_ID_CORE) return 0;
    if (!key) {
      self->default_sink_.reset();  // every key cleared
    } else if (std::strcmp(key, "default.audio.sink") == 0) {
      self->default_sink_ = value ? default_sink_name(value) : std::nullopt;
      // Compared with the last one followed, so a metadata object bound again is no change.
      if (self->default_changed_ && self->default_sink_ &&
          self->default_sink_ != self->followed_sink_) {
        self->followed_sink_ = self->default_sink_;
        self->default_changed_();
      }
    }
    return 0;
  }

  static constexpr pw_core_events CORE_EVENTS = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &PipeWireContext::on_done;
    events.error = &PipeWireContext::on_error;
    return events;
  }();
  static constexpr pw_registry_events REGISTRY_EVENTS = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &PipeWireContext::on_global;
    events.global_remove = &PipeWireContext::on_global_remove;
    return events;
  }();
  static constexpr pw_metadata_events METADATA_EVENTS = [] {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = &PipeWireContext::on_property;
    return events;
  }();

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  pw_metadata* metadata_ = nullptr;
  bool loop_running_ = false;
  // Touched under the loop lock only.
  spa_hook core_listener_{};
  spa_hook registry_listener_{};
  spa_hook metadata_listener_{};
  uint32_t metadata_id_ = 0;
  int done_seq_ = -1;
  std::optional<std::string> lost_;
  std::map<uint32_t, SinkNode> sinks_;  // by id: the order in which they appeared
  std::optional<std::string> default_sink_;
  std::optional<std::string> followed_sink_;
  std::function<void()> default_changed_;
  std::vector<ConnectionWatcher*> watchers_;
};

uint32_t channel_position(std::string_view name) {
  for (const spa_type_info* info = spa_type_audio_channel; info->name; ++info) {
    const std::string_view full(info->name);
    if (full.substr(full.rfind(':') + 1) == name) return info->type;
  }
  return SPA_AUDIO_CHANNEL_UNKNOWN;
}

// The sink's own layout when it names one per channel; a plain one otherwise.
void set_positions(spa_audio_info_raw& info, const SinkNode& sink) {
  bool named = sink.positions.size() == info.channels;
  for (size_t c = 0; named && c < info.channels; ++c) {
    info.position[c] = channel_position(sink.positions[c]);
    named = info.position[c] != SPA_AUDIO_CHANNEL_UNKNOWN;
  }
  if (named) return;
  if (info.channels == 1) {
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
  } else if (info.channels == 2) {
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
  } else {
    info.flags |= SPA_AUDIO_FLAG_UNPOSITIONED;
  }
}

// A playback stream linked to one sink. process() runs on the real-time data thread; every
// other callback on the loop thread with the lock held.
class PipeWireStream final : public AudioStream, private ConnectionWatcher {
 public:
  PipeWireStream(std::shared_ptr<PipeWireContext> pipewire, DataCallback data, ErrorCallback error)
      : pipewire_(std::move(pipewire)), data_(std::move(data)), error_(std::move(error)) {}

  ~PipeWireStream() override {
    LoopLock lock(pipewire_->loop());
    pipewire_->unwatch(this);
    if (stream_) pw_stream_destroy(stream_);
  }

  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  Status connect(const SinkNode& sink, const StreamConfig& config) {
    if (config.channels == 0 || config.channels > SPA_AUDIO_MAX_CHANNELS) {
      return make_error("invalid stream configuration");
    }
    channels_ = config.channels;
    stride_ = static_cast<uint32_t>(sizeof(float)) * channels_;
    sink_id_ = sink.id;

    const std::string latency = node_latency_property(LATENCY_FRAMES);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_APP_NAME,
        APPLICATION_NAME, PW_KEY_NODE_NAME, NODE_NAME, PW_KEY_NODE_DESCRIPTION, APPLICATION_NAME,
        PW_KEY_NODE_LATENCY, latency.c_str(), PW_KEY_TARGET_OBJECT, sink.name.c_str(),
        // Audio meant for the virtual cable must not move to the speakers when the cable goes.
        PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    if (!props) return make_error("cannot create the stream properties");

    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = config.sample_rate;
    info.channels = config.channels;
    set_positions(info, sink);
    uint8_t pod_buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod_buffer, sizeof(pod_buffer));
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    LoopLock lock(pipewire_->loop());
    if (pipewire_->lost()) return make_error(*pipewire_->lost());
    stream_ = pw_stream_new(pipewire_->core(), STREAM_NAME, props);  // owns props
    if (!stream_)
      return make_error(std::string("cannot create the stream: ") + std::strerror(errno));
    pw_stream_add_listener(stream_, &listener_, &STREAM_EVENTS, this);
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS |
        PW_STREAM_FLAG_INACTIVE | PW_STREAM_FLAG_DONT_RECONNECT);
    if (const int res =
            pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
        res < 0) {
      return make_error(std::string("cannot connect the stream: ") + spa_strerror(res));
    }
    pipewire_->watch(this);
    const Status ready = await_state(PW_STREAM_STATE_PAUSED, ANSWER_TIMEOUT_NS,
                                     "the PipeWire daemon did not set up the stream");
    if (ready) connected_ = true;
    return ready;
  }

  // Waits until the session manager has linked the stream to its sink and the graph runs it.
  Status play() override {
    LoopLock lock(pipewire_->loop());
    if (failed_) return make_error(failure_);
    if (const int res = pw_stream_set_active(stream_, true); res < 0) {
      return make_error(spa_strerror(res));
    }
    return await_state(PW_STREAM_STATE_STREAMING, LINK_TIMEOUT_NS,
                       fmt::format("the stream was not linked to its output within {} s (is the "
                                   "session manager, WirePlumber, running?)",
                                   LINK_TIMEOUT_NS / 1'000'000'000));
  }

  // An inactive stream is not scheduled, so neither this process nor the graph wakes for it
  // and the sink may suspend.
  Status pause() override {
    LoopLock lock(pipewire_->loop());
    if (failed_) return make_error(failure_);
    if (const int res = pw_stream_set_active(stream_, false); res < 0) {
      return make_error(spa_strerror(res));
    }
    return {};
  }

 private:
  // Loop thread, lock held: the first failure of a connected stream is reported, once.
  void fail(std::string error) {
    if (failed_) return;
    failed_ = true;
    failure_ = std::move(error);
    pw_thread_loop_signal(pipewire_->loop(), false);
    if (connected_) error_(failure_);
  }

  void global_removed(uint32_t id) override {
    if (id == sink_id_) fail("the output device was removed");
  }
  void connection_lost() override { fail(pipewire_->lost().value_or("connection lost")); }

  // With the loop locked: until the stream reaches `state` or fails; `late` after `timeout_ns`.
  Status await_state(pw_stream_state state, int64_t timeout_ns, const std::string& late) {
    const bool reached = wait_until(pipewire_->loop(), timeout_ns, [this, state] {
      return failed_ || pw_stream_get_state(stream_, nullptr) == state;
    });
    if (failed_) return make_error(failure_);
    if (!reached) return make_error(late);
    return {};
  }

  static void on_state_changed(void* data, pw_stream_state, pw_stream_state state,
                               const char* error) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      self->fail(error ? error : "stream error");
    } else if (state == PW_STREAM_STATE_UNCONNECTED && self->connected_) {
      self->fail("the stream was disconnected");
    }
    pw_thread_loop_signal(self->pipewire_->loop(), false);
  }

  // Real-time thread: fills the buffer PipeWire hands over in place; nothing is allocated and
  // the only lock is the jitter buffer's, taken by the render state.
  static void on_process(void* data) {
    auto* self = static_cast<PipeWireStream*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
    if (!buffer) return;
    spa_data& plane = buffer->buffer->datas[0];
    if (plane.data && plane.chunk) {
      uint32_t frames = plane.maxsize / self->stride_;
      if (buffer->requested > 0 && buffer->requested < frames) {
        frames = static_cast<uint32_t>(buffer->requested);
      }
      self->data_(plane.data, size_t{frames} * self->channels_);
      plane.chunk->offset = 0;
      plane.chunk->stride = static_cast<int32_t>(self->stride_);
      plane.chunk->size = frames * self->stride_;
    }
    pw_stream_queue_buffer(self->stream_, buffer);
  }

  static constexpr pw_stream_events STREAM_EVENTS = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &PipeWireStream::on_state_changed;
    events.process = &PipeWireStream::on_process;
    return events;
  }();

  const std::shared_ptr<PipeWireContext> pipewire_;
  const DataCallback data_;
  const ErrorCallback error_;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  uint32_t channels_ = 0;
  uint32_t stride_ = 0;
  uint32_t sink_id_ = SPA_ID_INVALID;
  // Touched under the loop lock only.
  bool connected_ = false;
  bool failed_ = false;
  std::string failure_;
};

// One sink node as it was when listed. Its streams run on the loop's threads.
class PipeWireDevice final : public AudioDevice {
 public:
  PipeWireDevice(std::shared_ptr<PipeWireContext> pipewire, SinkNode sink)
      : pipewire_(std::move(pipewire)), sink_(std::move(sink)) {}

  Result<std::string> name() const override { return sink_.description; }

  // The sink's channel count at the stream rate; the graph converts to the sink's own format,
  // also when that changes while the stream runs.
  Result<std::vector<SupportedConfigRange>> supported_output_configs() const override {
    return std::vector<SupportedConfigRange>{
        {sink_.channels, STREAM_RATE, STREAM_RATE, SampleFormat::F32}};
  }

  Result<StreamConfig> default_output_config() const override {
    return StreamConfig{sink_.channels, STREAM_RATE, SampleFormat::F32};
  }

  Result<std::unique_ptr<AudioStream>> build_output_stream(const StreamConfig& config,
                                                           DataCallback data,
                                                           ErrorCallback error) override {
    if (!data || !error) return make_error("the stream needs a data and an error callback");
    if (config.format != SampleFormat::F32) {
      return make_error(std::string("sample format ") +
                        std::string(sample_format_name(config.format)) +
                        " is not supported by the PipeWire stream");
    }
    auto stream = std::make_unique<PipeWireStream>(pipewire_, std::move(data), std::move(error));
    if (const Status connected = stream->connect(sink_, config); !connected) {
      return make_error(connected.error());
    }
    return std::unique_ptr<AudioStream>(std::move(stream));
  }

 private:
  const std::shared_ptr<PipeWireContext> pipewire_;
  const SinkNode sink_;
};

// Main thread only.
class PipeWireHost final : public AudioHost {
 public:
  explicit PipeWireHost(std::shared_ptr<PipeWireContext> pipewire)
      : pipewire_(std::move(pipewire)) {}
  // A device's stream may keep the connection: the watch ends with the host.
  ~PipeWireHost() override {
    LoopLock lock(pipewire_->loop());
    pipewire_->watch_default_sink(nullptr);
  }
  PipeWireHost(const PipeWireHost&) = delete;
  PipeWireHost& operator=(const PipeWireHost&) = delete;

  std::string name() const override { return "PipeWire"; }

  std::unique_ptr<AudioDevice> default_output_device() override {
    std::optional<SinkNode> sink;
    {
      LoopLock lock(pipewire_->loop());
      sink = pipewire_->default_sink();
    }
    if (!sink) return nullptr;
    return std::make_unique<PipeWireDevice>(pipewire_, std::move(*sink));
  }

  Result<std::vector<std::unique_ptr<AudioDevice>>> output_devices() override {
    std::vector<SinkNode> sinks;
    {
      LoopLock lock(pipewire_->loop());
      if (pipewire_->lost()) return make_error(*pipewire_->lost());
      sinks = pipewire_->sinks();
    }
    std::vector<std::unique_ptr<AudioDevice>> devices;
    devices.reserve(sinks.size());
    for (SinkNode& sink : sinks) {
      devices.push_back(std::make_unique<PipeWireDevice>(pipewire_, std::move(sink)));
    }
    return devices;
  }

  void watch_default_output(std::function<void()> changed) override {
    LoopLock lock(pipewire_->loop());
    pipewire_->watch_default_sink(std::move(changed));
  }

 private:
  const std::shared_ptr<PipeWireContext> pipewire_;
};

}  // namespace

PipeWireConnection connect_pipewire_host() {
  Result<std::shared_ptr<PipeWireContext>> pipewire = PipeWireContext::open();
  if (!pipewire) return {PipeWireConnection::State::NO_DAEMON, nullptr, pipewire.error()};
  Status settled;
  {
    LoopLock lock((*pipewire)->loop());
    settled = (*pipewire)->settle();
  }
  if (!settled) return {PipeWireConnection::State::DAEMON_FAILED, nullptr, settled.error()};
  return {PipeWireConnection::State::CONNECTED,
          std::make_unique<PipeWireHost>(std::move(*pipewire)),
          {}};
}

}  // namespace brindle
