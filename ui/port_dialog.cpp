#include "ui/port_dialog.h"

#include <QComboBox>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cmath>

namespace varnet {

namespace {

// Rounded a * b / c, halves away from zero, as the template's conversion rounds.
int MulDivRounded(int a, int b, int c) {
  return static_cast<int>(std::lround(static_cast<double>(a) * b / c));
}

QFont DialogFont() {
  QFont font;
  font.setFamilies(QStringList{QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"),
                               QStringLiteral("Liberation Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

QString Name(const std::array<char, kNameAreaSize>& area) {
  return QString::fromStdString(DeviceName(area));
}

}  // namespace

DialogBaseUnits MeasureDialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return DialogBaseUnits{(letters / 26 + 1) / 2, metrics.height()};
}

QPoint DialogUnitsToPixels(DialogBaseUnits units, int x, int y) {
  return QPoint(MulDivRounded(x, units.x, 4), MulDivRounded(y, units.y, 8));
}

MidiPortDialog::MidiPortDialog(MidiLayer& midi, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      midi_(midi),
      inputCombo_(new QComboBox(this)),
      outputCombo_(new QComboBox(this)),
      inputLabel_(new QLabel(QStringLiteral("MIDI Input"), this)),
      outputLabel_(new QLabel(QStringLiteral("MIDI Output"), this)),
      okButton_(new QPushButton(QStringLiteral("OK"), this)),
      cancelButton_(new QPushButton(QStringLiteral("Cancel"), this)) {
  setModal(true);
  // The caption is blank. An empty title would make Qt hand the window manager the program's
  // name instead; a single space is shown as the blank caption it is.
  setWindowTitle(QStringLiteral(" "));
  setFont(DialogFont());
  inputCombo_->setObjectName(QStringLiteral("midiInputCombo"));
  outputCombo_->setObjectName(QStringLiteral("midiOutputCombo"));
  okButton_->setDefault(true);
  okButton_->setAutoDefault(true);
  cancelButton_->setAutoDefault(false);
  connect(okButton_, &QPushButton::clicked, this, &MidiPortDialog::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &MidiPortDialog::reject);
  // Tab order as in the template: the two lists, then OK and Cancel.
  setTabOrder(inputCombo_, outputCombo_);
  setTabOrder(outputCombo_, okButton_);
  setTabOrder(okButton_, cancelButton_);
  PlaceControls(owner);
}

void MidiPortDialog::PlaceControls(QWidget* owner) {
  const DialogBaseUnits units = MeasureDialogBaseUnits(font());
  auto rect = [&](int x, int y, int w, int h) {
    const QPoint topLeft = DialogUnitsToPixels(units, x, y);
    const QPoint size = DialogUnitsToPixels(units, w, h);
    return QRect(topLeft, QSize(size.x(), size.y()));
  };
  // A drop-down list's height in the template includes the opened list; closed, it is as high
  // as its font makes it.
  QRect input = rect(18, 28, 115, 300);
  input.setHeight(inputCombo_->sizeHint().height());
  inputCombo_->setGeometry(input);
  QRect output = rect(18, 65, 115, 300);
  output.setHeight(outputCombo_->sizeHint().height());
  outputCombo_->setGeometry(output);
  // The labels may not be cut off where the fallback face is wider than the template's.
  QRect inputLabel = rect(18, 16, 36, 8);
  inputLabel.setWidth(std::max(inputLabel.width(), inputLabel_->sizeHint().width()));
  inputLabel_->setGeometry(inputLabel);
  QRect outputLabel = rect(18, 54, 41, 8);
  outputLabel.setWidth(std::max(outputLabel.width(), outputLabel_->sizeHint().width()));
  outputLabel_->setGeometry(outputLabel);
  okButton_->setGeometry(rect(18, 90, 50, 14));
  cancelButton_->setGeometry(rect(83, 90, 50, 14));
  const QPoint size = DialogUnitsToPixels(units, 166, 116);
  setFixedSize(size.x(), size.y());
  // The template's position counts from the owner's client area, which in a main window starts
  // below the menu bar: its central widget.
  if (owner != nullptr) {
    const auto* mainWindow = qobject_cast<const QMainWindow*>(owner);
    const QWidget* client = mainWindow != nullptr && mainWindow->centralWidget() != nullptr
                                ? mainWindow->centralWidget()
                                : owner;
    move(client->mapToGlobal(DialogUnitsToPixels(units, 32, 32)));
  }
}

bool MidiPortDialog::InitDialog() {
  MidiPorts& ports = midi_.ports;
  const WindowRef self = static_cast<WindowRef>(this);
  if (ports.inputDeviceCount == 0) {
    midi_.prompts.showError("No MIDI Input found!", "Error", self);
    return false;
  }
  for (int32_t i = 0; i < ports.inputDeviceCount; ++i) {
    RefreshDeviceNames(midi_, i, 0, self);
    inputCombo_->addItem(Name(ports.inputDeviceName));
  }
  // A stored index that names no device leaves the list without a selection.
  const bool inputListed =
      ports.inputDeviceIndex >= 0 && ports.inputDeviceIndex < inputCombo_->count();
  inputCombo_->setCurrentIndex(inputListed ? ports.inputDeviceIndex : -1);

  if (ports.outputDeviceCount == 0) {
    midi_.prompts.showError("No MIDI Output found!", "Error", self);
    return false;
  }
  for (int32_t j = 0; j < ports.outputDeviceCount; ++j) {
    RefreshDeviceNames(midi_, 0, j, self);
    outputCombo_->addItem(Name(ports.outputDeviceName));
  }
  const bool outputListed =
      ports.outputDeviceIndex >= 0 && ports.outputDeviceIndex < outputCombo_->count();
  outputCombo_->setCurrentIndex(outputListed ? ports.outputDeviceIndex : -1);

  // The listing has overwritten both name fields; put back the chosen devices' names.
  RefreshDeviceNames(midi_, ports.inputDeviceIndex, ports.outputDeviceIndex, self);
  return true;
}

void MidiPortDialog::accept() {
  MidiPorts& ports = midi_.ports;
  const WindowRef self = static_cast<WindowRef>(this);
  // A running update owns the ports: closing or reopening them under it would cut the stream
  // in the middle, which can leave the converter without a working firmware.
  if (ports.sessionPortsOpen.load() == 1) {
    midi_.prompts.showError(kPortsInUseText, "Error", self);
    return;
  }
  ReopenMidiPorts(midi_, inputCombo_->currentIndex(), outputCombo_->currentIndex(), self);
  done(QDialog::Accepted);
}

void MidiPortDialog::reject() {
  done(QDialog::Rejected);
}

int RunMidiPortDialog(MidiLayer& midi, QWidget* owner) {
  MidiPortDialog dialog(midi, owner);
  dialog.InitDialog();
  return dialog.exec() == QDialog::Accepted ? 1 : 0;
}

}  // namespace varnet
