// The modal dialog in which the user picks the MIDI input and output device. It lives with the
// window in ui/, so that the MIDI layer itself does not depend on Qt.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QSize>

#include "midi/midi_ports.h"
#include "ui-common/window_layout.h"

class QComboBox;
class QFont;
class QLabel;
class QPushButton;

namespace varnet {

// Dialog units of a font: the average width of the Latin letters and the cell height, as the
// platform the dialog template comes from measures them. A horizontal dialog unit is a quarter
// of the first, a vertical one an eighth of the second.
struct DialogBaseUnits {
  int x = 0;
  int y = 0;
};
DialogBaseUnits MeasureDialogBaseUnits(const QFont& font);
QPoint DialogUnitsToPixels(DialogBaseUnits units, int x, int y);

class MidiPortDialog final : public QDialog {
 public:
  MidiPortDialog(MidiLayer& midi, QWidget* owner);

  // Fills both lists in device-number order and preselects the stored devices. false when a
  // list stays empty because there is no such device (its box has been shown).
  bool InitDialog();

  QComboBox* inputCombo() const { return inputCombo_; }
  QComboBox* outputCombo() const { return outputCombo_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }

  void accept() override;  // OK
  void reject() override;  // Cancel, Escape

 private:
  void PlaceControls(QWidget* owner);

  MidiLayer& midi_;
  QComboBox* inputCombo_;
  QComboBox* outputCombo_;
  QLabel* inputLabel_;
  QLabel* outputLabel_;
  QPushButton* okButton_;
  QPushButton* cancelButton_;
};

// Runs the dialog over `owner`: 1 after OK, 0 after Cancel.
int RunMidiPortDialog(MidiLayer& midi, QWidget* owner);

}  // namespace varnet
