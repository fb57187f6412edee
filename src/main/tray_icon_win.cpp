// The hidden window and its message loop own the icon: every Shell_NotifyIconW call and every menu
// happens on that one thread. Other threads only store figures and post messages; the slow
// actions of the menu (tray_actions_win) run on a worker thread.
#include <windows.h>

#include <shellapi.h>

#include <array>
#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "main/tray_actions_win.h"
#include "main/tray_icon.h"
#include "main/tray_picture.h"
#include "main/tray_presence.h"
#include "main/tray_text.h"
#include "platform/wide_win.h"

namespace brindle {
namespace {

constexpr const wchar_t* WINDOW_CLASS = L"BrindleReceiver";
constexpr UINT ICON_ID = 1;
constexpr UINT WM_TRAY_ICON = WM_APP + 1;  // the icon's mouse and keyboard events
constexpr UINT WM_REFRESH = WM_APP + 2;    // new figures
constexpr UINT WM_OUTPUT = WM_APP + 3;     // wParam 1: output back, 0: lost
constexpr UINT WM_BALLOON = WM_APP + 4;    // a balloon from another thread
constexpr UINT WM_STOP = WM_APP + 5;       // the icon's owner goes (not the process)

template <size_t N>
void copy_text(wchar_t (&field)[N], std::string_view text) {
  const std::wstring units = wide(text);
  const size_t count = std::min(units.size(), N - 1);
  units.copy(field, count);
  field[count] = L'\0';
}

struct IconDeleter {
  void operator()(HICON icon) const { ::DestroyIcon(icon); }
};
using OwnedIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

struct MenuDeleter {
  void operator()(HMENU menu) const { ::DestroyMenu(menu); }
};
using OwnedMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;

// The size the shell asks for: a small icon at the DPI of the window's monitor.
int small_icon_size(HWND window) {
  return ::GetSystemMetricsForDpi(SM_CXSMICON, ::GetDpiForWindow(window));
}

OwnedIcon make_icon(TrayPicture picture, int size) {
  std::vector<uint8_t> bits = tray_picture_bits(picture, size);
  return OwnedIcon(::CreateIconFromResourceEx(bits.data(), static_cast<DWORD>(bits.size()), TRUE,
                                              0x00030000, size, size, LR_DEFAULTCOLOR));
}

class WinTrayIcon final : public TrayIcon, private NotifyArea {
 public:
  explicit WinTrayIcon(Options options) : options_(std::move(options)) {}

  ~WinTrayIcon() override {
    if (window_ != nullptr) ::PostMessageW(window_, WM_STOP, 0, 0);
    if (thread_.joinable()) thread_.join();
    if (worker_.joinable()) worker_.join();
  }

  // Starts the window's thread; false when the window could not be made.
  bool start() {
    std::promise<bool> made;
    std::future<bool> result = made.get_future();
    try {
      thread_ = std::thread([this, &made] { run(made); });
    } catch (const std::system_error&) {
      return false;
    }
    if (result.get()) return true;
    thread_.join();
    return false;
  }

  void show(StreamState state, const std::optional<SocketAddress>& phone) override {
    {
      const std::lock_guard lock(mutex_);
      view_.state = state;
      view_.phone = phone;
    }
    ::PostMessageW(window_, WM_REFRESH, 0, 0);
  }

  void output_changed(bool available) override {
    ::PostMessageW(window_, WM_OUTPUT, available ? 1 : 0, 0);
  }

 private:
  void run(std::promise<bool>& made) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = &WinTrayIcon::window_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = WINDOW_CLASS;
    ::RegisterClassExW(&window_class);
    taskbar_created_ = ::RegisterWindowMessageW(L"TaskbarCreated");
    // A top-level window (not a message-only one): only those hear "TaskbarCreated", and the
    // installer finds it by its class. Never shown.
    window_ = ::CreateWindowExW(0, WINDOW_CLASS, L"Brindle receiver", WS_OVERLAPPED, 0, 0, 0, 0,
                                nullptr, nullptr, instance, this);
    made.set_value(window_ != nullptr);  // `made` is not touched after this
    if (window_ == nullptr) return;
    // Started elevated, UIPI would drop Explorer's messages to us: the icon's and its restart.
    ::ChangeWindowMessageFilterEx(window_, WM_TRAY_ICON, MSGFLT_ALLOW, nullptr);
    if (taskbar_created_ != 0) {
      ::ChangeWindowMessageFilterEx(window_, taskbar_created_, MSGFLT_ALLOW, nullptr);
    }
    make_icons();
    refresh();

    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }

  static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      ::SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* const self = reinterpret_cast<WinTrayIcon*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr) {
      if (const std::optional<LRESULT> handled = self->handle(window, message, wparam, lparam)) {
        return *handled;
      }
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
  }

  std::optional<LRESULT> handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == taskbar_created_ && taskbar_created_ != 0) {
      make_icons();  // also sent after a change of the display scale
      presence_.taskbar_created();
      return 0;
    }
    switch (message) {
      case WM_DPICHANGED:
      case WM_SETTINGCHANGE:
      case WM_DISPLAYCHANGE:
        if (make_icons()) presence_.show();
        return 0;
      case WM_REFRESH:
        refresh();
        return 0;
      case WM_OUTPUT: {
        const bool available = wparam != 0;
        {
          const std::lock_guard lock(mutex_);
          view_.output_available = available;
        }
        refresh();
        if (const std::optional<TrayBalloon> balloon = episodes_.output_changed(available)) {
          show_balloon(*balloon);
        }
        return 0;
      }
      case WM_BALLOON:
        show_pending_balloons();
        return 0;
      case WM_TRAY_ICON:
        switch (LOWORD(lparam)) {
          case WM_CONTEXTMENU:
          case NIN_SELECT:
          case NIN_KEYSELECT:
            show_menu(static_cast<short>(LOWORD(wparam)), static_cast<short>(HIWORD(wparam)));
            break;
          default:
            break;
        }
        return 0;
      case WM_CLOSE:
        quit();
        return 0;
      case WM_STOP:
        ::DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        presence_.remove();
        ::PostQuitMessage(0);
        return 0;
      default:
        return std::nullopt;
    }
  }

  NOTIFYICONDATAW icon_data() const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = ICON_ID;
    return data;
  }

  // The three pictures at the size the shell asks for now; whether they were made anew.
  bool make_icons() {
    const int size = small_icon_size(window_);
    if (size == icon_size_) return false;
    for (const TrayPicture picture :
         {TrayPicture::WAITING, TrayPicture::STREAMING, TrayPicture::IDLE}) {
      icons_[static_cast<size_t>(picture)] = make_icon(picture, size);
    }
    icon_size_ = size;
    return true;
  }

  // Tooltip and picture from the latest figures; adds the icon when it is not (yet) there, so an
  // Explorer that started late still gets it with the next status line.
  void refresh() {
    TrayView view;
    {
      const std::lock_guard lock(mutex_);
      view = view_;
    }
    const std::string tooltip = tray_tooltip(view);
    const TrayPicture picture = tray_picture(view);
    if (presence_.shown() && tooltip == shown_tooltip_ && picture == shown_picture_) return;
    shown_tooltip_ = tooltip;
    shown_picture_ = picture;
    presence_.show();
  }

  // The shell's answer to one request about the icon, with the latest tooltip and picture.
  bool request(ShellRequest request) override {
    NOTIFYICONDATAW data = icon_data();
    if (request == ShellRequest::REMOVE) return ::Shell_NotifyIconW(NIM_DELETE, &data) != FALSE;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    data.uCallbackMessage = WM_TRAY_ICON;
    data.hIcon = icons_[static_cast<size_t>(shown_picture_)].get();
    copy_text(data.szTip, shown_tooltip_);
    if (request == ShellRequest::MODIFY) return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
    if (::Shell_NotifyIconW(NIM_ADD, &data) == FALSE) return false;
    data.uVersion = NOTIFYICON_VERSION_4;
    ::Shell_NotifyIconW(NIM_SETVERSION, &data);
    return true;
  }

  void show_balloon(const TrayBalloon& balloon) {
    if (!presence_.shown()) return;
    NOTIFYICONDATAW data = icon_data();
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = balloon.warning ? NIIF_WARNING : NIIF_INFO;
    copy_text(data.szInfoTitle, balloon.title);
    copy_text(data.szInfo, balloon.text);
    ::Shell_NotifyIconW(NIM_MODIFY, &data);
  }

  // Any thread.
  void post_balloon(TrayBalloon balloon) {
    {
      const std::lock_guard lock(mutex_);
      pending_balloons_.push_back(std::move(balloon));
    }
    ::PostMessageW(window_, WM_BALLOON, 0, 0);
  }

  void show_pending_balloons() {
    std::vector<TrayBalloon> balloons;
    {
      const std::lock_guard lock(mutex_);
      balloons.swap(pending_balloons_);
    }
    for (const TrayBalloon& balloon : balloons) show_balloon(balloon);
  }

  void show_menu(int x, int y) {
    TrayView view;
    {
      const std::lock_guard lock(mutex_);
      view = view_;
    }
    const bool at_login = starts_at_login();
    const OwnedMenu menu(::CreatePopupMenu());
    if (!menu) return;
    for (const TrayMenuItem& item : tray_menu(view, at_login, busy_.load())) {
      if (item.command == TrayCommand::NONE && item.text.empty()) {
        ::AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
        continue;
      }
      const UINT flags =
          MF_STRING | (item.enabled ? 0 : MF_GRAYED) | (item.checked ? MF_CHECKED : MF_UNCHECKED);
      ::AppendMenuW(menu.get(), flags, static_cast<UINT_PTR>(item.command),
                    wide(item.text).c_str());
    }
    // The menu closes when the user clicks elsewhere only if our window is in front.
    ::SetForegroundWindow(window_);
    const UINT align =
        ::GetSystemMetrics(SM_MENUDROPALIGNMENT) != 0 ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
    const auto chosen = static_cast<TrayCommand>(::TrackPopupMenuEx(
        menu.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON | TPM_BOTTOMALIGN | align, x, y,
        window_, nullptr));
    ::PostMessageW(window_, WM_NULL, 0, 0);
    switch (chosen) {
      case TrayCommand::START_AT_LOGIN:
        in_background([this, on = !at_login] { return change_login_start(on, options_); });
        break;
      case TrayCommand::OPEN_LOG:
        in_background([] { return open_log(); });
        break;
      case TrayCommand::QUIT:
        quit();
        break;
      case TrayCommand::NONE:
        break;
    }
  }

  // One slow action at a time, off the window's thread; what it returns is shown as a balloon.
  template <class Job>
  void in_background(Job job) {
    if (busy_.exchange(true)) return;
    if (worker_.joinable()) worker_.join();  // the last job has finished: busy_ was false
    try {
      worker_ = std::thread([this, job = std::move(job)] {
        if (std::optional<TrayBalloon> balloon = job()) post_balloon(std::move(*balloon));
        busy_.store(false);
      });
    } catch (const std::system_error&) {
      busy_.store(false);
    }
  }

  // The icon goes first, else it lingers in the notification area until the mouse passes over it.
  [[noreturn]] void quit() {
    presence_.remove();
    end_receiver();
  }

  const Options options_;
  std::thread thread_;
  HWND window_ = nullptr;  // set before start() returns, then read-only

  // The window's thread only.
  UINT taskbar_created_ = 0;
  std::array<OwnedIcon, 3> icons_;
  int icon_size_ = 0;
  TrayPresence presence_{*this};
  std::string shown_tooltip_;
  TrayPicture shown_picture_ = TrayPicture::WAITING;
  OutputEpisodes episodes_;

  std::mutex mutex_;  // guards view_ and pending_balloons_
  TrayView view_;
  std::vector<TrayBalloon> pending_balloons_;

  std::atomic<bool> busy_{false};  // a worker job runs
  std::thread worker_;             // the window's thread (and the destructor) only
};

}  // namespace

std::unique_ptr<TrayIcon> start_tray_icon(const Options& options) {
  auto icon = std::make_unique<WinTrayIcon>(options);
  if (!icon->start()) return nullptr;
  return icon;
}

}  // namespace brindle
