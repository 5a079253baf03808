// Whole updates driven through the window: Run Update, the warning, progress growing in the
// status area, the outcome boxes, cancel, an echo difference, and closing during an update.
// Real time on the virtual MIDI platform with the simulated converter behind it.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <thread>

#include "engine/session.h"
#include "settings/settings.h"
#include "ui_test_support.h"

using namespace varnet;
using namespace varnet::test;

namespace {

// 3 symbols make one encoded byte; the wire carries about 3100 of them a second. The sender
// counts a send when it has gone out whole, and a send ends at each pause, so the payloads carry
// a 20 ms pause every 600 symbols for the progress to move.
constexpr std::size_t kShortPayload = 9000;  // about a second
constexpr std::size_t kLongPayload = 60000;  // long enough to act on it while it runs
constexpr std::size_t kPauseEvery = 600;

std::vector<uint8_t> LoadFirmware(WindowRig& rig, std::size_t symbols, uint8_t kind = 0xDA) {
  const auto file = rig.dir.path() / "update.jtg";
  std::vector<uint8_t> payload = PlainPayload(symbols);
  for (std::size_t i = kPauseEvery; i < payload.size(); i += kPauseEvery) payload[i] |= 0x10;
  WriteFirmwareFile(file, kind, payload);
  rig.files.next.push_back(file);
  rig.window->OnSelectFile();
  return payload;
}

void ShowWindow(WindowRig& rig) {
  rig.window->show();
  QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > timeoutMs) return false;
    QTest::qWait(20);
  }
  return true;
}

}  // namespace

class WindowUpdateTest : public QObject {
  Q_OBJECT

 private slots:
  void wholeUpdateShowsProgressAndEndsDone() {
    WindowRig rig;
    ShowWindow(rig);
    const std::vector<uint8_t> payload = LoadFirmware(rig, kShortPayload);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Yes);
    watcher.answer(QMessageBox::Ok);
    MainWindow& w = *rig.window;

    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QCOMPARE(w.resources().runUpdateButton->text(), QStringLiteral("Cancel..."));
    QVERIFY(w.resources().runUpdateButton->isEnabled());
    QVERIFY(!w.resources().selectFileButton->isEnabled());

    std::vector<int> percents;
    std::vector<int> widths;
    bool textSeen = false;
    QElapsedTimer timer;
    timer.start();
    while (w.session().inProgress.load() && timer.elapsed() < 30000) {
      QTest::qWait(100);
      if (rig.engine.SessionState.load() != Running) continue;
      const StatusSnapshot status = w.TakeStatusSnapshot();
      percents.push_back(ProgressPercent(status.bytesSent, status.progressTotal));
      const QImage image = GrabClient(w);
      widths.push_back(BarPixels(image, 203));
      textSeen = textSeen || !BrightBox(image, QRect(20, 171, 360, 27)).isEmpty();
    }
    QVERIFY(!w.session().inProgress.load());
    QVERIFY2(percents.size() >= 3, "too few frames while running");
    QVERIFY(std::is_sorted(percents.begin(), percents.end()));
    QVERIFY(std::is_sorted(widths.begin(), widths.end()));
    QVERIFY(percents.back() > percents.front());
    QVERIFY(widths.back() > widths.front());
    QVERIFY(textSeen);

    QCOMPARE(watcher.texts(),
             (QStringList{QString::fromStdString(WarningText()), QString::fromLatin1(kDoneText)}));
    QCOMPARE(watcher.seen()[0].caption, QStringLiteral("Warning"));
    QCOMPARE(watcher.seen()[0].icon, QMessageBox::Warning);
    QCOMPARE(watcher.seen()[1].caption, QStringLiteral("Done!"));
    QCOMPARE(watcher.seen()[1].icon, QMessageBox::Information);
    for (const SeenBox& box : watcher.seen()) QVERIFY(box.owner == nullptr);

    QCOMPARE(w.resources().runUpdateButton->text(), QStringLiteral("Start Update"));
    QVERIFY(w.resources().runUpdateButton->isEnabled());
    QVERIFY(w.resources().selectFileButton->isEnabled());
    QCOMPARE(rig.engine.DeviceId, uint8_t{0x32});
    QVERIFY(!rig.platform.isOutputOpen(0));
    QVERIFY(!rig.platform.isInputOpen(0));
    const std::vector<uint8_t> sent = rig.platform.sentBytes(0);
    QVERIFY(!sent.empty() && sent.back() == 0xF7);
    const std::string difference =
        sim::CompareStream(sim::ExpectStream(payload), rig.converter.decoded());
    QVERIFY2(difference.empty(), difference.c_str());
    // After the finish the status area is back to its idle look.
    QVERIFY(BrightBox(GrabClient(w), QRect(20, 171, 360, 27)).isEmpty());
    QCOMPARE(BarPixels(GrabClient(w), 203), 0);
  }

  void cancelQuestionKeepsTheTimerRunningAndCancelOnlyOnOk() {
    WindowRig rig;
    ShowWindow(rig);
    LoadFirmware(rig, kLongPayload);
    MainWindow& w = *rig.window;
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Yes);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return rig.image.bytesSent.load() > 100; }, 5000));

    // The cancel question stays open for 700 ms and is answered Cancel: the update goes on,
    // and the progress timer ticks all the while.
    int ticks = 0;
    QObject::connect(&w.progressTimer(), &QTimer::timeout, [&ticks] { ++ticks; });
    const uint32_t before = rig.image.bytesSent.load();
    watcher.answer(QMessageBox::Cancel, 700);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QVERIFY(ticks >= 2);
    QVERIFY(rig.image.bytesSent.load() > before);
    QCOMPARE(rig.engine.SessionState.load(), int32_t{Running});
    QVERIFY(w.resources().runUpdateButton->isEnabled());

    // OK cancels: the button is disabled at once, then the aborted box, then the idle look.
    watcher.answer(QMessageBox::Ok);
    watcher.answer(QMessageBox::Ok);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    const bool disabledAtOnce =
        w.resources().runUpdateButton != nullptr && !w.resources().runUpdateButton->isEnabled();
    QVERIFY(WaitFor([&] { return !w.session().inProgress.load(); }, 20000));
    QVERIFY(disabledAtOnce);
    QCOMPARE(watcher.texts(),
             (QStringList{
                 QString::fromStdString(WarningText()), QString::fromLatin1(kCancelQuestionText),
                 QString::fromLatin1(kCancelQuestionText), QString::fromLatin1(kAbortedText)}));
    QCOMPARE(watcher.seen()[1].caption, QStringLiteral("Warning!"));
    QCOMPARE(watcher.seen()[3].caption, QStringLiteral("Abort!"));
    QCOMPARE(w.resources().runUpdateButton->text(), QStringLiteral("Start Update"));
    QVERIFY(w.resources().runUpdateButton->isEnabled());
    QVERIFY(w.resources().selectFileButton->isEnabled());
    QCOMPARE(rig.engine.aborted.load(), 0u);
    QVERIFY(rig.converter.decoded().ended);
    QVERIFY(rig.converter.decoded().bodyBytes < kLongPayload / 3);
  }

  void cancelQuestionStillOpenAtTheEndIsClosedBeforeTheOutcome() {
    WindowRig rig;
    ShowWindow(rig);
    LoadFirmware(rig, kShortPayload);
    MainWindow& w = *rig.window;
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Yes);
    watcher.answer(QMessageBox::Ok, 30000);  // the cancel question: the user never gets to it
    watcher.answer(QMessageBox::Ok);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return rig.image.bytesSent.load() > 100; }, 5000));
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return !w.session().inProgress.load(); }, 20000));

    QCOMPARE(watcher.texts(), (QStringList{QString::fromStdString(WarningText()),
                                           QString::fromLatin1(kCancelQuestionText),
                                           QString::fromLatin1(kDoneText)}));
    // The question went from the screen before "Done!" came, and counted as Cancel.
    QVERIFY(watcher.seen()[1].closedByProgram);
    QVERIFY(!watcher.seen()[2].closedByProgram);
    QCOMPARE(w.session().lastOutcome, SessionOutcome::Done);
    QCOMPARE(rig.engine.aborted.load(), 0u);
    QCOMPARE(w.resources().runUpdateButton->text(), QStringLiteral("Start Update"));
    QVERIFY(w.resources().runUpdateButton->isEnabled());
  }

  void echoDifferenceShowsFailedThenAborted() {
    sim::ConverterConfig config;
    config.faults.corruptEcho = 400;
    WindowRig rig({}, config);
    ShowWindow(rig);
    LoadFirmware(rig, kShortPayload);
    MainWindow& w = *rig.window;
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Yes);
    watcher.answer(QMessageBox::Ok);
    watcher.answer(QMessageBox::Ok);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return !w.session().inProgress.load(); }, 20000));
    QCOMPARE(watcher.texts(),
             (QStringList{QString::fromStdString(WarningText()), QString::fromLatin1(kFailedText),
                          QString::fromLatin1(kAbortedText)}));
    QCOMPARE(watcher.seen()[1].caption, QStringLiteral("Error!"));
    QCOMPARE(watcher.seen()[1].icon, QMessageBox::Critical);
    QCOMPARE(watcher.seen()[2].caption, QStringLiteral("Abort!"));
    QCOMPARE(w.session().lastOutcome, SessionOutcome::Failed);
    QCOMPARE(w.resources().runUpdateButton->text(), QStringLiteral("Start Update"));
    QVERIFY(rig.converter.decoded().bodyBytes < kShortPayload / 3);
  }

  void warningAnsweredNoRefusesTheStart() {
    WindowRig rig;
    ShowWindow(rig);
    LoadFirmware(rig, kShortPayload);
    MainWindow& w = *rig.window;
    BoxWatcher watcher;
    watcher.answer(QMessageBox::No);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QCOMPARE(watcher.texts(), QStringList{QString::fromStdString(WarningText())});
    QCOMPARE(w.resources().runUpdateButton->text(), QStringLiteral("Start Update"));
    QVERIFY(w.resources().selectFileButton->isEnabled());
    QVERIFY(!rig.converter.decoded().headerSeen);
    QVERIFY(!rig.platform.isOutputOpen(0));
  }

  void closeDuringUpdateAsksAndYesStopsBeforeClosing() {
    WindowRig rig;
    ShowWindow(rig);
    LoadFirmware(rig, kLongPayload);
    MainWindow& w = *rig.window;
    w.resources().deviceTypeCombo->setCurrentIndex(1);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Yes);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return rig.image.bytesSent.load() > 100; }, 5000));

    // No: nothing changes and the update goes on.
    watcher.answer(QMessageBox::No);
    w.close();
    QCOMPARE(watcher.seen().size(), 2);
    QCOMPARE(watcher.seen()[1].text, QString::fromLatin1(kCloseQuestionText));
    QCOMPARE(watcher.seen()[1].caption, QStringLiteral("Close Application..."));
    QCOMPARE(watcher.seen()[1].icon, QMessageBox::Question);
    QCOMPARE(watcher.seen()[1].owner, static_cast<QWidget*>(&w));
    const uint32_t afterNo = rig.image.bytesSent.load();
    QTest::qWait(300);
    QVERIFY(!w.ended());
    QCOMPARE(rig.engine.SessionState.load(), int32_t{Running});
    QVERIFY(rig.image.bytesSent.load() > afterNo);
    QCOMPARE(rig.midi.ports.sessionPortsOpen.load(), 1u);

    // Yes from the menu: the stream is stopped and closed with its end byte before the ports
    // close, then the settings are written and the program ends.
    watcher.answer(QMessageBox::Yes);
    w.OnCommand(IDM_QUIT);
    QVERIFY(WaitFor([&] { return w.ended(); }, 20000));
    QCOMPARE(watcher.seen().size(), 3);
    QCOMPARE(w.session().lastOutcome, SessionOutcome::Stopped);
    QVERIFY(!rig.platform.isOutputOpen(0));
    QVERIFY(!rig.platform.isInputOpen(0));
    const std::vector<uint8_t> sent = rig.platform.sentBytes(0);
    QVERIFY(!sent.empty() && sent.back() == 0xF7);
    QVERIFY(rig.converter.decoded().ended);
    FileBuffer buffer;
    int32_t in = -1, out = -1;
    uint8_t type = 0;
    QCOMPARE(LoadSettings(rig.dir.path().string(), buffer, Settings{in, out, type}), 1);
    QCOMPARE(type, uint8_t{1});
  }

  // The close of a window whose worker is inside a 15 s pause: the window stays live and painted
  // with "Please wait...", takes no more commands, and closes itself once the worker has ended,
  // with the stream's end byte sent.
  void closeInAFifteenSecondPauseKeepsTheWindowLive() {
    WindowRig rig;
    ShowWindow(rig);
    const auto file = rig.dir.path() / "update.jtg";
    std::vector<uint8_t> payload = PlainPayload(3000);
    payload[300] |= 0x80;
    WriteFirmwareFile(file, 0xDA, payload);
    rig.files.next.push_back(file);
    rig.window->OnSelectFile();
    MainWindow& w = *rig.window;
    rig.clock.hold.store(true);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Yes);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return rig.clock.holding.load(); }, 5000));

    UiStallMeter meter;
    meter.start();
    // Should the close wait for the worker, this is what ends the wait.
    std::thread releaser([&rig] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      rig.clock.release();
    });
    watcher.answer(QMessageBox::Yes);
    w.close();
    QTest::qWait(300);
    const bool waitingAfterClose = !w.ended() && rig.clock.holding.load();
    const bool pleaseWait = w.TakeStatusSnapshot().aborted;
    const bool textShown = !BrightBox(GrabClient(w), QRect(20, 171, 360, 27)).isEmpty();
    // Commands while the close waits do nothing: no box, no second question.
    w.OnCommand(IDC_RUN_UPDATE);
    w.OnCommand(IDM_ABOUT);
    w.close();
    const int boxesWhileWaiting = static_cast<int>(watcher.seen().size());
    QVERIFY(WaitFor([&] { return w.ended(); }, 20000));
    releaser.join();
    meter.stop();

    QVERIFY(waitingAfterClose);
    QVERIFY(pleaseWait);
    QVERIFY(textShown);
    QCOMPARE(boxesWhileWaiting, 2);
    QVERIFY2(meter.longestMs() <= 100, qPrintable(QString::number(meter.longestMs())));
    QCOMPARE(w.session().lastOutcome, SessionOutcome::Stopped);
    const std::vector<uint8_t> sent = rig.platform.sentBytes(0);
    QVERIFY(!sent.empty() && sent.back() == 0xF7);
    QVERIFY(rig.converter.decoded().ended);
    QVERIFY(!rig.platform.isOutputOpen(0));
  }

  // An echo that stops short of the end fails the update after the finish has waited 2 s for
  // it: on the timer's ticks, with the window processing events all the while.
  void finishWithAStoppedEchoKeepsTheWindowLive() {
    sim::ConverterConfig config;
    std::string error;
    QVERIFY(sim::ParseFault("echo-stops:2000", config.faults, error));
    WindowRig rig({}, config);
    ShowWindow(rig);
    LoadFirmware(rig, kShortPayload);
    MainWindow& w = *rig.window;
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Yes);
    watcher.answer(QMessageBox::Ok);
    watcher.answer(QMessageBox::Ok);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    UiStallMeter meter;
    meter.start();  // from the stream on: the identification's wait is behind us
    QVERIFY(WaitFor([&] { return !w.session().inProgress.load(); }, 20000));
    meter.stop();
    QCOMPARE(w.session().lastOutcome, SessionOutcome::Failed);
    QVERIFY2(meter.longestMs() <= 100, qPrintable(QString::number(meter.longestMs())));
  }

  // The identification holds the thread for 500 ms: the button reads "Cancel..." on screen
  // before it begins, that is before the identify request goes out.
  void cancelCaptionIsPaintedBeforeTheIdentificationWait() {
    WindowRig rig;
    ShowWindow(rig);
    LoadFirmware(rig, kShortPayload);
    MainWindow& w = *rig.window;
    struct PaintProbe final : QObject {
      WindowRig* rig = nullptr;
      std::size_t wireAtCancelPaint = 99;
      bool eventFilter(QObject* watched, QEvent* event) override {
        auto* button = static_cast<QPushButton*>(watched);
        if (event->type() == QEvent::Paint && button->text() == QStringLiteral("Cancel...") &&
            wireAtCancelPaint == 99) {
          wireAtCancelPaint = rig->platform.sentBytes(0).size();
        }
        return false;
      }
    } probe;
    probe.rig = &rig;
    w.resources().runUpdateButton->installEventFilter(&probe);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::No);
    QTest::mouseClick(w.resources().runUpdateButton, Qt::LeftButton);
    w.resources().runUpdateButton->removeEventFilter(&probe);
    QCOMPARE(probe.wireAtCancelPaint, std::size_t{0});
  }
};

VARNET_QT_TEST_MAIN(WindowUpdateTest)
#include "window_update_test.moc"
