// The winmm adapter. Almost every call goes straight through; the work is in the buffer headers.
//
// The layer's MidiHeader is not a MIDIHDR, and the layer zero-fills and re-prepares its headers at
// times when the service may still hold them. So the service never sees the layer's header: each
// port keeps one MIDIHDR of its own per MidiHeader (a "slot"), and the callback copies the
// recorded length and the flags back into the MidiHeader before it hands that to the layer. A
// MIDIHDR the service holds is then never rewritten behind its back.
//
// midi/platform.h must come before <windows.h>: the service defines its codes as macros with the
// same names and values as the enumerators there. From <windows.h> on, the names are the macros.
#include "midi/backends/winmm/winmm_platform.h"

#include "midi/port_locks.h"
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace varnet {
namespace {

// The layer queues two input buffers and one output message; a few spare slots cost nothing.
constexpr std::size_t kSlotsPerPort = 4;

struct HeaderSlot {
  std::atomic<MidiHeader*> owner{nullptr};
  MIDIHDR hdr{};
};

enum class PortState : uint32_t { Free, Opening, Open };

// One open input or output port. Port objects live as long as the platform and are reused after
// a close, so a stale handle from the layer can never point into freed memory.
struct Port {
  explicit Port(bool input) : isInput(input) {}
  const bool isInput;
  std::atomic<PortState> state{PortState::Free};
  HMIDIIN in = nullptr;  // written before `state` becomes Open, read after it is seen Open
  HMIDIOUT out = nullptr;
  std::atomic<MidiCallback> callback{nullptr};
  uintptr_t instance = 0;
  std::array<HeaderSlot, kSlotsPerPort> slots;
};

MidiHandle HandleOf(Port* port) {
  return reinterpret_cast<MidiHandle>(port);
}

HeaderSlot* FindSlot(Port& port, const MidiHeader* header) {
  for (auto& slot : port.slots) {
    if (slot.owner.load(std::memory_order_acquire) == header) return &slot;
  }
  return nullptr;
}

HeaderSlot* ClaimSlot(Port& port, MidiHeader* header) {
  for (auto& slot : port.slots) {
    MidiHeader* expected = nullptr;
    if (slot.owner.compare_exchange_strong(expected, header, std::memory_order_acq_rel)) {
      return &slot;
    }
  }
  return nullptr;
}

void ReleaseSlots(Port& port) {
  for (auto& slot : port.slots) {
    slot.hdr = MIDIHDR{};
    slot.owner.store(nullptr, std::memory_order_release);
  }
}

// Only the port's own MIDIHDRs are accepted, whatever the driver puts in dwUser.
HeaderSlot* SlotOfHdr(Port& port, const MIDIHDR* hdr) {
  for (auto& slot : port.slots) {
    if (&slot.hdr == hdr) return &slot;
  }
  return nullptr;
}

// Runs on the service's callback thread (or inside a reset, on the caller's thread).
void ForwardToLayer(Port& port, uint32_t message, bool carriesHeader, DWORD_PTR param1,
                    DWORD_PTR param2) {
  const MidiCallback callback = port.callback.load(std::memory_order_acquire);
  if (callback == nullptr) return;
  if (carriesHeader) {
    const auto* hdr = reinterpret_cast<const MIDIHDR*>(param1);
    HeaderSlot* slot = SlotOfHdr(port, hdr);
    MidiHeader* header = slot ? slot->owner.load(std::memory_order_acquire) : nullptr;
    if (header == nullptr) return;  // not a header the layer gave us: nothing to hand back
    // A driver that claims more than the buffer holds must not make the layer copy past it.
    header->bytesRecorded = std::min<uint32_t>(hdr->dwBytesRecorded, header->bufferLength);
    header->flags = hdr->dwFlags;
    param1 = reinterpret_cast<DWORD_PTR>(header);
  }
  callback(HandleOf(&port), message, port.instance, param1, param2);
}

void CALLBACK InputProc(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                        DWORD_PTR param2) {
  auto* port = reinterpret_cast<Port*>(instance);
  if (port == nullptr) return;
  const bool carriesHeader = message == MIM_LONGDATA || message == MIM_LONGERROR;
  ForwardToLayer(*port, message, carriesHeader, param1, param2);
}

void CALLBACK OutputProc(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                         DWORD_PTR param2) {
  auto* port = reinterpret_cast<Port*>(instance);
  if (port == nullptr) return;
  ForwardToLayer(*port, message, message == MOM_DONE, param1, param2);
}

void CopyName(const CHAR (&from)[MAXPNAMELEN], char (&to)[kMidiNameLength]) {
  static_assert(MAXPNAMELEN == kMidiNameLength);
  const std::size_t n = strnlen(from, kMidiNameLength - 1);
  std::memcpy(to, from, n);
  std::fill(to + n, to + kMidiNameLength, '\0');
}

class WinmmMidiPlatform final : public MidiPlatform {
 public:
  WinmmMidiPlatform() = default;
  WinmmMidiPlatform(const WinmmMidiPlatform&) = delete;
  WinmmMidiPlatform& operator=(const WinmmMidiPlatform&) = delete;

  // A port left open would keep calling into a Port that is about to be freed.
  ~WinmmMidiPlatform() override {
    for (auto& port : ports_) {
      if (port->state.load() != PortState::Open) continue;
      port->callback = nullptr;
      if (port->isInput) {
        midiInReset(port->in);
        for (auto& slot : port->slots) {
          if (slot.owner.load() != nullptr)
            midiInUnprepareHeader(port->in, &slot.hdr, sizeof(MIDIHDR));
        }
        midiInClose(port->in);
      } else {
        midiOutReset(port->out);
        for (auto& slot : port->slots) {
          if (slot.owner.load() != nullptr)
            midiOutUnprepareHeader(port->out, &slot.hdr, sizeof(MIDIHDR));
        }
        midiOutClose(port->out);
      }
    }
  }

  uint32_t inGetNumDevs() override { return midiInGetNumDevs(); }
  uint32_t outGetNumDevs() override { return midiOutGetNumDevs(); }

  uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    if (device == MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
    MIDIINCAPSA caps{};
    const MMRESULT result = midiInGetDevCapsA(device, &caps, sizeof caps);
    if (result == MMSYSERR_NOERROR) CopyName(caps.szPname, name);
    return result;
  }

  uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    if (device == MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
    MIDIOUTCAPSA caps{};
    const MMRESULT result = midiOutGetDevCapsA(device, &caps, sizeof caps);
    if (result == MMSYSERR_NOERROR) CopyName(caps.szPname, name);
    return result;
  }

  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override {
    return Open(true, handle, device, callback, instance);
  }
  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override {
    return Open(false, handle, device, callback, instance);
  }

  uint32_t inPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    return Prepare(true, handle, header);
  }
  uint32_t outPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    return Prepare(false, handle, header);
  }
  uint32_t inUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    return Unprepare(true, handle, header);
  }
  uint32_t outUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    return Unprepare(false, handle, header);
  }
  uint32_t inAddBuffer(MidiHandle handle, MidiHeader* header) override {
    return Queue(true, handle, header);
  }
  uint32_t outLongMsg(MidiHandle handle, MidiHeader* header) override {
    return Queue(false, handle, header);
  }

  uint32_t inStart(MidiHandle handle) override {
    Port* port = FindPort(handle, true);
    return port ? midiInStart(port->in) : MMSYSERR_INVALHANDLE;
  }
  uint32_t inStop(MidiHandle handle) override {
    Port* port = FindPort(handle, true);
    return port ? midiInStop(port->in) : MMSYSERR_INVALHANDLE;
  }
  uint32_t inReset(MidiHandle handle) override {
    Port* port = FindPort(handle, true);
    return port ? midiInReset(port->in) : MMSYSERR_INVALHANDLE;
  }
  uint32_t outReset(MidiHandle handle) override {
    Port* port = FindPort(handle, false);
    return port ? midiOutReset(port->out) : MMSYSERR_INVALHANDLE;
  }

  uint32_t inClose(MidiHandle handle) override { return Close(true, handle); }
  uint32_t outClose(MidiHandle handle) override { return Close(false, handle); }

  std::string inGetErrorText(uint32_t result) override {
    // The service's own words for a port another program has open say nothing of what to do.
    if (result == MMSYSERR_ALLOCATED) return PortInUseText({});
    char text[MAXERRORLENGTH] = {};
    if (midiInGetErrorTextA(result, text, sizeof text) != MMSYSERR_NOERROR) {
      return StandardMidiErrorText(result);
    }
    return text;
  }
  std::string outGetErrorText(uint32_t result) override {
    // The service's own words for a port another program has open say nothing of what to do.
    if (result == MMSYSERR_ALLOCATED) return PortInUseText({});
    char text[MAXERRORLENGTH] = {};
    if (midiOutGetErrorTextA(result, text, sizeof text) != MMSYSERR_NOERROR) {
      return StandardMidiErrorText(result);
    }
    return text;
  }

 private:
  Port* FindPort(MidiHandle handle, bool input) {
    std::lock_guard lock(portsMutex_);
    for (auto& port : ports_) {
      if (HandleOf(port.get()) == handle && port->isInput == input &&
          port->state.load(std::memory_order_acquire) == PortState::Open) {
        return port.get();
      }
    }
    return nullptr;
  }

  Port* ReservePort(bool input) {
    std::lock_guard lock(portsMutex_);
    for (auto& port : ports_) {
      PortState expected = PortState::Free;
      if (port->isInput == input &&
          port->state.compare_exchange_strong(expected, PortState::Opening)) {
        return port.get();
      }
    }
    ports_.push_back(std::make_unique<Port>(input));
    ports_.back()->state.store(PortState::Opening);
    return ports_.back().get();
  }

  uint32_t Open(bool input, MidiHandle* handle, uint32_t device, MidiCallback callback,
                uintptr_t instance) {
    if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
    // The service reads device -1 as "the MIDI mapper" and would open the system synthesizer; to
    // the layer -1 means no device was chosen, and firmware must never go anywhere but a port the
    // user picked.
    if (device == MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
    Port* port = ReservePort(input);
    ReleaseSlots(*port);
    port->callback = callback;
    port->instance = instance;
    MMRESULT result;
    if (input) {
      HMIDIIN in = nullptr;
      result = midiInOpen(&in, device, reinterpret_cast<DWORD_PTR>(&InputProc),
                          reinterpret_cast<DWORD_PTR>(port), CALLBACK_FUNCTION);
      port->in = in;
    } else {
      HMIDIOUT out = nullptr;
      result = midiOutOpen(&out, device, reinterpret_cast<DWORD_PTR>(&OutputProc),
                           reinterpret_cast<DWORD_PTR>(port), CALLBACK_FUNCTION);
      port->out = out;
    }
    if (result != MMSYSERR_NOERROR) {
      port->callback = nullptr;
      port->state.store(PortState::Free, std::memory_order_release);
      return result;
    }
    port->state.store(PortState::Open, std::memory_order_release);
    *handle = HandleOf(port);
    return MMSYSERR_NOERROR;
  }

  static MMRESULT ServicePrepare(Port& port, MIDIHDR* hdr) {
    return port.isInput ? midiInPrepareHeader(port.in, hdr, sizeof(MIDIHDR))
                        : midiOutPrepareHeader(port.out, hdr, sizeof(MIDIHDR));
  }
  static MMRESULT ServiceUnprepare(Port& port, MIDIHDR* hdr) {
    return port.isInput ? midiInUnprepareHeader(port.in, hdr, sizeof(MIDIHDR))
                        : midiOutUnprepareHeader(port.out, hdr, sizeof(MIDIHDR));
  }

  uint32_t Prepare(bool input, MidiHandle handle, MidiHeader* header) {
    Port* port = FindPort(handle, input);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || header->data == nullptr) return MMSYSERR_INVALPARAM;
    HeaderSlot* slot = FindSlot(*port, header);
    if (slot != nullptr && (slot->hdr.dwFlags & MHDR_INQUEUE) != 0) {
      // The layer re-prepares headers without asking whether the service still holds them. Over
      // the same buffer that is harmless: the queued MIDIHDR stays as it is and comes back through
      // the callback as usual. Over another buffer it would be a lie.
      const bool sameBuffer = slot->hdr.lpData == reinterpret_cast<LPSTR>(header->data) &&
                              slot->hdr.dwBufferLength == header->bufferLength;
      return sameBuffer ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
    }
    if (slot != nullptr && (slot->hdr.dwFlags & MHDR_PREPARED) != 0) {
      // Prepared over the previous contents (the output message is prepared anew for every
      // chunk without an unprepare between): release that preparation first.
      const MMRESULT result = ServiceUnprepare(*port, &slot->hdr);
      if (result != MMSYSERR_NOERROR) return result;
    }
    if (slot == nullptr) slot = ClaimSlot(*port, header);
    if (slot == nullptr) return MMSYSERR_NOMEM;
    slot->hdr = MIDIHDR{};
    slot->hdr.lpData = reinterpret_cast<LPSTR>(header->data);
    slot->hdr.dwBufferLength = header->bufferLength;
    const MMRESULT result = ServicePrepare(*port, &slot->hdr);
    if (result != MMSYSERR_NOERROR) {
      slot->hdr = MIDIHDR{};
      slot->owner.store(nullptr, std::memory_order_release);
      return result;
    }
    header->bytesRecorded = 0;
    header->flags = slot->hdr.dwFlags;
    return MMSYSERR_NOERROR;
  }

  uint32_t Unprepare(bool input, MidiHandle handle, MidiHeader* header) {
    Port* port = FindPort(handle, input);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr) return MMSYSERR_INVALPARAM;
    HeaderSlot* slot = FindSlot(*port, header);
    if (slot == nullptr) {
      // Like the service: unpreparing a header that is not prepared does nothing.
      header->flags &= ~static_cast<uint32_t>(MHDR_PREPARED);
      return MMSYSERR_NOERROR;
    }
    const MMRESULT result = ServiceUnprepare(*port, &slot->hdr);
    if (result != MMSYSERR_NOERROR) return result;
    header->flags = slot->hdr.dwFlags;
    slot->hdr = MIDIHDR{};
    slot->owner.store(nullptr, std::memory_order_release);
    return MMSYSERR_NOERROR;
  }

  uint32_t Queue(bool input, MidiHandle handle, MidiHeader* header) {
    Port* port = FindPort(handle, input);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr) return MMSYSERR_INVALPARAM;
    HeaderSlot* slot = FindSlot(*port, header);
    if (slot == nullptr || (slot->hdr.dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
    if ((slot->hdr.dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
    // The header is the service's from the call on, and its callback may run before the call
    // returns: everything the layer should see is written before.
    const uint32_t flagsBefore = header->flags;
    header->bytesRecorded = 0;
    header->flags = MHDR_PREPARED | MHDR_INQUEUE;
    slot->hdr.dwBytesRecorded = 0;
    slot->hdr.dwFlags &= ~static_cast<DWORD>(MHDR_DONE);
    const MMRESULT result = input ? midiInAddBuffer(port->in, &slot->hdr, sizeof(MIDIHDR))
                                  : midiOutLongMsg(port->out, &slot->hdr, sizeof(MIDIHDR));
    if (result != MMSYSERR_NOERROR) header->flags = flagsBefore;
    return result;
  }

  uint32_t Close(bool input, MidiHandle handle) {
    Port* port = FindPort(handle, input);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    const MMRESULT result = input ? midiInClose(port->in) : midiOutClose(port->out);
    if (result != MMSYSERR_NOERROR) return result;
    // Headers still prepared on a closed port (the layer may close without unpreparing) belong
    // to no handle any more; the next open starts clean.
    ReleaseSlots(*port);
    port->callback = nullptr;
    port->in = nullptr;
    port->out = nullptr;
    port->state.store(PortState::Free, std::memory_order_release);
    return MMSYSERR_NOERROR;
  }

  std::mutex portsMutex_;  // guards the list only; never held across a service call
  std::vector<std::unique_ptr<Port>> ports_;
};

}  // namespace

std::unique_ptr<MidiPlatform> CreateWinmmMidiPlatform() {
  return std::make_unique<WinmmMidiPlatform>();
}

}  // namespace varnet
