// Writes the two example firmware files of the repository:
//   varnet-make-examples OUTDIR
// The payloads are pseudo-random symbols with pause codes where a real image would have them
// (after the erase request, at block boundaries, between short records), made from a fixed seed
// so that the files are the same on every run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct ExampleLayout {
  const char* fileName;
  uint8_t kind;
  uint32_t payloadLength;
  uint32_t longPauseAt;  // 0: no 15 s pause
  uint32_t blockSize;    // 0x40 (115 ms) at every block boundary
  uint32_t recordSize;   // 0x20 (40 ms) at every record boundary inside a block
  uint32_t seed;
};

// Minimal linear congruential generator: the output must not depend on the standard library.
class Lcg {
 public:
  explicit Lcg(uint32_t seed) : state_(seed) {}
  uint32_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }

 private:
  uint32_t state_;
};

std::vector<uint8_t> MakeFile(const ExampleLayout& layout) {
  std::vector<uint8_t> file = {'J', 'T', 'G', layout.kind, 0x07, 0x08, 0x01};
  for (int shift = 24; shift >= 0; shift -= 8) {
    file.push_back(static_cast<uint8_t>(layout.payloadLength >> shift));
  }
  Lcg random(layout.seed);
  for (uint32_t position = 0; position < layout.payloadLength; ++position) {
    const uint32_t r = random.Next();
    uint8_t byte = static_cast<uint8_t>(r & 0x0F);  // symbol and the ignored bits 3..2
    if (layout.longPauseAt != 0 && position == layout.longPauseAt) {
      byte |= 0x80;
    } else if (position % layout.blockSize == 0) {
      byte |= 0x40;
    } else if (position % layout.recordSize == 0) {
      byte |= 0x20;
    } else if ((r >> 12) % 3000 == 0) {
      byte |= 0x10;
    } else if ((r >> 12) % 3000 == 1) {
      byte |= 0x30;  // not a pause: only single-bit codes pause
    }
    file.push_back(byte);
  }
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " OUTDIR\n";
    return 2;
  }
  const ExampleLayout layouts[] = {
      // About 10 s at 9600 symbols per second, no 15 s pause: the real-time demo stays short.
      {"varnet-ad-example.jtg", 0xAD, 72000, 0, 9000, 3000, 0xAD0001},
      // One 15 s wait after the first record, as after an erase request.
      {"varnet-da-example.jtg", 0xDA, 48000, 96, 8000, 2000, 0xDA0001},
  };
  for (const ExampleLayout& layout : layouts) {
    const std::filesystem::path path = std::filesystem::path(argv[1]) / layout.fileName;
    const std::vector<uint8_t> bytes = MakeFile(layout);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::cerr << path.string() << ": cannot write\n";
      return 1;
    }
    std::cout << "wrote " << path.string() << " (" << bytes.size() << " bytes)\n";
  }
  return 0;
}
