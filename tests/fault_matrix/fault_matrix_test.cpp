// The fault matrix: whole update sessions (session, engine, MIDI layer, virtual port, simulated
// converter, virtual clock) against every way the device, the user and the machine can let an
// update down. Each row names what goes wrong and what the user must see, in order; every row
// also demands that the stream was closed with its end byte, the ports are closed, the session is
// Idle, `aborted` is as documented, and the loaded firmware is untouched. Under the asan preset
// the same rows prove that nothing leaks.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/echo_cause.h"
#include "engine/session.h"
#include "engine/session_log.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/midi_ports.h"
#include "midi/port_locks.h"
#include "midi/port_scan.h"
#include "settings/settings.h"
#include "sim/converter.h"
#include "ui-common/window_shell.h"

namespace varnet {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

constexpr const char* kWarning = "Warning";
constexpr const char* kNoResponse = "No response received! Please check connection or device type!";
constexpr const char* kWrongDevice = "Wrong device ID!";
constexpr const char* kMismatch =
    "Firmware mismatch! Wrong firmware file for current device type. Please check whether you "
    "want to update an Ixar AD or an Ixar DA.";

// ---------------------------------------------------------------------------------------------
// The rig.

// Answers Yes to the warning and OK to everything else; a question whose default is No gets the
// default (the user pressed Enter) unless `agree` is set.
class RecordingPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override {
    boxes.push_back(request);
    if (onBox) onBox(request);
    if (request.buttons == BoxButtons::YesNo) {
      return request.defaultNo && !agree ? BoxAnswer::No : BoxAnswer::Yes;
    }
    return BoxAnswer::Ok;
  }
  std::vector<BoxRequest> boxes;
  bool agree = false;
  std::function<void(const BoxRequest&)> onBox;
};

class RecordingView final : public SessionView {
 public:
  void setRunUpdateCaption(const std::string& text) override { caption = text; }
  void setRunUpdateEnabled(bool enabled) override { runEnabled = enabled; }
  void setSelectFileEnabled(bool enabled) override { selectEnabled = enabled; }
  void invalidateProgress() override {}
  bool startProgressTimer() override {
    timerRunning = true;
    return true;
  }
  void killProgressTimer() override { timerRunning = false; }

  std::string caption = "Start Update";
  bool runEnabled = true;
  bool selectEnabled = true;
  bool timerRunning = false;
};

// Holds the worker at a virtual time (the event runs on the thread whose sleep carries the clock
// past it: during the stream, the worker) until `until` says it may go on.
struct Gate {
  std::atomic<bool> reached{false};
  std::atomic<bool> open{false};
  void arm(VirtualClock& clock, Clock::TimePoint at, std::function<bool()> until) {
    clock.schedule(at, [this, until] {
      reached.store(true);
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!open.load() && !until() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
      }
    });
  }
  bool waitReached() const {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!reached.load()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
};

Bytes FirmwareFile(uint8_t kind, const Bytes& payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  Bytes file;
  file.reserve(payload.size() + 51);
  for (uint8_t b :
       {uint8_t('J'), uint8_t('T'), uint8_t('G'), kind, uint8_t(0x07), uint8_t(0x08), uint8_t(0x01),
        uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}) {
    file.push_back(b);
  }
  for (uint8_t b : payload) file.push_back(b);
  while (file.size() < 51) file.push_back(0);
  return file;
}

// Symbols of every value, with a 20 ms pause after every 90th symbol (one 30-byte run each), as
// firmware files ask for them.
Bytes Payload(std::size_t count) {
  Bytes payload(count);
  for (std::size_t i = 0; i < count; ++i) {
    payload[i] = uint8_t((i * 7 + i / 5) % 4) | (i % 90 == 89 ? 0x10 : 0x00);
  }
  return payload;
}

// The ports as other programs see them, so that a second session can find them locked.
VirtualPlatformConfig SharedPorts() {
  VirtualPlatformConfig config;
  config.identity = "fault-matrix";
  return config;
}

fs::path RigFolder(int serial) {
  const fs::path dir =
      fs::temp_directory_path() /
      ("varnet-fault-matrix-" + std::to_string(::getpid()) + "-" + std::to_string(serial));
  fs::create_directories(dir / "locks");  // beside the settings, not among them
  return dir;
}

constexpr const char* kRigProgram = "fault matrix update";

struct Rig {
  explicit Rig(const sim::ConverterConfig& config)
      : dir(RigFolder(++serial)),
        converter(config),
        platform(clock, SharedPorts()),
        locks(kRigProgram, (dir / "locks").string()) {
    platform.connectConverter(converter);
    InitMidiPorts(midi);
  }
  ~Rig() {
    session.reset();  // joins a worker that still uses everything below
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Selects the file as the window does: written to disk, read whole, parsed.
  void select(uint8_t kind, const Bytes& data) {
    payload = data;
    firmwarePath = (dir / "update.jtg").string();
    const Bytes file = FirmwareFile(kind, data);
    std::ofstream(firmwarePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    ASSERT_TRUE(ReadWholeFile(firmwarePath, fileBuffer));
    ASSERT_EQ(ParseFirmwareImage(fileBuffer, image), 0);
    sendSize = image.SendBuffer.size();
    logSize = image.SentLog.size();
  }

  void tick() {
    if (view.timerRunning) SessionTimerProc(*session);
  }
  bool runToFinish() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (SessionStreamLive(session->phase)) {
      if (std::chrono::steady_clock::now() > limit) return false;
      tick();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  static inline int serial = 0;
  fs::path dir;
  VirtualClock clock;
  sim::SimulatedConverter converter;
  VirtualMidiPlatform platform;
  FilePortLocks locks;
  LockingMidiPlatform locking{platform, locks};
  RecordingPrompts prompts;
  MidiLayer midi{locking, prompts};
  FileBuffer fileBuffer;
  FirmwareImage image;
  Engine engine{image, midi, clock, prompts};
  RecordingView view;
  std::string firmwarePath;
  std::unique_ptr<UpdateSession> session =
      std::make_unique<UpdateSession>(engine, view, firmwarePath);
  Bytes payload;
  std::size_t sendSize = 0;
  std::size_t logSize = 0;
};

// ---------------------------------------------------------------------------------------------
// The table.

enum class During {
  Nothing,
  CancelInPause,       // Run Update ("Cancel...") pressed during a 15 s pause, OK to the question
  CancelInStream,      // the same in the middle of one long send (a payload without pauses)
  RefusePiece,         // the MIDI service refuses one long message of the stream
  CloseInStream,       // the window closes mid-stream: StopUpdateSession
  PortDialogInStream,  // the port dialog is opened and OK'd mid-stream
  DeleteFileBeforeRun,
  FullDiskOnSave,  // the settings are saved on a full disk after the update
  // After the outcome: the device is plugged back in (and the port dialog OK'd on the same
  // ports), then Run Update again, which must update it as if nothing had happened.
  ReplugAndRunAgain,
  ReplugDialogAndRunAgain,
  // Another program on the same ports mid-stream: a second update is refused at its ports, and a
  // `detect` neither asks nor listens there.
  SecondUpdateInStream,
  DetectInStream,
  // Another program sends into the device's input: named before the warning, and the user keeps
  // the default (No) or agrees; or it connects while the warning is on screen.
  OtherSender,
  OtherSenderAgreed,
  OtherSenderJoinsAtWarning,
};

constexpr const char* kOtherSender = "Sequencer:clock out";

struct Row {
  const char* name;
  std::vector<const char*> faults;  // as varnet-sim and varnet-flash take them
  During during;
  std::vector<std::string> boxes;  // texts, in order
  SessionOutcome outcome;
  uint32_t abortedAfter;
  bool streamOpened;  // the stream header went out, so the end byte must follow it
  // A device that vanished, or a port that never reports a message sent, keeps the last message
  // with the MIDI service: the end byte cannot follow it. The ports are released all the same
  // (a reset takes the message back), so the next attempt starts clean.
  bool deviceGone = false;
  // The payload: 0 for the usual 3000 bytes with pauses, else this many bytes without any.
  std::size_t plain = 0;
  bool unverified = false;  // done, but the device echoed nothing (varnet-flash warns)
  // What the first difference looks like (--json first_difference.cause); null: not checked.
  const char* cause = nullptr;
  // Symbols without the usual payload's short period, so that an echo replaying earlier bytes
  // cannot as well be read as one that skipped ahead (as with any real firmware).
  bool varied = false;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
  return out << row.name;
}

std::vector<Row> Rows() {
  const std::string warning = WarningText();
  const std::string failed = kFailedText;
  const std::string aborted = kAbortedText;
  const std::string done = kDoneText;
  using enum SessionOutcome;
  // clang-format off
  return {
    {"clean", {}, During::Nothing, {warning, done}, Done, 0, true},
    {"no_reply", {"no-reply"}, During::Nothing, {kNoResponse}, Refused, 1, false},
    {"late_reply", {"late-reply"}, During::Nothing, {kNoResponse}, Refused, 1, false},
    {"wrong_id", {"wrong-id"}, During::Nothing, {kWrongDevice}, Refused, 0, false},
    {"corrupt_echo_header", {"corrupt-echo:3"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    {"corrupt_echo_body", {"corrupt-echo:400"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "changed"},
    {"extra_echo", {"extra-echo:200"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    // Nothing echoed is nothing that differs: the echo check compares what arrives.
    {"silent_echo", {"silent-echo"}, During::Nothing, {warning, done}, Done, 0, true, false, 0, true},
    // More blocks arrive between two echo checks than the two staging areas hold, so one is
    // replaced before it is checked: the lost echo counts as a difference and the update fails
    // safe (it is never reported done without its echo).
    {"odd_blocks", {"odd-blocks"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    {"unplug_in_handshake", {"unplug:4"}, During::Nothing, {kNoResponse}, Refused, 1, false, true},
    {"unplug_in_stream", {"unplug:300"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, true},
    // The device hears the request and answers, but the port never reports it sent: refused as
    // unanswered, since nothing more could go out on that port.
    {"stall_output", {"stall-output"}, During::Nothing, {kNoResponse}, Refused, 1, false, true},
    {"replug_after_unplug", {"unplug:300"}, During::ReplugAndRunAgain, {warning, failed, aborted}, Failed, 0, true, true},
    {"port_dialog_after_unplug", {"unplug:300"}, During::ReplugDialogAndRunAgain, {warning, failed, aborted}, Failed, 0, true, true},
    {"cancel_in_pause", {}, During::CancelInPause, {warning, kCancelQuestionText, aborted}, Aborted, 0, true},
    {"close_in_stream", {}, During::CloseInStream, {warning}, Stopped, 0, true},
    {"port_dialog_in_stream", {}, During::PortDialogInStream, {warning, done}, Done, 0, true},
    {"file_deleted_before_run", {}, During::DeleteFileBeforeRun, {warning, done}, Done, 0, true},
    {"full_disk_on_save", {}, During::FullDiskOnSave, {warning, done}, Done, 0, true},
    // Done means verified: a short firmware's whole echo arrives only after the end byte, and
    // the finish compares it, the end byte included.
    {"short_firmware_clean", {}, During::Nothing, {warning, done}, Done, 0, true, false, 300},
    {"short_firmware_corrupt", {"corrupt-echo:50"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 300},
    {"one_byte_firmware_corrupt", {"corrupt-echo:10"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 1},
    {"corrupt_echo_end_byte", {"corrupt-echo:111"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 300},
    // The header's F0 echoed as F1 turns the whole echo into input that is not System Exclusive.
    {"corrupt_echo_first_byte", {"corrupt-echo:0"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    {"echo_stops", {"echo-stops:500"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "stopped"},
    {"echo_stops_in_first_block", {"echo-stops:50"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    {"stray_message", {"stray-message:400"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "other_input"},
    {"active_sensing", {"active-sensing"}, During::Nothing, {warning, done}, Done, 0, true},
    {"cancel_in_long_send", {}, During::CancelInStream, {warning, kCancelQuestionText, aborted}, Aborted, 0, true, false, 30000},
    {"refused_piece", {}, During::RefusePiece, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "undelivered"},
    {"second_update_in_stream", {}, During::SecondUpdateInStream, {warning, done}, Done, 0, true},
    {"detect_in_stream", {}, During::DetectInStream, {warning, done}, Done, 0, true},
    {"other_sender", {}, During::OtherSender, {OtherSendersText({kOtherSender})}, Refused, 0, false},
    {"other_sender_agreed", {}, During::OtherSenderAgreed, {OtherSendersText({kOtherSender}), warning, done}, Done, 0, true},
    {"other_sender_joins_at_warning", {}, During::OtherSenderJoinsAtWarning, {warning, JoinedSendersText({kOtherSender})}, Refused, 0, false},
    // The link's own faults, each told apart by what the echo does after the difference.
    {"lose_one_byte", {"lose-echo:400"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "lost"},
    {"lose_32_bytes", {"lose-echo:400:32"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "lost"},
    {"lose_bytes_at_a_block_end", {"lose-echo:126:5"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "lost"},
    {"lose_bytes_short_firmware", {"lose-echo:60:3"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 300, false, "lost"},
    {"repeat_piece", {"repeat-piece:431"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "repeated", true},
    {"changed_bit_before_a_block_end", {"corrupt-echo:126"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "changed"},
    {"split_echo", {"split-echo"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true, false, 0, false, "split"},
  };
  // clang-format on
}

class FaultMatrix : public ::testing::TestWithParam<Row> {};

#ifndef _WIN32
// A settings save with the file size limit below the file's 100 bytes: every write past the
// limit fails as on a full disk.
int SaveOnFullDisk(const fs::path& dir, Settings settings, FileBuffer& buffer) {
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = old;
  tight.rlim_cur = 10;
  setrlimit(RLIMIT_FSIZE, &tight);
  const int saved = SaveSettings(dir.string(), buffer, settings);
  setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, previous);
  return saved;
}
#endif

TEST_P(FaultMatrix, Row) {
  const Row& row = GetParam();
#ifdef _WIN32
  if (row.during == During::SecondUpdateInStream || row.during == During::DetectInStream) {
    GTEST_SKIP() << "the ports' locks are files only where the MIDI service lets two programs "
                    "open one port; on Windows the service itself refuses the second open";
  }
#endif
  sim::ConverterConfig config;
  config.kind = sim::kKindDA;
  for (const char* fault : row.faults) {
    std::string error;
    ASSERT_TRUE(sim::ParseFault(fault, config.faults, error)) << error;
  }
  Rig rig(config);

  Bytes payload = Payload(3000);  // 1000 stream bytes: about 0.33 s on the wire
  if (row.plain != 0) {
    payload.resize(row.plain);
    for (std::size_t i = 0; i < row.plain; ++i) payload[i] = uint8_t((i * 7 + i / 5) % 4);
  }
  if (row.varied) {
    uint32_t state = 2024;
    for (uint8_t& b : payload) {
      state = state * 1103515245u + 12345u;
      b = uint8_t((b & 0xF0) | ((state >> 16) & 0x03));
    }
  }
  if (row.during == During::CancelInPause) payload[300] = 0x80;  // 15 s after symbol 300
  rig.select(kKindDA, payload);
  const Bytes fileBytes = FirmwareFile(kKindDA, payload);

  // The stream body starts at about 0.62 s (handshake 0.51 s, header and its wait 0.11 s); a
  // pause after symbol 300 starts near 0.66 s and lasts 15 s.
  Gate gate;
  const Clock::TimePoint midStream = rig.clock.now() + milliseconds(750);
  const Clock::TimePoint inPause = rig.clock.now() + milliseconds(8000);
  auto aborted = [&rig] { return rig.engine.aborted.load() != 0; };

  std::size_t wireAtStop = 0;
  switch (row.during) {
    case During::CancelInPause:
      gate.arm(rig.clock, inPause, aborted);
      break;
    case During::CloseInStream:
    case During::CancelInStream:
      gate.arm(rig.clock, midStream, aborted);
      break;
    case During::RefusePiece:
      // The identify request, the header, then 20 pieces of the stream go out; the next is
      // refused.
      rig.platform.failOn(VirtualOp::OutLongMsg, MIDIERR_NOTREADY, 1, 22);
      break;
    case During::PortDialogInStream:
      gate.arm(rig.clock, midStream, [] { return false; });
      break;
    case During::DeleteFileBeforeRun:
      ASSERT_TRUE(fs::remove(rig.firmwarePath));
      break;
    case During::SecondUpdateInStream:
    case During::DetectInStream:
      gate.arm(rig.clock, midStream, [] { return false; });
      break;
    case During::OtherSenderAgreed:
      rig.prompts.agree = true;
      [[fallthrough]];
    case During::OtherSender:
      rig.platform.setOtherSenders(0, {kOtherSender});
      break;
    case During::OtherSenderJoinsAtWarning:
      rig.prompts.onBox = [&rig](const BoxRequest& box) {
        if (box.caption == kWarning) rig.platform.setOtherSenders(0, {kOtherSender});
      };
      break;
    default:
      break;
  }

  OnRunUpdate(*rig.session);

  if (rig.session->phase == SessionPhase::Streaming) {
    switch (row.during) {
      case During::CancelInPause:
        ASSERT_TRUE(gate.waitReached());
        EXPECT_EQ(rig.engine.SessionState.load(), Running);
        wireAtStop = rig.platform.sentBytes(0).size();
        OnRunUpdate(*rig.session);  // the cancel question, answered OK
        EXPECT_FALSE(rig.view.runEnabled);
        break;
      case During::CancelInStream:
        ASSERT_TRUE(gate.waitReached());
        wireAtStop = rig.platform.sentBytes(0).size();
        OnRunUpdate(*rig.session);  // the cancel question, answered OK
        break;
      case During::CloseInStream:
        ASSERT_TRUE(gate.waitReached());
        wireAtStop = rig.platform.sentBytes(0).size();
        // The stop does not wait for the worker; the ticks below end the session once it has.
        StopUpdateSession(*rig.session);
        break;
      case During::PortDialogInStream: {
        ASSERT_TRUE(gate.waitReached());
        // The dialog lists the devices and names the chosen ones while the worker streams; its
        // OK is refused because the session holds the ports (sessionPortsOpen), so nothing is
        // closed or reopened under the stream.
        RefreshDeviceNames(rig.midi, 0, 0, nullptr);
        EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 1u);
        EXPECT_TRUE(rig.platform.isInputOpen(0));
        EXPECT_TRUE(rig.platform.isOutputOpen(0));
        gate.open.store(true);
        break;
      }
      case During::SecondUpdateInStream: {
        ASSERT_TRUE(gate.waitReached());
        const std::size_t wireBefore = rig.platform.sentBytes(0).size();
        // A second program on the same machine: its own lock holder, its own layer and session.
        FilePortLocks otherLocks("second update", (rig.dir / "locks").string());
        LockingMidiPlatform otherPorts(rig.platform, otherLocks);
        RecordingPrompts otherPrompts;
        MidiLayer otherMidi(otherPorts, otherPrompts);
        InitMidiPorts(otherMidi);
        FileBuffer otherFile;
        FirmwareImage otherImage;
        ASSERT_TRUE(ReadWholeFile(rig.firmwarePath, otherFile));
        ASSERT_EQ(ParseFirmwareImage(otherFile, otherImage), 0);
        Engine otherEngine(otherImage, otherMidi, rig.clock, otherPrompts);
        RecordingView otherView;
        UpdateSession other(otherEngine, otherView, rig.firmwarePath);
        OnRunUpdate(other);
        EXPECT_EQ(other.lastOutcome, SessionOutcome::Refused);
        ASSERT_FALSE(otherPrompts.boxes.empty());
        const std::string inUse =
            PortInUseText(std::string(kRigProgram) + ", pid " + std::to_string(::getpid()));
        for (const BoxRequest& box : otherPrompts.boxes) EXPECT_EQ(box.text, inUse);
        EXPECT_EQ(rig.platform.sentBytes(0).size(), wireBefore) << "the second update sent";
        gate.open.store(true);
        break;
      }
      case During::DetectInStream: {
        ASSERT_TRUE(gate.waitReached());
        const std::size_t wireBefore = rig.platform.sentBytes(0).size();
        FilePortLocks detectLocks("detect", (rig.dir / "locks").string());
        LockingMidiPlatform detectPorts(rig.platform, detectLocks);
        const uint8_t request[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        const PortProbe probe = ProbeMidiPorts(detectPorts, rig.clock, request, milliseconds(300));
        EXPECT_TRUE(probe.asked.empty());
        EXPECT_TRUE(probe.openedInputs.empty());
        ASSERT_EQ(probe.unusable.size(), 2u);
        for (const UnusablePort& port : probe.unusable) EXPECT_TRUE(port.inUse) << port.reason;
        EXPECT_EQ(rig.platform.sentBytes(0).size(), wireBefore) << "detect sent into the stream";
        gate.open.store(true);
        break;
      }
      default:
        break;
    }
    ASSERT_TRUE(rig.runToFinish());
  }

  // The boxes, in order.
  std::vector<std::string> shown;
  for (const BoxRequest& box : rig.prompts.boxes) shown.push_back(box.text);
  EXPECT_EQ(shown, row.boxes);
  EXPECT_EQ(rig.session->lastOutcome, row.outcome);

  // Settled: Idle, `aborted` as documented, window restored.
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), row.abortedAfter);
  EXPECT_EQ(rig.session->phase, SessionPhase::Idle);
  EXPECT_FALSE(rig.session->inProgress.load());
  EXPECT_FALSE(rig.view.timerRunning);
  EXPECT_TRUE(rig.view.runEnabled);
  EXPECT_TRUE(rig.view.selectEnabled);
  EXPECT_EQ(rig.view.caption, "Start Update");

  // The end byte: the last byte that left the port closes the System Exclusive message, and a
  // device that is still there saw it.
  const Bytes wire = rig.platform.sentBytes(0);
  ASSERT_FALSE(wire.empty());
  const sim::StreamDecode decode = rig.converter.decoded();
  EXPECT_EQ(decode.headerSeen, row.streamOpened);
  if (!row.deviceGone || !row.streamOpened) {
    EXPECT_EQ(wire.back(), 0xF7);
  }
  if (row.streamOpened && rig.converter.present()) {
    EXPECT_TRUE(decode.ended);
  }
  if (row.outcome == SessionOutcome::Done) {
    EXPECT_EQ(sim::CompareStream(sim::ExpectStream(payload), decode), "");
    // Done means every byte sent, the end byte included, came back and matched, or nothing
    // came back at all.
    EXPECT_EQ(rig.engine.echoMissing, row.unverified);
    EXPECT_EQ(rig.image.echoVerifiedCount, row.unverified ? 0u : rig.image.sentLogCount);
  }
  if (row.outcome == SessionOutcome::Failed && !row.deviceGone &&
      row.during != During::RefusePiece) {
    EXPECT_NE(rig.engine.firstDifference.kind, EchoDifference::Kind::None);
  }
  if (row.cause != nullptr) {
    EXPECT_STREQ(CauseName(rig.engine.firstDifference.cause), row.cause)
        << DescribeDifference(rig.engine.firstDifference);
  }
  if (wireAtStop != 0) {
    // After a cancel or close only the tail byte and the end byte follow.
    // After a cancel or close: the piece in flight, the rest of the run under way (the encoder
    // looks at the state between runs), its tail byte and the end byte.
    EXPECT_LE(wire.size(), wireAtStop + 32 + 30 + 2) << "the stream went on after the stop";
    // Within one send: the piece in flight and at most one more, the tail byte and the end byte.
    EXPECT_LE(wire.size(), wireAtStop + 64 + 2) << "the send went on after the stop";
  }

  // Ports closed, also those a vanished device held.
  EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 0u);
  EXPECT_EQ(rig.midi.ports.inputOpen.load(), 0u);
  EXPECT_EQ(rig.midi.ports.outputOpen.load(), 0u);
  EXPECT_FALSE(rig.platform.isInputOpen(0));
  EXPECT_FALSE(rig.platform.isOutputOpen(0));

  // The loaded firmware is intact for the next attempt.
  EXPECT_EQ(rig.image.payloadLength, payload.size());
  EXPECT_EQ(rig.image.PayloadBuffer, payload);
  EXPECT_EQ(rig.image.converterKind, kKindDA);
  EXPECT_EQ(rig.image.SendBuffer.size(), rig.sendSize);
  EXPECT_EQ(rig.image.SentLog.size(), rig.logSize);
  EXPECT_EQ(rig.image.bytesSent.load(), 0u);

  if (row.during == During::DeleteFileBeforeRun) {
    // The update ran from the loaded copy; the file is still gone and was not recreated.
    EXPECT_FALSE(fs::exists(rig.firmwarePath));
  }
  if (row.during == During::FullDiskOnSave) {
#ifdef _WIN32
    GTEST_SKIP() << "a full disk is made with a file size limit, which Windows does not have";
#else
    int32_t in = 3, out = 4;
    uint8_t type = 1;
    FileBuffer buffer;
    ASSERT_EQ(SaveSettings(rig.dir.string(), buffer, {in, out, type}), 1);
    in = 7;
    out = 8;
    type = 0;
    EXPECT_EQ(SaveOnFullDisk(rig.dir, {in, out, type}, buffer), 0);
    // The old file stands whole, and no partial file is left beside it.
    int32_t in2 = 0, out2 = 0;
    uint8_t type2 = 0xFF;
    FileBuffer reread;
    EXPECT_EQ(LoadSettings(rig.dir.string(), reread, {in2, out2, type2}), 1);
    EXPECT_EQ(in2, 3);
    EXPECT_EQ(out2, 4);
    EXPECT_EQ(type2, 1);
    EXPECT_EQ(reread.bytesRead, kSettingsFileSize);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(rig.dir)) ++files;
    EXPECT_EQ(files, 3u);  // update.jtg, ini.upd and the folder of the port locks
    // A second update after the failed save runs as before.
    rig.prompts.boxes.clear();
    OnRunUpdate(*rig.session);
    ASSERT_TRUE(rig.runToFinish());
    EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
#endif
  }
  if (row.during == During::ReplugAndRunAgain || row.during == During::ReplugDialogAndRunAgain) {
    rig.converter.setFaults({});
    rig.converter.restart();
    if (row.during == During::ReplugDialogAndRunAgain) {
      ReopenMidiPorts(rig.midi, 0, 0, nullptr);
      EXPECT_TRUE(rig.platform.isInputOpen(0));
      EXPECT_TRUE(rig.platform.isOutputOpen(0));
    }
    rig.prompts.boxes.clear();
    OnRunUpdate(*rig.session);
    ASSERT_TRUE(rig.runToFinish());
    ASSERT_EQ(rig.prompts.boxes.size(), 2u);
    EXPECT_EQ(rig.prompts.boxes[1].text, std::string(kDoneText));
    EXPECT_EQ(sim::CompareStream(sim::ExpectStream(payload), rig.converter.decoded()), "");
    EXPECT_FALSE(rig.platform.isInputOpen(0));
    EXPECT_FALSE(rig.platform.isOutputOpen(0));
  }
  (void)fileBytes;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// The unit the user chose: several simulated converters of one long name prefix behind the ports
// of one platform, the chosen one kept in ini.upd, the window started with another unit (or none
// of that identity) in its place. The update reaches the chosen unit or nobody, and closing the
// window writes back the file as it was.

struct StoredPortRow {
  const char* name;
  std::vector<std::string> units;  // port names, in device order; one converter behind each
  std::string stored;              // the full name kept in the file (also shown)
  bool shortened = false;          // kept as an earlier version did: its shown name only
  int updated = -1;                // the unit that must get the stream, or -1 for none
  bool told = false;               // the window says the kept port was not found
};

std::ostream& operator<<(std::ostream& out, const StoredPortRow& row) {
  return out << row.name;
}

class StoredPortMatrix : public ::testing::TestWithParam<StoredPortRow> {};

TEST_P(StoredPortMatrix, Row) {
  const StoredPortRow& row = GetParam();
  VirtualClock clock;
  VirtualPlatformConfig ports;
  ports.inputs = ports.outputs = row.units;
  VirtualMidiPlatform platform(clock, ports);
  std::vector<std::unique_ptr<sim::SimulatedConverter>> units;
  sim::ConverterConfig config;
  config.kind = sim::kKindDA;
  for (uint32_t i = 0; i < row.units.size(); ++i) {
    units.push_back(std::make_unique<sim::SimulatedConverter>(config));
    platform.connectConverter(*units.back(), i, i);
  }
  RecordingPrompts prompts;
  MidiLayer midi{platform, prompts};
  FirmwareImage image;
  FileBuffer fileBuffer;
  Engine engine{image, midi, clock, prompts};
  ShellState shell;
  shell.startDirectory = (fs::temp_directory_path() /
                          ("varnet-stored-port-" + std::to_string(::getpid()) + "-" + row.name))
                             .string();
  fs::create_directories(shell.startDirectory);
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{shell.startDirectory};

  // The file as the window left it when the user chose the unit: at index 0 then.
  {
    int32_t in = 0, out = 0;
    uint8_t type = 1;
    StoredPort kept = StorePort({row.stored, ""}, row.stored);
    if (row.shortened) kept = {StoredPort::Kind::ShownName, 0, 0, "converter-rack-left-un..:io"};
    StoredPorts records{kept, kept};
    ASSERT_EQ(SaveSettings(shell.startDirectory, fileBuffer, {in, out, type, &records}), 1);
  }
  // Read and closed at once: on Windows a file held open cannot be replaced.
  const auto readSettings = [&shell] {
    std::ifstream in(fs::path(shell.startDirectory) / kSettingsFileName, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
  };
  const Bytes fileBefore = readSettings();

  StartWindowRecords(engine, fileBuffer, shell, nullptr);
  ASSERT_EQ(prompts.boxes.size(), row.told ? 1u : 0u)
      << (prompts.boxes.empty() ? "" : prompts.boxes[0].caption + ": " + prompts.boxes[0].text);
  if (row.told && !prompts.boxes.empty()) {
    EXPECT_NE(prompts.boxes[0].text.find("MIDI I/O"), std::string::npos) << prompts.boxes[0].text;
    // The dialog preselects nothing rather than another unit.
    EXPECT_EQ(midi.ports.inputDeviceIndex, -1);
    EXPECT_EQ(midi.ports.outputDeviceIndex, -1);
  }

  const Bytes payload = Payload(600);
  const Bytes file = FirmwareFile(kKindDA, payload);
  const std::string firmwarePath = (fs::path(shell.startDirectory) / "update.jtg").string();
  std::ofstream(firmwarePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  ASSERT_TRUE(ReadWholeFile(firmwarePath, fileBuffer));
  ASSERT_EQ(ParseFirmwareImage(fileBuffer, image), 0);
  RecordingView view;
  {
    UpdateSession session(engine, view, firmwarePath);
    OnRunUpdate(session);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (session.phase == SessionPhase::Streaming && std::chrono::steady_clock::now() < limit) {
      if (view.timerRunning) SessionTimerProc(session);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(session.lastOutcome == SessionOutcome::Done, row.updated >= 0);
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    const bool chosen = static_cast<int>(i) == row.updated;
    EXPECT_EQ(units[i]->decoded().headerSeen, chosen) << "unit " << i;
    EXPECT_EQ(platform.sentBytes(static_cast<uint32_t>(i)).empty(), !chosen) << "unit " << i;
  }

  // Closing without choosing: the kept ports are written back as they were read.
  SaveWindowSettings(engine, fileBuffer, shell);
  ReleaseWindowRecords(engine, fileBuffer);
  Bytes fileAfter = readSettings();
  if (row.updated >= 0 && !row.told) {
    // Found at its new index: the index follows it, the record stays.
    ASSERT_EQ(fileAfter.size(), fileBefore.size());
    EXPECT_EQ(fileAfter[6], row.updated);
    fileAfter[6] = fileAfter[7] = 0;
  }
  EXPECT_EQ(fileAfter, fileBefore);
}

std::vector<StoredPortRow> StoredPortRows() {
  const std::string unit = "converter-rack-left-unit-000";
  return {
      {"chosen_unit_after_another",
       {unit + "0:io", unit + "1:io", unit + "2:io"},
       unit + "1:io",
       false,
       1,
       false},
      {"chosen_unit_gone", {unit + "0:io", unit + "2:io"}, unit + "1:io", false, -1, true},
      {"chosen_unit_twice", {unit + "1:io", unit + "1:io"}, unit + "1:io", false, -1, true},
      {"earlier_shortened_name", {unit + "0:io", unit + "1:io"}, "", true, -1, true},
      {"earlier_shortened_name_one_fits", {unit + "0:io", "Other:io"}, "", true, -1, true},
  };
}

INSTANTIATE_TEST_SUITE_P(StoredPorts, StoredPortMatrix, ::testing::ValuesIn(StoredPortRows()),
                         [](const ::testing::TestParamInfo<StoredPortRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace varnet
