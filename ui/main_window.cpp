#include "ui/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QString>
#include <array>
#include <new>

#include "settings/settings.h"
#include "ui/file_chooser.h"
#include "ui/port_dialog.h"
#include "ui/qt_prompts.h"

namespace varnet {

namespace {

enum class Action : uint8_t { None, SelectFile, RunUpdate, Quit, About, MidiIo };

// Index = command id - 50, for ids 50 to 200.
constexpr std::array<Action, 151> MakeCommandTable() {
  std::array<Action, 151> table{};
  table[IDC_SELECT_FILE - 50] = Action::SelectFile;
  table[IDC_RUN_UPDATE - 50] = Action::RunUpdate;
  table[IDM_QUIT - 50] = Action::Quit;
  table[IDM_ABOUT - 50] = Action::About;
  table[IDM_MIDI_IO - 50] = Action::MidiIo;
  return table;
}
constexpr std::array<Action, 151> kCommandTable = MakeCommandTable();

// Returns the heap blocks to the system; they are not used again in this run.
void FreeBlock(std::vector<uint8_t>& block) {
  std::vector<uint8_t>().swap(block);
}

QString Name(const std::array<char, kNameAreaSize>& area) {
  return QString::fromStdString(DeviceName(area));
}

}  // namespace

StatusCanvas::StatusCanvas(MainWindow& window) : QWidget(&window), window_(window) {
  setFixedSize(kClientWidth, kClientHeight);
  // The background bitmap covers every pixel; should it be missing, the field colour shows.
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(kFieldColour.r, kFieldColour.g, kFieldColour.b));
  setPalette(palette);
}

void StatusCanvas::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintBackground(painter, window_.resources());
  PaintStatus(painter, window_.resources(), window_.TakeStatusSnapshot());
}

MainWindow::MainWindow(Engine& engine, FileBuffer& fileBuffer, ShellState& shell,
                       FileChooser& files)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint),
      engine_(engine),
      fileBuffer_(fileBuffer),
      shell_(shell),
      files_(files),
      session_(engine, *this, shell.firmwarePath) {
  setWindowTitle(QString::fromLatin1(kWindowTitle));
  setObjectName(QStringLiteral("mainWindow"));
  progressTimer_.setInterval(kProgressTimerMs);
  connect(&progressTimer_, &QTimer::timeout, this, [this] { SessionTimerProc(session_); });

  canvas_ = new StatusCanvas(*this);
  setCentralWidget(canvas_);
  BuildMenu();

  if (!InitApplicationState()) return;

  // Settings come before the port names and the controls, which show what they hold.
  MidiPorts& ports = engine_.midi.ports;
  const int loaded =
      LoadSettings(shell_.startDirectory, fileBuffer_,
                   Settings{ports.inputDeviceIndex, ports.outputDeviceIndex, shell_.deviceType});
  shell_.firmwarePath.clear();
  shell_.firmwareTitle.clear();
  if (loaded == 0) {
    ports.inputDeviceIndex = 0;
    ports.outputDeviceIndex = 0;
    shell_.deviceType = 0;
  }
  RefreshDeviceNames(engine_.midi, ports.inputDeviceIndex, ports.outputDeviceIndex, AsOwner(this));
  if (CreateControls() != 0) {
    engine_.prompts.showError(kNoControlsText, kNoControlsCaption);
    return;
  }

  setWindowIcon(QIcon(QStringLiteral(":/varnet/icon.png")));
  // A fixed window: the client area is the bitmap's 400 x 240 under the menu bar, with no
  // sizing border and no maximise button.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  created_ = true;
}

MainWindow::~MainWindow() {
  // A test or an abnormal exit may drop the window without the destroy sequence: the worker
  // must still be stopped before the buffers go.
  progressTimer_.stop();
  StopUpdateSession(session_);
}

bool MainWindow::InitApplicationState() {
  LoadGraphics(resources_);
  InitMidiPorts(engine_.midi);
  fileBuffer_.data.assign(256, 0);
  fileBuffer_.writeData.assign(256, 0);
  FirmwareImage& image = engine_.image;
  image.PayloadBuffer.assign(256, 0);
  image.SendBuffer.assign(256, 0);
  image.SentLog.assign(256, 0);
  engine_.DeviceId = 0x42;
  return true;
}

void MainWindow::BuildMenu() {
  QMenu* command = menuBar()->addMenu(QStringLiteral("&Command"));
  QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
  auto add = [this](QMenu* menu, const char* text, int id) {
    QAction* action = menu->addAction(QString::fromLatin1(text));
    action->setData(id);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
  };
  add(command, "&About", IDM_ABOUT);
  add(command, "&Quit", IDM_QUIT);
  add(options, "MIDI &I/O", IDM_MIDI_IO);
}

int MainWindow::CreateControls() {
  const QFont& font = resources_.controlFont;

  auto* edit = new (std::nothrow) QLineEdit(QLatin1String(kInitialFileTitle), canvas_);
  if (edit == nullptr) return -1;
  resources_.fileTitleEdit = edit;
  edit->setObjectName(QStringLiteral("fileTitleEdit"));
  edit->setFont(font);
  edit->setFrame(false);
  edit->setTextMargins(2, 0, 2, 0);
  edit->setGeometry(kFileTitlePlace.x, kFileTitlePlace.y, kFileTitlePlace.width,
                    kFileTitlePlace.height);

  auto* select = new (std::nothrow) QPushButton(QLatin1String(kSelectFileCaption), canvas_);
  if (select == nullptr) return -1;
  resources_.selectFileButton = select;
  select->setObjectName(QStringLiteral("selectFileButton"));
  select->setFont(font);
  select->setGeometry(kSelectFilePlace.x, kSelectFilePlace.y, kSelectFilePlace.width,
                      kSelectFilePlace.height);
  connect(select, &QPushButton::clicked, this, [this] { OnCommand(IDC_SELECT_FILE); });

  auto* run = new (std::nothrow) QPushButton(QLatin1String(kRunUpdateCaption), canvas_);
  if (run == nullptr) return -1;
  resources_.runUpdateButton = run;
  run->setObjectName(QStringLiteral("runUpdateButton"));
  run->setFont(font);
  run->setGeometry(kRunUpdatePlace.x, kRunUpdatePlace.y, kRunUpdatePlace.width,
                   kRunUpdatePlace.height);
  run->setEnabled(true);
  connect(run, &QPushButton::clicked, this, [this] { OnCommand(IDC_RUN_UPDATE); });

  // Never shown; it carries the device-type selection from the settings file back to it.
  auto* combo = new (std::nothrow) QComboBox(canvas_);
  if (combo == nullptr) return -1;
  resources_.deviceTypeCombo = combo;
  combo->setObjectName(QStringLiteral("deviceTypeCombo"));
  combo->setFont(font);
  for (const char* name : kDeviceTypeNames) combo->addItem(QLatin1String(name));
  combo->setCurrentIndex(shell_.deviceType < 2 ? shell_.deviceType : -1);
  combo->setGeometry(kDeviceTypePlace.x, kDeviceTypePlace.y, kDeviceTypePlace.width,
                     combo->sizeHint().height());
  combo->setVisible(false);
  return 0;
}

void MainWindow::DestroyControls() {
  delete resources_.fileTitleEdit;
  resources_.fileTitleEdit = nullptr;
  delete resources_.selectFileButton;
  resources_.selectFileButton = nullptr;
  delete resources_.runUpdateButton;
  resources_.runUpdateButton = nullptr;
  delete resources_.deviceTypeCombo;
  resources_.deviceTypeCombo = nullptr;
}

StatusSnapshot MainWindow::TakeStatusSnapshot() const {
  StatusSnapshot status;
  status.bytesSent = engine_.image.bytesSent.load();
  status.progressTotal = engine_.image.progressTotal.load();
  status.running = engine_.SessionState.load() == Running;
  status.aborted = engine_.aborted.load() == 1;
  status.inputDeviceName = Name(engine_.midi.ports.inputDeviceName);
  status.outputDeviceName = Name(engine_.midi.ports.outputDeviceName);
  return status;
}

void MainWindow::OnCommand(int id) {
  if (id >= kFirstCommandId && id <= kLastCommandId) DispatchCommand(id - kFirstCommandId);
}

void MainWindow::DispatchCommand(int index) {
  if (index < 0 || index >= static_cast<int>(kCommandTable.size()) || ended_) return;
  switch (kCommandTable[static_cast<std::size_t>(index)]) {
    case Action::SelectFile:
      OnSelectFile();
      break;
    case Action::RunUpdate:
      OnRunUpdate(session_);
      break;
    case Action::Quit:
      ConfirmAndClose();
      break;
    case Action::About:
      ShowAboutBox();
      break;
    case Action::MidiIo:
      OnMidiIo();
      break;
    case Action::None:
      break;
  }
}

void MainWindow::OnSelectFile() {
  // Loading resizes the buffers the update worker streams from; the button is disabled while
  // a session runs, and a command arriving some other way must not pull them away.
  if (session_.inProgress.load()) return;
  FirmwareImage& image = engine_.image;
  const std::optional<ChosenFile> chosen = files_.chooseFirmwareFile(this, shell_.firmwarePath);
  if (chosen) {
    shell_.firmwarePath = chosen->path;
    shell_.firmwareTitle = chosen->title;
    std::string systemText;
    if (!ReadWholeFile(shell_.firmwarePath, fileBuffer_, &systemText)) {
      ShowSystemError(systemText);
      shell_.firmwarePath.clear();
      shell_.firmwareTitle.clear();
      fileBuffer_.bytesRead = 0;
      image.payloadLength = 0;
      image.progressTotal.store(0);
    } else if (ParseFirmwareImage(fileBuffer_, image) == -1) {
      engine_.prompts.showError(kFileNotValidText, kFileNotValidCaption, AsOwner(this));
      shell_.firmwarePath.clear();
      shell_.firmwareTitle.clear();
      image.payloadLength = 0;
      image.progressTotal.store(0);
    }
  }
  // A cancelled dialog keeps whatever firmware is loaded, names and payload together, so the
  // title field always names what Run Update would send. Before any file was loaded this
  // replaces "Selected File" with an empty text.
  if (resources_.fileTitleEdit != nullptr) {
    resources_.fileTitleEdit->setText(QString::fromStdString(shell_.firmwareTitle));
    // A name longer than the field shows its beginning, as a freshly set edit text does on the
    // product's platform; Qt would scroll to the end.
    resources_.fileTitleEdit->setCursorPosition(0);
  }
}

void MainWindow::ConfirmAndClose() {
  if (closeQuestionOpen_ || closing_ || ended_) return;
  if (engine_.midi.ports.sessionPortsOpen.load() == 1) {
    closeQuestionOpen_ = true;
    const BoxAnswer answer =
        engine_.prompts.showBox({kCloseQuestionText, kCloseQuestionCaption, BoxIcon::Question,
                                 BoxButtons::YesNo, AsOwner(this), true});
    closeQuestionOpen_ = false;
    if (answer == BoxAnswer::No) return;
  }
  closing_ = true;
  CloseWhenSessionStopped();
}

void MainWindow::CloseWhenSessionStopped() {
  // The update must end before its ports close or its buffers go: the worker is stopped and
  // joined and the stream closed with its end byte. A start still asking its question refuses
  // as soon as the question returns; try again on the next tick.
  if (!StopUpdateSession(session_)) {
    QTimer::singleShot(kProgressTimerMs, this, [this] { CloseWhenSessionStopped(); });
    return;
  }
  ReleaseMidiPorts(engine_.midi);
  engine_.midi.ports.sessionPortsOpen.store(0);
  QMetaObject::invokeMethod(
      this, [this] { DestroySequence(); }, Qt::QueuedConnection);
}

void MainWindow::DestroySequence() {
  if (ended_) return;
  const int selection =
      resources_.deviceTypeCombo != nullptr ? resources_.deviceTypeCombo->currentIndex() : -1;
  shell_.deviceType = static_cast<uint8_t>(selection);  // no selection (-1) is stored as 0xFF
  MidiPorts& ports = engine_.midi.ports;
  SaveSettings(shell_.startDirectory, fileBuffer_,
               Settings{ports.inputDeviceIndex, ports.outputDeviceIndex, shell_.deviceType});
  progressTimer_.stop();
  StopUpdateSession(session_);
  ReleaseGraphics(resources_);
  // Quit has closed the ports already; a window destroyed some other way closes them here, by
  // the same path, so that no port outlives the program's records.
  ReleaseMidiPorts(engine_.midi);
  FirmwareImage& image = engine_.image;
  image.payloadLength = 0;
  FreeBlock(fileBuffer_.data);
  FreeBlock(fileBuffer_.writeData);
  FreeBlock(image.PayloadBuffer);
  FreeBlock(image.SendBuffer);
  FreeBlock(image.SentLog);
  DestroyControls();
  ended_ = true;
  hide();
  if (onEnded_) onEnded_();
}

void MainWindow::ShowAboutBox() {
  engine_.prompts.showBox(
      {kAboutText, kAboutCaption, BoxIcon::Information, BoxButtons::Ok, AsOwner(this)});
}

void MainWindow::ShowSystemError(const std::string& systemText) {
  engine_.prompts.showError(systemText, kSystemErrorCaption);
}

void MainWindow::OnMidiIo() {
  RunMidiPortDialog(engine_.midi, this);
  if (canvas_ != nullptr) canvas_->update(PortNamesRect);
}

void MainWindow::setRunUpdateCaption(const std::string& caption) {
  if (resources_.runUpdateButton != nullptr) {
    resources_.runUpdateButton->setText(QString::fromStdString(caption));
  }
}

void MainWindow::setRunUpdateEnabled(bool enabled) {
  if (resources_.runUpdateButton != nullptr) resources_.runUpdateButton->setEnabled(enabled);
}

void MainWindow::setSelectFileEnabled(bool enabled) {
  if (resources_.selectFileButton != nullptr) resources_.selectFileButton->setEnabled(enabled);
}

void MainWindow::invalidateProgress() {
  if (canvas_ != nullptr) canvas_->update(ProgressRect);
}

bool MainWindow::startProgressTimer() {
  progressTimer_.start();
  return progressTimer_.isActive();
}

void MainWindow::killProgressTimer() {
  progressTimer_.stop();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The title-bar close button and Alt+F4 take the same path as Quit; the window itself goes
  // only at the end of the destroy sequence.
  if (ended_) {
    event->accept();
    return;
  }
  event->ignore();
  ConfirmAndClose();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  event->accept();
}
void MainWindow::mousePressEvent(QMouseEvent* event) {
  event->accept();
}
void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
}
void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
}

}  // namespace varnet
