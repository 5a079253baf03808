// The port pair as the update engine sees it: pieces out, echoed blocks in, open and close. The
// engine needs nothing else from MIDI; LayerPort (midi/layer_port.h) implements it on the MIDI
// layer's documented operations, a test or a recording may implement it directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"

namespace varnet {

// The longest piece the port takes in one send (the layer's message area).
constexpr std::size_t kPieceCapacity = 32;
// The size of one captured input block (the layer's input buffers and frames).
constexpr std::size_t kEchoBlockCapacity = 128;

// One captured block: `length` bytes from `bytes`; 0 or less when the block is empty. A length
// above kEchoBlockCapacity means the block overflowed; only its first kEchoBlockCapacity bytes
// can be read.
struct EchoBlock {
  const uint8_t* bytes = nullptr;
  int32_t length = 0;
};

// Which devices the pair is, for a record of the update.
struct PortPairNames {
  int32_t inputIndex = -1;
  std::string input;
  int32_t outputIndex = -1;
  std::string output;
};

class UpdatePort {
 public:
  virtual ~UpdatePort() = default;

  // Opens whichever of the pair is not open yet for an update; a port that fails has shown its
  // box. true when both are open. A port that did open stays open for the next try.
  virtual bool open() = 0;
  // Ends the update's hold on the pair: both ports are released (see ReleaseMidiPorts) if open()
  // opened them; after a refused open nothing is released.
  virtual void close() = 0;
  // Starts capturing input afresh for an exchange: whatever was captured before is forgotten.
  virtual void startInput() = 0;

  // Puts `length` bytes (1 to kPieceCapacity) out as one long message. false when the service
  // refused it: nothing is in flight then.
  virtual bool send(const uint8_t* bytes, uint32_t length) = 0;
  // Waits until the last piece sent has been reported sent, at most `bound`; true when it has.
  // Returns at once when it already has, and a bound of zero only looks. The caller knows
  // whether anything is in flight.
  virtual bool waitSent(Clock::Duration bound) = 0;
  // Has the service hand back a message that never completed and discard what was queued before
  // the reset, so that one more piece can follow. false when the port is gone.
  virtual bool resetOutput() = 0;

  // Takes what has been captured since the last take and gives the echoed blocks in arrival
  // order. They stay readable, and in place for whoever looks at a failure, until clearInput.
  virtual std::array<EchoBlock, 2> takeInput() = 0;
  virtual void clearInput() = 0;
  // Has the service return a block it is still filling, so that the next take sees it.
  virtual void returnPartialInput() = 0;
  // Input other than System Exclusive and real-time bytes since forgetOtherInput: how many
  // messages, and the first (status in the low byte) in `first`.
  virtual uint32_t otherInput(uint32_t& first) = 0;
  virtual void forgetOtherInput() = 0;

  // Boxes the port was asked for on the update worker wait for the user-interface thread.
  virtual void showDeferredBoxes() = 0;
  virtual bool deferredBoxOpen() = 0;
  virtual void discardDeferredBoxes() = 0;

  virtual PortPairNames names() { return {}; }
  // Other programs that send into the device's input beside us (their bytes would mix into the
  // stream), as the MIDI system names them; none where it cannot say.
  virtual std::vector<std::string> otherSenders() { return {}; }
};

}  // namespace varnet
