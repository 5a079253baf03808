// The MIDI port dialog: listing, preselection, OK and Cancel, the boxes for missing devices,
// the template's layout in dialog units, and the refusal while an update holds the ports.
#include "ui/port_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "ui_test_support.h"

using namespace varnet;
using namespace varnet::test;

namespace {

// The layer with `inputs` and `outputs` virtual devices, counted as at start-up.
struct DialogRig {
  DialogRig(uint32_t inputs, uint32_t outputs, int32_t inIndex, int32_t outIndex)
      : platform(clock, VirtualPorts(inputs, outputs)), midi(platform, prompts) {
    InitMidiPorts(midi);
    midi.ports.inputDeviceIndex = inIndex;
    midi.ports.outputDeviceIndex = outIndex;
  }
  ~DialogRig() {
    if (midi.ports.inputOpen.load() != 0) CloseMidiInput(midi);
    if (midi.ports.outputOpen.load() != 0) CloseMidiOutput(midi);
  }
  RealClock clock;
  VirtualMidiPlatform platform;
  QtPrompts prompts;
  MidiLayer midi;
};

QStringList Items(const QComboBox& combo) {
  QStringList items;
  for (int i = 0; i < combo.count(); ++i) items << combo.itemText(i);
  return items;
}

}  // namespace

class PortDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void dialogUnitsFollowTheFont() {
    QCOMPARE(DialogUnitsToPixels({6, 13}, 166, 116), QPoint(249, 189));
    QCOMPARE(DialogUnitsToPixels({7, 16}, 18, 90), QPoint(32, 180));
    QFont font;
    font.setPixelSize(20);
    const DialogBaseUnits big = MeasureDialogBaseUnits(font);
    font.setPixelSize(10);
    const DialogBaseUnits small = MeasureDialogBaseUnits(font);
    QVERIFY(big.x > small.x && big.y > small.y);
  }

  void positionCountsFromTheClientAreaBelowTheMenuBar() {
    DialogRig rig(1, 1, 0, 0);
    QMainWindow owner;
    owner.menuBar()->addMenu(QStringLiteral("&Options"));
    auto* client = new QWidget(&owner);
    client->setFixedSize(400, 240);
    owner.setCentralWidget(client);
    owner.move(60, 40);
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));
    QVERIFY(client->mapToGlobal(QPoint(0, 0)).y() > owner.mapToGlobal(QPoint(0, 0)).y());
    MidiPortDialog dialog(rig.midi, &owner);
    const QPoint offset = DialogUnitsToPixels(MeasureDialogBaseUnits(dialog.font()), 32, 32);
    QCOMPARE(dialog.pos(), client->mapToGlobal(offset));
  }

  void layoutIsTheTemplateInDialogUnits() {
    DialogRig rig(1, 1, 0, 0);
    MidiPortDialog dialog(rig.midi, nullptr);
    const DialogBaseUnits units = MeasureDialogBaseUnits(dialog.font());
    auto at = [&](int x, int y) { return DialogUnitsToPixels(units, x, y); };
    auto size = [&](int w, int h) {
      const QPoint p = DialogUnitsToPixels(units, w, h);
      return QSize(p.x(), p.y());
    };
    QCOMPARE(dialog.size(), size(166, 116));
    QCOMPARE(dialog.inputCombo()->pos(), at(18, 28));
    QCOMPARE(dialog.inputCombo()->width(), size(115, 1).width());
    QCOMPARE(dialog.outputCombo()->pos(), at(18, 65));
    QCOMPARE(dialog.okButton()->geometry(), QRect(at(18, 90), size(50, 14)));
    QCOMPARE(dialog.cancelButton()->geometry(), QRect(at(83, 90), size(50, 14)));
    QCOMPARE(dialog.okButton()->text(), QStringLiteral("OK"));
    QCOMPARE(dialog.cancelButton()->text(), QStringLiteral("Cancel"));
    QVERIFY(dialog.okButton()->isDefault());
    QStringList labels;
    for (QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
    labels.sort();
    QCOMPARE(labels, (QStringList{QStringLiteral("MIDI Input"), QStringLiteral("MIDI Output")}));
    // Blank, but not empty: Qt would show the program's name for an empty caption.
    QVERIFY(dialog.windowTitle().trimmed().isEmpty() && !dialog.windowTitle().isEmpty());
    QVERIFY(!(dialog.windowFlags() & Qt::WindowSystemMenuHint));
  }

  void listsEveryDeviceAndPreselectsTheStoredOnes() {
    DialogRig rig(2, 3, 1, 2);
    BoxWatcher watcher;
    MidiPortDialog dialog(rig.midi, nullptr);
    QVERIFY(dialog.InitDialog());
    QVERIFY(watcher.seen().isEmpty());
    QCOMPARE(Items(*dialog.inputCombo()),
             (QStringList{QStringLiteral("Varnet Simulator In"), QStringLiteral("Virtual In 2")}));
    QCOMPARE(Items(*dialog.outputCombo()),
             (QStringList{QStringLiteral("Varnet Simulator Out"), QStringLiteral("Virtual Out 2"),
                          QStringLiteral("Virtual Out 3")}));
    QCOMPARE(dialog.inputCombo()->currentIndex(), 1);
    QCOMPARE(dialog.outputCombo()->currentIndex(), 2);
    // The listing put back the chosen devices' names.
    QCOMPARE(DeviceName(rig.midi.ports.inputDeviceName), std::string("Virtual In 2"));
    QCOMPARE(DeviceName(rig.midi.ports.outputDeviceName), std::string("Virtual Out 3"));
  }

  void cancelChangesNothing() {
    DialogRig rig(2, 3, 1, 2);
    MidiPortDialog dialog(rig.midi, nullptr);
    dialog.InitDialog();
    dialog.inputCombo()->setCurrentIndex(0);
    dialog.outputCombo()->setCurrentIndex(0);
    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(rig.midi.ports.inputDeviceIndex, 1);
    QCOMPARE(rig.midi.ports.outputDeviceIndex, 2);
    QCOMPARE(rig.midi.ports.inputOpen.load(), 0u);
    QCOMPARE(rig.midi.ports.outputOpen.load(), 0u);
    QVERIFY(!rig.platform.isInputOpen(0) && !rig.platform.isOutputOpen(0));
  }

  void okReopensBothPortsOnTheNewSelection() {
    DialogRig rig(2, 3, 1, 2);
    // Ports left open on the old devices are closed first.
    QCOMPARE(OpenMidiInput(rig.midi), 0);
    rig.midi.ports.inputOpen.store(1);
    MidiPortDialog dialog(rig.midi, nullptr);
    dialog.InitDialog();
    dialog.inputCombo()->setCurrentIndex(0);
    dialog.outputCombo()->setCurrentIndex(1);
    QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(rig.midi.ports.inputDeviceIndex, 0);
    QCOMPARE(rig.midi.ports.outputDeviceIndex, 1);
    QCOMPARE(rig.midi.ports.inputOpen.load(), 1u);
    QCOMPARE(rig.midi.ports.outputOpen.load(), 1u);
    QVERIFY(!rig.platform.isInputOpen(1));
    QVERIFY(rig.platform.isInputOpen(0));
    QVERIFY(rig.platform.isOutputOpen(1));
    QCOMPARE(DeviceName(rig.midi.ports.inputDeviceName), std::string("Varnet Simulator In"));
    QCOMPARE(DeviceName(rig.midi.ports.outputDeviceName), std::string("Virtual Out 2"));
  }

  void okIsRefusedWhileAnUpdateHoldsThePorts() {
    DialogRig rig(2, 2, 0, 0);
    QCOMPARE(OpenMidiInput(rig.midi), 0);
    rig.midi.ports.inputOpen.store(1);
    QCOMPARE(OpenMidiOutput(rig.midi), 0);
    rig.midi.ports.outputOpen.store(1);
    rig.midi.ports.sessionPortsOpen.store(1);
    MidiPortDialog dialog(rig.midi, nullptr);
    dialog.InitDialog();
    dialog.inputCombo()->setCurrentIndex(1);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
    QCOMPARE(watcher.texts(), QStringList{QString::fromLatin1(kPortsInUseText)});
    QCOMPARE(watcher.seen()[0].owner, static_cast<QWidget*>(&dialog));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));  // not ended by OK
    QCOMPARE(rig.midi.ports.inputDeviceIndex, 0);
    QVERIFY(rig.platform.isInputOpen(0) && rig.platform.isOutputOpen(0));
    QVERIFY(!rig.platform.isInputOpen(1));
    rig.midi.ports.sessionPortsOpen.store(0);
  }

  void noInputDeviceLeavesBothListsEmpty() {
    DialogRig rig(0, 2, 0, 0);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    MidiPortDialog dialog(rig.midi, nullptr);
    QVERIFY(!dialog.InitDialog());
    QCOMPARE(watcher.texts(), QStringList{QStringLiteral("No MIDI Input found!")});
    QCOMPARE(watcher.seen()[0].caption, QStringLiteral("Error"));
    QCOMPARE(watcher.seen()[0].owner, static_cast<QWidget*>(&dialog));
    QCOMPARE(dialog.inputCombo()->count(), 0);
    QCOMPARE(dialog.outputCombo()->count(), 0);
  }

  void noOutputDeviceFillsOnlyTheInputList() {
    DialogRig rig(2, 0, 0, 0);
    BoxWatcher watcher;
    for (int i = 0; i < 3; ++i) watcher.answer(QMessageBox::Ok);
    MidiPortDialog dialog(rig.midi, nullptr);
    QVERIFY(!dialog.InitDialog());
    // Each listed input also reads output device 0, which does not exist.
    QCOMPARE(watcher.texts(), (QStringList{QStringLiteral("MIDI Output Error!"),
                                           QStringLiteral("MIDI Output Error!"),
                                           QStringLiteral("No MIDI Output found!")}));
    QCOMPARE(dialog.inputCombo()->count(), 2);
    QCOMPARE(dialog.outputCombo()->count(), 0);
  }

  void storedIndexBeyondTheDevicesLeavesNoSelection() {
    DialogRig rig(1, 1, 3, 0);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    MidiPortDialog dialog(rig.midi, nullptr);
    QVERIFY(dialog.InitDialog());
    QCOMPARE(dialog.inputCombo()->currentIndex(), -1);
    QCOMPARE(watcher.texts(), QStringList{QStringLiteral("MIDI Input Error!")});
    // OK with nothing selected stores -1, which names no device.
    watcher.answer(QMessageBox::Ok);
    dialog.accept();
    QCOMPARE(rig.midi.ports.inputDeviceIndex, -1);
    QCOMPARE(rig.midi.ports.inputOpen.load(), 0u);
    QCOMPARE(rig.midi.ports.outputOpen.load(), 1u);
  }

  void menuCommandRunsTheDialogAndKeepsPortsOnCancel() {
    WindowRig rig(VirtualPorts(2, 2));
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    BoxWatcher watcher;
    int dialogs = 0;
    watcher.onDialog([&dialogs](QDialog& dialog) {
      ++dialogs;
      dialog.reject();
    });
    rig.window->OnCommand(IDM_MIDI_IO);
    QCOMPARE(dialogs, 1);
    QCOMPARE(rig.midi.ports.inputOpen.load(), 0u);
    QCOMPARE(rig.window->TakeStatusSnapshot().inputDeviceName,
             QStringLiteral("Varnet Simulator In"));
  }
};

VARNET_QT_TEST_MAIN(PortDialogTest)
#include "port_dialog_test.moc"
