// What `varnet-flash list` tells a user about the MIDI systems that have no ports.
#include "midi/system_platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace varnet {
namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(MidiSystemsWithoutPorts, SaysWhichSystemIsMissingAndWhy) {
  // A server name nobody runs: as on a machine where JACK was never started.
  setenv("JACK_DEFAULT_SERVER", "varnet-test-no-such-server", 1);
  const std::vector<std::string> lines = MidiSystemsWithoutPorts();
#ifdef VARNET_TEST_HAVE_JACK
  EXPECT_TRUE(Has(lines, "JACK: no server running")) << ::testing::PrintToString(lines);
#endif
#ifdef VARNET_TEST_HAVE_ALSA
  if (access("/dev/snd/seq", F_OK) != 0 && errno == ENOENT) {
    EXPECT_TRUE(
        Has(lines, "ALSA sequencer: not available (/dev/snd/seq: No such file or directory)"))
        << ::testing::PrintToString(lines);
  } else {
    // A sequencer that opens is never reported as missing, only as empty.
    for (const std::string& line : lines)
      EXPECT_NE(line.rfind("ALSA sequencer: not available", 0), 0u) << line;
  }
#endif
  for (const std::string& line : lines) EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace varnet
