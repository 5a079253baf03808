#include "cli/ports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/backends/virtual/virtual_platform.h"

namespace varnet {
namespace {

// An index from --in, --out or ini.upd may name no port at all; a port may exist but keep its
// name to itself.
TEST(PortName, IndicesOutsideTheListAndUnnamedPorts) {
  VirtualClock clock;
  VirtualMidiPlatform platform(clock, VirtualPorts(2, 1));
  platform.failOn(VirtualOp::InGetDevCaps, 1, VirtualMidiPlatform::kAlways, 1);
  struct Case {
    PortSide side;
    int32_t index;
    bool exists;
    std::string name;
  };
  const std::vector<Case> cases = {
      {PortSide::In, 0, true, "Varnet Simulator In"},
      {PortSide::In, 1, true, "(name unavailable)"},
      {PortSide::In, 2, false, "(no such port)"},
      {PortSide::In, -1, false, "(no such port)"},
      {PortSide::Out, 0, true, "Varnet Simulator Out"},
      {PortSide::Out, 1, false, "(no such port)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(SideWord(c.side)) + " " + std::to_string(c.index));
    EXPECT_EQ(PortExists(platform, c.side, c.index), c.exists);
    EXPECT_EQ(PortName(platform, c.side, c.index), c.name);
  }
}

}  // namespace
}  // namespace varnet
