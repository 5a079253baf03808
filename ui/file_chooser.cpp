#include "ui/file_chooser.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

namespace varnet {

std::optional<ChosenFile> QtFileChooser::chooseFirmwareFile(QWidget* owner,
                                                            const std::string& initialPath) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters(
      QStringList{QStringLiteral("JTG-File (*.jtg)"), QStringLiteral("All Files (*.*)")});
  dialog.setDefaultSuffix(QStringLiteral("jtg"));
  if (!initialPath.empty()) dialog.selectFile(QFile::decodeName(initialPath.c_str()));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  const QFileInfo info(files.front());
  // The path goes to the file system in its own encoding; the title is only shown.
  return ChosenFile{QFile::encodeName(info.absoluteFilePath()).toStdString(),
                    info.fileName().toStdString()};
}

}  // namespace varnet
