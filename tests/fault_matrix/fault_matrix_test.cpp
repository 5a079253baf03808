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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/session.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/midi_ports.h"
#include "settings/settings.h"
#include "sim/converter.h"

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

class RecordingPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override {
    boxes.push_back(request);
    if (request.buttons == BoxButtons::YesNo) return BoxAnswer::Yes;
    return BoxAnswer::Ok;
  }
  std::vector<BoxRequest> boxes;
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

struct Rig {
  explicit Rig(const sim::ConverterConfig& config) : converter(config), platform(clock) {
    platform.connectConverter(converter);
    InitMidiPorts(midi);
    dir = fs::temp_directory_path() /
          ("varnet-fault-matrix-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
    fs::create_directories(dir);
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
  VirtualClock clock;
  sim::SimulatedConverter converter;
  VirtualMidiPlatform platform;
  RecordingPrompts prompts;
  MidiLayer midi{platform, prompts};
  FileBuffer fileBuffer;
  FirmwareImage image;
  Engine engine{image, midi, clock, prompts};
  RecordingView view;
  std::string firmwarePath;
  std::unique_ptr<UpdateSession> session =
      std::make_unique<UpdateSession>(engine, view, firmwarePath);
  fs::path dir;
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
};

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
    {"corrupt_echo_body", {"corrupt-echo:400"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
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
    {"echo_stops", {"echo-stops:500"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    {"echo_stops_in_first_block", {"echo-stops:50"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    {"stray_message", {"stray-message:400"}, During::Nothing, {warning, failed, aborted}, Failed, 0, true},
    {"active_sensing", {"active-sensing"}, During::Nothing, {warning, done}, Done, 0, true},
    {"cancel_in_long_send", {}, During::CancelInStream, {warning, kCancelQuestionText, aborted}, Aborted, 0, true, false, 30000},
    {"refused_piece", {}, During::RefusePiece, {warning, failed, aborted}, Failed, 0, true},
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
    EXPECT_EQ(files, 2u);  // update.jtg and ini.upd
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

}  // namespace
}  // namespace varnet
