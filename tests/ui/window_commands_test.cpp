// The commands behind "Select File..." and Run Update that do not start a stream: the loader's
// boxes and name handling, and Run Update without a loaded firmware.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <fstream>

#include "engine/session.h"
#include "ui_test_support.h"

using namespace varnet;
using namespace varnet::test;

class WindowCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void validFileIsLoadedAndNamed() {
    WindowRig rig;
    const auto file = rig.dir.path() / "good.jtg";
    WriteFirmwareFile(file, 0xDA, PlainPayload(300));
    rig.files.next.push_back(file);
    BoxWatcher watcher;
    QTest::mouseClick(rig.window->resources().selectFileButton, Qt::LeftButton);
    QVERIFY(watcher.seen().isEmpty());
    QCOMPARE(rig.shell.firmwarePath, file.string());
    QCOMPARE(rig.shell.firmwareTitle, std::string("good.jtg"));
    QCOMPARE(rig.window->resources().fileTitleEdit->text(), QStringLiteral("good.jtg"));
    QCOMPARE(rig.image.payloadLength, 300u);
    QCOMPARE(rig.image.converterKind, uint8_t{0xDA});
    // The dialog starts from the current path: empty at first, then the loaded file.
    rig.files.next.push_back(std::nullopt);
    rig.window->OnSelectFile();
    QCOMPARE(rig.files.initialPaths, (std::vector<std::string>{"", file.string()}));
  }

  void cancelKeepsTheLoadedFirmware() {
    WindowRig rig;
    const auto file = rig.dir.path() / "keep.jtg";
    WriteFirmwareFile(file, 0xAD, PlainPayload(90));
    rig.files.next.push_back(file);
    rig.window->OnSelectFile();
    rig.files.next.push_back(std::nullopt);
    rig.window->OnSelectFile();
    QCOMPARE(rig.shell.firmwarePath, file.string());
    QCOMPARE(rig.window->resources().fileTitleEdit->text(), QStringLiteral("keep.jtg"));
    QCOMPARE(rig.image.payloadLength, 90u);
    QCOMPARE(rig.image.PayloadBuffer.size(), std::size_t{90});
  }

  void cancelBeforeAnyFileEmptiesTheTitleField() {
    WindowRig rig;
    rig.files.next.push_back(std::nullopt);
    rig.window->OnSelectFile();
    QCOMPARE(rig.window->resources().fileTitleEdit->text(), QString());
    QVERIFY(rig.shell.firmwarePath.empty());
  }

  void rejectedFileShowsTheMismatchBoxAndUnloads() {
    WindowRig rig;
    const auto good = rig.dir.path() / "good.jtg";
    WriteFirmwareFile(good, 0xDA, PlainPayload(60));
    const auto bad = rig.dir.path() / "notes.txt";
    {
      std::ofstream out(bad);
      out << std::string(80, 'x');
    }
    rig.files.next.push_back(good);
    rig.window->OnSelectFile();
    rig.files.next.push_back(bad);
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    rig.window->OnSelectFile();
    QCOMPARE(watcher.seen().size(), 1);
    QCOMPARE(watcher.seen()[0].text, QStringLiteral("Failed opening file! File not valid! \n"));
    QCOMPARE(watcher.seen()[0].caption, QStringLiteral("Filetype mismatch!"));
    QCOMPARE(watcher.seen()[0].icon, QMessageBox::Critical);
    QCOMPARE(watcher.seen()[0].owner, static_cast<QWidget*>(rig.window.get()));
    QVERIFY(rig.shell.firmwarePath.empty());
    QVERIFY(rig.shell.firmwareTitle.empty());
    QCOMPARE(rig.window->resources().fileTitleEdit->text(), QString());
    QCOMPARE(rig.image.payloadLength, 0u);
    QCOMPARE(rig.image.progressTotal.load(), 0u);

    // Run Update then finds no firmware.
    watcher.answer(QMessageBox::Ok);
    QTest::mouseClick(rig.window->resources().runUpdateButton, Qt::LeftButton);
    QCOMPARE(watcher.seen().size(), 2);
    QCOMPARE(watcher.seen()[1].text, QStringLiteral("No firmware file loaded!"));
  }

  void unreadableFileShowsTheSystemText() {
    WindowRig rig;
    rig.files.next.push_back(rig.dir.path() / "vanished.jtg");
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    rig.window->OnSelectFile();
    QCOMPARE(watcher.seen().size(), 1);
    QVERIFY(!watcher.seen()[0].text.isEmpty());
    QCOMPARE(watcher.seen()[0].caption, QStringLiteral("Error!"));
    QCOMPARE(watcher.seen()[0].icon, QMessageBox::Critical);
    QVERIFY(watcher.seen()[0].owner == nullptr);
    QVERIFY(rig.shell.firmwarePath.empty());
    QCOMPARE(rig.fileBuffer.bytesRead, 0u);
    QCOMPARE(rig.window->resources().fileTitleEdit->text(), QString());
    // The loader never creates the file it was asked to read.
    QVERIFY(!std::filesystem::exists(rig.dir.path() / "vanished.jtg"));
  }

  void runUpdateWithoutFileChangesNothing() {
    WindowRig rig;
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    QTest::mouseClick(rig.window->resources().runUpdateButton, Qt::LeftButton);
    QCOMPARE(watcher.seen().size(), 1);
    QCOMPARE(watcher.seen()[0].text, QStringLiteral("No firmware file loaded!"));
    QCOMPARE(watcher.seen()[0].caption, QStringLiteral("Error!"));
    QVERIFY(watcher.seen()[0].owner == nullptr);
    QCOMPARE(rig.window->resources().runUpdateButton->text(), QStringLiteral("Run Update"));
    QVERIFY(rig.window->resources().selectFileButton->isEnabled());
    QCOMPARE(rig.engine.DeviceId, uint8_t{0x42});
    QVERIFY(!rig.platform.isOutputOpen(0));
  }

  void typedTitleTextChangesNothing() {
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    QTest::keyClicks(rig.window->resources().fileTitleEdit, QStringLiteral("other.jtg"));
    QVERIFY(rig.shell.firmwarePath.empty());
    BoxWatcher watcher;
    watcher.answer(QMessageBox::Ok);
    rig.window->OnCommand(IDC_RUN_UPDATE);
    QCOMPARE(watcher.texts(), QStringList{QStringLiteral("No firmware file loaded!")});
  }
};

VARNET_QT_TEST_MAIN(WindowCommandsTest)
#include "window_commands_test.moc"
