// The main window as documented: title, fixed client area, controls, menu, start-up from the
// settings file, the destroy sequence, and the pixels of the status area.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "settings/settings.h"
#include "ui/painting.h"
#include "ui_test_support.h"

using namespace varnet;
using namespace varnet::test;

namespace {

void SaveTestSettings(const std::filesystem::path& dir, int32_t in, int32_t out, uint8_t type) {
  FileBuffer buffer;
  SaveSettings(dir.string(), buffer, Settings{in, out, type});
}

struct SavedSettings {
  int loaded = 0;
  int32_t in = -7;
  int32_t out = -7;
  uint8_t type = 0x77;
};

SavedSettings ReadTestSettings(const std::filesystem::path& dir) {
  SavedSettings s;
  FileBuffer buffer;
  s.loaded = LoadSettings(dir.string(), buffer, Settings{s.in, s.out, s.type});
  return s;
}

}  // namespace

class WindowLayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void progressArithmeticIsSinglePrecisionAndUncapped() {
    QCOMPARE(ProgressBarWidth(100, 300), 116);
    QCOMPARE(ProgressPercent(100, 300), 33);
    QCOMPARE(ProgressBarWidth(0, 0), 0);
    QCOMPARE(ProgressBarWidth(5, 0), 0);
    QCOMPARE(ProgressPercent(5, 0), 0);
    QCOMPARE(ProgressBarWidth(300, 300), 348);
    QCOMPARE(ProgressPercent(301, 300), 100);
    QCOMPARE(ProgressBarWidth(600, 300), 696);
    QCOMPARE(ProgressPercent(4, 2), 200);
    // A float of 16777217 is 16777216: single precision shows in large counts.
    QCOMPARE(ProgressPercent(16777217, 16777216), 100);
    // Far more sent than counted stays a defined, large width.
    QVERIFY(ProgressBarWidth(0xFFFFFFFFu, 1) > 348);
  }

  void fontsHaveTheDocumentedCellHeights() {
    const QFont text = FontWithCellHeight(13);
    const QFont control = FontWithCellHeight(14);
    const QFontMetrics textMetrics(text);
    const QFontMetrics controlMetrics(control);
    QVERIFY(textMetrics.ascent() + textMetrics.descent() <= 13);
    QVERIFY(textMetrics.ascent() + textMetrics.descent() >= 11);
    QVERIFY(controlMetrics.ascent() + controlMetrics.descent() <= 14);
    QVERIFY(controlMetrics.ascent() + controlMetrics.descent() >= 12);
  }

  void windowIsFixedWithTheDocumentedTitleAndControls() {
    WindowRig rig;
    MainWindow& w = *rig.window;
    QVERIFY(w.created());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.windowTitle(), QStringLiteral("Varnet Update Tool 1.0"));
    QVERIFY(!w.windowIcon().isNull());
    QCOMPARE(w.canvas()->size(), QSize(400, 240));
    QCOMPARE(w.canvas()->mapTo(&w, QPoint(0, 0)).y(), w.menuBar()->height());
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));

    const WindowResources& r = w.resources();
    QCOMPARE(r.fileTitleEdit->geometry(), QRect(130, 10, 240, 20));
    QCOMPARE(r.fileTitleEdit->text(), QStringLiteral("Selected File"));
    QVERIFY(!r.fileTitleEdit->hasFrame());
    QCOMPARE(r.fileTitleEdit->textMargins(), QMargins(2, 0, 2, 0));
    QCOMPARE(r.selectFileButton->geometry(), QRect(10, 10, 100, 20));
    QCOMPARE(r.selectFileButton->text(), QStringLiteral("Select File..."));
    QCOMPARE(r.runUpdateButton->geometry(), QRect(270, 100, 100, 40));
    QCOMPARE(r.runUpdateButton->text(), QStringLiteral("Run Update"));
    QVERIFY(r.runUpdateButton->isEnabled());
    QCOMPARE(r.deviceTypeCombo->pos(), QPoint(128, 40));
    QVERIFY(!r.deviceTypeCombo->isVisible());
    QCOMPARE(r.deviceTypeCombo->count(), 2);
    QCOMPARE(r.deviceTypeCombo->itemText(0), QStringLiteral("Kestrin"));
    QCOMPARE(r.deviceTypeCombo->itemText(1), QStringLiteral("Varnet"));
    // Controls are created in the documented order, which is also their stacking order.
    const QObjectList children = w.canvas()->children();
    QCOMPARE(children.indexOf(r.fileTitleEdit) < children.indexOf(r.selectFileButton), true);
    QCOMPARE(children.indexOf(r.selectFileButton) < children.indexOf(r.runUpdateButton), true);
    QCOMPARE(children.indexOf(r.runUpdateButton) < children.indexOf(r.deviceTypeCombo), true);

    const QList<QAction*> menus = w.menuBar()->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus[0]->text(), QStringLiteral("&Command"));
    QCOMPARE(menus[1]->text(), QStringLiteral("&Options"));
    const QList<QAction*> command = menus[0]->menu()->actions();
    QCOMPARE(command.size(), 2);
    QCOMPARE(command[0]->text(), QStringLiteral("&About"));
    QCOMPARE(command[0]->data().toInt(), 101);
    QCOMPARE(command[1]->text(), QStringLiteral("&Quit"));
    QCOMPARE(command[1]->data().toInt(), 100);
    const QList<QAction*> options = menus[1]->menu()->actions();
    QCOMPARE(options.size(), 2);
    QCOMPARE(options[0]->text(), QStringLiteral("MIDI &I/O"));
    QCOMPARE(options[0]->data().toInt(), 200);
    // The slower transfer: checkable, off until chosen, and the next update's pace once it is.
    QCOMPARE(options[1]->text(), QStringLiteral("Slow transfer"));
    QVERIFY(options[1]->isCheckable());
    QVERIFY(!options[1]->isChecked());
    QCOMPARE(rig.engine.pieceSize, uint32_t(kPieceCapacity));
    options[1]->trigger();
    QVERIFY(options[1]->isChecked());
    QCOMPARE(rig.engine.pieceSize, kSlowPieceSize);
    QVERIFY(rig.shell.slowTransfer);
    // While an update holds the ports the choice stays as it was.
    rig.midi.ports.sessionPortsOpen.store(1);
    options[1]->trigger();
    QVERIFY(options[1]->isChecked());
    QCOMPARE(rig.engine.pieceSize, kSlowPieceSize);
    rig.midi.ports.sessionPortsOpen.store(0);
    options[1]->trigger();
    QVERIFY(!options[1]->isChecked());
    QCOMPARE(rig.engine.pieceSize, uint32_t(kPieceCapacity));
  }

  void firstStartWithoutSettingsUsesDevicesZero() {
    WindowRig rig(VirtualPorts(2, 3));
    MainWindow& w = *rig.window;
    QCOMPARE(rig.midi.ports.inputDeviceIndex, 0);
    QCOMPARE(rig.midi.ports.outputDeviceIndex, 0);
    QCOMPARE(rig.shell.deviceType, uint8_t{0});
    QCOMPARE(w.resources().deviceTypeCombo->currentIndex(), 0);
    QCOMPARE(w.TakeStatusSnapshot().inputDeviceName, QStringLiteral("Varnet Simulator In"));
    QCOMPARE(rig.engine.DeviceId, uint8_t{0x42});
    QVERIFY(rig.shell.firmwarePath.empty());
  }

  void settingsAreLoadedBeforeNamesAndControls() {
    WindowRig rig(VirtualPorts(2, 3), {}, false);
    SaveTestSettings(rig.dir.path(), 1, 2, 1);
    rig.CreateWindow();
    MainWindow& w = *rig.window;
    QCOMPARE(rig.midi.ports.inputDeviceIndex, 1);
    QCOMPARE(rig.midi.ports.outputDeviceIndex, 2);
    QCOMPARE(w.TakeStatusSnapshot().inputDeviceName, QStringLiteral("Virtual In 2"));
    QCOMPARE(w.TakeStatusSnapshot().outputDeviceName, QStringLiteral("Virtual Out 3"));
    QCOMPARE(w.resources().deviceTypeCombo->currentIndex(), 1);
  }

  void storedIndexWithoutDeviceShowsTheLayerBoxAndStartsAnyway() {
    WindowRig rig(VirtualPorts(1, 1), {}, false);
    SaveTestSettings(rig.dir.path(), 4, 0, 0);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    rig.CreateWindow();
    QVERIFY(rig.window->created());
    QCOMPARE(watcher.texts(), QStringList{QStringLiteral("MIDI Input Error!")});
    QCOMPARE(watcher.seen()[0].owner, static_cast<QWidget*>(rig.window.get()));
    QCOMPARE(rig.window->TakeStatusSnapshot().inputDeviceName, QString());
  }

  void destroySequenceSavesTheDeviceTypeReadBackFromTheList() {
    WindowRig rig(VirtualPorts(2, 3), {}, false);
    SaveTestSettings(rig.dir.path(), 1, 2, 1);
    rig.CreateWindow();
    MainWindow& w = *rig.window;
    w.show();
    w.resources().deviceTypeCombo->setCurrentIndex(0);
    bool endedCalled = false;
    w.setOnEnded([&] { endedCalled = true; });
    BoxWatcher watcher;
    w.OnCommand(IDM_QUIT);  // no session: no question
    QTRY_VERIFY(w.ended());
    QVERIFY(endedCalled);
    QVERIFY(watcher.seen().isEmpty());
    QVERIFY(!w.isVisible());
    const SavedSettings saved = ReadTestSettings(rig.dir.path());
    QCOMPARE(saved.loaded, 1);
    QCOMPARE(saved.in, 1);
    QCOMPARE(saved.out, 2);
    QCOMPARE(saved.type, uint8_t{0});
    // Buffers and controls are gone; painting and commands after the end do nothing harmful.
    QCOMPARE(rig.image.PayloadBuffer.capacity(), std::size_t{0});
    QCOMPARE(rig.fileBuffer.data.capacity(), std::size_t{0});
    QVERIFY(w.resources().runUpdateButton == nullptr);
    w.OnCommand(IDC_RUN_UPDATE);
    QVERIFY(watcher.seen().isEmpty());
  }

  void storedPortIdentitiesWinOverMovedIndicesAndAreSavedAgain() {
    WindowRig rig(VirtualPorts(2, 3), {}, false);
    {
      int32_t in = 0, out = 0;
      uint8_t type = 1;
      StoredPorts names{StorePort({"Virtual In 2", ""}, "Virtual In 2"),
                        StorePort({"Virtual Out 3", ""}, "Virtual Out 3")};
      FileBuffer buffer;
      QCOMPARE(SaveSettings(rig.dir.path().string(), buffer, Settings{in, out, type, &names}), 1);
    }
    rig.CreateWindow();
    QCOMPARE(rig.midi.ports.inputDeviceIndex, 1);
    QCOMPARE(rig.midi.ports.outputDeviceIndex, 2);
    QCOMPARE(rig.window->TakeStatusSnapshot().inputDeviceName, QStringLiteral("Virtual In 2"));
    rig.window->show();
    rig.window->close();
    QTRY_VERIFY(rig.window->ended());
    int32_t in = -1, out = -1;
    uint8_t type = 0;
    StoredPorts names;
    FileBuffer buffer;
    QCOMPARE(LoadSettings(rig.dir.path().string(), buffer, Settings{in, out, type, &names}), 1);
    QCOMPARE(in, 1);
    QCOMPARE(out, 2);
    QVERIFY(names.input == StorePort({"Virtual In 2", ""}, "Virtual In 2"));
    QVERIFY(names.output == StorePort({"Virtual Out 3", ""}, "Virtual Out 3"));
  }

  void deviceTypeOutOfRangeLeavesNoSelectionAndIsSavedAsFF() {
    WindowRig rig(VirtualPorts(1, 1), {}, false);
    SaveTestSettings(rig.dir.path(), 0, 0, 2);
    rig.CreateWindow();
    QCOMPARE(rig.window->resources().deviceTypeCombo->currentIndex(), -1);
    rig.window->show();
    rig.window->close();  // the title-bar close takes the same path as Quit
    QTRY_VERIFY(rig.window->ended());
    QCOMPARE(ReadTestSettings(rig.dir.path()).type, uint8_t{0xFF});
  }

  void commandsOutsideTheTableDoNothing() {
    WindowRig rig;
    BoxWatcher watcher;
    for (int id : {0, 49, 51, 99, 102, 199, 201, 501, 503}) rig.window->OnCommand(id);
    QTest::qWait(60);
    QVERIFY(watcher.seen().isEmpty());
    QVERIFY(!rig.window->ended());
  }

  void aboutBoxHasTheDocumentedText() {
    WindowRig rig;
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    rig.window->OnCommand(IDM_ABOUT);
    QCOMPARE(watcher.seen().size(), 1);
    QVERIFY(watcher.seen()[0].text.startsWith(
        QStringLiteral("Varnet Update Tool 1.0\nVersion : 1.00\n\n")));
    QVERIFY(watcher.seen()[0].text.size() > 40);
    QCOMPARE(watcher.seen()[0].caption, QStringLiteral("About..."));
    QCOMPARE(watcher.seen()[0].icon, QMessageBox::Information);
  }

  void backgroundAndRulesArePainted() {
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    const QImage image = GrabClient(*rig.window);
    QCOMPARE(image.size(), QSize(400, 240));
    QCOMPARE(QColor(image.pixel(300, 60)), QColor(98, 123, 166));
    QCOMPARE(QColor(image.pixel(200, 75)), QColor(224, 229, 238));
    QCOMPARE(QColor(image.pixel(200, 170)), QColor(224, 229, 238));
    QCOMPARE(QColor(image.pixel(200, 74)), QColor(98, 123, 166));
    // Before any update: no bar and no progress text.
    QCOMPARE(BarPixels(image, 203), 0);
    QVERIFY(BrightBox(image, QRect(20, 171, 360, 27)).isEmpty());
  }

  void barOfOneHundredOfThreeHundredIs116PixelsAndFiveRowsHigh() {
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.image.progressTotal.store(300);
    rig.image.bytesSent.store(100);
    const QImage image = GrabClient(*rig.window);
    for (int y = 203; y < 208; ++y) QCOMPARE(BarPixels(image, y), 116);
    QCOMPARE(BarPixels(image, 202), 0);
    QCOMPARE(BarPixels(image, 208), 0);
  }

  void barWiderThanTheBitmapCopiesOnlyTheBitmap() {
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.image.progressTotal.store(300);
    rig.image.bytesSent.store(900);
    rig.engine.SessionState.store(Running);
    const QImage image = GrabClient(*rig.window);
    QCOMPARE(BarPixels(image, 203), 348);
    rig.engine.SessionState.store(Idle);
  }

  void textIsDrawnAtItsTopLeftPoints() {
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.image.progressTotal.store(300);
    rig.image.bytesSent.store(100);
    rig.engine.SessionState.store(Running);
    const QImage image = GrabClient(*rig.window);
    rig.engine.SessionState.store(Idle);
    const int ascent = QFontMetrics(rig.window->resources().textFont).ascent();
    const int cell = 13;
    auto checkText = [&](const QRect& area, QPoint topLeft) {
      const QRect box = BrightBox(image, area);
      QVERIFY2(!box.isEmpty(), "no text found");
      // Glyphs start at most a pixel or two right of the point and below it by the gap
      // between the cell top and the tallest glyph, never above or left of it.
      QVERIFY2(box.left() >= topLeft.x() && box.left() <= topLeft.x() + 2, "left edge");
      QVERIFY2(box.top() >= topLeft.y() && box.top() <= topLeft.y() + ascent / 2, "top edge");
      QVERIFY2(box.bottom() < topLeft.y() + cell, "bottom edge");
    };
    checkText(QRect(0, 35, 125, 39), QPoint(10, 45));
    checkText(QRect(0, 95, 265, 28), QPoint(10, 105));
    checkText(QRect(0, 123, 265, 40), QPoint(10, 125));
    checkText(QRect(20, 171, 360, 27), QPoint(27, 178));
  }

  void pleaseWaitReplacesNothingButIsDrawnWhenAborted() {
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.engine.aborted.store(1);
    const QImage aborted = GrabClient(*rig.window);
    rig.engine.aborted.store(0);
    const QRect box = BrightBox(aborted, QRect(20, 171, 360, 27));
    QVERIFY(!box.isEmpty());
    QVERIFY(box.left() >= 27 && box.left() <= 29);
    // "Please wait..." is narrower than any "Downloading Data..." line.
    QVERIFY(box.width() < QFontMetrics(rig.window->resources().textFont)
                              .horizontalAdvance(QStringLiteral("Downloading Data... 0 %")));
  }
};

VARNET_QT_TEST_MAIN(WindowLayoutTest)
#include "window_layout_test.moc"
