#include "main/tray_text.h"

#include <algorithm>

#include "platform/unicode_lower.h"
#include "platform/utf8.h"

namespace brindle {
namespace {

constexpr std::string_view TOOLTIP_PREFIX = "Brindle receiver — ";

// The first argument of a Windows command line: quoted, or up to the first blank.
std::string_view first_argument(std::string_view command) {
  while (!command.empty() && (command.front() == ' ' || command.front() == '\t')) {
    command.remove_prefix(1);
  }
  if (!command.empty() && command.front() == '"') {
    command.remove_prefix(1);
    return command.substr(0, command.find('"'));
  }
  return command.substr(0, command.find_first_of(" \t"));
}

std::string comparable_path(std::string_view path) {
  std::string text = unicode_lower(path);
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

}  // namespace

std::string phone_host_text(const SocketAddress& address) {
  std::string text = format_host(address);
  constexpr std::string_view MAPPED = "::ffff:";
  if (text.starts_with(MAPPED) && text.find('.') != std::string::npos) {
    text.erase(0, MAPPED.size());
  }
  return text;
}

std::string tray_state_text(const TrayView& view) {
  std::string text;
  switch (view.state) {
    case StreamState::WAITING:
      text = "waiting for the phone";
      break;
    case StreamState::STREAMING:
      text = "streaming";
      if (view.phone) text += " from " + phone_host_text(*view.phone);
      break;
    case StreamState::IDLE:
      text = "idle";
      if (view.phone) text += ", last from " + phone_host_text(*view.phone);
      break;
  }
  if (!view.output_available) text += " (no audio device)";
  return text;
}

std::string tray_tooltip(const TrayView& view) {
  const std::u32string text = utf8::decode(std::string(TOOLTIP_PREFIX) + tray_state_text(view));
  size_t units = 0;
  size_t kept = 0;
  for (const char32_t c : text) {
    units += c > 0xFFFF ? 2 : 1;
    if (units > TOOLTIP_UNITS) break;
    ++kept;
  }
  return utf8::encode(std::u32string_view(text).substr(0, kept));
}

TrayPicture tray_picture(const TrayView& view) {
  switch (view.state) {
    case StreamState::STREAMING:
      return TrayPicture::STREAMING;
    case StreamState::IDLE:
      return TrayPicture::IDLE;
    case StreamState::WAITING:
      break;
  }
  return TrayPicture::WAITING;
}

std::vector<TrayMenuItem> tray_menu(const TrayView& view, bool starts_at_login,
                                    bool login_change_busy) {
  std::string state = tray_state_text(view);
  state.front() = static_cast<char>(state.front() - 'a' + 'A');  // every state text starts a-z
  return {
      {TrayCommand::NONE, std::move(state), false, false},
      {TrayCommand::NONE, "", false, false},
      {TrayCommand::START_AT_LOGIN, "Start at login", !login_change_busy, starts_at_login},
      {TrayCommand::OPEN_LOG, "Open log", true, false},
      {TrayCommand::NONE, "", false, false},
      {TrayCommand::QUIT, "Quit", true, false},
  };
}

bool command_starts_program(std::string_view command, std::string_view exe_path) {
  const std::string_view program = first_argument(command);
  return !program.empty() && comparable_path(program) == comparable_path(exe_path);
}

std::optional<TrayBalloon> OutputEpisodes::output_changed(bool available) {
  if (available == available_) return std::nullopt;
  available_ = available;
  if (!available) {
    return TrayBalloon{"Audio device lost",
                       "The audio output went away. The receiver opens it again as soon as it "
                       "is back; the phone stays connected.",
                       true};
  }
  return TrayBalloon{"Audio device back", "The receiver plays the phone again.", false};
}

}  // namespace brindle
