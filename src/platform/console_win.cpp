#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/console_streams.h"
#include "platform/utf8.h"
#include "platform/utf8_tail.h"

namespace brindle::console {
namespace {

// WriteConsoleW has had size limits on older systems; stay well below them.
constexpr size_t MAX_CONSOLE_CHUNK = 8192;

// One standard stream. A console gets UTF-16 through WriteConsoleW, so the characters show
// whatever the code page; anything else gets the UTF-8 bytes as they are.
class StdStream {
 public:
  explicit StdStream(DWORD std_id) : std_id_(std_id) {}

  void write(std::string_view text) {
    const std::lock_guard lock(mutex_);
    const HANDLE handle = ::GetStdHandle(std_id_);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
      write_console(handle, text);
    } else {
      if (!carry_.empty()) {
        // The stream stopped being a console: the held bytes belong to this output now.
        write_file(handle, carry_);
        carry_.clear();
      }
      write_file(handle, text);
    }
  }

 private:
  void write_console(HANDLE handle, std::string_view text) {
    std::string bytes = carry_;
    bytes.append(text);
    const size_t whole = bytes.size() - utf8::incomplete_tail_length(bytes);
    carry_.assign(bytes, whole);
    bytes.resize(whole);
    const std::u16string wide = utf8::to_utf16(bytes);
    std::u16string_view rest = wide;
    while (!rest.empty()) {
      size_t chunk = std::min(rest.size(), MAX_CONSOLE_CHUNK);
      // Never separate a surrogate pair.
      if (chunk < rest.size() && rest[chunk - 1] >= 0xD800 && rest[chunk - 1] <= 0xDBFF) --chunk;
      DWORD written = 0;
      if (!::WriteConsoleW(handle, rest.data(), static_cast<DWORD>(chunk), &written, nullptr) ||
          written == 0) {
        return;  // nowhere left to report a failed console write
      }
      rest.remove_prefix(written);
    }
  }

  static void write_file(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return;
      bytes.remove_prefix(written);
    }
  }

  const DWORD std_id_;
  std::mutex mutex_;
  std::string carry_;  // guarded by mutex_: start of a UTF-8 sequence split across writes
};

class WinStreams final : public Streams {
 public:
  void write(Stream stream, std::string_view text) override {
    (stream == Stream::STDERR ? err_ : out_).write(text);
  }

 private:
  StdStream out_{STD_OUTPUT_HANDLE};
  StdStream err_{STD_ERROR_HANDLE};
};

}  // namespace

std::unique_ptr<Streams> make_streams() {
  return std::make_unique<WinStreams>();
}

void ignore_broken_pipes() {}  // a broken pipe is only a failed WriteFile here

}  // namespace brindle::console
