#include "ui/qt_prompts.h"

#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace varnet {

namespace {

QMessageBox::Icon ToQtIcon(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::Error:
      return QMessageBox::Critical;
    case BoxIcon::Warning:
      return QMessageBox::Warning;
    case BoxIcon::Information:
      return QMessageBox::Information;
    case BoxIcon::Question:
      return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

BoxAnswer QtPrompts::showBox(const BoxRequest& request) {
  QMessageBox box(ToQtIcon(request.icon), QString::fromStdString(request.caption),
                  QString::fromStdString(request.text), QMessageBox::NoButton,
                  static_cast<QWidget*>(request.owner));
  // The texts are the product's own and contain line feeds, never markup.
  box.setTextFormat(Qt::PlainText);
  // As with the platform's boxes, the first button is the default one; a question without a
  // Cancel button cannot be dismissed with Escape, so the user has to choose.
  switch (request.buttons) {
    case BoxButtons::Ok:
      box.setDefaultButton(box.addButton(QMessageBox::Ok));
      box.setEscapeButton(QMessageBox::Ok);
      break;
    case BoxButtons::OkCancel:
      box.setDefaultButton(box.addButton(QMessageBox::Ok));
      box.setEscapeButton(box.addButton(QMessageBox::Cancel));
      break;
    case BoxButtons::YesNo: {
      QPushButton* yes = box.addButton(QMessageBox::Yes);
      QPushButton* no = box.addButton(QMessageBox::No);
      box.setDefaultButton(request.defaultNo ? no : yes);
      break;
    }
  }
  if (request.aboutSession) sessionQuestions_.push_back(&box);
  box.exec();
  bool closedAsMoot = false;
  if (request.aboutSession) {
    // The last entry is this box's: boxes opened over it have returned and removed theirs.
    closedAsMoot = sessionQuestions_.back().isNull();
    sessionQuestions_.pop_back();
  }
  switch (closedAsMoot ? QMessageBox::NoButton : box.standardButton(box.clickedButton())) {
    case QMessageBox::Yes:
      return BoxAnswer::Yes;
    case QMessageBox::No:
      return BoxAnswer::No;
    case QMessageBox::Cancel:
      return BoxAnswer::Cancel;
    case QMessageBox::Ok:
      return BoxAnswer::Ok;
    default:
      break;
  }
  // A box closed some other way (the window manager's close button).
  return NegativeAnswer(request.buttons);
}

void QtPrompts::closeSessionQuestions() {
  // Hiding a dialog ends its exec() as soon as control is back in its event loop; the box has
  // gone from the screen before the caller shows anything else.
  for (QPointer<QMessageBox>& question : sessionQuestions_) {
    QMessageBox* box = question.data();
    question.clear();
    if (box != nullptr) box->hide();
  }
}

}  // namespace varnet
