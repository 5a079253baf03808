// The MIDI platform adapter: one interface with the semantics of the Windows multimedia MIDI
// service, implemented by every backend (winmm itself, ALSA sequencer, JACK, the in-process
// virtual port). The port layer (midi_ports.h) is written against this interface only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnet {

// Result codes, with the values the Windows service uses.
enum MidiResult : uint32_t {
  MMSYSERR_NOERROR = 0,
  MMSYSERR_ERROR = 1,
  MMSYSERR_BADDEVICEID = 2,
  MMSYSERR_ALLOCATED = 4,
  MMSYSERR_INVALHANDLE = 5,
  MMSYSERR_NODRIVER = 6,
  MMSYSERR_NOMEM = 7,
  MMSYSERR_NOTSUPPORTED = 8,  // what a platform answers for a call it does not serve
  MMSYSERR_INVALFLAG = 10,
  MMSYSERR_INVALPARAM = 11,
  MIDIERR_UNPREPARED = 64,
  MIDIERR_STILLPLAYING = 65,
  MIDIERR_NOTREADY = 67,
  MIDIERR_NODEVICE = 68,
};

// Callback messages.
enum MidiMessage : uint32_t {
  MIM_OPEN = 0x3C1,
  MIM_CLOSE = 0x3C2,
  MIM_DATA = 0x3C3,
  MIM_LONGDATA = 0x3C4,  // 964: an input buffer comes back, bytesRecorded holds its fill
  MIM_ERROR = 0x3C5,
  MIM_LONGERROR = 0x3C6,
  MOM_OPEN = 0x3C7,
  MOM_CLOSE = 0x3C8,
  MOM_DONE = 0x3C9,  // 969: a long message has been sent
};

// Header flags (as in MIDIHDR).
enum MidiHeaderFlags : uint32_t {
  MHDR_DONE = 0x1,
  MHDR_PREPARED = 0x2,
  MHDR_INQUEUE = 0x4,
};

// The buffer header of one long message or one input buffer (MIDIHDR). The data area belongs to
// the caller; while a header is queued or in flight the backend may write `bytesRecorded` and
// `flags` from its own thread, and the caller must not touch either until the header comes back.
struct MidiHeader {
  uint8_t* data = nullptr;
  uint32_t bufferLength = 0;
  uint32_t bytesRecorded = 0;
  uint32_t flags = 0;
};

// Opaque port handle (HMIDIIN / HMIDIOUT). 0 is never a valid handle.
using MidiHandle = uintptr_t;

// The callback procedure (CALLBACK_FUNCTION). param1 is the MidiHeader* for MIM_LONGDATA and
// MOM_DONE. It runs on the backend's own thread and must not block.
using MidiCallback = void (*)(MidiHandle handle, uint32_t message, uintptr_t instance,
                              uintptr_t param1, uintptr_t param2);

// Where a port's callback goes: the procedure given at open, with the port's handle and the
// client's value. A backend's queue copies it under its lock and calls outside the lock, so that
// the client may call the port again from inside the callback.
struct CallbackTarget {
  MidiHandle handle = 0;
  MidiCallback callback = nullptr;
  uintptr_t instance = 0;

  void call(uint32_t message, uintptr_t param1) const {
    if (callback != nullptr) callback(handle, message, instance, param1, 0);
  }
};

// Longest device name: 31 characters and a terminator, like the capability record's name field.
constexpr std::size_t kMidiNameLength = 32;

// What names one device for good, beside the short name the capability record gives: the MIDI
// system's own full name of the port, never shortened, and where the system has one, what tells
// two ports of the same full name apart (the ALSA sequencer's client and port numbers). A port
// the user chose is found again by these, never by its position in the list.
struct PortIdentity {
  std::string fullName;
  std::string systemId;  // empty where the system gives nothing more than the name
};

class MidiPlatform {
 public:
  virtual ~MidiPlatform() = default;

  // Device numbers run from 0 to count - 1. A device number is an unsigned 32-bit value; a
  // layer index of -1 arrives here as 0xFFFFFFFF and simply names no device.
  virtual uint32_t inGetNumDevs() = 0;
  virtual uint32_t outGetNumDevs() = 0;
  // Writes the NUL-terminated name (at most 31 characters) into `name`. Nonzero means failure.
  virtual uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) = 0;
  virtual uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) = 0;
  // The identity of a device; nonzero means failure. A backend whose names are never shortened
  // and has nothing more to tell ports apart by keeps these: the name is the identity.
  virtual uint32_t inGetDevIdentity(uint32_t device, PortIdentity& identity) {
    char name[kMidiNameLength] = {};
    const uint32_t result = inGetDevCaps(device, name);
    identity = {result == MMSYSERR_NOERROR ? std::string(name) : std::string(), {}};
    return result;
  }
  virtual uint32_t outGetDevIdentity(uint32_t device, PortIdentity& identity) {
    char name[kMidiNameLength] = {};
    const uint32_t result = outGetDevCaps(device, name);
    identity = {result == MMSYSERR_NOERROR ? std::string(name) : std::string(), {}};
    return result;
  }

  virtual uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                          uintptr_t instance) = 0;
  virtual uint32_t inPrepareHeader(MidiHandle handle, MidiHeader* header) = 0;
  virtual uint32_t inUnprepareHeader(MidiHandle handle, MidiHeader* header) = 0;
  // Queues a prepared buffer. Queued buffers are filled in queue order with received System
  // Exclusive bytes only; each comes back through MIM_LONGDATA when it is full or when a System
  // Exclusive message ends.
  virtual uint32_t inAddBuffer(MidiHandle handle, MidiHeader* header) = 0;
  virtual uint32_t inStart(MidiHandle handle) = 0;
  virtual uint32_t inStop(MidiHandle handle) = 0;
  // Returns every queued buffer through MIM_LONGDATA, with whatever it holds.
  virtual uint32_t inReset(MidiHandle handle) = 0;
  // MIDIERR_STILLPLAYING while buffers are still queued.
  virtual uint32_t inClose(MidiHandle handle) = 0;

  virtual uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                           uintptr_t instance) = 0;
  virtual uint32_t outPrepareHeader(MidiHandle handle, MidiHeader* header) = 0;
  virtual uint32_t outUnprepareHeader(MidiHandle handle, MidiHeader* header) = 0;
  // Sends the header's bufferLength bytes as they stand (partial System Exclusive included) and
  // reports completion through MOM_DONE.
  virtual uint32_t outLongMsg(MidiHandle handle, MidiHeader* header) = 0;
  virtual uint32_t outReset(MidiHandle handle) = 0;
  virtual uint32_t outClose(MidiHandle handle) = 0;

  // The service's text for a result code.
  virtual std::string inGetErrorText(uint32_t result) = 0;
  virtual std::string outGetErrorText(uint32_t result) = 0;

  // What names the device's port in the MIDI system itself, the same in every program that sees
  // the port at the same time (the backend and the port's full name or client and port numbers):
  // what two programs compare to learn that they would share a port. Empty for a port that no
  // other program can see (a port inside this process) or a system that names none.
  virtual std::string inPortIdentity(uint32_t /*device*/) { return {}; }
  virtual std::string outPortIdentity(uint32_t /*device*/) { return {}; }
  // Who else sends into the device behind an open output (other programs' ports connected to
  // the same device input), as the MIDI system names them; our own connection is not one of
  // them. MMSYSERR_NOTSUPPORTED where the system cannot say.
  virtual uint32_t outOtherSenders(MidiHandle /*handle*/, std::vector<std::string>& senders) {
    senders.clear();
    return MMSYSERR_NOTSUPPORTED;
  }
  // The ports this program has itself put into the MIDI system while it has a port open (a JACK
  // client's own two ports), as another program would name them among its devices: `input` for
  // the one it would open as an input. Another program that opened them would send into our
  // input, so the port locks hold them too.
  struct OwnPort {
    bool input = false;
    std::string identity;
  };
  virtual std::vector<OwnPort> ownPorts() { return {}; }
};

// The texts the Windows service gives for its result codes; backends without texts of their own
// use these.
std::string StandardMidiErrorText(uint32_t result);

}  // namespace varnet
