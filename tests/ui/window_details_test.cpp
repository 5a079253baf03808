// Where the window depends on Qt rather than on its own logic: the real open-file dialog
// (filters, default suffix, remembered filter, no settings file of Qt's), the progress line's
// text and a long name in the file-title field.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <fstream>

#include "ui/qt_prompts.h"
#include "ui_test_support.h"

using namespace varnet;
using namespace varnet::test;

namespace {

TempDir* configHome = nullptr;  // XDG_CONFIG_HOME: where Qt would keep its own settings
const QString kJtg = QStringLiteral("JTG-File (*.jtg)");
const QString kAll = QStringLiteral("All Files (*.*)");

// One run of Qt's own dialog in `folder`: picks `filter` (if any), types `typed` and accepts
// (cancels when empty). `openedOn` and `patterns` tell what the dialog showed and listed with.
struct DialogRun {
  QString filter, typed, openedOn;
  QStringList labels, patterns;
  std::optional<ChosenFile> chosen;
};
DialogRun Run(QtFileChooser& chooser, const std::filesystem::path& folder, QString filter,
              QString typed) {
  DialogRun run{filter, typed, {}, {}, {}, {}};
  BoxWatcher watcher;  // answers "File not found"; the dialog still open after it is cancelled
  watcher.onDialog([&](QDialog& dialog) {
    auto* files = qobject_cast<QFileDialog*>(&dialog);
    auto* combo = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    if (!run.labels.isEmpty() || run.typed.isEmpty()) {
      if (run.labels.isEmpty()) run.openedOn = combo->currentText();
      dialog.reject();
      return;
    }
    for (int i = 0; i < combo->count(); ++i) run.labels << combo->itemText(i);
    combo->setCurrentIndex(combo->findText(run.filter));
    emit combo->activated(combo->currentIndex());
    run.patterns = files->findChild<QFileSystemModel*>()->nameFilters();
    files->setDirectory(QString::fromStdString(folder.string()));
    files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(run.typed);
    QMetaObject::invokeMethod(&dialog, &QDialog::accept, Qt::QueuedConnection);
  });
  run.chosen = chooser.chooseFirmwareFile(nullptr, std::string());
  return run;
}

}  // namespace

class WindowDetailsTest : public QObject {
  Q_OBJECT

 private slots:
  // Enter answers a question with its default button: No where going ahead is the risk (other
  // programs send into the device's input), Yes for the warning the user has read.
  void enterTakesTheQuestionsDefault() {
    for (const bool defaultNo : {false, true}) {
      QtPrompts prompts;
      QMessageBox::StandardButton shownDefault = QMessageBox::NoButton;
      QTimer poll;
      poll.setInterval(10);
      QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        poll.stop();
        shownDefault = box->standardButton(box->defaultButton());
        QTest::keyClick(box, Qt::Key_Return);
      });
      poll.start();
      BoxRequest question{"Other programs send", "Other senders", BoxIcon::Warning,
                          BoxButtons::YesNo};
      question.defaultNo = defaultNo;
      const BoxAnswer answer = prompts.showBox(question);
      QCOMPARE(shownDefault, defaultNo ? QMessageBox::No : QMessageBox::Yes);
      QCOMPARE(answer == BoxAnswer::No, defaultNo);
    }
  }

  void filtersAndTypedNames() {
    TempDir dir;
    for (const char* name : {"fw.jtg", "noext"}) std::ofstream(dir.path() / name) << "x";
    const struct {
      QString filter, typed, expected;  // expected file name; empty: nothing chosen
      QString pattern;
    } rows[] = {{kAll, "noext", "noext", "*"},
                {kJtg, "noext", "noext", "*.jtg"},
                {kJtg, "fw", "fw.jtg", "*.jtg"},
                {kAll, "missing", "", "*"}};
    for (const auto& row : rows) {
      QtFileChooser chooser;
      chooser.setUseNativeDialog(false);
      const DialogRun run = Run(chooser, dir.path(), row.filter, row.typed);
      QCOMPARE(run.labels, (QStringList{kJtg, kAll}));
      QCOMPARE(run.patterns, QStringList{row.pattern});
      QCOMPARE(run.chosen ? QString::fromStdString(run.chosen->path) : QString(),
               row.expected.isEmpty() ? QString() : QDir(dir.path()).filePath(row.expected));
    }
  }

  void theFilterChosenLastIsKeptForTheRunOnly() {
    TempDir dir;
    std::ofstream(dir.path() / "noext") << "x";
    QtFileChooser chooser, nextRun;
    chooser.setUseNativeDialog(false);
    nextRun.setUseNativeDialog(false);
    QVERIFY(Run(chooser, dir.path(), kAll, "noext").chosen);
    QCOMPARE(Run(chooser, dir.path(), {}, {}).openedOn, kAll);
    QCOMPARE(Run(nextRun, dir.path(), {}, {}).openedOn, kJtg);
    QVERIFY(
        QDir(configHome->path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
  }

  void progressLineText() {
    const struct {
      uint32_t sent, total;
      bool running, aborted;
      QStringList progress;  // drawn before the caption and the port names
    } rows[] = {{42, 100, true, false, {"Downloading Data... 42 %"}},
                {0, 0, true, false, {"Downloading Data... 0 %"}},
                {5, 2, true, false, {"Downloading Data... 250 %"}},
                {42, 100, true, true, {"Downloading Data... 42 %", "Please wait..."}},
                {42, 100, false, false, {}}};
    for (const auto& row : rows) {
      QStringList texts = row.progress;  // then what is always drawn
      texts << "Device: Quellar Varnet"
            << "MIDI In: In"
            << "MIDI Out: Out";
      QStringList drawn;
      for (const StatusText& text : StatusTexts({row.sent, row.total, row.running, row.aborted,
                                                 QStringLiteral("In"), QStringLiteral("Out")}))
        drawn << text.text;
      QCOMPARE(drawn, texts);
    }
  }

  void aLongFileNameShowsItsBeginning() {
    WindowRig rig;
    const auto file = rig.dir.path() / (std::string(60, 'a') + ".jtg");
    WriteFirmwareFile(file, 0xAD, PlainPayload(60));
    rig.files.next.push_back(file);
    rig.window->OnSelectFile();
    QCOMPARE(rig.window->resources().fileTitleEdit->cursorPosition(), 0);
  }
};

int main(int argc, char** argv) {
  PinTestPlatform();
  TempDir config;
  configHome = &config;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(QDir(config.path()).path()));
  QApplication app(argc, argv);
  WindowDetailsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_details_test.moc"
