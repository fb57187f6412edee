#include "audio/hresult_text_win.h"

#include <audioclient.h>

#include <memory>

#include <fmt/format.h>

#include "platform/system_message_win.h"

namespace brindle::com {
namespace {

// The system message table does not carry the Core Audio codes.
std::string_view core_audio_text(HRESULT hr) {
  switch (hr) {
    case AUDCLNT_E_NOT_INITIALIZED:
      return "The audio stream has not been initialized.";
    case AUDCLNT_E_ALREADY_INITIALIZED:
      return "The audio stream has already been initialized.";
    case AUDCLNT_E_WRONG_ENDPOINT_TYPE:
      return "The endpoint is not a rendering endpoint.";
    case AUDCLNT_E_DEVICE_INVALIDATED:
      return "The audio endpoint device has been unplugged, or the audio hardware or associated "
             "hardware resources have been reconfigured, disabled, removed, or otherwise made "
             "unavailable for use.";
    case AUDCLNT_E_NOT_STOPPED:
      return "The audio stream was not stopped.";
    case AUDCLNT_E_BUFFER_TOO_LARGE:
      return "The requested buffer size is too large.";
    case AUDCLNT_E_OUT_OF_ORDER:
      return "A previous buffer request is still outstanding.";
    case AUDCLNT_E_UNSUPPORTED_FORMAT:
      return "The audio engine does not support the format.";
    case AUDCLNT_E_INVALID_SIZE:
      return "The buffer size is not valid.";
    case AUDCLNT_E_DEVICE_IN_USE:
      return "The endpoint device is already in use.";
    case AUDCLNT_E_BUFFER_OPERATION_PENDING:
      return "A buffer operation is pending.";
    case AUDCLNT_E_THREAD_NOT_REGISTERED:
      return "The thread is not registered.";
    case AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED:
      return "Exclusive mode is disabled on the endpoint device.";
    case AUDCLNT_E_ENDPOINT_CREATE_FAILED:
      return "The endpoint could not be created.";
    case AUDCLNT_E_SERVICE_NOT_RUNNING:
      return "The Windows audio service is not running.";
    case AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED:
      return "The stream is not initialized for event-driven buffering.";
    case AUDCLNT_E_EVENTHANDLE_NOT_SET:
      return "No event handle was set for the stream.";
    case AUDCLNT_E_BUFFER_ERROR:
      return "The audio buffer could not be obtained.";
    case AUDCLNT_E_CPUUSAGE_EXCEEDED:
      return "The audio engine exceeded its processing time.";
    case AUDCLNT_E_RESOURCES_INVALIDATED:
      return "The audio resources have been invalidated.";
    default:
      return {};
  }
}

}  // namespace

std::string hresult_text(HRESULT hr) {
  std::string text(core_audio_text(hr));
  if (text.empty()) text = system_message_text(static_cast<uint32_t>(hr));
  if (text.empty()) text = "Unknown error";
  return fmt::format("{} (os error 0x{:08X})", text, static_cast<uint32_t>(hr));
}

}  // namespace brindle::com
