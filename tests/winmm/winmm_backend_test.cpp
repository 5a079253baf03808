// The winmm adapter against the stand-in winmm.dll (beside this test; loaded with
// WINEDLLOVERRIDES=winmm=n,b): real service calls, the real CALLBACK_FUNCTION path on the
// stand-in's thread, and the simulated converter answering on the far side.
//
// midi/platform.h first: from <windows.h> on, the result and message codes are the service's
// macros (same names, same values).
#include "midi/platform.h"
// clang-format off
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/backends/winmm/winmm_platform.h"
#include "midi/midi_ports.h"
#include "midi/system_platform.h"

namespace varnet {
namespace {

using namespace std::chrono_literals;

constexpr std::array<uint8_t, 8> kIdentifyRequest = {0xF0, 0x00, 0x20, 0x0D,
                                                     0x32, 0x7F, 0x10, 0xF7};
constexpr std::array<uint8_t, 10> kStreamHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32,
                                                   0x7F, 0x08, 0x15, 0x47, 0x11};

// The stand-in's test controls.
struct StandIn {
  void(WINAPI* setKind)(BYTE) = nullptr;
  void(WINAPI* stallOutput)(BOOL) = nullptr;
  DWORD(WINAPI* received)(BYTE*, DWORD) = nullptr;
  void(WINAPI* restart)() = nullptr;
  DWORD(WINAPI* droppedBytes)() = nullptr;
  void(WINAPI* corruptEcho)(DWORD) = nullptr;

  bool load() {
    HMODULE module = GetModuleHandleA("winmm.dll");
    if (module == nullptr) return false;
    auto find = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
          reinterpret_cast<void*>(GetProcAddress(module, name)));
      return fn != nullptr;
    };
    return find(setKind, "VarnetStandinSetKind") && find(stallOutput, "VarnetStandinStallOutput") &&
           find(received, "VarnetStandinReceived") && find(restart, "VarnetStandinRestart") &&
           find(droppedBytes, "VarnetStandinDroppedBytes") &&
           find(corruptEcho, "VarnetStandinCorruptEcho");
  }
  std::vector<uint8_t> receivedBytes() {
    std::vector<uint8_t> bytes(received(nullptr, 0));
    received(bytes.data(), static_cast<DWORD>(bytes.size()));
    return bytes;
  }
};

// What came back through a callback.
struct Returned {
  MidiHandle handle = 0;
  uint32_t message = 0;
  MidiHeader* header = nullptr;
  std::vector<uint8_t> bytes;  // the recorded bytes of an input buffer
  uint32_t flags = 0;
  DWORD thread = 0;
  uintptr_t param1 = 0;  // the packed message of MIM_DATA
};

struct Recorder {
  MidiPlatform* platform = nullptr;
  std::atomic<bool> requeue{false};
  std::mutex mutex;
  std::vector<Returned> returned;

  std::vector<Returned> with(uint32_t message) {
    std::lock_guard lock(mutex);
    std::vector<Returned> out;
    for (const auto& r : returned) {
      if (r.message == message) out.push_back(r);
    }
    return out;
  }
  std::size_t count(uint32_t message) { return with(message).size(); }
  std::vector<uint8_t> capturedInput() {
    std::vector<uint8_t> all;
    for (const auto& r : with(MIM_LONGDATA)) all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    return all;
  }
};

void RecordingCallback(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t) {
  auto& recorder = *reinterpret_cast<Recorder*>(instance);
  Returned r{handle, message, nullptr, {}, 0, GetCurrentThreadId(), param1};
  if (message == MIM_LONGDATA || message == MOM_DONE) {
    r.header = reinterpret_cast<MidiHeader*>(param1);
    r.flags = r.header->flags;
    if (message == MIM_LONGDATA)
      r.bytes.assign(r.header->data, r.header->data + r.header->bytesRecorded);
  }
  {
    std::lock_guard lock(recorder.mutex);
    recorder.returned.push_back(r);
  }
  if (message == MIM_LONGDATA && recorder.requeue.load()) {
    recorder.platform->inAddBuffer(handle, r.header);
  }
}

bool WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout = 3s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class WinmmBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(standIn.load())
        << "the stand-in winmm.dll was not loaded: it must lie beside the test and Wine must be "
           "told to prefer it (WINEDLLOVERRIDES=winmm=n,b)";
    standIn.restart();
    standIn.setKind(0xDA);
    standIn.stallOutput(FALSE);
    platform = CreateWinmmMidiPlatform();
    recorder.platform = platform.get();
  }

  void openBoth() {
    ASSERT_EQ(platform->inOpen(&in, 0, RecordingCallback, Instance()), MMSYSERR_NOERROR);
    ASSERT_EQ(platform->outOpen(&out, 0, RecordingCallback, Instance()), MMSYSERR_NOERROR);
    ASSERT_NE(in, 0u);
    ASSERT_NE(out, 0u);
  }

  // Two 128-byte input buffers queued, capture started.
  void startCapture() {
    for (auto* h : {&inA, &inB}) {
      ASSERT_EQ(platform->inPrepareHeader(in, h), MMSYSERR_NOERROR);
      ASSERT_NE(h->flags & MHDR_PREPARED, 0u);
      ASSERT_EQ(platform->inAddBuffer(in, h), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(platform->inStart(in), MMSYSERR_NOERROR);
  }

  // One long message from the 32-byte area, prepared anew each time over the same header (as the
  // layer does), and waited for.
  void sendAndWait(const uint8_t* bytes, std::size_t n) {
    ASSERT_LE(n, outData.size());
    const std::size_t doneBefore = recorder.count(MOM_DONE);
    std::memcpy(outData.data(), bytes, n);
    outHeader = MidiHeader{outData.data(), static_cast<uint32_t>(n), 0, 0};
    ASSERT_EQ(platform->outPrepareHeader(out, &outHeader), MMSYSERR_NOERROR);
    ASSERT_EQ(platform->outLongMsg(out, &outHeader), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return recorder.count(MOM_DONE) > doneBefore; }))
        << "no MOM_DONE for a " << n << "-byte message";
  }

  void closeAll() {
    if (in != 0) {
      recorder.requeue = false;
      EXPECT_EQ(platform->inReset(in), MMSYSERR_NOERROR);
      EXPECT_EQ(platform->inUnprepareHeader(in, &inA), MMSYSERR_NOERROR);
      EXPECT_EQ(platform->inUnprepareHeader(in, &inB), MMSYSERR_NOERROR);
      EXPECT_EQ(platform->inClose(in), MMSYSERR_NOERROR);
      in = 0;
    }
    if (out != 0) {
      EXPECT_EQ(platform->outUnprepareHeader(out, &outHeader), MMSYSERR_NOERROR);
      EXPECT_EQ(platform->outClose(out), MMSYSERR_NOERROR);
      out = 0;
    }
  }

  uintptr_t Instance() { return reinterpret_cast<uintptr_t>(&recorder); }

  StandIn standIn;
  Recorder recorder;
  std::unique_ptr<MidiPlatform> platform;
  MidiHandle in = 0;
  MidiHandle out = 0;
  std::array<uint8_t, 128> dataA{};
  std::array<uint8_t, 128> dataB{};
  MidiHeader inA{dataA.data(), 128, 0, 0};
  MidiHeader inB{dataB.data(), 128, 0, 0};
  std::array<uint8_t, 32> outData{};
  MidiHeader outHeader{};
};

TEST_F(WinmmBackend, ListsTheDevicesAndRefusesNumbersThatNameNone) {
  EXPECT_EQ(platform->inGetNumDevs(), 1u);
  EXPECT_EQ(platform->outGetNumDevs(), 1u);

  char name[kMidiNameLength];
  std::memset(name, 'x', sizeof name);
  ASSERT_EQ(platform->inGetDevCaps(0, name), MMSYSERR_NOERROR);
  EXPECT_STREQ(name, "Varnet Stand-in Converter MIDI1");  // 31 characters, whole
  ASSERT_EQ(platform->outGetDevCaps(0, name), MMSYSERR_NOERROR);
  EXPECT_STREQ(name, "Varnet Stand-in Out");
  for (std::size_t i = std::strlen(name); i < sizeof name; ++i) EXPECT_EQ(name[i], '\0');

  std::strcpy(name, "unchanged");
  EXPECT_EQ(platform->inGetDevCaps(1, name), MMSYSERR_BADDEVICEID);
  EXPECT_STREQ(name, "unchanged");
  // -1 is what the layer holds when nothing was chosen; the service would take it for the MIDI
  // mapper and open the system synthesizer.
  EXPECT_EQ(platform->outGetDevCaps(0xFFFFFFFFu, name), MMSYSERR_BADDEVICEID);
  MidiHandle handle = 0;
  EXPECT_EQ(platform->outOpen(&handle, 0xFFFFFFFFu, RecordingCallback, Instance()),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(platform->inOpen(&handle, 0xFFFFFFFFu, RecordingCallback, Instance()),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(platform->inOpen(&handle, 1, RecordingCallback, Instance()), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(handle, 0u);

  EXPECT_EQ(platform->inGetErrorText(MMSYSERR_BADDEVICEID),
            "A device ID has been used that is out of range for your system.");
  // A code the service has no text for still gets one.
  EXPECT_EQ(platform->outGetErrorText(12345), StandardMidiErrorText(12345));
  EXPECT_FALSE(platform->outGetErrorText(12345).empty());
}

TEST_F(WinmmBackend, IdentifyReplyArrivesThroughTheCallbackOnTheServiceThread) {
  openBoth();
  startCapture();
  sendAndWait(kIdentifyRequest.data(), kIdentifyRequest.size());

  const auto done = recorder.with(MOM_DONE);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].header, &outHeader);  // the layer's header, not the adapter's MIDIHDR
  EXPECT_EQ(done[0].handle, out);
  EXPECT_NE(done[0].flags & MHDR_DONE, 0u);
  EXPECT_EQ(done[0].flags & MHDR_INQUEUE, 0u);
  EXPECT_NE(done[0].thread, GetCurrentThreadId());

  ASSERT_TRUE(WaitUntil([&] { return recorder.count(MIM_LONGDATA) >= 1; }));
  const auto reply = recorder.with(MIM_LONGDATA)[0];
  EXPECT_EQ(reply.header, &inA);  // buffers come back in queue order
  EXPECT_EQ(reply.handle, in);
  EXPECT_NE(reply.thread, GetCurrentThreadId());
  ASSERT_GT(reply.bytes.size(), 10u);
  EXPECT_EQ(reply.header->bytesRecorded, reply.bytes.size());
  EXPECT_EQ(reply.bytes.front(), 0xF0);
  EXPECT_EQ(reply.bytes.back(), 0xF7);
  EXPECT_EQ(reply.bytes[4], 0x32);
  EXPECT_EQ(reply.bytes[6], 0x30);
  EXPECT_EQ(reply.bytes[10] & 1, 1);  // DA
  EXPECT_NE(reply.flags & MHDR_DONE, 0u);
  EXPECT_EQ(reply.flags & MHDR_INQUEUE, 0u);

  // The device got exactly what was sent.
  EXPECT_EQ(standIn.receivedBytes(),
            std::vector<uint8_t>(kIdentifyRequest.begin(), kIdentifyRequest.end()));

  // Reset hands back the buffer that is still queued, empty.
  EXPECT_EQ(platform->inReset(in), MMSYSERR_NOERROR);
  const auto after = recorder.with(MIM_LONGDATA);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[1].header, &inB);
  EXPECT_TRUE(after[1].bytes.empty());
  closeAll();

  // An AD converter says so in the same byte.
  standIn.setKind(0xAD);
  recorder.returned.clear();
  openBoth();
  startCapture();
  sendAndWait(kIdentifyRequest.data(), kIdentifyRequest.size());
  ASSERT_TRUE(WaitUntil([&] { return recorder.count(MIM_LONGDATA) >= 1; }));
  const auto adReply = recorder.with(MIM_LONGDATA)[0];
  ASSERT_GT(adReply.bytes.size(), 10u);
  EXPECT_EQ(adReply.bytes[10] & 1, 0);
  closeAll();
}

// The echo of a stream outgrows the two buffers many times over: only buffers given back from
// the callback keep it whole. The output header is prepared again over each chunk without an
// unprepare between, as the layer does.
TEST_F(WinmmBackend, EchoOfAStreamSpansBuffersRequeuedFromTheCallback) {
  openBoth();
  recorder.requeue = true;
  startCapture();

  std::vector<uint8_t> sent(kStreamHeader.begin(), kStreamHeader.end());
  for (int i = 0; i < 600; ++i) sent.push_back(static_cast<uint8_t>((i * 7) & 0x3F));
  sent.push_back(0xF7);
  for (std::size_t at = 0; at < sent.size(); at += 32) {
    sendAndWait(sent.data() + at, std::min<std::size_t>(32, sent.size() - at));
  }
  ASSERT_TRUE(WaitUntil([&] { return recorder.capturedInput().size() >= sent.size(); }))
      << "echoed " << recorder.capturedInput().size() << " of " << sent.size() << " bytes";
  EXPECT_EQ(recorder.capturedInput(), sent);
  EXPECT_EQ(standIn.droppedBytes(), 0u);
  EXPECT_EQ(recorder.count(MOM_DONE), (sent.size() + 31) / 32);

  // Full buffers alternate A, B, A, ...; every one but the last is full.
  const auto blocks = recorder.with(MIM_LONGDATA);
  ASSERT_EQ(blocks.size(), (sent.size() + 127) / 128);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].header, i % 2 == 0 ? &inA : &inB) << "block " << i;
    if (i + 1 < blocks.size()) {
      EXPECT_EQ(blocks[i].bytes.size(), 128u) << "block " << i;
    }
  }
  closeAll();
}

// Input that is not System Exclusive reaches the layer as MIM_DATA, as the service reports it: a
// header whose F0 comes back as F1 is a time code message, and the echo check must see it.
TEST_F(WinmmBackend, InputOutsideSystemExclusiveArrivesAsShortMessages) {
  openBoth();
  recorder.requeue = true;
  startCapture();
  standIn.corruptEcho(0);
  sendAndWait(kStreamHeader.data(), kStreamHeader.size());
  ASSERT_TRUE(WaitUntil([&] { return recorder.count(MIM_DATA) >= 1; }));
  EXPECT_EQ(recorder.with(MIM_DATA)[0].param1, 0x00F1u);
  EXPECT_EQ(recorder.count(MIM_LONGDATA), 0u);
  standIn.corruptEcho(MAXDWORD);
  standIn.restart();
  closeAll();
}

TEST_F(WinmmBackend, QueuedBuffersBlockCloseAndUnprepareUntilResetReturnsThem) {
  openBoth();
  startCapture();

  EXPECT_EQ(platform->inClose(in), MIDIERR_STILLPLAYING);
  EXPECT_EQ(platform->inUnprepareHeader(in, &inA), MIDIERR_STILLPLAYING);
  EXPECT_EQ(platform->inAddBuffer(in, &inA), MIDIERR_STILLPLAYING);

  // The layer zero-fills and prepares its headers again at a session start, queued or not. Over
  // the same buffer that must leave the queued buffer alone; over another it must be refused.
  inA = MidiHeader{dataA.data(), 128, 0, 0};
  EXPECT_EQ(platform->inPrepareHeader(in, &inA), MMSYSERR_NOERROR);
  std::array<uint8_t, 128> other{};
  MidiHeader moved{other.data(), 128, 0, 0};
  inB.data = moved.data;
  EXPECT_EQ(platform->inPrepareHeader(in, &inB), MIDIERR_STILLPLAYING);
  inB.data = dataB.data();

  // Reset returns both, in order, empty, before it returns itself.
  EXPECT_EQ(platform->inReset(in), MMSYSERR_NOERROR);
  const auto back = recorder.with(MIM_LONGDATA);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].header, &inA);
  EXPECT_EQ(back[1].header, &inB);
  EXPECT_EQ(back[0].thread, GetCurrentThreadId());  // a reset calls back on the caller's thread
  for (const auto& r : back) {
    EXPECT_TRUE(r.bytes.empty());
    EXPECT_EQ(r.header->bytesRecorded, 0u);
    EXPECT_NE(r.flags & MHDR_DONE, 0u);
  }

  // A header never prepared cannot be queued; unpreparing it does nothing.
  MidiHeader stray{other.data(), 128, 0, 0};
  EXPECT_EQ(platform->inAddBuffer(in, &stray), MIDIERR_UNPREPARED);
  EXPECT_EQ(platform->outLongMsg(out, &stray), MIDIERR_UNPREPARED);
  EXPECT_EQ(platform->inUnprepareHeader(in, &stray), MMSYSERR_NOERROR);

  const MidiHandle oldIn = in;
  closeAll();
  // A closed port's handle is dead, and ports can be opened again.
  EXPECT_EQ(platform->inStart(oldIn), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(platform->inPrepareHeader(oldIn, &inA), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(platform->inStart(0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(platform->outReset(in), MMSYSERR_INVALHANDLE);  // an input handle is no output
  openBoth();
  closeAll();
}

TEST_F(WinmmBackend, OutputResetReturnsAMessageThatNeverCompleted) {
  openBoth();
  standIn.stallOutput(TRUE);
  std::memcpy(outData.data(), kIdentifyRequest.data(), kIdentifyRequest.size());
  outHeader = MidiHeader{outData.data(), 8, 0, 0};
  ASSERT_EQ(platform->outPrepareHeader(out, &outHeader), MMSYSERR_NOERROR);
  ASSERT_EQ(platform->outLongMsg(out, &outHeader), MMSYSERR_NOERROR);
  std::this_thread::sleep_for(50ms);  // many times the message's 2.6 ms on the wire
  EXPECT_EQ(recorder.count(MOM_DONE), 0u);

  // While the service holds the message, its area may not be prepared over new contents, sent
  // again, unprepared, or the port closed.
  outHeader = MidiHeader{outData.data(), 1, 0, 0};
  EXPECT_EQ(platform->outPrepareHeader(out, &outHeader), MIDIERR_STILLPLAYING);
  EXPECT_EQ(platform->outLongMsg(out, &outHeader), MIDIERR_STILLPLAYING);
  EXPECT_EQ(platform->outUnprepareHeader(out, &outHeader), MIDIERR_STILLPLAYING);
  EXPECT_EQ(platform->outClose(out), MIDIERR_STILLPLAYING);

  EXPECT_EQ(platform->outReset(out), MMSYSERR_NOERROR);
  const auto done = recorder.with(MOM_DONE);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].header, &outHeader);
  EXPECT_NE(done[0].flags & MHDR_DONE, 0u);
  EXPECT_EQ(platform->outClose(out), MMSYSERR_NOERROR);
  out = 0;
  closeAll();
}

// The port layer itself on the winmm platform: the identify exchange as a session start does it.
class NoPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override {
    boxes.push_back(request.text);
    return BoxAnswer::Ok;
  }
  std::vector<std::string> boxes;
};

TEST_F(WinmmBackend, PortLayerCapturesTheReplyOnTheSystemPlatform) {
  NoPrompts prompts;
  std::unique_ptr<MidiPlatform> system = CreateSystemMidiPlatform();
  MidiLayer midi(*system, prompts);
  InitMidiPorts(midi);
  EXPECT_EQ(midi.ports.inputDeviceCount, 1);
  RefreshDeviceNames(midi, 0, 0, nullptr);
  EXPECT_EQ(DeviceName(midi.ports.inputDeviceName), "Varnet Stand-in Converter MIDI1");

  ASSERT_EQ(OpenMidiInput(midi), 0);
  midi.ports.inputOpen = 1;
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  midi.ports.outputOpen = 1;
  SetInputRequeue(midi, 1);
  ASSERT_EQ(PrepareInputBuffers(midi), 0);
  ASSERT_EQ(StartMidiInput(midi), 0);
  QueueInputBuffers(midi);

  std::memcpy(midi.ports.outputData.data(), kIdentifyRequest.data(), kIdentifyRequest.size());
  midi.ports.outputLength = kIdentifyRequest.size();
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  ASSERT_EQ(SendOutputMessage(midi), 0);
  ASSERT_TRUE(WaitUntil([&] { return midi.outputDone.load() == 1; }));
  ASSERT_TRUE(WaitUntil([&] {
    FetchCapturedInput(midi);
    return midi.ports.frameALength > 8;
  }));
  EXPECT_EQ(midi.ports.frameA[4], 0x32);
  EXPECT_EQ(midi.ports.frameA[6], 0x30);

  // The session end's order: output first, then input.
  EXPECT_EQ(UnprepareOutputMessage(midi), 0);
  EXPECT_EQ(ResetMidiOutput(midi), 0);
  EXPECT_EQ(CloseMidiOutput(midi), 0u);
  SetInputRequeue(midi, 0);
  StopMidiInput(midi);
  EXPECT_EQ(UnprepareInputBuffers(midi), 0);
  EXPECT_EQ(CloseMidiInput(midi), 0);
  EXPECT_TRUE(prompts.boxes.empty()) << prompts.boxes.front();
}

}  // namespace
}  // namespace varnet
