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
#include <QSignalBlocker>
#include <QString>
#include <array>
#include <new>

#include "ui/file_chooser.h"
#include "ui/port_dialog.h"
#include "ui/qt_prompts.h"

namespace varnet {

namespace {

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
  StartWindowRecords(engine_, fileBuffer_, shell_, AsOwner(this));
  if (slowTransferAction_ != nullptr) slowTransferAction_->setChecked(shell_.slowTransfer);
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
  slowTransferAction_ = options->addAction(QStringLiteral("Slow transfer"));
  slowTransferAction_->setObjectName(QStringLiteral("slowTransferAction"));
  slowTransferAction_->setCheckable(true);
  connect(slowTransferAction_, &QAction::toggled, this, [this](bool checked) {
    // While an update runs its pace stays as it began.
    if (!SetSlowTransfer(engine_, shell_, checked)) {
      const QSignalBlocker quiet(slowTransferAction_);
      slowTransferAction_->setChecked(shell_.slowTransfer);
    }
  });
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
  status.inputDeviceName = Name(engine_.midi->ports.inputDeviceName);
  status.outputDeviceName = Name(engine_.midi->ports.outputDeviceName);
  return status;
}

void MainWindow::OnCommand(int id) {
  if (id >= kFirstCommandId && id <= kLastCommandId) DispatchCommand(id - kFirstCommandId);
}

void MainWindow::DispatchCommand(int index) {
  // Once the user has agreed to close, the window only waits for the worker's end: no command
  // may start, load or ask anything over the stream being closed.
  if (!ended_ && !closing_) DispatchWindowCommand(index, *this);
}

void MainWindow::OnRunUpdateCommand() {
  OnRunUpdate(session_);
}

void MainWindow::OnSelectFile() {
  // Loading resizes the buffers the update worker streams from; the button is disabled while
  // a session runs, and a command arriving some other way must not pull them away.
  if (session_.inProgress.load()) return;
  const std::optional<ChosenFile> chosen = files_.chooseFirmwareFile(this, shell_.firmwarePath);
  if (chosen) {
    LoadChosenFirmware(engine_, fileBuffer_, shell_, chosen->path, chosen->title, AsOwner(this));
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
  if (!UserAgreesToClose(engine_, closeQuestionOpen_, AsOwner(this))) return;
  closing_ = true;
  CloseWhenSessionStopped();
}

void MainWindow::CloseWhenSessionStopped() {
  // The update must end before its ports close or its buffers go: the worker is told to stop,
  // and the stream is closed with its end byte once it has ended. A worker still running out a
  // pause, or a start still asking its question, is not waited for here: the window stays
  // painted ("Please wait...") and tries again on the next tick.
  if (!StopUpdateSession(session_)) {
    QTimer::singleShot(kProgressTimerMs, this, [this] { CloseWhenSessionStopped(); });
    return;
  }
  ReleaseMidiPorts(*engine_.midi);
  QMetaObject::invokeMethod(
      this, [this] { DestroySequence(); }, Qt::QueuedConnection);
}

void MainWindow::DestroySequence() {
  if (ended_) return;
  const int selection =
      resources_.deviceTypeCombo != nullptr ? resources_.deviceTypeCombo->currentIndex() : -1;
  shell_.deviceType = static_cast<uint8_t>(selection);  // no selection (-1) is stored as 0xFF
  SaveWindowSettings(engine_, fileBuffer_, shell_);
  progressTimer_.stop();
  StopUpdateSession(session_);
  ReleaseGraphics(resources_);
  // Quit has closed the ports already; a window destroyed some other way closes them here, by
  // the same path, so that no port outlives the program's records.
  ReleaseWindowRecords(engine_, fileBuffer_);
  DestroyControls();
  ended_ = true;
  hide();
  if (onEnded_) onEnded_();
}

void MainWindow::ShowAboutBox() {
  ShowAbout(engine_, AsOwner(this));
}

void MainWindow::ShowSystemError(const std::string& systemText) {
  engine_.prompts.showError(systemText, kSystemErrorCaption);
}

void MainWindow::OnMidiIo() {
  RunMidiPortDialog(*engine_.midi, this);
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

void MainWindow::paintNow() {
  // repaint() paints and flushes at once, without going back to the event loop.
  if (canvas_ != nullptr) canvas_->repaint();
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
