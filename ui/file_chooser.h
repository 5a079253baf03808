// The open-file dialog behind a small seam: the desktop uses the platform's dialog, tests choose
// the file themselves (a native dialog cannot be driven from a test).
#pragma once

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

// Filters "JTG-File (*.jtg)" and "All Files (*.*)", default suffix "jtg", existing files only.
class QtFileChooser final : public FileChooser {
 public:
  std::optional<ChosenFile> chooseFirmwareFile(QWidget* owner,
                                               const std::string& initialPath) override;
};

}  // namespace varnet
