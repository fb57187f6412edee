// The log of a receiver running in the background, where nobody sees its console:
// %LOCALAPPDATA%\Brindle\receiver.log gets the title, progress and error lines (not the status
// lines), each with the local time. At about LOG_CAP_BYTES the file becomes receiver.log.1 (the
// one older file kept) and a new one starts. Writing it is best effort: a folder that cannot be
// written or a full disk costs log lines, never the receiver.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brindle {

inline constexpr uint64_t LOG_CAP_BYTES = 1024 * 1024;
inline constexpr std::string_view LOG_FOLDER_NAME = "Brindle";
inline constexpr std::string_view LOG_FILE_NAME = "receiver.log";
inline constexpr std::string_view OLDER_LOG_FILE_NAME = "receiver.log.1";

struct LocalTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Every non-empty line of `text` as "2026-03-14 09:05:07  {line}\n".
std::string stamped_lines(std::string_view text, const LocalTime& at);

// Whether a log of `size` bytes is set aside as the older file before `adding` more are written.
// A line never goes alone into an empty file's place, however long.
bool log_needs_rotation(uint64_t size, uint64_t adding);

// The writer of this platform's log for console::set_log, or an empty function where there is
// none (off Windows).
std::function<void(std::string_view)> open_receiver_log();

// Where that log is written (UTF-8), or empty where there is none.
std::string receiver_log_path();

}  // namespace brindle
