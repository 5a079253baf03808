// A stand-in winmm.dll: one MIDI input and one MIDI output device with the simulated converter on
// the far side of the cable. Loaded instead of the system's winmm (WINEDLLOVERRIDES=winmm=n,b and
// the DLL beside the test), it lets the winmm adapter run its real calls and the real
// CALLBACK_FUNCTION path: completions and input come from the stand-in's own thread, resets
// return buffers on the caller's thread, as drivers do.
//
// It keeps the service's rules that the adapter relies on: headers must be prepared before they
// are queued, queued headers cannot be unprepared, a port with queued buffers cannot be closed,
// queued input buffers are filled in order with System Exclusive bytes only and each comes back
// when full or when a message ends, a reset returns every queued buffer.
//
// A DLL that stands in for a system service is process-wide state by nature: one Device, created
// on first use and never destroyed (its thread is joined when the last port closes).
#define _WINMM_  // define the service's functions here instead of importing them
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/converter.h"

namespace {

using varnet::sim::Duration;
using varnet::sim::TimePoint;
using DriverProc = void(CALLBACK*)(HANDLE, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// 31 characters: the longest name the capability record holds with its terminator.
constexpr char kInputName[] = "Varnet Stand-in Converter MIDI1";
constexpr char kOutputName[] = "Varnet Stand-in Out";
// MIDI 1.0 wire speed: 10 bits a byte at 31250 baud.
constexpr Duration kByteTime = std::chrono::microseconds(320);

TimePoint Now() {
  return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
}

struct InPort {
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;
  bool started = false;
  bool inSysex = false;
  std::deque<MIDIHDR*> queue;
  // The short message being received outside System Exclusive (reported through MIM_DATA).
  uint8_t runningStatus = 0;
  DWORD shortMessage = 0;
  int shortFill = 0;
  int shortNeeded = 0;
};

// Data bytes after a channel or system common status byte.
int DataBytesAfter(uint8_t status) {
  if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 1 : 2;  // Cx and Dx carry one
  if (status == 0xF1 || status == 0xF3) return 1;
  return status == 0xF2 ? 2 : 0;
}

struct OutPort {
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;
  std::deque<MIDIHDR*> inFlight;
};

// One callback to make once the device's lock is released: the application's callback may call
// back into the service (re-queue a buffer), which takes the lock.
struct Notice {
  DWORD_PTR callback = 0;
  HANDLE handle = nullptr;
  UINT message = 0;
  DWORD_PTR instance = 0;
  DWORD_PTR param1 = 0;
};

void Deliver(const Notice& n) {
  if (n.callback != 0)
    reinterpret_cast<DriverProc>(n.callback)(n.handle, n.message, n.instance, n.param1, 0);
}

struct Event {
  TimePoint due;
  uint64_t sequence = 0;
  bool outputDone = false;  // else: bytes from the converter
  OutPort* out = nullptr;
  MIDIHDR* hdr = nullptr;
  std::vector<uint8_t> bytes;
  bool flush = false;
};

class Device {
 public:
  std::mutex mutex;
  std::set<InPort*> inPorts;
  std::set<OutPort*> outPorts;
  varnet::sim::SimulatedConverter converter;
  uint32_t droppedBytes = 0;

  // Starts the delivery thread with the first open port. Lock held.
  void portOpened() {
    if (!worker_.joinable()) {
      stop_ = false;
      worker_ = std::thread([this] { run(); });
    }
  }
  // Stops it with the last. Called with the lock released.
  void portClosed() {
    std::thread finished;
    {
      std::lock_guard lock(mutex);
      if (!inPorts.empty() || !outPorts.empty() || !worker_.joinable()) return;
      if (worker_.get_id() == std::this_thread::get_id()) return;  // closed from a callback
      stop_ = true;
      finished = std::move(worker_);
    }
    wake_.notify_all();
    finished.join();
  }

  // Lock held.
  void schedule(Event event) {
    event.sequence = nextSequence_++;
    events_.push_back(std::move(event));
    wake_.notify_all();
  }
  void cancelOutput(const MIDIHDR* hdr) {
    std::erase_if(events_, [&](const Event& e) { return e.outputDone && e.hdr == hdr; });
  }

  // What the host sends: over the wire to the converter, and the converter's answers back.
  // Lock held.
  void send(OutPort* port, MIDIHDR* hdr) {
    const TimePoint arrival = std::max(Now(), wireFree_);
    converter.receive(reinterpret_cast<const uint8_t*>(hdr->lpData), hdr->dwBufferLength, arrival,
                      kByteTime);
    wireFree_ = arrival + kByteTime * hdr->dwBufferLength;
    if (converter.completesOutput()) {
      Event done;
      done.due = wireFree_;
      done.outputDone = true;
      done.out = port;
      done.hdr = hdr;
      schedule(std::move(done));
    }
    for (auto& emission : converter.takeEmissions()) {
      Event in;
      in.due = emission.due;
      in.bytes = std::move(emission.bytes);
      in.flush = emission.flush;
      schedule(std::move(in));
    }
  }

  // Returns the first queued buffer of `port` through its callback. Lock held.
  static Notice returnBuffer(InPort* port) {
    MIDIHDR* hdr = port->queue.front();
    port->queue.pop_front();
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    return Notice{port->callback, reinterpret_cast<HANDLE>(port), MIM_LONGDATA, port->instance,
                  reinterpret_cast<DWORD_PTR>(hdr)};
  }

 private:
  void run() {
    std::unique_lock lock(mutex);
    while (!stop_) {
      if (events_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto next =
          std::min_element(events_.begin(), events_.end(), [](const Event& a, const Event& b) {
            return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
          });
      if (next->due > Now()) {
        wake_.wait_until(lock, next->due);
        continue;
      }
      Event event = std::move(*next);
      events_.erase(next);
      if (event.outputDone) {
        completeOutput(lock, event);
      } else {
        receiveInput(lock, event);
      }
    }
  }

  void completeOutput(std::unique_lock<std::mutex>& lock, const Event& event) {
    if (!outPorts.contains(event.out)) return;
    auto& inFlight = event.out->inFlight;
    const auto it = std::find(inFlight.begin(), inFlight.end(), event.hdr);
    if (it == inFlight.end()) return;
    inFlight.erase(it);
    event.hdr->dwFlags = (event.hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    const Notice notice{event.out->callback, reinterpret_cast<HANDLE>(event.out), MOM_DONE,
                        event.out->instance, reinterpret_cast<DWORD_PTR>(event.hdr)};
    lock.unlock();
    Deliver(notice);
    lock.lock();
  }

  // Byte by byte, so that a buffer the application re-queues from its callback is there for the
  // bytes that follow.
  void receiveInput(std::unique_lock<std::mutex>& lock, const Event& event) {
    for (std::size_t i = 0; i <= event.bytes.size(); ++i) {
      for (InPort* port : inPorts) {
        std::optional<Notice> notice;
        if (i == event.bytes.size()) {
          if (event.flush && port->started && !port->queue.empty() &&
              port->queue.front()->dwBytesRecorded > 0) {
            notice = returnBuffer(port);
          }
        } else {
          notice = takeByte(port, event.bytes[i]);
        }
        if (notice) {
          lock.unlock();
          Deliver(*notice);
          lock.lock();
          break;  // the port set may have changed while unlocked; one input device anyway
        }
      }
    }
  }

  // A short message outside System Exclusive, reported through MIM_DATA once complete, as the
  // service does (running status included).
  static std::optional<Notice> takeShortByte(InPort* port, uint8_t byte) {
    if (byte >= 0x80) {
      port->runningStatus = byte < 0xF0 ? byte : 0;
      port->shortMessage = byte;
      port->shortFill = 1;
      port->shortNeeded = DataBytesAfter(byte);
    } else {
      if (port->shortNeeded == 0) {
        if (port->runningStatus == 0) return std::nullopt;  // no status to attach it to
        port->shortMessage = port->runningStatus;
        port->shortFill = 1;
        port->shortNeeded = DataBytesAfter(port->runningStatus);
      }
      port->shortMessage |= static_cast<DWORD>(byte) << (8 * port->shortFill++);
      --port->shortNeeded;
    }
    if (port->shortNeeded > 0) return std::nullopt;
    return Notice{port->callback, reinterpret_cast<HANDLE>(port), MIM_DATA, port->instance,
                  port->shortMessage};
  }

  std::optional<Notice> takeByte(InPort* port, uint8_t byte) {
    if (!port->started) return std::nullopt;
    if (byte >= 0xF8) {
      // Real-time bytes belong to no message; the service reports them on their own.
      return Notice{port->callback, reinterpret_cast<HANDLE>(port), MIM_DATA, port->instance, byte};
    }
    if (byte == 0xF0) {
      port->inSysex = true;
      port->shortNeeded = 0;
    } else if (!port->inSysex) {
      if (byte == 0xF7) return std::nullopt;  // a stray end byte carries nothing
      return takeShortByte(port, byte);
    } else if (byte >= 0x80 && byte != 0xF7) {
      // Another status byte ends the message unfinished; what it held comes back as it is, and
      // the status byte starts a short message. One notice per byte: a status byte that needs no
      // data and also ends a filled buffer is reported through the buffer only.
      port->inSysex = false;
      std::optional<Notice> shortNotice = takeShortByte(port, byte);
      if (!port->queue.empty() && port->queue.front()->dwBytesRecorded > 0) {
        return returnBuffer(port);
      }
      return shortNotice;
    }
    const bool ended = byte == 0xF7;
    if (ended) port->inSysex = false;
    if (port->queue.empty()) {
      ++droppedBytes;
      return std::nullopt;
    }
    MIDIHDR* hdr = port->queue.front();
    hdr->lpData[hdr->dwBytesRecorded++] = static_cast<char>(byte);
    if (ended || hdr->dwBytesRecorded == hdr->dwBufferLength) return returnBuffer(port);
    return std::nullopt;
  }

  std::condition_variable wake_;
  std::vector<Event> events_;
  uint64_t nextSequence_ = 0;
  TimePoint wireFree_{};
  bool stop_ = false;
  std::thread worker_;
};

// A program that cannot call the test controls (the window, run as its own process) sets the
// converter up through the environment: VARNET_STANDIN_KIND=AD or DA, VARNET_STANDIN_FAULTS=a
// comma-separated list of fault names ("corrupt-echo:2000").
void ConfigureFromEnvironment(varnet::sim::SimulatedConverter& converter) {
  if (const char* kind = std::getenv("VARNET_STANDIN_KIND")) {
    converter.setKind(std::string_view(kind) == "AD" ? varnet::sim::kKindAD : varnet::sim::kKindDA);
  }
  const char* names = std::getenv("VARNET_STANDIN_FAULTS");
  if (names == nullptr) return;
  auto faults = converter.config().faults;
  std::string_view rest(names);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    std::string error;
    if (!varnet::sim::ParseFault(rest.substr(0, comma), faults, error)) {
      std::fprintf(stderr, "stand-in winmm: VARNET_STANDIN_FAULTS: %s\n", error.c_str());
    }
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  converter.setFaults(faults);
}

Device& TheDevice() {
  static Device* device = [] {  // never destroyed: see the file comment
    auto* made = new Device;
    ConfigureFromEnvironment(made->converter);
    return made;
  }();
  return *device;
}

InPort* FindIn(Device& d, HMIDIIN handle) {
  auto* port = reinterpret_cast<InPort*>(handle);
  return d.inPorts.contains(port) ? port : nullptr;
}
OutPort* FindOut(Device& d, HMIDIOUT handle) {
  auto* port = reinterpret_cast<OutPort*>(handle);
  return d.outPorts.contains(port) ? port : nullptr;
}

MMRESULT ErrorText(MMRESULT error, LPSTR text, UINT size) {
  const char* message = nullptr;
  switch (error) {
    case MMSYSERR_NOERROR:
      message = "The specified command was carried out.";
      break;
    case MMSYSERR_BADDEVICEID:
      message = "A device ID has been used that is out of range for your system.";
      break;
    case MMSYSERR_ALLOCATED:
      message =
          "The specified device is already in use. Wait until it is free, and then try again.";
      break;
    case MMSYSERR_INVALHANDLE:
      message = "The specified device handle is invalid.";
      break;
    case MIDIERR_UNPREPARED:
      message =
          "The header is not prepared. Use the Prepare function to prepare the header, and then "
          "try again.";
      break;
    case MIDIERR_STILLPLAYING:
      message =
          "Cannot perform this operation while media data is still playing. Reset the device, or "
          "wait until the data is finished playing.";
      break;
    default:
      return MMSYSERR_BADERRNUM;
  }
  if (text == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  const std::size_t n = std::min<std::size_t>(std::strlen(message), size - 1);
  std::memcpy(text, message, n);
  text[n] = '\0';
  return MMSYSERR_NOERROR;
}

MMRESULT Prepare(LPMIDIHDR hdr, UINT size) {
  if (hdr == nullptr || hdr->lpData == nullptr || size < sizeof(MIDIHDR))
    return MMSYSERR_INVALPARAM;
  if (hdr->dwFlags & MHDR_PREPARED) return MMSYSERR_NOERROR;
  hdr->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(LPMIDIHDR hdr, UINT size) {
  if (hdr == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  hdr->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" {

UINT WINAPI midiInGetNumDevs() {
  return 1;
}
UINT WINAPI midiOutGetNumDevs() {
  return 1;
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR device, LPMIDIINCAPSA caps, UINT size) {
  if (device != 0) return MMSYSERR_BADDEVICEID;
  if (caps == nullptr || size < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
  *caps = MIDIINCAPSA{};
  caps->wMid = 0xFF;
  std::memcpy(caps->szPname, kInputName, sizeof kInputName);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR device, LPMIDIOUTCAPSA caps, UINT size) {
  if (device != 0) return MMSYSERR_BADDEVICEID;
  if (caps == nullptr || size < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
  *caps = MIDIOUTCAPSA{};
  caps->wMid = 0xFF;
  caps->wTechnology = MOD_MIDIPORT;
  std::memcpy(caps->szPname, kOutputName, sizeof kOutputName);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInGetErrorTextA(MMRESULT error, LPSTR text, UINT size) {
  return ErrorText(error, text, size);
}
MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT error, LPSTR text, UINT size) {
  return ErrorText(error, text, size);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN handle, UINT device, DWORD_PTR callback, DWORD_PTR instance,
                           DWORD flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (device != 0) return MMSYSERR_BADDEVICEID;
  if ((flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION || callback == 0) return MMSYSERR_INVALFLAG;
  Device& d = TheDevice();
  Notice notice;
  {
    std::lock_guard lock(d.mutex);
    if (!d.inPorts.empty()) return MMSYSERR_ALLOCATED;
    auto* port = new InPort;
    port->callback = callback;
    port->instance = instance;
    d.inPorts.insert(port);
    d.portOpened();
    *handle = reinterpret_cast<HMIDIIN>(port);
    notice = Notice{callback, reinterpret_cast<HANDLE>(port), MIM_OPEN, instance, 0};
  }
  Deliver(notice);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInClose(HMIDIIN handle) {
  Device& d = TheDevice();
  Notice notice;
  InPort* closed = nullptr;
  {
    std::lock_guard lock(d.mutex);
    InPort* port = FindIn(d, handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (!port->queue.empty()) return MIDIERR_STILLPLAYING;
    notice = Notice{port->callback, reinterpret_cast<HANDLE>(port), MIM_CLOSE, port->instance, 0};
    d.inPorts.erase(port);
    closed = port;
  }
  Deliver(notice);
  delete closed;
  d.portClosed();
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR hdr, UINT size) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  if (FindIn(d, handle) == nullptr) return MMSYSERR_INVALHANDLE;
  return Prepare(hdr, size);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR hdr, UINT size) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  if (FindIn(d, handle) == nullptr) return MMSYSERR_INVALHANDLE;
  return Unprepare(hdr, size);
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN handle, LPMIDIHDR hdr, UINT size) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  InPort* port = FindIn(d, handle);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (hdr == nullptr || size < sizeof(MIDIHDR) || hdr->dwBufferLength == 0)
    return MMSYSERR_INVALPARAM;
  if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
  hdr->dwBytesRecorded = 0;
  port->queue.push_back(hdr);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN handle) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  InPort* port = FindIn(d, handle);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  port->started = true;
  return MMSYSERR_NOERROR;
}

// Stopping hands back a buffer that holds part of a message; empty ones stay queued.
MMRESULT WINAPI midiInStop(HMIDIIN handle) {
  Device& d = TheDevice();
  std::optional<Notice> notice;
  {
    std::lock_guard lock(d.mutex);
    InPort* port = FindIn(d, handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    port->started = false;
    port->inSysex = false;
    if (!port->queue.empty() && port->queue.front()->dwBytesRecorded > 0) {
      notice = Device::returnBuffer(port);
    }
  }
  if (notice) Deliver(*notice);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN handle) {
  Device& d = TheDevice();
  std::vector<Notice> notices;
  {
    std::lock_guard lock(d.mutex);
    InPort* port = FindIn(d, handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    port->started = false;
    port->inSysex = false;
    while (!port->queue.empty()) notices.push_back(Device::returnBuffer(port));
  }
  for (const auto& notice : notices) Deliver(notice);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handle, UINT device, DWORD_PTR callback, DWORD_PTR instance,
                            DWORD flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (device != 0) return MMSYSERR_BADDEVICEID;
  if ((flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION || callback == 0) return MMSYSERR_INVALFLAG;
  Device& d = TheDevice();
  Notice notice;
  {
    std::lock_guard lock(d.mutex);
    if (!d.outPorts.empty()) return MMSYSERR_ALLOCATED;
    auto* port = new OutPort;
    port->callback = callback;
    port->instance = instance;
    d.outPorts.insert(port);
    d.portOpened();
    *handle = reinterpret_cast<HMIDIOUT>(port);
    notice = Notice{callback, reinterpret_cast<HANDLE>(port), MOM_OPEN, instance, 0};
  }
  Deliver(notice);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT handle) {
  Device& d = TheDevice();
  Notice notice;
  OutPort* closed = nullptr;
  {
    std::lock_guard lock(d.mutex);
    OutPort* port = FindOut(d, handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (!port->inFlight.empty()) return MIDIERR_STILLPLAYING;
    notice = Notice{port->callback, reinterpret_cast<HANDLE>(port), MOM_CLOSE, port->instance, 0};
    d.outPorts.erase(port);
    closed = port;
  }
  Deliver(notice);
  delete closed;
  d.portClosed();
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT handle, LPMIDIHDR hdr, UINT size) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  if (FindOut(d, handle) == nullptr) return MMSYSERR_INVALHANDLE;
  return Prepare(hdr, size);
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT handle, LPMIDIHDR hdr, UINT size) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  if (FindOut(d, handle) == nullptr) return MMSYSERR_INVALHANDLE;
  return Unprepare(hdr, size);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR hdr, UINT size) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  OutPort* port = FindOut(d, handle);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (hdr == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
  port->inFlight.push_back(hdr);
  d.send(port, hdr);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutReset(HMIDIOUT handle) {
  Device& d = TheDevice();
  std::vector<Notice> notices;
  {
    std::lock_guard lock(d.mutex);
    OutPort* port = FindOut(d, handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    for (MIDIHDR* hdr : port->inFlight) {
      d.cancelOutput(hdr);
      hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
      notices.push_back(Notice{port->callback, reinterpret_cast<HANDLE>(port), MOM_DONE,
                               port->instance, reinterpret_cast<DWORD_PTR>(hdr)});
    }
    port->inFlight.clear();
  }
  for (const auto& notice : notices) Deliver(notice);
  return MMSYSERR_NOERROR;
}

// Test controls, not part of the service. The test finds them with GetProcAddress, which also
// proves that this DLL, not the system's winmm, was loaded.
void WINAPI VarnetStandinSetKind(BYTE kind) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  d.converter.setKind(kind);
}

void WINAPI VarnetStandinStallOutput(BOOL stall) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  auto faults = d.converter.config().faults;
  faults.stallOutput = stall != FALSE;
  d.converter.setFaults(faults);
}

// The converter echoes stream byte `index` with one bit flipped (MAXDWORD: no longer).
void WINAPI VarnetStandinCorruptEcho(DWORD index) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  auto faults = d.converter.config().faults;
  faults.corruptEcho.reset();
  if (index != MAXDWORD) faults.corruptEcho = index;
  d.converter.setFaults(faults);
}

// Copies up to `capacity` of the bytes the converter received; returns how many it received.
DWORD WINAPI VarnetStandinReceived(BYTE* out, DWORD capacity) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  const auto received = d.converter.received();
  const std::size_t n = std::min<std::size_t>(received.size(), capacity);
  if (out != nullptr) std::memcpy(out, received.data(), n);
  return static_cast<DWORD>(received.size());
}

// Forgets everything the converter saw (plugs it back in).
void WINAPI VarnetStandinRestart() {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  d.converter.restart();
  d.droppedBytes = 0;
}

DWORD WINAPI VarnetStandinDroppedBytes() {
  Device& d = TheDevice();
  std::lock_guard lock(d.mutex);
  return d.droppedBytes;
}

}  // extern "C"
