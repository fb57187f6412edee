#include <windows.h>

#include <memory>
#include <string>
#include <utility>

#include "main/receiver_log.h"
#include "platform/owned_handle_win.h"
#include "platform/wide_win.h"

namespace brindle {
namespace {

// %LOCALAPPDATA%, or empty when it is not set.
std::wstring local_app_data() {
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);
  }
}

// %LOCALAPPDATA%\Brindle, or empty when %LOCALAPPDATA% is not set.
std::wstring log_folder() {
  const std::wstring base = local_app_data();
  if (base.empty()) return {};
  return base + L"\\" + wide(LOG_FOLDER_NAME);
}

// Opened for each write and closed again: the file can be read, moved aside or deleted between
// lines, and a folder that appears (or frees up) later is used from then on. Called by one thread
// at a time (the console's writer).
class LogFile {
 public:
  explicit LogFile(std::wstring folder)
      : folder_(std::move(folder)),
        path_(folder_ + L"\\" + wide(LOG_FILE_NAME)),
        older_path_(folder_ + L"\\" + wide(OLDER_LOG_FILE_NAME)) {}

  void append(std::string_view text) {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const std::string lines = stamped_lines(
        text, LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond});
    if (lines.empty()) return;
    ::CreateDirectoryW(folder_.c_str(), nullptr);  // usually there already
    OwnedHandle file = open();
    if (file.get() == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file.get(), &size) &&
        log_needs_rotation(static_cast<uint64_t>(size.QuadPart), lines.size())) {
      file.reset();
      // Should the move fail (a reader holds the file), the log just grows a little longer.
      ::MoveFileExW(path_.c_str(), older_path_.c_str(), MOVEFILE_REPLACE_EXISTING);
      file = open();
      if (file.get() == INVALID_HANDLE_VALUE) return;
    }
    DWORD written = 0;
    ::WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
  }

 private:
  OwnedHandle open() const {
    return OwnedHandle(::CreateFileW(path_.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  const std::wstring folder_;
  const std::wstring path_;
  const std::wstring older_path_;
};

}  // namespace

std::function<void(std::string_view)> open_receiver_log() {
  const std::wstring folder = log_folder();
  if (folder.empty()) return {};
  auto file = std::make_shared<LogFile>(folder);
  return [file](std::string_view text) { file->append(text); };
}

std::string receiver_log_path() {
  const std::wstring folder = log_folder();
  if (folder.empty()) return {};
  return narrow(folder + L"\\" + wide(LOG_FILE_NAME));
}

}  // namespace brindle
