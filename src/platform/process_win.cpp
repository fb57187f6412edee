#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/command_line_quote.h"
#include "platform/os_error.h"
#include "platform/owned_handle_win.h"
#include "platform/process.h"
#include "platform/wide_win.h"

namespace brindle {
namespace {

// Paths longer than MAX_PATH are possible; this is the longest the system allows.
constexpr DWORD MAX_LONG_PATH = 32768;

std::optional<std::wstring> module_path() {
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::nullopt;
    // A full buffer means the path may have been cut short.
    if (length < buffer.size() && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() >= MAX_LONG_PATH) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return std::nullopt;
    }
    buffer.resize(std::min<size_t>(buffer.size() * 2, MAX_LONG_PATH));
  }
}

bool is_file(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring system_folder() {
  std::wstring buffer(MAX_PATH, L'\0');
  const UINT length = ::GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return buffer;
}

// A bare program name means the system's own tool: only the system folder is searched. The
// program's folder (think of a downloads folder), the current folder and PATH are never used, so
// a planted reg.exe cannot run in our place.
std::optional<std::wstring> resolve_program(const std::wstring& program) {
  if (program.find_first_of(L"\\/:") != std::wstring::npos) return program;
  const bool has_extension = program.find(L'.') != std::wstring::npos;
  const std::wstring folder = system_folder();
  if (folder.empty()) return std::nullopt;
  std::wstring candidate = folder + L"\\" + (has_extension ? program : program + L".exe");
  if (!is_file(candidate)) return std::nullopt;
  return candidate;
}

// Collects everything the child writes to one pipe, on a thread of its own so that neither
// pipe can fill up and stall the child while the other is being read.
class PipeReader {
 public:
  explicit PipeReader(OwnedHandle read_end) : read_end_(std::move(read_end)) {
    thread_ = std::thread([this] {
      std::array<char, 4096> chunk{};
      DWORD got = 0;
      while (::ReadFile(read_end_.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                        nullptr) &&
             got > 0) {
        bytes_.append(chunk.data(), got);
      }
    });
  }
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;
  ~PipeReader() {
    if (thread_.joinable()) thread_.join();
  }

  // Waits for the end of the output (the child and every holder of the write end gone).
  std::string finish() {
    if (thread_.joinable()) thread_.join();
    return std::move(bytes_);
  }

 private:
  OwnedHandle read_end_;
  std::string bytes_;  // reader thread until finish()
  std::thread thread_;
};

struct Pipe {
  OwnedHandle read_end;
  OwnedHandle write_end;
};

// Only the end given to the child is inheritable.
std::optional<Pipe> make_pipe(bool child_reads) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inheritable, 0)) return std::nullopt;
  Pipe pipe{OwnedHandle(read_end), OwnedHandle(write_end)};
  const HANDLE ours = child_reads ? write_end : read_end;
  if (!::SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0)) return std::nullopt;
  return pipe;
}

struct AttributeListDeleter {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const {
    ::DeleteProcThreadAttributeList(list);
  }
};

}  // namespace

Result<std::string> executable_path() {
  const std::optional<std::wstring> path = module_path();
  if (!path) return make_error(last_os_error_text());
  return narrow(*path);
}

Result<ProcessOutput> run_process(const std::string& program, std::span<const std::string> args,
                                  std::optional<std::chrono::milliseconds> time_limit) {
  const std::wstring wide_program = wide(program);
  const std::optional<std::wstring> resolved = resolve_program(wide_program);
  if (!resolved) return make_error(os_error_text(ERROR_FILE_NOT_FOUND));

  std::wstring command_line = wide(windows_command_line_argument(program));
  for (const std::string& arg : args)
    command_line += L" " + wide(windows_command_line_argument(arg));

  std::optional<Pipe> input = make_pipe(true);
  std::optional<Pipe> output = make_pipe(false);
  std::optional<Pipe> error = make_pipe(false);
  if (!input || !output || !error) return make_error(last_os_error_text());
  input->write_end.reset();  // the child's standard input is empty

  // Only the three pipe ends reach the child, not every inheritable handle of this process.
  std::array<HANDLE, 3> inherited = {input->read_end.get(), output->write_end.get(),
                                     error->write_end.get()};
  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* const raw_list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  if (!::InitializeProcThreadAttributeList(raw_list, 1, 0, &list_size)) {
    return make_error(last_os_error_text());
  }
  const std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, AttributeListDeleter> list(raw_list);
  if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   inherited.data(), sizeof(HANDLE) * inherited.size(), nullptr,
                                   nullptr)) {
    return make_error(last_os_error_text());
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input->read_end.get();
  startup.StartupInfo.hStdOutput = output->write_end.get();
  startup.StartupInfo.hStdError = error->write_end.get();
  startup.lpAttributeList = list.get();

  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(
          resolved->c_str(), command_line.data(), nullptr, nullptr, TRUE,
          CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, nullptr,
          nullptr, &startup.StartupInfo, &info)) {
    return make_error(last_os_error_text());
  }
  const OwnedHandle process(info.hProcess);
  const OwnedHandle thread(info.hThread);
  // Our copies of the child's ends must go, or the readers would never see the end of output.
  input->read_end.reset();
  output->write_end.reset();
  error->write_end.reset();

  ProcessOutput result;
  try {
    PipeReader out_reader(std::move(output->read_end));
    PipeReader err_reader(std::move(error->read_end));
    const DWORD wait_ms =
        time_limit ? static_cast<DWORD>(std::min<long long>(time_limit->count(), INFINITE - 1))
                   : INFINITE;
    if (::WaitForSingleObject(process.get(), wait_ms) == WAIT_TIMEOUT) {
      // Killed by its own handle; its pipe ends close with it, so the readers finish.
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), INFINITE);
      result.timed_out = true;
    }
    result.out = out_reader.finish();
    result.err = err_reader.finish();
  } catch (const std::system_error& e) {
    ::WaitForSingleObject(process.get(), INFINITE);
    return make_error(std::string("cannot read the child's output: ") + e.what());
  }
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process.get(), &exit_code)) return make_error(last_os_error_text());
  result.exit_code = static_cast<int>(exit_code);
  return result;
}

}  // namespace brindle
