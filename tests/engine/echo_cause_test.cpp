// What a difference looks like, from the echo at and after it against the log of what was sent.
#include "engine/echo_cause.h"

#include <gtest/gtest.h>

#include <vector>

namespace varnet {
namespace {

using Bytes = std::vector<uint8_t>;

// A log as the encoder writes one: a header, then bytes from a small alphabet that do not repeat
// over short runs, so that a class found is the class meant.
Bytes Log(std::size_t count) {
  Bytes log = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x40};
  uint32_t state = 12345;
  while (log.size() < count) {
    state = state * 1103515245u + 12345u;
    log.push_back(uint8_t(0x40 | ((state >> 16) & 0x3F)));
  }
  log.back() = 0xF7;
  return log;
}

Bytes Range(const Bytes& log, std::size_t from, std::size_t to) {
  return Bytes(log.begin() + std::ptrdiff_t(from), log.begin() + std::ptrdiff_t(to));
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct CauseCase {
  const char* name;
  uint32_t offset;
  std::function<Bytes(const Bytes& log)> echo;  // from `offset` on
  DifferenceCause cause;
  uint32_t amount;
};

TEST(ClassifyEcho, Table) {
  const Bytes log = Log(400);
  using C = DifferenceCause;
  const std::vector<CauseCase> cases = {
      {"one byte lost", 100, [](const Bytes& l) { return Range(l, 101, 130); }, C::Lost, 1},
      {"32 bytes lost", 100, [](const Bytes& l) { return Range(l, 132, 160); }, C::Lost, 32},
      {"33 bytes lost is too far to tell", 100, [](const Bytes& l) { return Range(l, 133, 160); },
       C::Unknown, 0},
      {"lost up to the end byte", 380, [](const Bytes& l) { return Range(l, 395, 400); }, C::Lost,
       15},
      {"a piece replayed", 128, [](const Bytes& l) { return Range(l, 96, 140); }, C::Repeated, 32},
      {"64 bytes replayed", 200, [](const Bytes& l) { return Range(l, 136, 170); }, C::Repeated,
       64},
      {"one bit changed", 150,
       [](const Bytes& l) { return Cat({uint8_t(l[150] ^ 0x01)}, Range(l, 151, 170)); }, C::Changed,
       1},
      {"three bits changed", 150,
       [](const Bytes& l) { return Cat({uint8_t(l[150] ^ 0x23)}, Range(l, 151, 170)); }, C::Changed,
       3},
      {"four bits is no noise", 150,
       [](const Bytes& l) { return Cat({uint8_t(l[150] ^ 0x0F)}, Range(l, 151, 170)); }, C::Unknown,
       0},
      {"a changed bit with the echo out of step after it", 150,
       [](const Bytes& l) { return Cat({uint8_t(l[150] ^ 0x01)}, Range(l, 160, 170)); }, C::Unknown,
       0},
      {"a changed last byte", 399, [](const Bytes&) { return Bytes{0xF6}; }, C::Changed, 1},
      {"split", 32,
       [](const Bytes& l) {
         return Cat({0xF7, 0xF0}, Range(l, 32, 64));
       },
       C::Split, 0},
      {"an F7 alone is not yet a split", 32, [](const Bytes&) { return Bytes{0xF7}; }, C::Unknown,
       0},
      {"too little echo to confirm", 100, [](const Bytes& l) { return Range(l, 101, 104); },
       C::Unknown, 0},
      {"echo past the log replaying its end", 400,
       [](const Bytes& l) { return Range(l, 368, 400); }, C::Repeated, 32},
      {"nothing", 100, [](const Bytes&) { return Bytes{}; }, C::Unknown, 0},
  };
  for (const CauseCase& c : cases) {
    const Bytes echo = c.echo(log);
    const CauseFinding found = ClassifyEcho(log, c.offset, echo);
    EXPECT_EQ(CauseName(found.cause), std::string(CauseName(c.cause))) << c.name;
    EXPECT_EQ(found.amount, c.amount) << c.name;
  }
}

TEST(ClassifyEcho, SplitSentenceIsShownAsItIs) {
  EchoDifference d;
  d.cause = DifferenceCause::Split;
  EXPECT_NE(DescribeCause(d).find("The MIDI driver splits the stream into separate System "
                                  "Exclusive messages; this connection cannot carry a firmware "
                                  "update."),
            std::string::npos);
}

TEST(ClassifyEcho, OtherInputNamesTheMessage) {
  const std::vector<std::pair<int, const char*>> cases = {
      {0x90, "note"},       {0x83, "note"},          {0xB0, "controller"}, {0xC5, "program change"},
      {0xE0, "pitch bend"}, {0xF2, "song position"}, {0xF8, "clock"}};
  for (const auto& [status, name] : cases) {
    EchoDifference d;
    d.cause = DifferenceCause::OtherInput;
    d.echoed = status;
    EXPECT_NE(DescribeCause(d).find(std::string("a ") + name + " message"), std::string::npos)
        << status;
  }
}

}  // namespace
}  // namespace varnet
