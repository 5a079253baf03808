#include "ui-win32/main_window.h"

#include <commdlg.h>

#include <array>
#include <string>
#include <vector>

#include "midi/midi_ports.h"
#include "ui-common/window_layout.h"
#include "ui-win32/resource_ids.h"

namespace varnet {

static_assert(VARNET_IDM_QUIT == IDM_QUIT && VARNET_IDM_ABOUT == IDM_ABOUT &&
              VARNET_IDM_MIDI_IO == IDM_MIDI_IO);

namespace {

constexpr char kClassName[] = "MainWindowClass";
// Retries a close that waits for the session's worker to end or its start question to return.
constexpr UINT_PTR kCloseRetryTimer = 1;
// WS_VISIBLE, WS_CLIPCHILDREN, WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX: no sizing border and no
// maximise box, the window has a fixed size.
constexpr DWORD kWindowStyle = 0x12CA0000;
constexpr DWORD kControlStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

RECT ToRect(Edges edges) {
  return RECT{edges.left, edges.top, edges.right, edges.bottom};
}

COLORREF ToColorRef(Rgb rgb) {
  return RGB(rgb.r, rgb.g, rgb.b);
}

HFONT FontWithCellHeight(int cellHeight) {
  LOGFONTA font = {};
  font.lfHeight = cellHeight;  // positive: the cell height, as the window has always asked
  font.lfWeight = FW_THIN;
  font.lfCharSet = ANSI_CHARSET;
  lstrcpynA(font.lfFaceName, "Tahoma", LF_FACESIZE);
  return CreateFontIndirectA(&font);
}

// Copies the top-left width x height of `bitmap` to (x, y) of `dc`.
void Blit(HDC dc, HBITMAP bitmap, int x, int y, int width, int height) {
  if (bitmap == nullptr || width <= 0 || height <= 0) return;
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(dc, x, y, width, height, memory, 0, 0, SRCCOPY);
  SelectObject(memory, previous);
  DeleteDC(memory);
}

void TextAt(HDC dc, Point at, const std::string& text) {
  TextOutA(dc, at.x, at.y, text.c_str(), static_cast<int>(text.size()));
}

}  // namespace

Win32Window::Win32Window(HINSTANCE instance, Engine& engine, FileBuffer& fileBuffer,
                         std::string startDirectory)
    : instance_(instance),
      engine_(engine),
      fileBuffer_(fileBuffer),
      session_(engine, *this, shell_.firmwarePath) {
  shell_.startDirectory = std::move(startDirectory);
}

Win32Window::~Win32Window() {
  // The worker must be stopped before the buffers it streams from go.
  StopUpdateSession(session_);
}

bool Win32Window::Create() {
  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance_;
  windowClass.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(VARNET_IDI_MAIN));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW));
  windowClass.lpszMenuName = "MyMainAppMenu";
  windowClass.lpszClassName = kClassName;
  if (RegisterClassA(&windowClass) == 0) {
    engine_.prompts.showError(kNoClassText, kStartFailureCaption);
    return false;
  }
  // The outer size that leaves exactly the bitmap's 400 x 240 as client area with this
  // system's frame, caption and menu bar.
  RECT outer{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&outer, kWindowStyle, TRUE, 0);
  const HWND made = CreateWindowExA(0, kClassName, kWindowTitle, kWindowStyle, CW_USEDEFAULT,
                                    CW_USEDEFAULT, outer.right - outer.left,
                                    outer.bottom - outer.top, nullptr, nullptr, instance_, this);
  if (made == nullptr) {
    engine_.prompts.showError(kNoWindowText, kStartFailureCaption);
    return false;
  }
  ShowWindow(window_, SW_SHOW);
  UpdateWindow(window_);
  return true;
}

LRESULT CALLBACK Win32Window::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self =
        static_cast<Win32Window*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

void CALLBACK Win32Window::TimerProc(HWND window, UINT, UINT_PTR id, DWORD) {
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return;
  if (id == IDT_UPDATE_PROGRESS) {
    SessionTimerProc(self->session_);
  } else if (id == kCloseRetryTimer) {
    KillTimer(window, kCloseRetryTimer);
    self->CloseWhenSessionStopped();
  }
}

LRESULT Win32Window::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return CreateSequence() ? 0 : -1;
    case WM_DESTROY:
      DestroySequence();
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window_, &paint);
      PaintStatus(dc);
      EndPaint(window_, &paint);
      return 0;
    }
    case WM_CLOSE:
      // The title-bar button, Alt+F4 and Quit all take the confirmation path.
      ConfirmAndClose();
      return 0;
    case WM_ERASEBKGND:
      PaintBackground(reinterpret_cast<HDC>(wParam));
      return 1;
    case WM_KEYDOWN:
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      // Once the user has agreed to close, the window only waits for the worker's end.
      if (id >= kFirstCommandId && id <= kLastCommandId && !ended_ && !closing_) {
        DispatchWindowCommand(id - kFirstCommandId, *this);
      }
      return 0;
    }
    default:
      return DefWindowProcA(window_, message, wParam, lParam);
  }
}

bool Win32Window::CreateSequence() {
  LoadGraphics();
  StartWindowRecords(engine_, fileBuffer_, shell_, window_);
  if (CreateControls() != 0) {
    engine_.prompts.showError(kNoControlsText, kNoControlsCaption);
    return false;
  }
  return true;
}

void Win32Window::LoadGraphics() {
  resources_.backgroundBitmap = LoadBitmapA(instance_, MAKEINTRESOURCEA(VARNET_IDB_BACKGROUND));
  resources_.progressBitmap = LoadBitmapA(instance_, MAKEINTRESOURCEA(VARNET_IDB_PROGRESS_BAR));
  resources_.textFont = FontWithCellHeight(kTextFontCell);
  resources_.controlFont = FontWithCellHeight(kControlFontCell);
}

void Win32Window::ReleaseGraphics() {
  auto release = [](auto& object) {
    if (object != nullptr) DeleteObject(object);
    object = nullptr;
  };
  release(resources_.backgroundBitmap);
  release(resources_.progressBitmap);
  release(resources_.textFont);
  release(resources_.controlFont);
}

int Win32Window::CreateControls() {
  auto make = [this](DWORD exStyle, const char* className, const char* text, DWORD style,
                     Place place, int id) {
    HWND control = CreateWindowExA(
        exStyle, className, text, style, place.x, place.y, place.width, place.height, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (control != nullptr) {
      SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(resources_.controlFont), TRUE);
    }
    return control;
  };
  resources_.fileTitleEdit =
      make(0, "edit", kInitialFileTitle, kControlStyle, kFileTitlePlace, IDC_FILE_TITLE);
  if (resources_.fileTitleEdit == nullptr) return -1;
  SendMessageA(resources_.fileTitleEdit, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN,
               MAKELPARAM(2, 2));
  resources_.selectFileButton =
      make(0, "button", kSelectFileCaption, kControlStyle, kSelectFilePlace, IDC_SELECT_FILE);
  if (resources_.selectFileButton == nullptr) return -1;
  resources_.runUpdateButton =
      make(0, "button", kRunUpdateCaption, kControlStyle, kRunUpdatePlace, IDC_RUN_UPDATE);
  if (resources_.runUpdateButton == nullptr) return -1;
  EnableWindow(resources_.runUpdateButton, TRUE);
  // Never shown; it carries the device-type selection from the settings file back to it.
  resources_.deviceTypeCombo = make(WS_EX_CLIENTEDGE, "combobox", nullptr,
                                    WS_CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST,
                                    kDeviceTypePlace, IDC_DEVICE_TYPE);
  if (resources_.deviceTypeCombo == nullptr) return -1;
  for (const char* name : kDeviceTypeNames) {
    SendMessageA(resources_.deviceTypeCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  // A type of 2 or more selects nothing (CB_ERR), which the destroy sequence stores as 0xFF.
  SendMessageA(resources_.deviceTypeCombo, CB_SETCURSEL,
               shell_.deviceType < 2 ? shell_.deviceType : -1, 0);
  return 0;
}

void Win32Window::DestroyControls() {
  for (HWND* control : {&resources_.fileTitleEdit, &resources_.selectFileButton,
                        &resources_.runUpdateButton, &resources_.deviceTypeCombo}) {
    if (*control != nullptr) DestroyWindow(*control);
    *control = nullptr;
  }
}

void Win32Window::DestroySequence() {
  // Reached once by the posted WM_DESTROY of a close; the system's own WM_DESTROY when the
  // window goes with the process finds everything done.
  if (ended_) return;
  ended_ = true;
  const LRESULT selection = resources_.deviceTypeCombo != nullptr
                                ? SendMessageA(resources_.deviceTypeCombo, CB_GETCURSEL, 0, 0)
                                : CB_ERR;
  shell_.deviceType = static_cast<uint8_t>(selection);  // CB_ERR (-1) is stored as 0xFF
  SaveWindowSettings(engine_, fileBuffer_, shell_);
  KillTimer(window_, IDT_UPDATE_PROGRESS);
  StopUpdateSession(session_);
  ReleaseGraphics();
  ReleaseWindowRecords(engine_, fileBuffer_);
  DestroyControls();
  PostQuitMessage(0);
}

void Win32Window::PaintBackground(HDC dc) const {
  BITMAP size = {};
  if (resources_.backgroundBitmap == nullptr ||
      GetObjectA(resources_.backgroundBitmap, sizeof size, &size) == 0) {
    return;
  }
  Blit(dc, resources_.backgroundBitmap, 0, 0, size.bmWidth, size.bmHeight);
}

void Win32Window::PaintStatus(HDC dc) const {
  // One set of values for the frame: the worker writes them while this runs.
  const uint32_t bytesSent = engine_.image.bytesSent.load();
  const uint32_t total = engine_.image.progressTotal.load();
  const bool running = engine_.SessionState.load() == Running;
  const bool aborted = engine_.aborted.load() == 1;

  SetTextColor(dc, ToColorRef(kStatusTextColour));
  // A bar wider than the bitmap (more sent than counted) copies what the bitmap has.
  Blit(dc, resources_.progressBitmap, kProgressBarAt.x, kProgressBarAt.y,
       ProgressBarWidth(bytesSent, total), kProgressBarRows);
  HGDIOBJ previousFont = SelectObject(dc, resources_.controlFont);
  SetBkMode(dc, TRANSPARENT);
  SelectObject(dc, resources_.textFont);
  if (running) {
    TextAt(dc, kProgressTextAt,
           kDownloadingPrefix + std::to_string(ProgressPercent(bytesSent, total)) + kPercentSuffix);
  }
  if (aborted) TextAt(dc, kProgressTextAt, kPleaseWaitText);
  TextAt(dc, kDeviceCaptionAt, kDeviceCaption);
  TextAt(dc, kInputNameAt, kInputNamePrefix + DeviceName(engine_.midi->ports.inputDeviceName));
  TextAt(dc, kOutputNameAt, kOutputNamePrefix + DeviceName(engine_.midi->ports.outputDeviceName));
  SelectObject(dc, previousFont);
}

void Win32Window::OnRunUpdateCommand() {
  OnRunUpdate(session_);
}

void Win32Window::ShowAboutBox() {
  ShowAbout(engine_, window_);
}

void Win32Window::OnSelectFile() {
  // Loading resizes the buffers the update worker streams from.
  if (session_.inProgress.load()) return;
  char path[MAX_PATH] = {};
  char title[MAX_PATH] = {};
  lstrcpynA(path, shell_.firmwarePath.c_str(), MAX_PATH);
  static constexpr char kFilter[] = "JTG-File (*.jtg)\0*.jtg\0All Files (*.*)\0*.*\0";
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = kFilter;
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrFileTitle = title;
  dialog.nMaxFileTitle = MAX_PATH;
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  dialog.lpstrDefExt = "jtg";
  // A cancelled dialog keeps whatever firmware is loaded, names and payload together, so the
  // title field always names what Run Update would send.
  if (GetOpenFileNameA(&dialog)) {
    LoadChosenFirmware(engine_, fileBuffer_, shell_, path, title, window_);
  }
  SetWindowTextA(resources_.fileTitleEdit, shell_.firmwareTitle.c_str());
}

void Win32Window::ConfirmAndClose() {
  if (closeQuestionOpen_ || closing_ || ended_) return;
  if (!UserAgreesToClose(engine_, closeQuestionOpen_, window_)) return;
  closing_ = true;
  CloseWhenSessionStopped();
}

void Win32Window::CloseWhenSessionStopped() {
  // The update must end before its ports close or its buffers go: the worker is told to stop,
  // and the stream is closed with its end byte once it has ended. A worker still running out a
  // pause, or a start still asking its question, is not waited for here: the window stays
  // painted ("Please wait...") and tries again on the next tick.
  if (!StopUpdateSession(session_)) {
    SetTimer(window_, kCloseRetryTimer, kProgressTimerMs, TimerProc);
    return;
  }
  ReleaseMidiPorts(*engine_.midi);
  PostMessageA(window_, WM_DESTROY, 0, 0);
}

void Win32Window::OnMidiIo() {
  RunWin32PortDialog(instance_, *engine_.midi, window_);
  const RECT names = ToRect(kPortNamesEdges);
  InvalidateRect(window_, &names, TRUE);
}

void Win32Window::setRunUpdateCaption(const std::string& caption) {
  if (resources_.runUpdateButton != nullptr) {
    SetWindowTextA(resources_.runUpdateButton, caption.c_str());
  }
}

void Win32Window::setRunUpdateEnabled(bool enabled) {
  if (resources_.runUpdateButton != nullptr) EnableWindow(resources_.runUpdateButton, enabled);
}

void Win32Window::setSelectFileEnabled(bool enabled) {
  if (resources_.selectFileButton != nullptr) EnableWindow(resources_.selectFileButton, enabled);
}

void Win32Window::invalidateProgress() {
  const RECT progress = ToRect(kProgressEdges);
  InvalidateRect(window_, &progress, TRUE);
}

bool Win32Window::startProgressTimer() {
  return SetTimer(window_, IDT_UPDATE_PROGRESS, kProgressTimerMs, TimerProc) != 0;
}

void Win32Window::killProgressTimer() {
  KillTimer(window_, IDT_UPDATE_PROGRESS);
}

void Win32Window::paintNow() {
  // The pending WM_PAINTs of the window and its buttons, sent now rather than when the message
  // loop next runs.
  RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

}  // namespace varnet
