// The scan window on Win32: a thread of its own per window (COM in a
// single-threaded apartment, its own message loop), the controls at the
// wizard's layout scaled to the window's DPI in the system's message font,
// the live camera preview drawn with Direct2D, the review with GDI, and the
// shell's file and folder dialogs.
//
// Threads: every window and the ScanWizard belong to the window thread.
// Workers and the capture thread reach it only through PostMessage; the
// teardown runs on a thread of its own and posts the window's end.

#include "platform/windows/wide_text.h"
#include "ui/scan_window.h"
#include "ui/scan_wizard.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <commctrl.h>
#include <d2d1.h>
#include <shobjidl.h>
#include <windows.h>

namespace pxo::ui {
namespace {

// Application messages: WM_APP + the wizard's message number, and the end
// of the window once its teardown is done.
constexpr UINT kWizardMessageBase = WM_APP;
constexpr UINT kTeardownDone = WM_APP + 16;

constexpr wchar_t kMainClass[] = L"PixoriaScanWindow";
constexpr wchar_t kViewportClass[] = L"PixoriaPortViewport";
constexpr wchar_t kReviewClass[] = L"PixoriaReviewPreview";
constexpr int32_t kOuterWidth = 680;
constexpr int32_t kOuterHeight = 600;

using pxo::platform::narrow;
using pxo::platform::widen;

std::string windowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(hwnd)) + 1,
                    L'\0');
  text.resize(static_cast<size_t>(
      ::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return narrow(text);
}

void setText(HWND hwnd, const std::string& utf8) {
  // Only a change: setting an edit's text moves its caret.
  if (hwnd && windowText(hwnd) != utf8)
    ::SetWindowTextW(hwnd, widen(utf8).c_str());
}

// Status lines break with "\n"; a static control wants "\r\n".
std::string withCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The per-monitor DPI functions, where this Windows has them.
UINT windowDpi(HWND hwnd) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(::GetProcAddress(
          ::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow && hwnd) {
    const UINT dpi = getDpiForWindow(hwnd);
    if (dpi > 0) return dpi;
  }
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The system message font for `dpi`: the per-DPI metrics where present,
// else the system's scaled from the screen's DPI, else Segoe UI.
HFONT messageFont(UINT dpi) {
  using ForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  static const auto forDpi =
      reinterpret_cast<ForDpiFn>(reinterpret_cast<void*>(::GetProcAddress(
          ::GetModuleHandleW(L"user32.dll"), "SystemParametersInfoForDpi")));
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (forDpi &&
      forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))
    return ::CreateFontIndirectW(&metrics.lfMessageFont);
  if (::SystemParametersInfoW(
          SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    HDC screen = ::GetDC(nullptr);
    const int screenDpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight,
                                              static_cast<int>(dpi),
                                              screenDpi > 0 ? screenDpi : 96);
    return ::CreateFontIndirectW(&metrics.lfMessageFont);
  }
  LOGFONTW font{};
  font.lfHeight = -::MulDiv(12, static_cast<int>(dpi), 96);
  ::lstrcpynW(font.lfFaceName, L"Segoe UI", LF_FACESIZE);
  return ::CreateFontIndirectW(&font);
}

template <typename T>
void releaseCom(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

// The newest camera frame into a window through a Direct2D render target
// bound to the window's paint DC (a target made on a child window draws
// nothing under some drivers); GDI when Direct2D is not there.
class PreviewRenderer {
 public:
  PreviewRenderer() {
    ::D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED,
                        __uuidof(ID2D1Factory),
                        nullptr,
                        reinterpret_cast<void**>(&factory_));
  }
  ~PreviewRenderer() {
    releaseCom(target_);
    releaseCom(factory_);
  }
  PreviewRenderer(const PreviewRenderer&) = delete;
  PreviewRenderer& operator=(const PreviewRenderer&) = delete;

  void paint(HDC dc, const RECT& area, const PreviewFrame& frame) {
    if (factory_ && paintDirect2D(dc, area, frame)) return;
    paintGdi(dc, area, frame);
  }

 private:
  struct Fit {
    float x, y, width, height;
  };
  static Fit fit(const RECT& area, const PreviewFrame& frame) {
    const float w = static_cast<float>(area.right - area.left);
    const float h = static_cast<float>(area.bottom - area.top);
    const float scale = std::min(w / static_cast<float>(frame.width),
                                 h / static_cast<float>(frame.height));
    const float fw = static_cast<float>(frame.width) * scale;
    const float fh = static_cast<float>(frame.height) * scale;
    return {(w - fw) / 2, (h - fh) / 2, fw, fh};
  }

  static bool hasPicture(const PreviewFrame& frame) {
    return frame.width > 0 && frame.height > 0 &&
           frame.pixels.size() >= static_cast<size_t>(frame.stride) *
                                      static_cast<size_t>(frame.height);
  }

  bool paintDirect2D(HDC dc, const RECT& area, const PreviewFrame& frame) {
    if (!target_) {
      const D2D1_RENDER_TARGET_PROPERTIES properties =
          D2D1::RenderTargetProperties(
              D2D1_RENDER_TARGET_TYPE_DEFAULT,
              D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM,
                                D2D1_ALPHA_MODE_IGNORE));
      if (FAILED(factory_->CreateDCRenderTarget(&properties, &target_)))
        return false;
    }
    if (FAILED(target_->BindDC(dc, &area))) {
      releaseCom(target_);
      return false;
    }
    target_->BeginDraw();
    target_->Clear(D2D1::ColorF(0.05f, 0.05f, 0.05f, 1.0f));
    if (hasPicture(frame)) {
      ID2D1Bitmap* bitmap = nullptr;
      const D2D1_BITMAP_PROPERTIES properties =
          D2D1::BitmapProperties(D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM,
                                                   D2D1_ALPHA_MODE_IGNORE));
      if (SUCCEEDED(target_->CreateBitmap(
              D2D1::SizeU(static_cast<UINT32>(frame.width),
                          static_cast<UINT32>(frame.height)),
              frame.pixels.data(),
              static_cast<UINT32>(frame.stride),
              &properties,
              &bitmap))) {
        const Fit f = fit(area, frame);
        target_->DrawBitmap(
            bitmap, D2D1::RectF(f.x, f.y, f.x + f.width, f.y + f.height));
        bitmap->Release();
      }
    }
    // A lost device: the target is made again for the next frame.
    if (target_->EndDraw() == static_cast<HRESULT>(D2DERR_RECREATE_TARGET))
      releaseCom(target_);
    return true;
  }

  static void paintGdi(HDC dc, const RECT& area, const PreviewFrame& frame) {
    HBRUSH background = ::CreateSolidBrush(RGB(13, 13, 13));
    ::FillRect(dc, &area, background);
    ::DeleteObject(background);
    if (!hasPicture(frame)) return;
    const Fit f = fit(area, frame);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = frame.width;
    info.bmiHeader.biHeight = -frame.height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    ::SetStretchBltMode(dc, HALFTONE);
    ::StretchDIBits(dc,
                    static_cast<int>(f.x),
                    static_cast<int>(f.y),
                    static_cast<int>(f.width),
                    static_cast<int>(f.height),
                    0,
                    0,
                    frame.width,
                    frame.height,
                    frame.pixels.data(),
                    &info,
                    DIB_RGB_COLORS,
                    SRCCOPY);
  }

  ID2D1Factory* factory_ = nullptr;
  ID2D1DCRenderTarget* target_ = nullptr;
};

class ScanWindow {
 public:
  explicit ScanWindow(ScanWindowLaunch launch)
      : hostField_(std::move(launch.hostField)),
        controllerKind_(static_cast<int32_t>(launch.controllerKind)),
        wizard_(std::move(launch.session),
                std::move(launch.result),
                std::move(launch.controllerHost),
                std::move(launch.modelName)) {}

  ~ScanWindow() {
    if (font_) ::DeleteObject(font_);
  }
  ScanWindow(const ScanWindow&) = delete;
  ScanWindow& operator=(const ScanWindow&) = delete;

  // Creates the window and runs its message loop until it is gone.
  void run() {
    if (!registerClasses() || !build()) {
      wizard_.finish("");
      return;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
      if (!::IsDialogMessageW(main_, &message)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
      }
    }
  }

 private:
  // ---- Set-up --------------------------------------------------------------

  static bool registerClasses() {
    HINSTANCE module = moduleHandle();
    struct Class {
      const wchar_t* name;
      WNDPROC procedure;
    };
    for (Class c : {Class{kMainClass, &ScanWindow::mainProcedure},
                    Class{kViewportClass, &ScanWindow::viewportProcedure},
                    Class{kReviewClass, &ScanWindow::reviewProcedure}}) {
      WNDCLASSEXW wc{};
      if (::GetClassInfoExW(module, c.name, &wc)) continue;
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = c.procedure;
      wc.hInstance = module;
      wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // arrow
      wc.lpszClassName = c.name;
      if (!::RegisterClassExW(&wc) &&
          ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    return true;
  }

  // The module this code is in (the DLL, or the program it is linked into).
  static HINSTANCE moduleHandle() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ScanWindow::moduleHandle),
                         &module);
    return module;
  }

  bool build() {
    main_ = ::CreateWindowExW(0,
                              kMainClass,
                              widen(kWindowTitle).c_str(),
                              WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU |
                                  WS_MINIMIZEBOX | WS_CLIPCHILDREN,
                              CW_USEDEFAULT,
                              CW_USEDEFAULT,
                              kOuterWidth,
                              kOuterHeight,
                              nullptr,
                              nullptr,
                              moduleHandle(),
                              this);
    if (!main_) return false;
    dpi_ = windowDpi(main_);
    font_ = messageFont(dpi_);
    // The outer size at this DPI, grown until the client area holds the
    // layout.
    ::SetWindowPos(main_,
                   nullptr,
                   0,
                   0,
                   px(kOuterWidth),
                   px(kOuterHeight),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client{};
    ::GetClientRect(main_, &client);
    const int32_t growX = std::max<int32_t>(0, px(kClientWidth) - client.right);
    const int32_t growY =
        std::max<int32_t>(0, px(kClientHeight) - client.bottom);
    if (growX > 0 || growY > 0)
      ::SetWindowPos(main_,
                     nullptr,
                     0,
                     0,
                     px(kOuterWidth) + growX,
                     px(kOuterHeight) + growY,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    for (const ControlLayout& control : wizardControls()) {
      HWND hwnd = makeControl(control);
      if (!hwnd) return false;
      controls_.push_back({&control, hwnd});
      if (control.id != kNoId) byId_[control.id] = hwnd;
    }
    HWND mainWindow = main_;
    // The teardown waits for a running scan and restores the controller
    // over the network: it runs on a thread of its own, the window hidden
    // meanwhile, and the window goes when it is done.
    wizard_.setFinishRunner([mainWindow](std::function<void()> teardown) {
      std::thread([mainWindow, teardown = std::move(teardown)] {
        teardown();
        ::PostMessageW(mainWindow, kTeardownDone, 0, 0);
      }).detach();
    });
    const bool connectNow = wizard_.start([mainWindow](PostedMessage message) {
      auto* posted = new PostedMessage(std::move(message));
      if (!::PostMessageW(
              mainWindow,
              kWizardMessageBase + static_cast<UINT>(posted->message),
              0,
              reinterpret_cast<LPARAM>(posted)))
        delete posted;  // the window is gone
    });
    ::SendMessageW(
        byId_[kControllerKindList], CB_SETCURSEL, controllerKind_, 0);
    showStage();
    refresh();
    ::ShowWindow(main_, SW_SHOW);
    ::UpdateWindow(main_);
    if (connectNow) {
      setText(byId_[kHostEdit], wizard_.hostText());
      ::PostMessageW(
          main_, WM_COMMAND, MAKEWPARAM(kConnectButton, BN_CLICKED), 0);
    } else if (!hostField_.empty()) {
      setText(byId_[kHostEdit], hostField_);
    }
    return true;
  }

  // A layout length at the window's DPI.
  int32_t px(int32_t units) const {
    return ::MulDiv(units, static_cast<int>(dpi_), 96);
  }

  HWND child(HWND parent,
             const wchar_t* className,
             const std::wstring& text,
             DWORD style,
             int32_t x,
             int32_t y,
             int32_t width,
             int32_t height,
             int32_t id,
             DWORD exStyle = 0) {
    HWND hwnd =
        ::CreateWindowExW(exStyle,
                          className,
                          text.c_str(),
                          WS_CHILD | style,
                          px(x),
                          px(y),
                          px(width),
                          px(height),
                          parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                          moduleHandle(),
                          this);
    if (hwnd)
      ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return hwnd;
  }

  // A child of the main window where the layout puts `c`.
  HWND childAt(const ControlLayout& c,
               const wchar_t* className,
               const std::wstring& text,
               DWORD style,
               int32_t id,
               DWORD exStyle = 0) {
    return child(main_,
                 className,
                 text,
                 style,
                 c.x,
                 c.y,
                 c.width,
                 c.height,
                 id,
                 exStyle);
  }

  HWND makeDropDown(const ControlLayout& c) {
    HWND hwnd = childAt(
        c, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, c.id);
    const std::string items = c.text;
    for (size_t start = 0; start <= items.size();) {
      const size_t end = std::min(items.find('\n', start), items.size());
      ::SendMessageW(hwnd,
                     CB_ADDSTRING,
                     0,
                     reinterpret_cast<LPARAM>(
                         widen(items.substr(start, end - start)).c_str()));
      start = end + 1;
    }
    ::SendMessageW(hwnd, CB_SETCURSEL, 0, 0);
    if (c.role == ControlRole::kSaveAsList) saveAsList_ = hwnd;
    return hwnd;
  }

  HWND makeControl(const ControlLayout& c) {
    const std::wstring text = widen(c.text);
    switch (c.kind) {
      case ControlKind::kLabel: {
        HWND hwnd = childAt(c, L"STATIC", text, SS_LEFT, c.id);
        if (c.role == ControlRole::kTotalLabel) totalLabel_ = hwnd;
        if (c.role == ControlRole::kViewsLabel) viewsLabel_ = hwnd;
        if (c.role == ControlRole::kStatusLabel) statusLabel_ = hwnd;
        return hwnd;
      }
      case ControlKind::kEdit:
      case ControlKind::kPasswordEdit:
      case ControlKind::kDigitsEdit: {
        DWORD style = WS_TABSTOP | ES_AUTOHSCROLL;
        if (c.kind == ControlKind::kPasswordEdit) style |= ES_PASSWORD;
        if (c.kind == ControlKind::kDigitsEdit) style |= ES_NUMBER;
        return childAt(c, L"EDIT", text, style, c.id, WS_EX_CLIENTEDGE);
      }
      case ControlKind::kButton:
        return childAt(c, L"BUTTON", text, WS_TABSTOP | BS_PUSHBUTTON, c.id);
      case ControlKind::kCheckBox:
        return childAt(c, L"BUTTON", text, WS_TABSTOP | BS_AUTOCHECKBOX, c.id);
      case ControlKind::kTrackbar: {
        HWND hwnd = childAt(c, TRACKBAR_CLASSW, L"", WS_TABSTOP, c.id);
        ::SendMessageW(hwnd, TBM_SETRANGE, FALSE, MAKELPARAM(5, 255));
        ::SendMessageW(hwnd, TBM_SETPOS, TRUE, wizard_.trackbar());
        return hwnd;
      }
      case ControlKind::kDropDown:
        return makeDropDown(c);
      case ControlKind::kPortViewport:
        viewport_ = childAt(c,
                            kViewportClass,
                            L"",
                            WS_BORDER | WS_VSCROLL | WS_CLIPCHILDREN,
                            c.id);
        return viewport_;
      case ControlKind::kCameraPreview:
        cameraPreview_ =
            childAt(c, L"STATIC", L"", SS_OWNERDRAW, kCameraPreviewId);
        return cameraPreview_;
      case ControlKind::kReviewPreview:
        reviewPreview_ = childAt(c, kReviewClass, L"", 0, c.id);
        return reviewPreview_;
    }
    return nullptr;
  }

  // ---- Window procedures ---------------------------------------------------

  static ScanWindow* fromCreate(HWND hwnd, UINT message, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
      ::SetWindowLongPtrW(hwnd,
                          GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    return reinterpret_cast<ScanWindow*>(
        ::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }

  static LRESULT CALLBACK mainProcedure(HWND hwnd,
                                        UINT message,
                                        WPARAM wParam,
                                        LPARAM lParam) {
    ScanWindow* self = fromCreate(hwnd, message, lParam);
    if (self && self->main_ == hwnd) {
      LRESULT result = 0;
      if (self->onMain(message, wParam, lParam, &result)) return result;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }

  static LRESULT CALLBACK viewportProcedure(HWND hwnd,
                                            UINT message,
                                            WPARAM wParam,
                                            LPARAM lParam) {
    ScanWindow* self = fromCreate(hwnd, message, lParam);
    if (self) {
      switch (message) {
        case WM_VSCROLL:
          self->scrollRows(LOWORD(wParam));
          return 0;
        case WM_MOUSEWHEEL:
          self->wheelRows(GET_WHEEL_DELTA_WPARAM(wParam));
          return 0;
        case WM_COMMAND:
          // The rows' check boxes and edits: the total follows them.
          if (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == EN_CHANGE ||
              HIWORD(wParam) == CBN_SELCHANGE) {
            self->readPortRows();
            self->refresh();
          }
          return 0;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
          return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
        case WM_ERASEBKGND: {
          RECT area;
          ::GetClientRect(hwnd, &area);
          ::FillRect(reinterpret_cast<HDC>(wParam),
                     &area,
                     ::GetSysColorBrush(COLOR_WINDOW));
          return 1;
        }
        default:
          break;
      }
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }

  static LRESULT CALLBACK reviewProcedure(HWND hwnd,
                                          UINT message,
                                          WPARAM wParam,
                                          LPARAM lParam) {
    ScanWindow* self = fromCreate(hwnd, message, lParam);
    if (self) {
      switch (message) {
        case WM_PAINT:
          self->paintReview(hwnd);
          return 0;
        case WM_ERASEBKGND:
          return 1;
        case WM_LBUTTONDOWN:
          ::SetFocus(hwnd);
          ::SetCapture(hwnd);
          self->dragging_ = true;
          self->lastX_ = static_cast<short>(LOWORD(lParam));
          self->lastY_ = static_cast<short>(HIWORD(lParam));
          return 0;
        case WM_MOUSEMOVE:
          if (self->dragging_) {
            const int x = static_cast<short>(LOWORD(lParam));
            const int y = static_cast<short>(HIWORD(lParam));
            self->wizard_.reviewCamera().drag(x - self->lastX_,
                                              y - self->lastY_);
            self->lastX_ = x;
            self->lastY_ = y;
            ::InvalidateRect(hwnd, nullptr, FALSE);
          }
          return 0;
        case WM_LBUTTONUP:
        case WM_CAPTURECHANGED:
          if (self->dragging_) {
            self->dragging_ = false;
            if (message == WM_LBUTTONUP) ::ReleaseCapture();
          }
          return 0;
        case WM_MOUSEWHEEL:
          self->wheelReview(GET_WHEEL_DELTA_WPARAM(wParam));
          return 0;
        default:
          break;
      }
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }

  bool onMain(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message >= kWizardMessageBase + 1 &&
        message <= kWizardMessageBase + 5) {
      std::unique_ptr<PostedMessage> posted(
          reinterpret_cast<PostedMessage*>(lParam));
      if (posted) handle(*posted);
      return true;
    }
    switch (message) {
      case WM_COMMAND:
        command(LOWORD(wParam), HIWORD(wParam));
        return true;
      case WM_HSCROLL:
        if (reinterpret_cast<HWND>(lParam) == byId_[kBrightnessTrackbar])
          wizard_.setTrackbar(static_cast<int32_t>(
              ::SendMessageW(byId_[kBrightnessTrackbar], TBM_GETPOS, 0, 0)));
        return true;
      case WM_DRAWITEM: {
        auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        if (item->hwndItem != cameraPreview_) return false;
        renderer_.paint(item->hDC, item->rcItem, frame_);
        *result = TRUE;
        return true;
      }
      case WM_MOUSEWHEEL: {
        // The wheel goes to the focused window: over the review it turns
        // the zoom, over the port rows it scrolls them, wherever the focus
        // is.
        POINT cursor{static_cast<short>(LOWORD(lParam)),
                     static_cast<short>(HIWORD(lParam))};
        RECT review{};
        if (reviewPreview_ && ::IsWindowVisible(reviewPreview_) &&
            ::GetWindowRect(reviewPreview_, &review) &&
            ::PtInRect(&review, cursor))
          wheelReview(GET_WHEEL_DELTA_WPARAM(wParam));
        RECT rows{};
        if (viewport_ && ::IsWindowVisible(viewport_) &&
            ::GetWindowRect(viewport_, &rows) && ::PtInRect(&rows, cursor))
          wheelRows(GET_WHEEL_DELTA_WPARAM(wParam));
        return true;
      }
      case WM_CTLCOLORSTATIC:
        *result = reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
        ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return true;
      case WM_ERASEBKGND: {
        RECT area;
        ::GetClientRect(main_, &area);
        ::FillRect(reinterpret_cast<HDC>(wParam),
                   &area,
                   ::GetSysColorBrush(COLOR_BTNFACE));
        *result = 1;
        return true;
      }
      case WM_CLOSE:
        close("");
        return true;
      case kTeardownDone:
        // The controller could not be put back: the user is told, with
        // the command that finishes it, before the window goes.
        if (const std::string failure = wizard_.restoreFailure();
            !failure.empty())
          ::MessageBoxW(main_,
                        widen(failure).c_str(),
                        widen(ScanWizard::kRestoreFailureTitle).c_str(),
                        MB_OK | MB_ICONERROR);
        ::DestroyWindow(main_);
        return true;
      case WM_DESTROY:
        ::PostQuitMessage(0);
        return true;
      default:
        return false;
    }
  }

  // ---- Commands and messages ----------------------------------------------

  void command(int32_t id, WORD notification) {
    const Stage before = wizard_.stage();
    switch (id) {
      case kConnectButton:
        if (notification != BN_CLICKED) return;
        wizard_.setControllerKind(static_cast<int32_t>(
            ::SendMessageW(byId_[kControllerKindList], CB_GETCURSEL, 0, 0)));
        wizard_.setReceiverFields(windowText(byId_[kReceiverPixelsEdit]),
                                  windowText(byId_[kStartChannelEdit]),
                                  windowText(byId_[kUniverseEdit]));
        wizard_.setHostFields(windowText(byId_[kHostEdit]),
                              windowText(byId_[kUserEdit]),
                              windowText(byId_[kPasswordEdit]));
        wizard_.connect();
        break;
      case kContinueButton:
        if (notification != BN_CLICKED) return;
        readPortRows();
        wizard_.continueToAim();
        break;
      case kStartScanButton:
        if (notification != BN_CLICKED) return;
        wizard_.startScan();
        break;
      case kAddToLayoutButton:
        if (notification != BN_CLICKED) return;
        if (wizard_.addToLayout()) {
          ::ShowWindow(main_, SW_HIDE);
          return;
        }
        break;
      case kCancelButton:
        if (notification != BN_CLICKED) return;
        close("");
        return;
      case kSaveToFileButton:
        if (notification != BN_CLICKED) return;
        wizard_.saveToFile([this](const std::string& suggestion) {
          return chooseFile(suggestion);
        });
        break;
      case kSaveScanDataButton:
        if (notification != BN_CLICKED) return;
        wizard_.saveScanData(
            [this](const std::string&) { return chooseFolder(); });
        break;
      case kCaptureAnotherAngleButton:
        if (notification != BN_CLICKED) return;
        wizard_.captureAnotherAngle();
        break;
      case kDiscardButton:
        if (notification != BN_CLICKED) return;
        wizard_.discardAndRescan();
        break;
      case kShow3DCheck:
        if (notification != BN_CLICKED || updating_) return;
        wizard_.setShow3D(
            ::SendMessageW(byId_[kShow3DCheck], BM_GETCHECK, 0, 0) ==
            BST_CHECKED);
        break;
      case kFovEdit:
        if (notification != EN_CHANGE || updating_) return;
        wizard_.setFovText(windowText(byId_[kFovEdit]));
        break;
      default:
        if (notification == CBN_SELCHANGE && saveAsList_ &&
            ::GetDlgCtrlID(saveAsList_) == id)
          wizard_.setSaveAsIndex(static_cast<int32_t>(
              ::SendMessageW(saveAsList_, CB_GETCURSEL, 0, 0)));
        return;
    }
    if (wizard_.stage() != before) showStage();
    refresh();
  }

  void handle(const PostedMessage& message) {
    if (wizard_.finished()) return;
    const Stage before = wizard_.stage();
    wizard_.handle(message);
    if (message.message == WizardMessage::kFrameWaiting) {
      PreviewFrame frame;
      if (wizard_.takePreviewFrame(&frame)) {
        frame_ = std::move(frame);
        ::InvalidateRect(cameraPreview_, nullptr, FALSE);
      }
      return;
    }
    if (message.message == WizardMessage::kConnectFinished && message.ok)
      buildPortRows();
    if (wizard_.stage() != before) showStage();
    refresh();
  }

  // Hides the window at once; it goes when the finish is done.
  void close(const std::string& result) {
    ::ShowWindow(main_, SW_HIDE);
    if (!wizard_.finish(result) && wizard_.finishDone()) ::DestroyWindow(main_);
  }

  void showStage() {
    for (const auto& [control, hwnd] : controls_)
      ::ShowWindow(
          hwnd,
          controlShown(*control, wizard_.stage(), wizard_.hasScanData())
              ? SW_SHOWNA
              : SW_HIDE);
    ::RedrawWindow(
        main_, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
  }

  void refresh() {
    updating_ = true;
    setText(statusLabel_, withCrLf(wizard_.status()));
    setText(totalLabel_, wizard_.totalLabel());
    setText(viewsLabel_, wizard_.viewsLabel());
    ::EnableWindow(byId_[kConnectButton], wizard_.connectEnabled());
    ::EnableWindow(byId_[kContinueButton], wizard_.continueEnabled());
    ::SendMessageW(byId_[kShow3DCheck],
                   BM_SETCHECK,
                   wizard_.show3DChecked() ? BST_CHECKED : BST_UNCHECKED,
                   0);
    ::EnableWindow(byId_[kShow3DCheck], wizard_.show3DEnabled());
    for (const auto& [control, hwnd] : controls_)
      if (control->id == kSaveScanDataButton)
        ::ShowWindow(
            hwnd,
            controlShown(*control, wizard_.stage(), wizard_.hasScanData())
                ? SW_SHOWNA
                : SW_HIDE);
    updating_ = false;
    if (reviewPreview_) ::InvalidateRect(reviewPreview_, nullptr, FALSE);
  }

  // ---- Port rows -----------------------------------------------------------

  void buildPortRows() {
    for (HWND hwnd : rowWindows_) ::DestroyWindow(hwnd);
    rowWindows_.clear();
    rows_.clear();
    scroll_ = 0;
    const auto& rows = wizard_.portRows();
    for (size_t i = 0; i < rows.size(); ++i) {
      const int32_t y = 6 + kPortRowPitch * static_cast<int32_t>(i);
      RowWindows r;
      r.check = child(viewport_,
                      L"BUTTON",
                      widen(rows[i].checkLabel),
                      WS_TABSTOP | BS_AUTOCHECKBOX,
                      8,
                      y,
                      84,
                      22,
                      0);
      ::SendMessageW(r.check,
                     BM_SETCHECK,
                     rows[i].selected ? BST_CHECKED : BST_UNCHECKED,
                     0);
      HWND pxLabel =
          child(viewport_, L"STATIC", L"px:", SS_LEFT, 96, y + 3, 22, 20, 0);
      r.pixels = child(viewport_,
                       L"EDIT",
                       widen(rows[i].pixels),
                       WS_TABSTOP | ES_AUTOHSCROLL | ES_NUMBER,
                       120,
                       y,
                       60,
                       22,
                       0,
                       WS_EX_CLIENTEDGE);
      HWND nullLabel =
          child(viewport_, L"STATIC", L"null:", SS_LEFT, 186, y + 3, 34, 20, 0);
      r.nulls = child(viewport_,
                      L"EDIT",
                      widen(rows[i].nulls),
                      WS_TABSTOP | ES_AUTOHSCROLL | ES_NUMBER,
                      222,
                      y,
                      48,
                      22,
                      0,
                      WS_EX_CLIENTEDGE);
      r.order = child(viewport_,
                      L"COMBOBOX",
                      L"",
                      WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                      278,
                      y,
                      76,
                      120,
                      0);
      ::SendMessageW(
          r.order, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"RGB"));
      ::SendMessageW(
          r.order, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"RGBW"));
      ::SendMessageW(r.order, CB_SETCURSEL, rows[i].rgbw ? 1 : 0, 0);
      HWND info = child(viewport_,
                        L"STATIC",
                        widen(rows[i].infoLabel),
                        SS_LEFT,
                        362,
                        y + 3,
                        240,
                        20,
                        0);
      for (HWND hwnd :
           {r.check, pxLabel, r.pixels, nullLabel, r.nulls, r.order, info}) {
        ::ShowWindow(hwnd, SW_SHOWNA);
        rowWindows_.push_back(hwnd);
        rowTops_.push_back(
            y + (hwnd == pxLabel || hwnd == nullLabel || hwnd == info ? 3 : 0));
      }
      rows_.push_back(r);
    }
    contentHeight_ = 12 + kPortRowPitch * static_cast<int32_t>(rows.size());
    updateScrollBar();
  }

  void readPortRows() {
    for (size_t i = 0; i < rows_.size(); ++i) {
      wizard_.setPortSelected(
          i, ::SendMessageW(rows_[i].check, BM_GETCHECK, 0, 0) == BST_CHECKED);
      wizard_.setPortPixels(i, windowText(rows_[i].pixels));
      wizard_.setPortNulls(i, windowText(rows_[i].nulls));
      wizard_.setPortRgbw(
          i, ::SendMessageW(rows_[i].order, CB_GETCURSEL, 0, 0) == 1);
    }
  }

  int32_t viewportPage() const {
    RECT area{};
    ::GetClientRect(viewport_, &area);
    return std::max<int32_t>(1,
                             ::MulDiv(area.bottom, 96, static_cast<int>(dpi_)));
  }

  void updateScrollBar() {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMin = 0;
    info.nMax = px(contentHeight_);
    info.nPage = static_cast<UINT>(px(viewportPage()));
    info.nPos = px(scroll_);
    ::SetScrollInfo(viewport_, SB_VERT, &info, TRUE);
  }

  // Moves the rows to the scroll position (layout units).
  void scrollTo(int32_t position) {
    const int32_t most = std::max(0, contentHeight_ - viewportPage());
    position = std::clamp(position, 0, most);
    if (position == scroll_) return;
    scroll_ = position;
    for (size_t i = 0; i < rowWindows_.size(); ++i) {
      RECT box{};
      ::GetWindowRect(rowWindows_[i], &box);
      POINT at{box.left, box.top};
      ::ScreenToClient(viewport_, &at);
      ::SetWindowPos(rowWindows_[i],
                     nullptr,
                     at.x,
                     px(rowTops_[i] - scroll_),
                     0,
                     0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    updateScrollBar();
    ::InvalidateRect(viewport_, nullptr, TRUE);
  }

  void scrollRows(WORD request) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_TRACKPOS;
    ::GetScrollInfo(viewport_, SB_VERT, &info);
    switch (request) {
      case SB_LINEUP:
        scrollTo(scroll_ - kPortRowPitch);
        break;
      case SB_LINEDOWN:
        scrollTo(scroll_ + kPortRowPitch);
        break;
      case SB_PAGEUP:
        scrollTo(scroll_ - viewportPage());
        break;
      case SB_PAGEDOWN:
        scrollTo(scroll_ + viewportPage());
        break;
      case SB_THUMBTRACK:
      case SB_THUMBPOSITION:
        scrollTo(::MulDiv(info.nTrackPos, 96, static_cast<int>(dpi_)));
        break;
      case SB_TOP:
        scrollTo(0);
        break;
      case SB_BOTTOM:
        scrollTo(contentHeight_);
        break;
      default:
        break;
    }
  }

  // Whole notches of wheel movement; a fine-grained wheel's parts add up.
  static int notches(int* remainder, int delta) {
    *remainder += delta;
    const int whole = *remainder / kWheelDelta;
    *remainder -= whole * kWheelDelta;
    return whole;
  }

  void wheelRows(int delta) {
    scrollTo(scroll_ - notches(&wheelRemainder_, delta) * kPortRowPitch);
  }

  // ---- Review --------------------------------------------------------------

  void wheelReview(int delta) {
    const int turned = notches(&reviewWheel_, delta);
    if (turned == 0) return;
    wizard_.reviewCamera().wheel(turned);
    ::InvalidateRect(reviewPreview_, nullptr, FALSE);
  }

  void paintReview(HWND hwnd) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(hwnd, &paint);
    RECT area{};
    ::GetClientRect(hwnd, &area);
    // Drawn off screen, then copied: no flicker while turning the 3D view.
    HDC memory = ::CreateCompatibleDC(dc);
    HBITMAP bitmap = ::CreateCompatibleBitmap(dc, area.right, area.bottom);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    const ReviewDrawing d = wizard_.reviewDrawing(area.right, area.bottom);
    HBRUSH background =
        ::CreateSolidBrush(RGB(d.background.r, d.background.g, d.background.b));
    ::FillRect(memory, &area, background);
    ::DeleteObject(background);
    if (!d.path.empty()) {
      std::vector<POINT> line;
      line.reserve(d.path.size());
      for (const auto& p : d.path)
        line.push_back({static_cast<LONG>(std::lround(p[0])),
                        static_cast<LONG>(std::lround(p[1]))});
      HPEN pen = ::CreatePen(
          PS_SOLID, 1, RGB(d.lineColour.r, d.lineColour.g, d.lineColour.b));
      HGDIOBJ oldPen = ::SelectObject(memory, pen);
      ::Polyline(memory, line.data(), static_cast<int>(line.size()));
      ::SelectObject(memory, oldPen);
      ::DeleteObject(pen);
    }
    HGDIOBJ oldPen = ::SelectObject(memory, ::GetStockObject(NULL_PEN));
    for (const Dot& dot : d.dots) {
      HBRUSH brush =
          ::CreateSolidBrush(RGB(dot.colour.r, dot.colour.g, dot.colour.b));
      HGDIOBJ oldBrush = ::SelectObject(memory, brush);
      // A null pen draws one pixel short on the right and bottom.
      ::Ellipse(memory,
                static_cast<int>(std::lround(dot.x - dot.radius)),
                static_cast<int>(std::lround(dot.y - dot.radius)),
                static_cast<int>(std::lround(dot.x + dot.radius)) + 1,
                static_cast<int>(std::lround(dot.y + dot.radius)) + 1);
      ::SelectObject(memory, oldBrush);
      ::DeleteObject(brush);
    }
    ::SelectObject(memory, oldPen);
    ::BitBlt(dc, 0, 0, area.right, area.bottom, memory, 0, 0, SRCCOPY);
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::EndPaint(hwnd, &paint);
  }

  // ---- The shell's dialogs -------------------------------------------------

  // Shows `dialog` and gives the chosen file-system path; "" when dismissed.
  std::string showDialog(IFileDialog* dialog) {
    std::string chosen;
    IShellItem* item = nullptr;
    if (SUCCEEDED(dialog->Show(main_)) && SUCCEEDED(dialog->GetResult(&item))) {
      PWSTR path = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
        chosen = narrow(path);
        ::CoTaskMemFree(path);
      }
      item->Release();
    }
    dialog->Release();
    return chosen;
  }

  std::string chooseFile(const std::string& suggestion) {
    IFileSaveDialog* dialog = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_FileSaveDialog,
                                  nullptr,
                                  CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&dialog))))
      return "";
    const COMDLG_FILTERSPEC types[] = {{L"xLights Model", L"*.xmodel"}};
    dialog->SetTitle(L"Save mapped model");
    dialog->SetFileTypes(1, types);
    dialog->SetDefaultExtension(L"xmodel");
    const size_t slash = suggestion.find_last_of("/\\");
    dialog->SetFileName(widen(slash == std::string::npos
                                  ? suggestion
                                  : suggestion.substr(slash + 1))
                            .c_str());
    return showDialog(dialog);
  }

  std::string chooseFolder() {
    IFileOpenDialog* dialog = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog,
                                  nullptr,
                                  CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&dialog))))
      return "";
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
    dialog->SetTitle(L"Choose a folder for the raw scan data");
    return showDialog(dialog);
  }

  // ---- State ---------------------------------------------------------------

  // The camera preview is an owner-drawn static control; its id is never a
  // command's.
  static constexpr int32_t kCameraPreviewId = 2001;

  struct RowWindows {
    HWND check = nullptr;
    HWND pixels = nullptr;
    HWND nulls = nullptr;
    HWND order = nullptr;
  };

  std::string hostField_;
  int32_t controllerKind_ = 0;  // the list's first choice
  ScanWizard wizard_;
  HWND main_ = nullptr;
  HWND viewport_ = nullptr;
  HWND cameraPreview_ = nullptr;
  HWND reviewPreview_ = nullptr;
  HWND totalLabel_ = nullptr;
  HWND viewsLabel_ = nullptr;
  HWND statusLabel_ = nullptr;
  HWND saveAsList_ = nullptr;
  HFONT font_ = nullptr;
  UINT dpi_ = 96;
  std::map<int32_t, HWND> byId_;
  std::vector<std::pair<const ControlLayout*, HWND>> controls_;
  std::vector<HWND> rowWindows_;
  std::vector<int32_t> rowTops_;  // layout units, unscrolled
  std::vector<RowWindows> rows_;
  int32_t contentHeight_ = 0;
  int32_t scroll_ = 0;
  int wheelRemainder_ = 0;
  int reviewWheel_ = 0;
  PreviewRenderer renderer_;
  PreviewFrame frame_;
  bool updating_ = false;
  bool dragging_ = false;
  int lastX_ = 0, lastY_ = 0;
};

}  // namespace

bool openScanWindow(ScanWindowLaunch launch) {
  auto shared = std::make_shared<ScanWindowLaunch>(std::move(launch));
  std::thread([shared] {
    const bool com =
        SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
      // The window state goes (and with it the session and the camera)
      // before COM does.
      ScanWindow window(std::move(*shared));
      window.run();
    }
    if (com) ::CoUninitialize();
  }).detach();
  return true;
}

}  // namespace pxo::ui
