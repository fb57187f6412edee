#include "main/hand_over_win.h"

#include <array>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <vector>

namespace brindle {
namespace {

constexpr const wchar_t* HAND_OVER_VARIABLE = L"BRINDLE_INSTANCE_GUARD";

struct AttributeListDeleter {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const {
    ::DeleteProcThreadAttributeList(list);
  }
};

// A handle of ours written in decimal; nullptr when the text is not one.
HANDLE parse_handle(const wchar_t* text, const wchar_t** rest) {
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(text, &end, 10);
  *rest = end;
  if (end == text || value == 0) return nullptr;
  const auto handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
  DWORD flags = 0;
  if (!::GetHandleInformation(handle, &flags)) return nullptr;
  ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);  // never on to a child of ours
  return handle;
}

}  // namespace

CopyAnswer hand_over_guard(const std::wstring& application, std::wstring command_line, HANDLE guard,
                           std::chrono::milliseconds limit) {
  OwnedHandle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (ready.get() == nullptr) return CopyAnswer::NOT_STARTED;

  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* const raw_list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  if (!::InitializeProcThreadAttributeList(raw_list, 1, 0, &list_size)) {
    return CopyAnswer::NOT_STARTED;
  }
  const std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, AttributeListDeleter> list(raw_list);
  std::array<HANDLE, 2> inherited = {guard, ready.get()};
  if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   inherited.data(), sizeof inherited, nullptr, nullptr)) {
    return CopyAnswer::NOT_STARTED;
  }
  for (const HANDLE handle : inherited) {
    if (!::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
      return CopyAnswer::NOT_STARTED;
    }
  }

  const std::wstring value = std::to_wstring(reinterpret_cast<uintptr_t>(guard)) + L";" +
                             std::to_wstring(reinterpret_cast<uintptr_t>(ready.get()));
  ::SetEnvironmentVariableW(HAND_OVER_VARIABLE, value.c_str());
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  // No standard handles: nobody could read the copy's output, and it must not keep the login
  // console (or a terminal behind it) open.
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.lpAttributeList = list.get();
  PROCESS_INFORMATION info{};
  const BOOL started =
      ::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                       nullptr, nullptr, &startup.StartupInfo, &info);
  ::SetEnvironmentVariableW(HAND_OVER_VARIABLE, nullptr);
  for (const HANDLE handle : inherited) ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  if (!started) return CopyAnswer::NOT_STARTED;
  const OwnedHandle thread(info.hThread);
  const OwnedHandle copy(info.hProcess);

  // The event first: a copy that took the guard and then ended (a start-up failure, which it
  // reports itself) has still taken over.
  const std::array<HANDLE, 2> waited = {ready.get(), copy.get()};
  const DWORD woke =
      ::WaitForMultipleObjects(2, waited.data(), FALSE, static_cast<DWORD>(limit.count()));
  CopyAnswer answer = CopyAnswer::NO_ANSWER;
  if (woke == WAIT_OBJECT_0) {
    answer = CopyAnswer::HOLDS_GUARD;
  } else if (woke == WAIT_OBJECT_0 + 1) {
    answer = ::WaitForSingleObject(ready.get(), 0) == WAIT_OBJECT_0 ? CopyAnswer::HOLDS_GUARD
                                                                    : CopyAnswer::ENDED;
  }
  if (after_hand_over(answer) == AfterHandOver::STOP_COPY_AND_GO_ON) {
    ::TerminateProcess(copy.get(), 1);
    ::WaitForSingleObject(copy.get(), INFINITE);
    // It may have answered just before it was stopped: it is gone all the same.
  }
  return answer;
}

HandOverCheck check_hand_over() {
  std::array<wchar_t, 64> text{};
  const DWORD length =
      ::GetEnvironmentVariableW(HAND_OVER_VARIABLE, text.data(), static_cast<DWORD>(text.size()));
  if (length == 0) return {};
  ::SetEnvironmentVariableW(HAND_OVER_VARIABLE, nullptr);
  HandOverCheck check{.is_copy = true, .handed = std::nullopt};
  if (length >= text.size()) return check;
  const wchar_t* rest = nullptr;
  const HANDLE guard = parse_handle(text.data(), &rest);
  if (guard == nullptr || *rest != L';') return check;
  const HANDLE ready = parse_handle(rest + 1, &rest);
  if (ready == nullptr || *rest != L'\0') return check;
  check.handed = HandedOver{guard, OwnedHandle(ready)};
  return check;
}

}  // namespace brindle
