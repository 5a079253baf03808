// Runs the Windows window (varnet-update.exe) as a user would, through window messages from
// another process: select the firmware in the open-file dialog, run an update to its done box,
// cancel one, and (with the stand-in converter corrupting its echo) see one fail. Reads the
// window's pixels from the screen to check the background bitmap and the progress bar, and saves
// a picture of the window half-way through the update.
//   win32_window_driver PROGRAM FIRMWARE SCREENSHOT.bmp
// PROGRAM runs in the current folder, where its stand-in winmm.dll and ini.upd are.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/session.h"
#include "ui-common/window_layout.h"

namespace {

using namespace varnet;

int passes = 0;
int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  std::fflush(stdout);
  ++(ok ? passes : failures);
}

[[noreturn]] void Abort(const std::string& what) {
  Check(false, what);
  std::printf("%d passed, %d failed\n", passes, failures);
  std::exit(1);
}

// Polls `probe` every 50 ms until it gives a window, or gives up after `seconds`.
HWND WaitFor(const std::function<HWND()>& probe, double seconds, const std::string& what) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < seconds * 1000;) {
    if (HWND found = probe()) return found;
    Sleep(50);
  }
  Abort("timed out waiting for " + what);
}

std::string Text(HWND window) {
  char text[1024] = {};
  DWORD_PTR length = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 5000, &length);
  return text;
}

struct Search {
  std::string caption;
  HWND found = nullptr;
};

// A visible dialog (message box, open-file dialog) of the program, by its caption.
HWND FindDialog(DWORD thread, const std::string& caption) {
  Search search{caption};
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        char className[16] = {};
        GetClassNameA(window, className, sizeof className);
        if (std::string(className) != "#32770" || !IsWindowVisible(window)) return TRUE;
        if (Text(window) != s->caption) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void Press(HWND window, int id) {
  PostMessageA(window, WM_COMMAND, static_cast<WPARAM>(id), 0);
}

// Waits for the box, checks its text and presses `button`.
void AnswerBox(DWORD thread, const std::string& caption, const std::string& text, int button,
               double seconds = 30) {
  HWND box = WaitFor([&] { return FindDialog(thread, caption); }, seconds, "box " + caption);
  Check(Text(GetDlgItem(box, 0xFFFF)) == text, "box \"" + caption + "\" says: " + text);
  Press(box, button);
  WaitFor([&] { return IsWindowVisible(box) ? nullptr : box; }, 10, caption + " box closing");
}

// The client area as on screen, 0x00RRGGBB per pixel, rows top-down.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

Picture Capture(HWND window, bool whole) {
  RECT rect;
  POINT origin{0, 0};
  GetClientRect(window, &rect);
  ClientToScreen(window, &origin);
  if (whole) {
    // The menu bar (one line) and the client area: without a window manager there is no frame
    // or caption on screen, and what lies around the window is whatever was drawn there last.
    const int menuBar = GetSystemMetrics(SM_CYMENU) + 1;
    rect.bottom += menuBar;
    origin.y -= menuBar;
  }
  Picture picture;
  picture.width = rect.right - rect.left;
  picture.height = rect.bottom - rect.top;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = picture.width;
  info.bmiHeader.biHeight = -picture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, picture.width, picture.height, screen, origin.x, origin.y, SRCCOPY);
  GdiFlush();
  const auto* words = static_cast<const uint32_t*>(bits);
  picture.pixels.assign(words, words + picture.width * picture.height);
  for (uint32_t& pixel : picture.pixels) pixel &= 0xFFFFFF;
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return picture;
}

uint32_t Word(Rgb rgb) {
  return (uint32_t(rgb.r) << 16) | (uint32_t(rgb.g) << 8) | rgb.b;
}

// The bar's width: how far its top row's colour reaches from the bar's left end.
int BarWidth(const Picture& client) {
  const uint32_t barTop = client.at(kProgressBarAt.x, kProgressBarAt.y);
  if (barTop == Word(kTroughColour)) return 0;
  int width = 0;
  while (kProgressBarAt.x + width < client.width &&
         client.at(kProgressBarAt.x + width, kProgressBarAt.y) == barTop) {
    ++width;
  }
  return width;
}

void SaveBmp(const Picture& picture, const char* path) {
  const DWORD imageBytes = static_cast<DWORD>(picture.pixels.size() * 4);
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = file.bfOffBits + imageBytes;
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = picture.width;
  info.biHeight = -picture.height;
  info.biPlanes = 1;
  info.biBitCount = 32;
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) Abort(std::string("cannot write ") + path);
  std::fwrite(&file, sizeof file, 1, out);
  std::fwrite(&info, sizeof info, 1, out);
  std::fwrite(picture.pixels.data(), 4, picture.pixels.size(), out);
  std::fclose(out);
}

struct Program {
  PROCESS_INFORMATION process{};
  HWND window = nullptr;
  DWORD thread = 0;
};

Program Start(const char* path) {
  Program program;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  std::string commandLine = std::string("\"") + path + "\"";
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &program.process)) {
    Abort(std::string("cannot start ") + path);
  }
  program.window =
      WaitFor([] { return FindWindowA("MainWindowClass", kWindowTitle); }, 60, "the main window");
  program.thread = GetWindowThreadProcessId(program.window, nullptr);
  // Above every other window, so that the pictures taken off the screen show only this one
  // (boxes are answered by message and need not be seen).
  SetWindowPos(program.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return program;
}

HWND Control(const Program& program, int id) {
  return GetDlgItem(program.window, id);
}

void SelectFirmware(const Program& program, const char* firmware, const std::string& title) {
  Press(program.window, IDC_SELECT_FILE);
  HWND dialog = WaitFor([&] { return FindDialog(program.thread, "Open"); }, 30, "the open dialog");
  // The file-name field: a combo box in the explorer-style dialog, an edit in the old one.
  HWND name = GetDlgItem(dialog, 0x47C);
  if (name == nullptr) name = GetDlgItem(dialog, 0x480);
  if (name == nullptr) Abort("the open dialog has no file-name field");
  SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(firmware));
  Press(dialog, IDOK);
  HWND edit = Control(program, IDC_FILE_TITLE);
  WaitFor([&] { return Text(edit) == title ? edit : nullptr; }, 30, "the file title " + title);
}

void StartUpdate(const Program& program) {
  Press(program.window, IDC_RUN_UPDATE);
  HWND box = WaitFor([&] { return FindDialog(program.thread, "Warning"); }, 30, "the warning");
  Press(box, IDYES);
}

void Quit(Program& program) {
  Press(program.window, IDM_QUIT);
  const DWORD waited = WaitForSingleObject(program.process.hProcess, 30000);
  DWORD code = 1;
  GetExitCodeProcess(program.process.hProcess, &code);
  Check(waited == WAIT_OBJECT_0 && code == 0, "Quit ends the program with exit code 0");
  CloseHandle(program.process.hProcess);
  CloseHandle(program.process.hThread);
}

void CheckStartPicture(const Program& program) {
  // The first paint may still be on its way.
  Picture client;
  for (int tries = 0; tries < 100; ++tries) {
    client = Capture(program.window, false);
    if (client.width == kClientWidth && client.at(380, 60) == Word(kFieldColour)) break;
    Sleep(50);
  }
  Check(client.width == kClientWidth && client.height == kClientHeight,
        "client area " + std::to_string(client.width) + " x " + std::to_string(client.height));
  if (client.width != kClientWidth || client.height != kClientHeight) return;
  struct Expected {
    int x, y;
    Rgb colour;
    const char* where;
  };
  const Rgb field = kFieldColour;
  const Rgb rule = kRuleColour;
  const Expected table[] = {
      {380, 60, field, "field right of the caption"},
      {5, 230, field, "field bottom left"},
      {200, kUpperRuleRow - 1, field, "above the upper rule"},
      {10, kUpperRuleRow, rule, "upper rule, left end"},
      {389, kUpperRuleRow, rule, "upper rule, right end"},
      {390, kUpperRuleRow, field, "past the upper rule"},
      {200, kUpperRuleRow + 1, field, "below the upper rule"},
      {10, kLowerRuleRow, rule, "lower rule, left end"},
      {389, kLowerRuleRow, rule, "lower rule, right end"},
      {9, kLowerRuleRow, field, "before the lower rule"},
      {kProgressBarAt.x, kProgressBarAt.y, kTroughColour, "empty bar: the trough shows"},
      {200, 210, kTroughColour, "trough"},
      {21, 199, kTroughEdgeColour, "trough edge"},
      {381, 217, kShadowColour, "trough shadow"},
  };
  for (const Expected& e : table) {
    char what[160];
    std::snprintf(what, sizeof what, "pixel %d,%d (%s) is %06X, found %06X", e.x, e.y, e.where,
                  Word(e.colour), client.at(e.x, e.y));
    Check(client.at(e.x, e.y) == Word(e.colour), what);
  }
  Check(BarWidth(client) == 0, "no bar before the first update");
}

// Runs the update to its done box, watching the bar grow; saves the window half-way.
void RunToDone(const Program& program, const char* screenshot) {
  StartUpdate(program);
  int last = 0;
  bool shrank = false;
  bool saved = false;
  HWND done = nullptr;
  for (DWORD start = GetTickCount(); done == nullptr && GetTickCount() - start < 90000;
       Sleep(100)) {
    done = FindDialog(program.thread, "Done!");
    // Two equal readings in a row: a picture taken while the window is flushing a repaint to
    // the screen can show part of the bar.
    const int width = BarWidth(Capture(program.window, false));
    Sleep(40);
    if (BarWidth(Capture(program.window, false)) != width) continue;
    // A repaint erases the band before it draws the bar again: a picture taken in between
    // shows no bar, which is not the bar going back.
    if (width > 0) {
      if (width < last) std::printf("the bar went from %d to %d pixels\n", last, width);
      shrank = shrank || width < last;
      last = width;
    }
    if (!saved && width >= kProgressBarWidth / 2) {
      SaveBmp(Capture(program.window, true), screenshot);
      saved = true;
      Check(Text(Control(program, IDC_RUN_UPDATE)) == "Cancel...",
            "Run Update reads \"Cancel...\" during the update");
      Check(!IsWindowEnabled(Control(program, IDC_SELECT_FILE)),
            "Select File is disabled during the update");
    }
  }
  Check(saved, "the bar passed half its width (window picture saved)");
  Check(!shrank, "the bar never shrank");
  AnswerBox(program.thread, "Done!", kDoneText, IDOK);
  // What the box covered is repainted once it has gone; on a loaded machine that can lag, so
  // ask for the repaint too (the same painting as any other).
  int finalWidth = 0;
  for (int tries = 0; tries < 50 && finalWidth != kProgressBarWidth; ++tries) {
    if (tries % 10 == 0) RedrawWindow(program.window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
    Sleep(100);
    finalWidth = BarWidth(Capture(program.window, false));
  }
  Check(finalWidth == kProgressBarWidth,
        "the bar is full after the update: " + std::to_string(finalWidth) + " pixels");
  Check(Text(Control(program, IDC_RUN_UPDATE)) == "Start Update",
        "the button reads \"Start Update\" after the update");
}

void RunAndCancel(const Program& program) {
  StartUpdate(program);
  WaitFor([&] { return BarWidth(Capture(program.window, false)) > 0 ? program.window : nullptr; },
          30, "the bar to start");
  Press(program.window, IDC_RUN_UPDATE);
  AnswerBox(program.thread, "Warning!", kCancelQuestionText, IDOK);
  AnswerBox(program.thread, "Abort!", kAbortedText, IDOK);
  Check(Text(Control(program, IDC_RUN_UPDATE)) == "Start Update",
        "the button reads \"Start Update\" after the cancel");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: win32_window_driver PROGRAM FIRMWARE SCREENSHOT.bmp\n");
    return 2;
  }
  const char* programPath = argv[1];
  const char* firmware = argv[2];
  std::string title = firmware;
  title = title.substr(title.find_last_of("\\/") + 1);

  Program program = Start(programPath);
  CheckStartPicture(program);
  Check(Text(Control(program, IDC_FILE_TITLE)) == kInitialFileTitle,
        "the file field starts with \"Selected File\"");
  Press(program.window, IDM_ABOUT);
  AnswerBox(program.thread, kAboutCaption, kAboutText, IDOK);
  SelectFirmware(program, firmware, title);
  RunToDone(program, argv[3]);
  RunAndCancel(program);
  Quit(program);
  Check(GetFileAttributesA("ini.upd") != INVALID_FILE_ATTRIBUTES, "ini.upd written at the end");

  // The converter flips a bit of one echoed byte (about two seconds in): the update stops at
  // that difference while the user is still asking whether to cancel. The failure closes the
  // question, which no longer applies, before its own box shows.
  SetEnvironmentVariableA("VARNET_STANDIN_FAULTS", "corrupt-echo:6000");
  program = Start(programPath);
  SetEnvironmentVariableA("VARNET_STANDIN_FAULTS", nullptr);
  SelectFirmware(program, firmware, title);
  StartUpdate(program);
  WaitFor([&] { return BarWidth(Capture(program.window, false)) > 0 ? program.window : nullptr; },
          30, "the bar to start");
  Press(program.window, IDC_RUN_UPDATE);
  HWND question =
      WaitFor([&] { return FindDialog(program.thread, "Warning!"); }, 10, "the cancel question");
  WaitFor([&] { return FindDialog(program.thread, "Error!"); }, 30, "the failed box");
  Check(!IsWindowVisible(question), "the failure closed the open cancel question");
  AnswerBox(program.thread, "Error!", kFailedText, IDOK);
  AnswerBox(program.thread, "Abort!", kAbortedText, IDOK);
  Quit(program);

  std::printf("%d passed, %d failed\n", passes, failures);
  return failures == 0 ? 0 : 1;
}
