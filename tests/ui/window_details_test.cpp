// Where the window depends on Qt rather than on its own logic: the real open-file dialog (filters,
// default suffix, the remembered filter, no settings file of Qt's), the text the progress line
// is painted with, and a long file name in the file-title field.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPointer>
#include <QTest>
#include <QTextItem>
#include <fstream>

#include "ui_test_support.h"

using namespace varnet;
using namespace varnet::test;

namespace {

// Qt's own settings go below this folder (XDG_CONFIG_HOME), set before the application exists.
TempDir* configHome = nullptr;

// One run of the real dialog: what the test does in it and what it saw there.
struct DialogRun {
  QString filterLabel;   // the filter the user picks; empty: the one the dialog opened on
  QString typed;         // the name typed; empty: the user cancels
  QStringList labels;    // the filters offered
  QString openedOn;      // the filter shown when the dialog opened
  QStringList patterns;  // what the listing is filtered with after the pick
};

std::optional<ChosenFile> Run(QtFileChooser& chooser, const std::filesystem::path& folder,
                              DialogRun& run) {
  BoxWatcher watcher;  // answers a "File not found" box
  QPointer<QFileDialog> handled;
  watcher.onDialog([&](QDialog& dialog) {
    auto* files = qobject_cast<QFileDialog*>(&dialog);
    if (files == nullptr) return;
    if (handled == files) {  // still open after a refused name
      files->reject();
      return;
    }
    handled = files;
    auto* combo = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    for (int i = 0; combo != nullptr && i < combo->count(); ++i) run.labels << combo->itemText(i);
    if (combo != nullptr) run.openedOn = combo->currentText();
    if (combo != nullptr && !run.filterLabel.isEmpty()) {
      const int index = combo->findText(run.filterLabel);
      combo->setCurrentIndex(index);
      emit combo->activated(index);
    }
    if (auto* model = files->findChild<QFileSystemModel*>()) run.patterns = model->nameFilters();
    if (run.typed.isEmpty()) {
      files->reject();
      return;
    }
    files->setDirectory(QString::fromStdString(folder.string()));
    if (auto* edit = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
      edit->setText(run.typed);
    // Queued: a refused name opens a box that the watcher must be free to answer.
    QMetaObject::invokeMethod(
        files, [files] { static_cast<QDialog*>(files)->accept(); }, Qt::QueuedConnection);
  });
  return chooser.chooseFirmwareFile(nullptr, std::string());
}

// Records the text a painter is given, in drawing order.
class TextRecorder final : public QPaintDevice {
 public:
  TextRecorder() : engine_(*this) {}
  QPaintEngine* paintEngine() const override { return &engine_; }
  QStringList texts;

 protected:
  int metric(PaintDeviceMetric metric) const override {
    switch (metric) {
      case PdmWidth:
        return kClientWidth;
      case PdmHeight:
        return kClientHeight;
      case PdmWidthMM:
      case PdmHeightMM:
        return 100;
      case PdmDpiX:
      case PdmDpiY:
      case PdmPhysicalDpiX:
      case PdmPhysicalDpiY:
        return 96;
      case PdmDepth:
        return 32;
      case PdmNumColors:
        return INT_MAX;
      case PdmDevicePixelRatio:
        return 1;
      case PdmDevicePixelRatioScaled:
        return static_cast<int>(devicePixelRatioFScale());
      default:
        return QPaintDevice::metric(metric);
    }
  }

 private:
  class Engine final : public QPaintEngine {
   public:
    explicit Engine(TextRecorder& device) : QPaintEngine(AllFeatures), device_(device) {}
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState&) override {}
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawTextItem(const QPointF&, const QTextItem& item) override {
      device_.texts << item.text();
    }
    Type type() const override { return User; }

   private:
    TextRecorder& device_;
  };
  mutable Engine engine_;
};

}  // namespace

class WindowDetailsTest : public QObject {
  Q_OBJECT

 private slots:
  void filtersAndTypedNames() {
    TempDir dir;
    for (const char* name : {"fw.jtg", "noext"}) std::ofstream(dir.path() / name) << "x";
    const QString jtg = QStringLiteral("JTG-File (*.jtg)");
    const QString all = QStringLiteral("All Files (*.*)");
    struct Row {
      QString filter;
      QString typed;
      QString expected;  // file name, empty: nothing chosen
      QStringList patterns;
    } rows[] = {
        {all, QStringLiteral("noext"), QStringLiteral("noext"), {QStringLiteral("*")}},
        {jtg, QStringLiteral("noext"), QStringLiteral("noext"), {QStringLiteral("*.jtg")}},
        {jtg, QStringLiteral("fw"), QStringLiteral("fw.jtg"), {QStringLiteral("*.jtg")}},
        {all, QStringLiteral("missing"), QString(), {QStringLiteral("*")}},
    };
    for (const Row& row : rows) {
      QtFileChooser chooser;
      chooser.setUseNativeDialog(false);
      DialogRun run{row.filter, row.typed, {}, {}, {}};
      const std::optional<ChosenFile> chosen = Run(chooser, dir.path(), run);
      QCOMPARE(run.labels, (QStringList{jtg, all}));
      QCOMPARE(run.patterns, row.patterns);
      QCOMPARE(chosen ? QString::fromStdString(chosen->path) : QString(),
               row.expected.isEmpty()
                   ? QString()
                   : QString::fromStdString((dir.path() / row.expected.toStdString()).string()));
    }
  }

  void theFilterChosenLastIsKeptForTheRunOnly() {
    TempDir dir;
    std::ofstream(dir.path() / "noext") << "x";
    const QString all = QStringLiteral("All Files (*.*)");
    QtFileChooser chooser;
    chooser.setUseNativeDialog(false);
    DialogRun first{all, QStringLiteral("noext"), {}, {}, {}};
    QVERIFY(Run(chooser, dir.path(), first));
    DialogRun second;
    QVERIFY(!Run(chooser, dir.path(), second));
    QCOMPARE(second.openedOn, all);
    QtFileChooser nextRun;
    nextRun.setUseNativeDialog(false);
    DialogRun fresh;
    Run(nextRun, dir.path(), fresh);
    QCOMPARE(fresh.openedOn, QStringLiteral("JTG-File (*.jtg)"));
    // Nothing of the dialog's reached the user's settings folder.
    QVERIFY(QDir(QString::fromStdString(configHome->path().string()))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                .isEmpty());
  }

  void progressLineText() {
    struct Row {
      uint32_t sent, total;
      bool running, aborted;
      QStringList progressTexts;  // drawn before the device caption, in order
    } rows[] = {
        {42, 100, true, false, {QStringLiteral("Downloading Data... 42 %")}},
        {100, 300, true, false, {QStringLiteral("Downloading Data... 33 %")}},
        {0, 0, true, false, {QStringLiteral("Downloading Data... 0 %")}},
        {5, 2, true, false, {QStringLiteral("Downloading Data... 250 %")}},
        {42,
         100,
         true,
         true,
         {QStringLiteral("Downloading Data... 42 %"), QStringLiteral("Please wait...")}},
        {42, 100, false, false, {}},
    };
    WindowResources resources;
    LoadGraphics(resources);
    for (const Row& row : rows) {
      TextRecorder device;
      {
        QPainter painter(&device);
        StatusSnapshot status{row.sent,
                              row.total,
                              row.running,
                              row.aborted,
                              QStringLiteral("In A"),
                              QStringLiteral("Out B")};
        PaintStatus(painter, resources, status);
      }
      const QStringList always{QStringLiteral("Device: Quellar Varnet"),
                               QStringLiteral("MIDI In: In A"), QStringLiteral("MIDI Out: Out B")};
      QCOMPARE(device.texts, row.progressTexts + always);
    }
  }

  void aLongFileNameShowsItsBeginning() {
    WindowRig rig;
    const auto file = rig.dir.path() / (std::string(60, 'a') + "-firmware.jtg");
    WriteFirmwareFile(file, 0xAD, PlainPayload(60));
    rig.files.next.push_back(file);
    rig.window->show();
    rig.window->OnSelectFile();
    QCOMPARE(rig.window->resources().fileTitleEdit->cursorPosition(), 0);
  }
};

int main(int argc, char** argv) {
  PinTestPlatform();
  TempDir config;
  configHome = &config;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path().string()));
  QApplication app(argc, argv);
  WindowDetailsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_details_test.moc"
