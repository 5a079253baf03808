#include "ui_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QImage>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

namespace varnet::test {

void PinTestPlatform() {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  qputenv("QT_FONT_DPI", "96");
  qputenv("QT_SCALE_FACTOR", "1");
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    static char runtimeDir[] = "/tmp/varnet-ui-test-XXXXXX";  // mkdtemp makes it 0700
    if (mkdtemp(runtimeDir) != nullptr) {
      qputenv("XDG_RUNTIME_DIR", runtimeDir);
      // Qt may leave sockets or locks in it; the folder goes with the test process.
      std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(runtimeDir, error);
      });
    }
  }
}

BoxWatcher::BoxWatcher() {
  timer_.setInterval(20);
  connect(&timer_, &QTimer::timeout, this, &BoxWatcher::poll);
  timer_.start();
}

void BoxWatcher::answer(QMessageBox::StandardButton button, int delayMs) {
  script_.push_back({button, delayMs});
}

QStringList BoxWatcher::texts() const {
  QStringList list;
  for (const SeenBox& box : seen_) list << box.text;
  return list;
}

void BoxWatcher::poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (answering_ && modal != current_.data() && (current_.isNull() || !current_->isVisible())) {
    // The box we were about to answer was closed by the program: its answer is used up.
    seen_.back().closedByProgram = true;
    if (!script_.empty()) script_.pop_front();
    answering_ = false;
    current_ = nullptr;
  }
  if (modal == nullptr) return;
  auto* box = qobject_cast<QMessageBox*>(modal);
  if (box == nullptr) {
    auto* dialog = qobject_cast<QDialog*>(modal);
    if (dialog != nullptr && dialogHandler_) dialogHandler_(*dialog);
    return;
  }
  if (current_ != box) {
    current_ = box;
    answering_ = true;
    currentSince_ = QDateTime::currentMSecsSinceEpoch();
    seen_.push_back({box->text(), box->windowTitle(), box->icon(), box->parentWidget()});
  }
  // Unscripted boxes get the negative answer, so a test that did not expect a box stops
  // instead of starting something.
  Scripted next{QMessageBox::NoButton, 0};
  if (!script_.empty()) next = script_.front();
  if (QDateTime::currentMSecsSinceEpoch() - currentSince_ < next.delayMs) return;
  QAbstractButton* button =
      next.button != QMessageBox::NoButton ? box->button(next.button) : nullptr;
  if (button == nullptr) {
    for (auto fallback : {QMessageBox::No, QMessageBox::Cancel, QMessageBox::Ok}) {
      button = box->button(fallback);
      if (button != nullptr) break;
    }
  }
  if (button == nullptr) return;
  if (!script_.empty()) script_.pop_front();
  current_ = nullptr;
  answering_ = false;
  button->click();
}

std::optional<ChosenFile> ScriptedFileChooser::chooseFirmwareFile(QWidget*,
                                                                  const std::string& initialPath) {
  initialPaths.push_back(initialPath);
  if (next.empty() || !next.front()) {
    if (!next.empty()) next.pop_front();
    return std::nullopt;
  }
  const std::filesystem::path file = *next.front();
  next.pop_front();
  return ChosenFile{file.string(), file.filename().string()};
}

TempDir::TempDir() {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          ("varnet-ui-" + std::to_string(random()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

void WriteFirmwareFile(const std::filesystem::path& file, uint8_t kind,
                       const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> bytes{'J', 'T', 'G', kind, 0x07, 0x08, 0x01};
  const auto length = static_cast<uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<uint8_t>(length >> shift));
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  // The loader wants more than 50 bytes; bytes past the payload are ignored.
  while (bytes.size() < 51) bytes.push_back(0);
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> PlainPayload(std::size_t symbols) {
  std::vector<uint8_t> payload(symbols);
  for (std::size_t i = 0; i < symbols; ++i)
    payload[i] = static_cast<uint8_t>((i * 7 + i / 5) & 0x03);
  return payload;
}

void UiStallMeter::start() {
  longestMs_ = 0;
  since_.start();
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, this,
                   [this] { longestMs_ = std::max(longestMs_, since_.restart()); });
  timer_.start();
}

WindowRig::WindowRig(VirtualPlatformConfig config, sim::ConverterConfig converterConfig,
                     bool createWindow)
    : converter(converterConfig),
      platform(clock, std::move(config)),
      midi(platform, prompts),
      engine(image, midi, clock, prompts) {
  if (platform.inGetNumDevs() > 0 && platform.outGetNumDevs() > 0)
    platform.connectConverter(converter);
  shell.startDirectory = dir.path().string();
  if (createWindow) CreateWindow();
}

void WindowRig::CreateWindow() {
  window = std::make_unique<MainWindow>(engine, fileBuffer, shell, files);
}

WindowRig::~WindowRig() {
  window.reset();
}

QImage GrabClient(MainWindow& window) {
  return window.canvas()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool IsBright(QRgb pixel) {
  return qRed(pixel) > 200 && qGreen(pixel) > 200 && qBlue(pixel) > 200;
}

QRect BrightBox(const QImage& image, const QRect& area) {
  QRect box;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (IsBright(image.pixel(x, y))) box |= QRect(x, y, 1, 1);
    }
  }
  return box;
}

int BarPixels(const QImage& image, int y) {
  int count = 0;
  for (int x = 27; x < image.width(); ++x) {
    const QRgb pixel = image.pixel(x, y);
    if (qRed(pixel) < qGreen(pixel) + 60) break;
    ++count;
  }
  return count;
}

}  // namespace varnet::test
