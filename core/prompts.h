// Message boxes as seen from the platform-free code. Each front end (desktop window, command
// line, tests) implements Prompts; the MIDI layer and the engine never include a UI toolkit.
#pragma once

#include <string>

namespace varnet {

// An opaque reference to a window that owns a box (the main window, the port dialog).
// nullptr means "no owner", which is what most of the product's boxes use.
using WindowRef = void*;

enum class BoxIcon { Error, Warning, Information, Question };
enum class BoxButtons { Ok, OkCancel, YesNo };
enum class BoxAnswer { Ok, Cancel, Yes, No };

// The answer of a box closed without a button (its window closed, or the question made moot):
// the negative one, which is the one every caller tests.
inline BoxAnswer NegativeAnswer(BoxButtons buttons) {
  switch (buttons) {
    case BoxButtons::Ok:
      return BoxAnswer::Ok;
    case BoxButtons::OkCancel:
      return BoxAnswer::Cancel;
    case BoxButtons::YesNo:
      return BoxAnswer::No;
  }
  return BoxAnswer::Cancel;
}

struct BoxRequest {
  std::string text;
  std::string caption;
  BoxIcon icon = BoxIcon::Error;
  BoxButtons buttons = BoxButtons::Ok;
  WindowRef owner = nullptr;
  // A question about the running update (cancel it? close and abort it?). It loses its object
  // when the update ends first, and is then closed by closeSessionQuestions.
  bool aboutSession = false;
  // A question whose safe answer is No: No is the default button.
  bool defaultNo = false;
  // The command line's option that answers this question Yes; without it the command line
  // answers No without asking. Null for the questions it asks on the terminal.
  const char* agreeOption = nullptr;
};

class Prompts {
 public:
  virtual ~Prompts() = default;
  // Shows a modal box and returns the button pressed. Called on the user-interface thread only.
  virtual BoxAnswer showBox(const BoxRequest& request) = 0;
  // Closes every question marked aboutSession that is still open, as if it had been answered
  // with its negative button (Cancel, No). The session calls it when it ends, before the
  // outcome box, so that the outcome never appears under a question that no longer applies.
  virtual void closeSessionQuestions() {}

  // Convenience for the common error box (OK button, error icon).
  void showError(const std::string& text, const std::string& caption, WindowRef owner = nullptr) {
    showBox({text, caption, BoxIcon::Error, BoxButtons::Ok, owner});
  }
};

}  // namespace varnet
