// Message boxes of the desktop program: every box of the MIDI layer, the engine and the window
// is a QMessageBox. A box without an owner is a top-level box of its own; it is modal for the
// whole application, and the window's timers keep running while it is open.
#pragma once

#include <QPointer>
#include <vector>

#include "core/prompts.h"

class QMessageBox;
class QWidget;

namespace varnet {

class QtPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override;
  void closeSessionQuestions() override;

 private:
  // The session questions on screen, innermost last; null once closed by closeSessionQuestions.
  std::vector<QPointer<QMessageBox>> sessionQuestions_;
};

inline WindowRef AsOwner(QWidget* widget) {
  return static_cast<WindowRef>(widget);
}

}  // namespace varnet
