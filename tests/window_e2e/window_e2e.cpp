// varnet-window-e2e FIRMWARE IN OUT [GO_FILE]: updates through the desktop window (offscreen) on
// the system's MIDI ports, as scripts/e2e-jack runs it against varnet-sim. The user's part is
// scripted: the file is chosen, Run Update clicked, the warning answered Yes and every box after
// it OK. Prints each box it saw; exit 0 after "Update done!", 1 otherwise. IN and OUT are chosen
// as the port dialog's OK chooses them, so that the window's ini.upd keeps them at its end.
//
// With GO_FILE the device is expected to vanish during a first update: once that update has
// ended (not done), the driver prints "window: first update ended", waits for GO_FILE to appear
// (the script has started the device again) and runs a second update in the same window, which
// must end "Update done!".
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "midi/system_platform.h"
#include "ui_test_support.h"

using namespace varnet;

namespace {

// One press of Run Update through to the outcome; true after "Update done!". Boxes seen from
// `firstBox` on are printed.
bool RunOneUpdate(MainWindow& window, test::BoxWatcher& watcher, qsizetype firstBox,
                  const char* label) {
  watcher.answer(QMessageBox::Yes);  // the warning; every later box gets its OK or No
  QTest::mouseClick(window.resources().runUpdateButton, Qt::LeftButton);

  QElapsedTimer timer;
  timer.start();
  while (window.session().inProgress.load() && timer.elapsed() < 120000) QTest::qWait(50);
  // The outcome box comes at the session's end; give the watcher time to see and answer it.
  const qint64 ended = timer.elapsed();
  while (timer.elapsed() < ended + 3000 && watcher.seen().size() < firstBox + 2) QTest::qWait(50);
  QTest::qWait(200);

  bool done = false;
  for (qsizetype i = firstBox; i < watcher.seen().size(); ++i) {
    const test::SeenBox& box = watcher.seen()[i];
    std::printf("%s: %s\n", qPrintable(box.caption), qPrintable(box.text));
    if (box.text.startsWith(QStringLiteral("Update done!"))) done = true;
  }
  std::printf("window: %s%s after %.1f s\n", label, done ? "done" : "not done",
              double(ended) / 1000.0);
  std::fflush(stdout);
  return done && !window.session().inProgress.load();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: varnet-window-e2e FIRMWARE IN OUT [GO_FILE]\n");
    return 2;
  }
  test::PinTestPlatform();
  QApplication app(argc, argv);

  ShellState shell;
  std::error_code ignored;
  shell.startDirectory = std::filesystem::current_path(ignored).string();
  QtPrompts prompts;
  RealClock clock;
  const std::unique_ptr<MidiPlatform> platform = CreateSystemMidiPlatform();
  MidiLayer midi(*platform, prompts);
  FirmwareImage image;
  FileBuffer fileBuffer;
  Engine engine(image, midi, clock, prompts);
  test::ScriptedFileChooser files;
  MainWindow window(engine, fileBuffer, shell, files);
  if (!window.created()) return 1;
  // The ports as the user chooses them: the port dialog's OK, which the settings then keep.
  ReopenMidiPorts(midi, std::atoi(argv[2]), std::atoi(argv[3]), nullptr);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;

  files.next.push_back(std::filesystem::absolute(argv[1]));
  window.OnSelectFile();

  test::BoxWatcher watcher;
  // The window is closed as the user closes it, so that it writes its ini.upd.
  const auto closed = [&window](bool done) {
    window.close();
    QElapsedTimer timer;
    timer.start();
    while (!window.ended() && timer.elapsed() < 10000) QTest::qWait(50);
    return done && window.ended() ? 0 : 1;
  };
  if (argc == 4) return closed(RunOneUpdate(window, watcher, 0, ""));

  const std::filesystem::path go = argv[4];
  if (RunOneUpdate(window, watcher, 0, "first update ended, ")) return 1;  // the device vanished
  QElapsedTimer timer;
  timer.start();
  while (!std::filesystem::exists(go, ignored) && timer.elapsed() < 60000) QTest::qWait(50);
  if (!std::filesystem::exists(go, ignored)) return 1;
  return closed(RunOneUpdate(window, watcher, watcher.seen().size(), "second update "));
}
