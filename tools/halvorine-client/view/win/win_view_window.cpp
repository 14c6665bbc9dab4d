// The view's window on Windows: plain Win32. Pictures (BGRA) are drawn with
// StretchDIBits, which also scales them to the client area; keys arrive as
// scan codes with the extended bit from the key messages' lParam.
#include "common/win/win_sdk.h"

#include <windowsx.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>

#include <fmt/format.h>

#include "common/utf16.h"
#include "common/win/unique_handle.h"
#include "view/key_codes.h"
#include "view/view_window.h"

namespace halvorine::client {
namespace {

constexpr wchar_t kClassName[] = L"HalvorineView";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;

// Ctrl+C or Ctrl+Break in the console ends the view as closing it does.
std::atomic<HWND> g_window{nullptr};
BOOL WINAPI on_console_end(DWORD) {
  if (HWND window = g_window.load()) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

// A window's DC (GetDC), given back to that window with ReleaseDC.
struct WindowDc {
  HWND window = nullptr;
  HDC dc = nullptr;
  friend bool operator==(const WindowDc&, const WindowDc&) = default;
};
struct WindowDcTraits {
  using Value = WindowDc;
  static WindowDc invalid() { return {}; }
  static int close(WindowDc held) { return ReleaseDC(held.window, held.dc); }
};

std::wstring wide(const std::string& text) {
  const std::u16string converted = utf8_to_utf16(text);
  return std::wstring(converted.begin(), converted.end());
}

class WinViewWindow final : public ViewWindow {
 public:
  static Result<std::unique_ptr<ViewWindow>> create(const std::string& title) {
    auto window = std::unique_ptr<WinViewWindow>(new WinViewWindow);
    if (auto ready = window->set_up(title); !ready) return std::unexpected(ready.error());
    return window;
  }

  ~WinViewWindow() override {
    g_window = nullptr;
    SetConsoleCtrlHandler(on_console_end, FALSE);
    if (window_) DestroyWindow(window_);
  }

  std::optional<WindowEvent> next_event(Clock::MonotonicTime deadline) override {
    for (;;) {
      if (!events_.empty()) {
        WindowEvent event = std::move(events_.front());
        events_.pop_front();
        return event;
      }
      MSG message;
      bool any = false;
      while (events_.empty() && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        any = true;
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      if (!events_.empty()) continue;
      if (any) continue;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      HANDLE wake = wake_.get();
      const DWORD woken = MsgWaitForMultipleObjectsEx(1, &wake, static_cast<DWORD>(std::min<long long>(left.count(), 1000)),
                                                      QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (woken == WAIT_OBJECT_0) return std::nullopt;
    }
  }

  void wake() override { SetEvent(wake_.get()); }

  Result<void> show(const Picture& picture) override {
    if (picture.format != PixelFormat::bgra || picture.width <= 0 || picture.height <= 0) {
      return std::unexpected(Error::message("the Windows view draws BGRA pictures only"));
    }
    if (picture.width != stream_width_ || picture.height != stream_height_) fit_to(picture.width, picture.height);
    last_ = picture;
    HDC dc = GetDC(window_);
    if (!dc) return std::unexpected(Error::last_os().context("GetDC"));
    const UniqueResource<WindowDcTraits> held(WindowDc{window_, dc});
    draw(dc);
    return {};
  }

  void redraw() override { InvalidateRect(window_, nullptr, FALSE); }

  void set_title(const std::string& title) override { SetWindowTextW(window_, wide(title).c_str()); }

  WindowSize client_size() const override {
    RECT client{};
    GetClientRect(window_, &client);
    return {client.right - client.left, client.bottom - client.top};
  }

 private:
  WinViewWindow() = default;

  Result<void> set_up(const std::string& title) {
    wake_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!wake_) return std::unexpected(Error::last_os().context("CreateEventW"));
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = &WinViewWindow::procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = nullptr;  // WM_PAINT covers the whole client area
    window_class.lpszClassName = kClassName;
    if (!RegisterClassExW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      return std::unexpected(Error::last_os().context("RegisterClassExW"));
    }
    window_ = CreateWindowExW(0, kClassName, wide(title).c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT, 640, 400,
                              nullptr, nullptr, instance, this);
    if (!window_) return std::unexpected(Error::last_os().context("CreateWindowExW"));
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    g_window = window_;
    SetConsoleCtrlHandler(on_console_end, TRUE);
    return {};
  }

  // Sizes the client area to the stream, scaled down (keeping its shape)
  // to fit the work area with the window's frame.
  void fit_to(int width, int height) {
    stream_width_ = width;
    stream_height_ = height;
    RECT work{0, 0, 1024, 768};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    const int frame_width = frame.right - frame.left, frame_height = frame.bottom - frame.top;
    const double scale = std::min({1.0, static_cast<double>(work.right - work.left - frame_width) / width,
                                   static_cast<double>(work.bottom - work.top - frame_height) / height});
    const int client_width = std::max(1, static_cast<int>(std::lround(width * scale)));
    const int client_height = std::max(1, static_cast<int>(std::lround(height * scale)));
    SetWindowPos(window_, nullptr, work.left, work.top, client_width + frame_width, client_height + frame_height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void draw(HDC dc) {
    const WindowSize size = client_size();
    if (!last_) {
      RECT all{0, 0, size.width, size.height};
      FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
      return;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = last_->width;
    info.bmiHeader.biHeight = -last_->height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetStretchBltMode(dc, size.width == last_->width && size.height == last_->height ? COLORONCOLOR : HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchDIBits(dc, 0, 0, size.width, size.height, 0, 0, last_->width, last_->height, last_->planes[0], &info,
                  DIB_RGB_COLORS, SRCCOPY);
    GdiFlush();
  }

  void push_pointer(WindowEvent::Kind kind, LPARAM lparam, int button = 0, bool pressed = false) {
    WindowEvent event;
    event.kind = kind;
    event.x = GET_X_LPARAM(lparam);
    event.y = GET_Y_LPARAM(lparam);
    event.button = button;
    event.pressed = pressed;
    events_.push_back(std::move(event));
  }

  void push_button(LPARAM lparam, int button, bool pressed) {
    // Drags that leave the window still end with their release here.
    if (pressed) {
      if (buttons_held_++ == 0) SetCapture(window_);
    } else if (buttons_held_ > 0 && --buttons_held_ == 0) {
      ReleaseCapture();
    }
    push_pointer(WindowEvent::Kind::button, lparam, button, pressed);
  }

  LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
      case WM_CLOSE:
        events_.push_back(WindowEvent{});
        return 0;
      case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window_, &paint);
        if (dc) draw(dc);
        EndPaint(window_, &paint);
        return 0;
      }
      case WM_ERASEBKGND:
        return 1;
      case WM_MOUSEMOVE: push_pointer(WindowEvent::Kind::move, lparam); return 0;
      case WM_LBUTTONDOWN: push_button(lparam, 1, true); return 0;
      case WM_LBUTTONUP: push_button(lparam, 1, false); return 0;
      case WM_RBUTTONDOWN: push_button(lparam, 2, true); return 0;
      case WM_RBUTTONUP: push_button(lparam, 2, false); return 0;
      case WM_MBUTTONDOWN: push_button(lparam, 3, true); return 0;
      case WM_MBUTTONUP: push_button(lparam, 3, false); return 0;
      case WM_MOUSEWHEEL: {
        // Fine-grained wheels send less than a notch at a time.
        wheel_ += GET_WHEEL_DELTA_WPARAM(wparam);
        const int notches = wheel_ / WHEEL_DELTA;
        wheel_ -= notches * WHEEL_DELTA;
        if (notches == 0) return 0;
        POINT at{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};  // screen coordinates here
        ScreenToClient(window_, &at);
        WindowEvent event;
        event.kind = WindowEvent::Kind::wheel;
        event.x = at.x;
        event.y = at.y;
        event.notches = notches;
        events_.push_back(std::move(event));
        return 0;
      }
      case WM_KEYDOWN:
      case WM_KEYUP:
      case WM_SYSKEYDOWN:
      case WM_SYSKEYUP: {
        // Every key goes to the remote side, Alt and F10 included (no menu here).
        const unsigned scan = static_cast<unsigned>((lparam >> 16) & 0xFF);
        const bool extended = ((lparam >> 24) & 1) != 0;
        WindowEvent event;
        event.kind = WindowEvent::Kind::key;
        event.pressed = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        event.key_code = scan | (extended ? 0xE000u : 0u);
        event.key_name = scan_code_name(scan, extended);
        if (event.key_name.empty()) event.key_code_text = fmt::format("scan code 0x{:04X}", event.key_code);
        events_.push_back(std::move(event));
        return 0;
      }
      case WM_KILLFOCUS: {
        WindowEvent event;
        event.kind = WindowEvent::Kind::focus_lost;
        events_.push_back(std::move(event));
        wheel_ = 0;
        return 0;
      }
      case WM_CAPTURECHANGED:
        buttons_held_ = 0;
        return 0;
      default:
        return DefWindowProcW(window_, message, wparam, lparam);
    }
  }

  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* self = static_cast<WinViewWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      self->window_ = window;
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<WinViewWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wparam, lparam);
    return self->handle(message, wparam, lparam);
  }

  HWND window_ = nullptr;
  UniqueHandle wake_;
  std::deque<WindowEvent> events_;
  std::optional<Picture> last_;
  int stream_width_ = 0;
  int stream_height_ = 0;
  int wheel_ = 0;
  int buttons_held_ = 0;
};

}  // namespace

Result<std::unique_ptr<ViewWindow>> create_view_window(const std::string& title) { return WinViewWindow::create(title); }

}  // namespace halvorine::client
