// The WASAPI host: Core Audio render endpoints, shared-mode event-driven output streams.
#include <windows.h>

#include <audioclient.h>
#include <audiopolicy.h>
#include <avrt.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "audio/audio_host.h"
#include "audio/hresult_text_win.h"
#include "audio/render_loop.h"
#include "audio/render_session.h"
#include "platform/com_win.h"
#include "platform/owned_handle_win.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

// Defined here rather than taken from import libraries that may not carry them.
constexpr PROPERTYKEY FRIENDLY_NAME_KEY = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
constexpr GUID SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The rates offered beside the mix rate; shared mode converts any of them.
constexpr std::array<uint32_t, 14> COMMON_SAMPLE_RATES = {5512,  8000,   11025,  16000, 22050,
                                                          32000, 44100,  48000,  64000, 88200,
                                                          96000, 176400, 192000, 384000};

constexpr DWORD STREAM_FLAGS = AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                               AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                               AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;

std::string failed(std::string_view what, HRESULT hr) {
  return fmt::format("{}: {}", what, com::hresult_text(hr));
}

// The mix format, copied by what its tag says it is: the plain header, or the extensible one
// when the tag and cbSize agree. cbSize alone never decides how much is read.
struct MixFormat {
  WAVEFORMATEXTENSIBLE format{};
  bool extensible = false;
};

Result<MixFormat> copy_mix_format(const WAVEFORMATEX* raw) {
  MixFormat mix;
  if (raw->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (raw->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
      return make_error("the mix format is extensible but too short");
    }
    std::memcpy(&mix.format, raw, sizeof(WAVEFORMATEXTENSIBLE));
    mix.extensible = true;
  } else {
    std::memcpy(&mix.format.Format, raw, sizeof(WAVEFORMATEX));
    mix.format.Format.cbSize = 0;
  }
  return mix;
}

Result<SampleFormat> sample_format_of(const MixFormat& mix) {
  const WAVEFORMATEX& f = mix.format.Format;
  bool is_float = false;
  bool is_pcm = false;
  if (mix.extensible) {
    is_float = IsEqualGUID(mix.format.SubFormat, SUBTYPE_IEEE_FLOAT);
    is_pcm = IsEqualGUID(mix.format.SubFormat, SUBTYPE_PCM);
  } else {
    is_float = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    is_pcm = f.wFormatTag == WAVE_FORMAT_PCM;
  }
  if (is_float && f.wBitsPerSample == 32) return SampleFormat::F32;
  if (is_float && f.wBitsPerSample == 64) return SampleFormat::F64;
  if (is_pcm && f.wBitsPerSample == 8) return SampleFormat::U8;
  if (is_pcm && f.wBitsPerSample == 16) return SampleFormat::I16;
  if (is_pcm && f.wBitsPerSample == 32) return SampleFormat::I32;
  if (is_pcm && f.wBitsPerSample == 64) return SampleFormat::I64;
  return make_error(fmt::format("unsupported mix format (tag 0x{:04X}, {} bits)", f.wFormatTag,
                                f.wBitsPerSample));
}

// The speaker positions of the first `channels` speakers, the usual guess without a mix mask.
DWORD first_speakers_mask(uint16_t channels) {
  return channels >= 32 ? 0xFFFFFFFFu : (DWORD{1} << channels) - 1;
}

Result<WAVEFORMATEXTENSIBLE> wave_format_for(const StreamConfig& config, const MixFormat& mix) {
  WAVEFORMATEXTENSIBLE wave{};
  GUID subformat = SUBTYPE_PCM;
  WORD bits = 0;
  switch (config.format) {
    case SampleFormat::U8:
      bits = 8;
      break;
    case SampleFormat::I16:
      bits = 16;
      break;
    case SampleFormat::I32:
      bits = 32;
      break;
    case SampleFormat::I64:
      bits = 64;
      break;
    case SampleFormat::F32:
      bits = 32;
      subformat = SUBTYPE_IEEE_FLOAT;
      break;
    case SampleFormat::F64:
      bits = 64;
      subformat = SUBTYPE_IEEE_FLOAT;
      break;
    default:
      return make_error(
          fmt::format("sample format {} is not supported", sample_format_name(config.format)));
  }
  if (config.channels == 0 || config.sample_rate == 0) return make_error("empty stream config");
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = config.channels;
  wave.Format.nSamplesPerSec = config.sample_rate;
  wave.Format.wBitsPerSample = bits;
  wave.Format.nBlockAlign = static_cast<WORD>(config.channels * bits / 8);
  wave.Format.nAvgBytesPerSec = config.sample_rate * wave.Format.nBlockAlign;
  wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  wave.Samples.wValidBitsPerSample = bits;
  wave.dwChannelMask = mix.extensible && mix.format.Format.nChannels == config.channels
                           ? mix.format.dwChannelMask
                           : first_speakers_mask(config.channels);
  wave.SubFormat = subformat;
  return wave;
}

// One running render stream. Created, paused, resumed and destroyed on one thread; the render
// loop runs on a thread of its own with its own COM apartment.
class WasapiStream final : public AudioStream,
                           private RenderLoopDriver,
                           private RenderSessionSteps {
 public:
  WasapiStream(com::Ptr<IAudioClient> client, com::Ptr<IAudioRenderClient> render,
               com::Ptr<IAudioSessionControl2> session, HANDLE buffer_event, UINT32 buffer_frames,
               uint16_t channels, DataCallback data, ErrorCallback error)
      : client_(std::move(client)),
        render_(std::move(render)),
        session_(std::move(session)),
        buffer_event_(buffer_event),
        stop_event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        command_event_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        buffer_frames_(buffer_frames),
        channels_(channels),
        data_(std::move(data)),
        error_(std::move(error)) {}

  WasapiStream(const WasapiStream&) = delete;
  WasapiStream& operator=(const WasapiStream&) = delete;

  ~WasapiStream() override {
    if (stop_event_.get()) ::SetEvent(stop_event_.get());
    if (thread_.joinable()) thread_.join();
    if (started_) client_->Stop();
  }

  // Starts the render thread, which waits for play().
  Status start_thread() {
    if (!stop_event_.get() || !command_event_.get()) {
      return make_error(failed("CreateEventW", HRESULT_FROM_WIN32(::GetLastError())));
    }
    try {
      thread_ = std::thread([this] { render_loop(); });
    } catch (const std::system_error& e) {
      return make_error(fmt::format("cannot start the render thread: {}", e.what()));
    }
    return {};
  }

  Status play() override {
    if (started_ && !paused_.load()) return {};
    if (const Status started = start_render_session(*this); !started) return started;
    started_ = true;
    paused_.store(false);
    ::SetEvent(command_event_.get());
    return {};
  }

  // Stopping the client also drops the power request that a running stream holds.
  Status pause() override {
    if (!started_ || paused_.load()) return {};
    paused_.store(true);
    ::SetEvent(command_event_.get());
    const HRESULT hr = client_->Stop();
    if (FAILED(hr)) return stream_error("IAudioClient::Stop", hr);
    return {};
  }

 private:
  // Windows turns other sessions down while a call plays or records; the phone's audio is what
  // the call is for. Wine may not implement it, and a session that cannot opt out still plays.
  void opt_out_of_ducking() override {
    if (session_) session_->SetDuckingPreference(TRUE);
  }

  Status start() override {
    const HRESULT hr = client_->Start();
    if (FAILED(hr) && hr != AUDCLNT_E_NOT_STOPPED) return stream_error("IAudioClient::Start", hr);
    return {};
  }

  // Raises the thread for audio: MMCSS "Pro Audio" where the service exists, and time-critical
  // priority either way.
  class AudioThreadPriority {
   public:
    AudioThreadPriority() {
      ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
      DWORD task_index = 0;
      task_ = ::AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);
    }
    AudioThreadPriority(const AudioThreadPriority&) = delete;
    AudioThreadPriority& operator=(const AudioThreadPriority&) = delete;
    ~AudioThreadPriority() {
      if (task_) ::AvRevertMmThreadCharacteristics(task_);
    }

   private:
    HANDLE task_ = nullptr;
  };

  // Reports the first failure once; the stream then ends, as WASAPI streams do after an error.
  void render_loop() {
    const com::Apartment apartment;
    const AudioThreadPriority priority;
    run_render_loop(*this, error_);
  }

  Result<RenderWake> wait(std::optional<std::chrono::milliseconds> timeout) override {
    const std::array<HANDLE, 3> events = {stop_event_.get(), command_event_.get(),
                                          buffer_event_.get()};
    const DWORD limit = timeout ? static_cast<DWORD>(timeout->count()) : INFINITE;
    const DWORD woke =
        ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, limit);
    switch (woke) {
      case WAIT_OBJECT_0:
        return RenderWake::STOP;
      case WAIT_OBJECT_0 + 1:
        return RenderWake::COMMAND;
      case WAIT_OBJECT_0 + 2:
        return RenderWake::BUFFER;
      case WAIT_TIMEOUT:
        return RenderWake::TIMEOUT;
      default:
        return make_error(
            failed("waiting for the audio buffer", HRESULT_FROM_WIN32(::GetLastError())));
    }
  }

  bool paused() const override { return paused_.load(); }

  Result<uint32_t> fill() override {
    UINT32 padding = 0;
    HRESULT hr = client_->GetCurrentPadding(&padding);
    if (FAILED(hr)) return make_error(stream_error("IAudioClient::GetCurrentPadding", hr).error());
    if (padding >= buffer_frames_) return 0u;
    const UINT32 frames = buffer_frames_ - padding;
    BYTE* buffer = nullptr;
    hr = render_->GetBuffer(frames, &buffer);
    if (FAILED(hr)) return make_error(stream_error("IAudioRenderClient::GetBuffer", hr).error());
    data_(buffer, static_cast<size_t>(frames) * channels_);
    hr = render_->ReleaseBuffer(frames, 0);
    if (FAILED(hr)) {
      return make_error(stream_error("IAudioRenderClient::ReleaseBuffer", hr).error());
    }
    return frames;
  }

  // A vanished endpoint is told in the user's terms, not the call's.
  static Status stream_error(std::string_view what, HRESULT hr) {
    if (hr == AUDCLNT_E_DEVICE_INVALIDATED) return make_error(com::hresult_text(hr));
    return make_error(failed(what, hr));
  }

  const com::Apartment apartment_;  // keeps COM up on the owner's thread while the client lives
  com::Ptr<IAudioClient> client_;
  com::Ptr<IAudioRenderClient> render_;
  com::Ptr<IAudioSessionControl2> session_;  // null where the session has no such control
  OwnedHandle buffer_event_;
  OwnedHandle stop_event_;
  OwnedHandle command_event_;  // pause or resume: the render loop reconsiders its wait
  const UINT32 buffer_frames_;
  const uint16_t channels_;
  DataCallback data_;     // render thread only
  ErrorCallback error_;   // render thread only
  bool started_ = false;  // owner's thread only
  std::atomic<bool> paused_{false};
  std::thread thread_;
};

class WasapiDevice final : public AudioDevice {
 public:
  explicit WasapiDevice(com::Ptr<IMMDevice> device) : device_(std::move(device)) {}

  Result<std::string> name() const override {
    com::Ptr<IPropertyStore> store;
    HRESULT hr = device_->OpenPropertyStore(STGM_READ, store.put());
    if (FAILED(hr)) return make_error(failed("IMMDevice::OpenPropertyStore", hr));
    com::PropVariant value;
    hr = store->GetValue(FRIENDLY_NAME_KEY, value.put());
    if (FAILED(hr)) return make_error(failed("IPropertyStore::GetValue", hr));
    if (value.get().vt != VT_LPWSTR || value.get().pwszVal == nullptr) {
      return make_error("the endpoint has no friendly name");
    }
    return utf8::from_utf16(reinterpret_cast<const char16_t*>(value.get().pwszVal));
  }

  Result<std::vector<SupportedConfigRange>> supported_output_configs() const override {
    Result<MixFormat> mix = mix_format();
    if (!mix) return make_error(mix.error());
    const Result<SampleFormat> format = sample_format_of(*mix);
    if (!format) return make_error(format.error());
    const uint16_t channels = mix->format.Format.nChannels;
    const uint32_t mix_rate = mix->format.Format.nSamplesPerSec;
    // Shared mode converts rates itself (AUTOCONVERTPCM), so the common rates are all offered in
    // the mix's own channel count and format, and the mix rate among them.
    std::vector<SupportedConfigRange> ranges;
    bool has_mix_rate = false;
    for (const uint32_t rate : COMMON_SAMPLE_RATES) {
      ranges.push_back({channels, rate, rate, *format});
      has_mix_rate = has_mix_rate || rate == mix_rate;
    }
    if (!has_mix_rate) ranges.push_back({channels, mix_rate, mix_rate, *format});
    return ranges;
  }

  Result<StreamConfig> default_output_config() const override {
    Result<MixFormat> mix = mix_format();
    if (!mix) return make_error(mix.error());
    const Result<SampleFormat> format = sample_format_of(*mix);
    if (!format) return make_error(format.error());
    return StreamConfig{mix->format.Format.nChannels, mix->format.Format.nSamplesPerSec, *format};
  }

  Result<std::unique_ptr<AudioStream>> build_output_stream(const StreamConfig& config,
                                                           DataCallback data,
                                                           ErrorCallback error) override {
    Result<MixFormat> mix = mix_format();
    if (!mix) return make_error(mix.error());
    Result<WAVEFORMATEXTENSIBLE> wave = wave_format_for(config, *mix);
    if (!wave) return make_error(wave.error());

    Result<com::Ptr<IAudioClient>> client = activate_client();
    if (!client) return make_error(client.error());
    // A zero duration asks for the engine's own period.
    HRESULT hr = (*client)->Initialize(AUDCLNT_SHAREMODE_SHARED, STREAM_FLAGS, 0, 0,
                                       reinterpret_cast<const WAVEFORMATEX*>(&*wave), nullptr);
    if (FAILED(hr)) return make_error(failed("IAudioClient::Initialize", hr));

    const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) return make_error(failed("CreateEventW", HRESULT_FROM_WIN32(::GetLastError())));
    OwnedHandle event_owner(event);
    hr = (*client)->SetEventHandle(event);
    if (FAILED(hr)) return make_error(failed("IAudioClient::SetEventHandle", hr));

    UINT32 buffer_frames = 0;
    hr = (*client)->GetBufferSize(&buffer_frames);
    if (FAILED(hr)) return make_error(failed("IAudioClient::GetBufferSize", hr));

    com::Ptr<IAudioRenderClient> render;
    hr = (*client)->GetService(__uuidof(IAudioRenderClient), render.put_void());
    if (FAILED(hr)) return make_error(failed("IAudioClient::GetService", hr));

    com::Ptr<IAudioSessionControl2> session = session_control(*(*client).get());
    auto stream = std::make_unique<WasapiStream>(
        std::move(client).value(), std::move(render), std::move(session), event_owner.release(),
        buffer_frames, config.channels, std::move(data), std::move(error));
    if (const Status started = stream->start_thread(); !started) {
      return make_error(started.error());
    }
    return std::unique_ptr<AudioStream>(std::move(stream));
  }

 private:
  // Best effort, as its only use is.
  static com::Ptr<IAudioSessionControl2> session_control(IAudioClient& client) {
    com::Ptr<IAudioSessionControl> control;
    if (FAILED(client.GetService(__uuidof(IAudioSessionControl), control.put_void())) || !control) {
      return {};
    }
    com::Ptr<IAudioSessionControl2> control2;
    if (FAILED(control->QueryInterface(__uuidof(IAudioSessionControl2), control2.put_void()))) {
      return {};
    }
    return control2;
  }

  Result<com::Ptr<IAudioClient>> activate_client() const {
    com::Ptr<IAudioClient> client;
    const HRESULT hr =
        device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
    if (FAILED(hr)) return make_error(failed("IMMDevice::Activate", hr));
    return client;
  }

  Result<MixFormat> mix_format() const {
    Result<com::Ptr<IAudioClient>> client = activate_client();
    if (!client) return make_error(client.error());
    com::TaskMem<WAVEFORMATEX> raw;
    const HRESULT hr = (*client)->GetMixFormat(raw.put());
    if (FAILED(hr)) return make_error(failed("IAudioClient::GetMixFormat", hr));
    if (!raw.get()) return make_error("the endpoint has no mix format");
    return copy_mix_format(raw.get());
  }

  const com::Apartment apartment_;
  com::Ptr<IMMDevice> device_;
};

// Tells of a new default render endpoint for the console role, the one default_output_device()
// reads; called on a thread of the audio service's. The enumerator takes no reference, so the
// host owns it and unregisters it before it goes.
class DefaultEndpointWatch final : public IMMNotificationClient {
 public:
  explicit DefaultEndpointWatch(std::function<void()> changed) : changed_(std::move(changed)) {}
  DefaultEndpointWatch(const DefaultEndpointWatch&) = delete;
  DefaultEndpointWatch& operator=(const DefaultEndpointWatch&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
      *out = static_cast<IMMNotificationClient*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Its lifetime is its host's, not counted.
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
    if (flow == eRender && role == eConsole) changed_();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  const std::function<void()> changed_;
};

class WasapiHost final : public AudioHost {
 public:
  WasapiHost() {
    if (!apartment_.usable()) {
      setup_error_ = failed("CoInitializeEx", apartment_.result());
      return;
    }
    const HRESULT hr = ::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                          __uuidof(IMMDeviceEnumerator), enumerator_.put_void());
    if (FAILED(hr)) setup_error_ = failed("CoCreateInstance(MMDeviceEnumerator)", hr);
  }
  ~WasapiHost() override {
    if (watch_) enumerator_->UnregisterEndpointNotificationCallback(watch_.get());
  }
  WasapiHost(const WasapiHost&) = delete;
  WasapiHost& operator=(const WasapiHost&) = delete;

  std::string name() const override { return "WASAPI"; }

  std::unique_ptr<AudioDevice> default_output_device() override {
    if (!enumerator_) return nullptr;
    com::Ptr<IMMDevice> device;
    const HRESULT hr = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, device.put());
    if (FAILED(hr) || !device) return nullptr;
    return std::make_unique<WasapiDevice>(std::move(device));
  }

  Result<std::vector<std::unique_ptr<AudioDevice>>> output_devices() override {
    if (!enumerator_) return make_error(setup_error_);
    com::Ptr<IMMDeviceCollection> collection;
    HRESULT hr = enumerator_->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection.put());
    if (FAILED(hr)) return make_error(failed("IMMDeviceEnumerator::EnumAudioEndpoints", hr));
    UINT count = 0;
    hr = collection->GetCount(&count);
    if (FAILED(hr)) return make_error(failed("IMMDeviceCollection::GetCount", hr));
    std::vector<std::unique_ptr<AudioDevice>> devices;
    for (UINT i = 0; i < count; ++i) {
      com::Ptr<IMMDevice> device;
      hr = collection->Item(i, device.put());
      if (FAILED(hr)) return make_error(failed("IMMDeviceCollection::Item", hr));
      devices.push_back(std::make_unique<WasapiDevice>(std::move(device)));
    }
    return devices;
  }

  // Windows does not move a stream to a new default endpoint by itself.
  void watch_default_output(std::function<void()> changed) override {
    if (!enumerator_ || watch_) return;
    auto watch = std::make_unique<DefaultEndpointWatch>(std::move(changed));
    if (SUCCEEDED(enumerator_->RegisterEndpointNotificationCallback(watch.get()))) {
      watch_ = std::move(watch);
    }
  }

 private:
  const com::Apartment apartment_;
  com::Ptr<IMMDeviceEnumerator> enumerator_;
  std::string setup_error_;
  std::unique_ptr<DefaultEndpointWatch> watch_;  // registered while set
};

}  // namespace

std::unique_ptr<AudioHost> default_host() {
  return std::make_unique<WasapiHost>();
}

}  // namespace brindle
