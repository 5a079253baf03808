#include "ui-win32/win32_prompts.h"

#include <windows.h>

namespace varnet {

namespace {

UINT Flags(const BoxRequest& request) {
  UINT flags = 0;
  switch (request.icon) {
    case BoxIcon::Error:
      flags |= MB_ICONERROR;
      break;
    case BoxIcon::Warning:
      flags |= MB_ICONWARNING;
      break;
    case BoxIcon::Information:
      flags |= MB_ICONINFORMATION;
      break;
    case BoxIcon::Question:
      flags |= MB_ICONQUESTION;
      break;
  }
  switch (request.buttons) {
    case BoxButtons::Ok:
      return flags | MB_OK;
    case BoxButtons::OkCancel:
      return flags | MB_OKCANCEL;
    case BoxButtons::YesNo:
      return flags | MB_YESNO | (request.defaultNo ? static_cast<UINT>(MB_DEFBUTTON2) : 0u);
  }
  return flags;
}

struct BoxSearch {
  const std::string* caption;
  HWND found = nullptr;
};

// A message box is a dialog of the thread that opened it; the caption tells which one.
BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  char className[16] = {};
  char title[256] = {};
  GetClassNameA(window, className, sizeof className);
  GetWindowTextA(window, title, sizeof title);
  if (std::string(className) == "#32770" && *search->caption == title && IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BoxAnswer Win32Prompts::showBox(const BoxRequest& request) {
  if (request.aboutSession) sessionQuestions_.push_back({request.caption, request.buttons});
  const int pressed = MessageBoxA(static_cast<HWND>(request.owner), request.text.c_str(),
                                  request.caption.c_str(), Flags(request));
  bool moot = false;
  if (request.aboutSession) {
    moot = sessionQuestions_.back().moot;
    sessionQuestions_.pop_back();
  }
  if (moot) return NegativeAnswer(request.buttons);
  switch (pressed) {
    case IDOK:
      return BoxAnswer::Ok;
    case IDCANCEL:
      return BoxAnswer::Cancel;
    case IDYES:
      return BoxAnswer::Yes;
    case IDNO:
      return BoxAnswer::No;
    default:
      return NegativeAnswer(request.buttons);  // the box could not be shown
  }
}

void Win32Prompts::closeSessionQuestions() {
  for (OpenQuestion& question : sessionQuestions_) {
    if (question.moot) continue;
    question.moot = true;
    BoxSearch search{&question.caption};
    EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&search));
    // Sent, not posted: the box ends (and leaves the screen) before the caller shows the
    // outcome; its MessageBoxA returns once control is back in its own loop.
    const WPARAM button = question.buttons == BoxButtons::YesNo ? IDNO : IDCANCEL;
    if (search.found != nullptr) SendMessageA(search.found, WM_COMMAND, button, 0);
  }
}

}  // namespace varnet
