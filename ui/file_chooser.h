// The open-file dialog behind a small seam: the desktop uses the platform's dialog, tests choose
// the file themselves (a native dialog cannot be driven from a test).
#pragma once

#include <QByteArray>
#include <optional>
#include <string>

class QWidget;

namespace varnet {

struct ChosenFile {
  std::string path;   // full path
  std::string title;  // file-name part, shown in the file-title field
};

class FileChooser {
 public:
  virtual ~FileChooser() = default;
  // Shows the open-file dialog over `owner` with `initialPath` as the initial file name.
  // Nothing when the user cancelled or the dialog failed.
  virtual std::optional<ChosenFile> chooseFirmwareFile(QWidget* owner,
                                                       const std::string& initialPath) = 0;
};

// Filters "JTG-File (*.jtg)" and "All Files (*.*)" (the second one matches every name, with or
// without a dot), existing files only. A name typed without a suffix is taken as typed when that
// file exists, else ".jtg" is added. The next dialog opens on the filter chosen last.
//
// The dialog's own state (folders visited, view) is kept in this object for the run. Qt keeps it
// in a "QtProject" settings file of the user's; constructing the chooser points Qt's per-user
// settings at a place where no file can be created, so the program writes nothing besides its
// own settings file.
class QtFileChooser final : public FileChooser {
 public:
  QtFileChooser();
  std::optional<ChosenFile> chooseFirmwareFile(QWidget* owner,
                                               const std::string& initialPath) override;
  // Qt's own dialog instead of the platform's (the only one a test can drive).
  void setUseNativeDialog(bool useNative) { useNative_ = useNative; }

 private:
  QByteArray dialogState_;
  int filterIndex_ = 0;
  bool useNative_ = true;
};

}  // namespace varnet
