#include "ui/file_chooser.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace varnet {

namespace {

// Qt takes a filter's patterns from its last parenthesised list and, with HideNameFilterDetails,
// shows what comes before that list. So the user sees "JTG-File (*.jtg)" and "All Files (*.*)"
// while the second filter matches "*": on this platform "*.*" would hide names without a dot.
const QStringList& FilterLabels() {
  static const QStringList labels{QStringLiteral("JTG-File (*.jtg)"),
                                  QStringLiteral("All Files (*.*)")};
  return labels;
}
const QStringList& NameFilters() {
  static const QStringList filters{FilterLabels()[0] + QStringLiteral(" (*.jtg)"),
                                   FilterLabels()[1] + QStringLiteral(" (*)")};
  return filters;
}

// Depending on the dialog, the chosen filter comes back whole or as its label.
int FilterIndex(const QString& selected) {
  const int index = NameFilters().indexOf(selected);
  return index >= 0 ? index : FilterLabels().indexOf(selected);
}

const QString kDefaultSuffix = QStringLiteral("jtg");

class FirmwareFileDialog final : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    // Qt adds the default suffix to every typed name without a dot, so a firmware file named
    // without one could never be opened. A name that exists as typed is taken as it is; the
    // suffix is for names that do not.
    setDefaultSuffix(QString());
    const QStringList asTyped = selectedFiles();
    const bool existsAsTyped = asTyped.size() == 1 && QFileInfo(asTyped.front()).isFile();
    if (existsAsTyped) QFileDialog::accept();
    setDefaultSuffix(kDefaultSuffix);
    if (!existsAsTyped) QFileDialog::accept();
  }
};

}  // namespace

QtFileChooser::QtFileChooser() {
  // Every QFileDialog writes its history and view to the user's "QtProject" settings when it
  // goes away. A file below /dev/null can never be created, so that write fails quietly; the
  // state lives in this object instead. (Where the platform keeps such settings elsewhere than
  // in files, this has no effect.)
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
}

std::optional<ChosenFile> QtFileChooser::chooseFirmwareFile(QWidget* owner,
                                                            const std::string& initialPath) {
  FirmwareFileDialog dialog(owner);
  dialog.setOption(QFileDialog::DontUseNativeDialog, !useNative_);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters(NameFilters());
  dialog.setDefaultSuffix(kDefaultSuffix);
  if (!dialogState_.isEmpty()) dialog.restoreState(dialogState_);
  dialog.selectNameFilter(NameFilters()[filterIndex_]);
  if (!initialPath.empty()) dialog.selectFile(QFile::decodeName(initialPath.c_str()));
  // What the dialog accepted, as it accepted it: asking selectedFiles() afterwards would add the
  // default suffix again.
  QString chosen;
  QObject::connect(&dialog, &QFileDialog::fileSelected,
                   [&chosen](const QString& file) { chosen = file; });
  const int result = dialog.exec();
  dialogState_ = dialog.saveState();
  if (result != QDialog::Accepted || chosen.isEmpty()) return std::nullopt;
  // Like the filter index of the platform's dialog, only a choice that was accepted is kept.
  const int index = FilterIndex(dialog.selectedNameFilter());
  if (index >= 0) filterIndex_ = index;
  const QFileInfo info(chosen);
  // The path goes to the file system in its own encoding; the title is only shown.
  return ChosenFile{QFile::encodeName(info.absoluteFilePath()).toStdString(),
                    info.fileName().toStdString()};
}

}  // namespace varnet
