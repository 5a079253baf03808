// The simulated converter's answers, echo and injected faults.
#include "sim/converter.h"

#include <gtest/gtest.h>

#include <vector>

namespace varnet::sim {
namespace {

using std::chrono::milliseconds;

const std::vector<uint8_t> kIdentify = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x10, 0xF7};
const std::vector<uint8_t> kHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11};
const TimePoint kT0{};

std::vector<uint8_t> Joined(const std::vector<Emission>& emissions) {
  std::vector<uint8_t> all;
  for (const Emission& e : emissions) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  return all;
}

SimulatedConverter WithFault(const std::string& name) {
  Faults faults;
  std::string error;
  EXPECT_TRUE(ParseFault(name, faults, error)) << error;
  ConverterConfig config;
  config.faults = faults;
  return SimulatedConverter(config);
}

void Send(SimulatedConverter& device, const std::vector<uint8_t>& bytes, TimePoint at = kT0) {
  device.receive(bytes.data(), bytes.size(), at, std::chrono::microseconds(320));
}

// The header and `body` data bytes 0x40, 0x41, ...
std::vector<uint8_t> Stream(std::size_t body) {
  std::vector<uint8_t> bytes = kHeader;
  for (std::size_t i = 0; i < body; ++i) bytes.push_back(0x40 + (i % 0x40));
  return bytes;
}

TEST(Converter, AnswersTheIdentifyRequestAfterItsDelay) {
  ConverterConfig config;
  config.kind = kKindDA;
  config.replyDelay = milliseconds(35);
  SimulatedConverter device(config);
  Send(device, kIdentify);
  const std::vector<Emission> out = device.takeEmissions();
  ASSERT_EQ(out.size(), 1u);
  const std::vector<uint8_t>& reply = out[0].bytes;
  ASSERT_GE(reply.size(), 12u);
  EXPECT_EQ(reply.front(), 0xF0);
  EXPECT_EQ(reply[4], 0x32);
  EXPECT_EQ(reply[6], 0x30);
  EXPECT_EQ(reply[10] & 1, 1);
  EXPECT_EQ(reply.back(), 0xF7);
  for (std::size_t i = 1; i + 1 < reply.size(); ++i) EXPECT_LT(reply[i], 0x80);
  // The request's last byte arrived 7 byte times after its first.
  EXPECT_EQ(out[0].due, kT0 + std::chrono::microseconds(7 * 320) + milliseconds(35));
  EXPECT_EQ(device.identifyRequests(), 1u);
  EXPECT_TRUE(device.takeEmissions().empty());
}

TEST(Converter, AnADConverterClearsBitZeroOfByteTen) {
  SimulatedConverter device;
  device.setKind(kKindAD);
  Send(device, kIdentify);
  EXPECT_EQ(device.takeEmissions().at(0).bytes.at(10) & 1, 0);
}

TEST(Converter, IgnoresRequestsForOtherDeviceIdsAndBeforeTheHeaderEchoesNothing) {
  SimulatedConverter device;
  std::vector<uint8_t> other = kIdentify;
  other[4] = 0x42;
  Send(device, other);
  Send(device, {0x90, 0x40, 0x7F, 0x55});
  EXPECT_TRUE(device.takeEmissions().empty());
}

TEST(Converter, EchoesEveryByteFromTheHeaderOnInOrder) {
  SimulatedConverter device;
  const std::vector<uint8_t> stream = Stream(50);
  Send(device, std::vector<uint8_t>(stream.begin(), stream.begin() + 5));  // header split
  Send(device, std::vector<uint8_t>(stream.begin() + 5, stream.end()), kT0 + milliseconds(10));
  Send(device, {0xF7}, kT0 + milliseconds(300));
  std::vector<uint8_t> expected = stream;
  expected.push_back(0xF7);
  EXPECT_EQ(Joined(device.takeEmissions()), expected);
  EXPECT_EQ(device.echoedBytes(), expected.size());
  // After the stream the device answers again and echoes nothing else.
  Send(device, kIdentify, kT0 + milliseconds(400));
  Send(device, {0xF0, 0x01, 0xF7}, kT0 + milliseconds(500));
  const std::vector<Emission> after = device.takeEmissions();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].bytes[6], 0x30);
}

TEST(Converter, EchoIsDueAfterTheLastByteOfEachDelivery) {
  ConverterConfig config;
  config.echoDelay = milliseconds(2);
  SimulatedConverter device(config);
  Send(device, Stream(22));  // 32 bytes
  const std::vector<Emission> out = device.takeEmissions();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].due, kT0 + std::chrono::microseconds(31 * 320) + milliseconds(2));
  EXPECT_FALSE(out[0].flush);
}

TEST(ConverterFaults, NoReply) {
  SimulatedConverter device = WithFault("no-reply");
  Send(device, kIdentify);
  EXPECT_TRUE(device.takeEmissions().empty());
  EXPECT_EQ(device.identifyRequests(), 1u);
}

TEST(ConverterFaults, LateReplyComesAfterTheWindow) {
  SimulatedConverter device = WithFault("late-reply");
  Send(device, kIdentify);
  const std::vector<Emission> out = device.takeEmissions();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_GT(out[0].due - kT0, milliseconds(510));
}

TEST(ConverterFaults, WrongIdKeepsEverythingButTheId) {
  SimulatedConverter device = WithFault("wrong-id");
  Send(device, kIdentify);
  const std::vector<uint8_t> reply = device.takeEmissions().at(0).bytes;
  EXPECT_NE(reply[4], 0x32);
  EXPECT_EQ(reply[6], 0x30);
}

TEST(ConverterFaults, CorruptEchoFlipsExactlyStreamByteN) {
  SimulatedConverter device = WithFault("corrupt-echo:17");
  const std::vector<uint8_t> stream = Stream(40);
  Send(device, stream);
  const std::vector<uint8_t> echo = Joined(device.takeEmissions());
  ASSERT_EQ(echo.size(), stream.size());
  for (std::size_t i = 0; i < echo.size(); ++i) {
    if (i == 17) {
      EXPECT_NE(echo[i], stream[i]);
    } else {
      EXPECT_EQ(echo[i], stream[i]) << i;
    }
  }
  // The device itself received the right byte.
  EXPECT_EQ(device.received(), stream);
}

TEST(ConverterFaults, ExtraEchoInsertsOneByteAfterNEchoed) {
  SimulatedConverter device = WithFault("extra-echo:12");
  const std::vector<uint8_t> stream = Stream(20);
  Send(device, stream);
  std::vector<uint8_t> echo = Joined(device.takeEmissions());
  ASSERT_EQ(echo.size(), stream.size() + 1);
  EXPECT_NE(echo[12], stream[12]);
  EXPECT_LT(echo[12], 0x80);
  echo.erase(echo.begin() + 12);
  EXPECT_EQ(echo, stream);
}

TEST(ConverterFaults, SilentEchoStillDecodes) {
  SimulatedConverter device = WithFault("silent-echo");
  Send(device, Stream(6));
  Send(device, {0xF7}, kT0 + milliseconds(300));
  EXPECT_TRUE(device.takeEmissions().empty());
  EXPECT_EQ(device.decoded().symbols.size(), 15u);  // 6 bytes: 5 full, the last is the tail
  Send(device, kIdentify, kT0 + milliseconds(400));
  EXPECT_EQ(device.takeEmissions().size(), 1u);  // still answers
}

TEST(ConverterFaults, OddBlocksSplitTheEchoIrregularlyAndFlushEachBlock) {
  SimulatedConverter device = WithFault("odd-blocks");
  const std::vector<uint8_t> stream = Stream(90);
  Send(device, stream);
  const std::vector<Emission> out = device.takeEmissions();
  EXPECT_EQ(Joined(out), stream);
  ASSERT_GT(out.size(), 4u);
  std::vector<std::size_t> sizes;
  for (const Emission& e : out) {
    EXPECT_TRUE(e.flush);
    sizes.push_back(e.bytes.size());
  }
  EXPECT_NE(sizes[0], sizes[1]);
  EXPECT_NE(sizes[1], sizes[2]);
  for (std::size_t i = 1; i < out.size(); ++i) EXPECT_GE(out[i].due, out[i - 1].due);
}

TEST(ConverterFaults, UnplugAfterNBytes) {
  SimulatedConverter device = WithFault("unplug:20");
  const std::vector<uint8_t> stream = Stream(30);
  Send(device, kIdentify);
  EXPECT_TRUE(device.completesOutput());
  EXPECT_EQ(device.takeEmissions().size(), 1u);  // the reply still came
  Send(device, stream, kT0 + milliseconds(600));
  EXPECT_FALSE(device.present());
  EXPECT_FALSE(device.completesOutput());
  EXPECT_EQ(device.received().size(), 20u);
  EXPECT_EQ(Joined(device.takeEmissions()).size(), 12u);  // stream bytes received before it went
  Send(device, kIdentify, kT0 + milliseconds(900));
  EXPECT_TRUE(device.takeEmissions().empty());
  device.restart();
  EXPECT_TRUE(device.present());
}

TEST(ConverterFaults, UnplugAtZeroTakesNothing) {
  SimulatedConverter device = WithFault("unplug:0");
  Send(device, kIdentify);
  EXPECT_TRUE(device.received().empty());
  EXPECT_TRUE(device.takeEmissions().empty());
  EXPECT_FALSE(device.completesOutput());
}

TEST(ConverterFaults, StallOutputReceivesButNeverCompletes) {
  SimulatedConverter device = WithFault("stall-output");
  Send(device, kIdentify);
  EXPECT_FALSE(device.completesOutput());
  EXPECT_TRUE(device.present());
  EXPECT_EQ(device.takeEmissions().size(), 1u);
}

TEST(FaultNames, ParseAndList) {
  Faults faults;
  std::string error;
  EXPECT_TRUE(ParseFault("corrupt-echo:17", faults, error));
  EXPECT_EQ(faults.corruptEcho, 17u);
  EXPECT_FALSE(ParseFault("corrupt-echo", faults, error));
  EXPECT_NE(error.find("needs a byte count"), std::string::npos);
  EXPECT_FALSE(ParseFault("no-reply:3", faults, error));
  EXPECT_FALSE(ParseFault("unplug:x", faults, error));
  EXPECT_FALSE(ParseFault("unplug:-1", faults, error));
  EXPECT_FALSE(ParseFault("unplug:", faults, error));
  EXPECT_FALSE(ParseFault("melt", faults, error));
  EXPECT_EQ(error, "unknown fault 'melt'");
  // Every listed fault parses (with a number where the name shows one).
  for (const FaultInfo& info : FaultList()) {
    std::string name(info.name);
    if (const auto n = name.find(":N"); n != std::string::npos) name.replace(n, 2, ":3");
    if (const auto k = name.find(":K"); k != std::string::npos) name.replace(k, 2, ":2");
    Faults f;
    EXPECT_TRUE(ParseFault(name, f, error)) << name << ": " << error;
    EXPECT_FALSE(info.description.empty());
  }
  EXPECT_EQ(FaultList().size(), 16u);
  // The link's losses: a count of bytes after the position, within bounds.
  EXPECT_TRUE(ParseFault("lose-echo:40", faults, error));
  EXPECT_EQ(faults.loseEcho, 40u);
  EXPECT_EQ(faults.loseCount, 1u);
  EXPECT_TRUE(ParseFault("lose-echo:40:32", faults, error));
  EXPECT_EQ(faults.loseCount, 32u);
  for (const char* bad : {"lose-echo:40:0", "lose-echo:40:1001", "lose-echo:40:", "lose-echo:40:x",
                          "lose-replies:0", "unplug:3:2"}) {
    EXPECT_FALSE(ParseFault(bad, faults, error)) << bad;
  }
}

}  // namespace
}  // namespace varnet::sim
