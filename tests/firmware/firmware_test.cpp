#include "engine/firmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/firmware/allocation_probe.h"

namespace varnet {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Header(uint32_t declaredLength, uint8_t kind = kKindAD) {
  return {'J',
          'T',
          'G',
          kind,
          0x07,
          0x08,
          0x01,
          static_cast<uint8_t>(declaredLength >> 24),
          static_cast<uint8_t>(declaredLength >> 16),
          static_cast<uint8_t>(declaredLength >> 8),
          static_cast<uint8_t>(declaredLength)};
}

// A firmware file with `payloadLength` payload bytes 0, 1, 2, ... and `trailing` bytes 0xEE.
std::vector<uint8_t> FirmwareFile(uint32_t payloadLength, uint32_t trailing = 0,
                                  uint8_t kind = kKindAD) {
  std::vector<uint8_t> file = Header(payloadLength, kind);
  for (uint32_t i = 0; i < payloadLength; ++i) file.push_back(static_cast<uint8_t>(i));
  file.insert(file.end(), trailing, 0xEE);
  return file;
}

// What ReadWholeFile leaves behind after reading `bytes`.
FileBuffer Loaded(const std::vector<uint8_t>& bytes) {
  FileBuffer buffer;
  buffer.data = bytes;
  buffer.data.push_back(0);
  buffer.size = static_cast<uint32_t>(bytes.size());
  buffer.bytesRead = buffer.size;
  return buffer;
}

// An image that a refused load must leave exactly as it is.
void MarkImage(FirmwareImage& image) {
  image.PayloadBuffer.assign(7, 0x11);
  image.SendBuffer.assign(8, 0x22);
  image.SentLog.assign(9, 0x33);
  image.payloadLength = 7;
  image.converterKind = 0x5A;
}

void ExpectMarked(const FirmwareImage& image) {
  EXPECT_EQ(image.PayloadBuffer, std::vector<uint8_t>(7, 0x11));
  EXPECT_EQ(image.SendBuffer, std::vector<uint8_t>(8, 0x22));
  EXPECT_EQ(image.SentLog, std::vector<uint8_t>(9, 0x33));
  EXPECT_EQ(image.payloadLength, 7u);
  EXPECT_EQ(image.converterKind, 0x5A);
}

int Parse(const std::vector<uint8_t>& bytes, FirmwareImage& image) {
  return ParseFirmwareImage(Loaded(bytes), image);
}

TEST(ParseFirmwareImage, FileMustBeLongerThanFiftyBytes) {
  FirmwareImage image;
  MarkImage(image);
  EXPECT_EQ(Parse(FirmwareFile(39), image), -1);  // 50 bytes, header correct
  ExpectMarked(image);

  EXPECT_EQ(Parse(FirmwareFile(40), image), 0);  // 51 bytes
  EXPECT_EQ(image.payloadLength, 40u);
  std::vector<uint8_t> expected(40);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(image.PayloadBuffer, expected);
}

TEST(ParseFirmwareImage, ValidationCountsBytesReadNotFileSize) {
  FirmwareImage image;
  FileBuffer buffer = Loaded(FirmwareFile(40));
  buffer.bytesRead = 50;  // a short read
  EXPECT_EQ(ParseFirmwareImage(buffer, image), -1);
}

TEST(ParseFirmwareImage, MagicIsCaseSensitiveAndStopsAtZero) {
  for (const char* magic : {"jtg", "JtG", "JTg", "JTH"}) {
    std::vector<uint8_t> file = FirmwareFile(60);
    std::copy(magic, magic + 3, file.begin());
    FirmwareImage image;
    MarkImage(image);
    EXPECT_EQ(Parse(file, image), -1) << magic;
    ExpectMarked(image);
  }
  std::vector<uint8_t> file = FirmwareFile(60);
  file[2] = 0x00;
  FirmwareImage image;
  EXPECT_EQ(Parse(file, image), -1);
}

TEST(ParseFirmwareImage, FormatBytesMustBe070801) {
  const std::vector<std::vector<uint8_t>> wrong = {
      {0x07, 0x08, 0x02}, {0x07, 0x09, 0x01}, {0x06, 0x08, 0x01}, {0x01, 0x08, 0x07}};
  for (const auto& format : wrong) {
    std::vector<uint8_t> file = FirmwareFile(60);
    std::copy(format.begin(), format.end(), file.begin() + 4);
    FirmwareImage image;
    MarkImage(image);
    EXPECT_EQ(Parse(file, image), -1);
    ExpectMarked(image);
  }
}

TEST(ParseFirmwareImage, AnyKindByteIsTakenUnchanged) {
  for (uint8_t kind : {kKindAD, kKindDA, uint8_t{0x00}, uint8_t{0xFF}}) {
    FirmwareImage image;
    EXPECT_EQ(Parse(FirmwareFile(60, 0, kind), image), 0);
    EXPECT_EQ(image.converterKind, kind);
  }
}

TEST(ParseFirmwareImage, LengthIsBigEndian) {
  FirmwareImage image;
  std::vector<uint8_t> file = Header(0);
  file[9] = 0x01;  // 00 00 01 00
  file.resize(11 + 256, 0x03);
  EXPECT_EQ(Parse(file, image), 0);
  EXPECT_EQ(image.payloadLength, 256u);

  file = Header(0x00010203);
  file.resize(11 + 0x00010203, 0x01);
  EXPECT_EQ(Parse(file, image), 0);
  EXPECT_EQ(image.payloadLength, 0x00010203u);
}

TEST(ParseFirmwareImage, BytesAfterThePayloadAreIgnoredAndBuffersFit) {
  FirmwareImage image;
  image.progressTotal = 5;
  image.bytesSent = 6;
  image.sentLogCount = 7;
  image.echoVerifiedCount = 8;
  EXPECT_EQ(Parse(FirmwareFile(100, 37), image), 0);
  EXPECT_EQ(image.payloadLength, 100u);
  ASSERT_EQ(image.PayloadBuffer.size(), 100u);
  EXPECT_EQ(image.PayloadBuffer.back(), 99);
  EXPECT_EQ(image.SendBuffer, std::vector<uint8_t>(100, 0x40));
  EXPECT_EQ(image.SentLog.size(), 111u);
  // A load leaves the session's counters alone.
  EXPECT_EQ(image.progressTotal, 5u);
  EXPECT_EQ(image.bytesSent, 6u);
  EXPECT_EQ(image.sentLogCount, 7u);
  EXPECT_EQ(image.echoVerifiedCount, 8u);
}

TEST(ParseFirmwareImage, DeclaredLengthBeyondTheFileIsRefused) {
  std::vector<uint8_t> file = Header(41);
  file.resize(11 + 40, 0x01);  // one byte short
  FirmwareImage image;
  MarkImage(image);
  EXPECT_EQ(Parse(file, image), -1);
  ExpectMarked(image);

  file = Header(40);
  file.resize(11 + 40, 0x01);  // exactly enough
  EXPECT_EQ(Parse(file, image), 0);
  EXPECT_EQ(image.payloadLength, 40u);
}

TEST(ParseFirmwareImage, GigabyteLengthIsRefusedWithoutAllocating) {
  for (uint32_t declared : {0xFFFFFFFFu, 0x40000000u, 0x80000001u}) {
    std::vector<uint8_t> file = Header(declared);
    file.resize(64, 0x01);
    const FileBuffer buffer = Loaded(file);
    FirmwareImage image;
    MarkImage(image);
    ResetLargestAllocation();
    EXPECT_EQ(ParseFirmwareImage(buffer, image), -1);
    EXPECT_LT(LargestAllocation(), 4096u) << declared;
    ExpectMarked(image);
  }
}

TEST(ParseFirmwareImage, SmallPayloadsKeepRoomForHandshakeAndSessionStart) {
  // The handshake assembles up to 10 bytes in SendBuffer; a session start clears 24 bytes of
  // SentLog.
  struct Case {
    uint32_t length;
    size_t send;
    size_t sentLog;
  };
  for (const Case& c :
       {Case{0, 16, 24}, Case{1, 16, 24}, Case{13, 16, 24}, Case{16, 16, 27}, Case{20, 20, 31}}) {
    std::vector<uint8_t> file = FirmwareFile(c.length);
    file.resize(std::max<size_t>(file.size(), 51), 0xEE);
    FirmwareImage image;
    ASSERT_EQ(Parse(file, image), 0) << c.length;
    EXPECT_EQ(image.payloadLength, c.length);
    EXPECT_EQ(image.PayloadBuffer.size(), c.length);
    EXPECT_EQ(image.SendBuffer, std::vector<uint8_t>(c.send, 0x40)) << c.length;
    EXPECT_EQ(image.SentLog.size(), c.sentLog) << c.length;
  }
}

// A load for a look at the file takes the payload alone: no block larger than it is allocated,
// and the working blocks an image held before are released rather than kept.
TEST(ParseFirmwareImage, PayloadOnlyAllocatesNothingButThePayload) {
  for (uint32_t length : {0u, 1u, 100u, 65536u}) {
    std::vector<uint8_t> file = FirmwareFile(length, 3);
    file.resize(std::max<size_t>(file.size(), 51), 0xEE);
    const FileBuffer buffer = Loaded(file);
    FirmwareImage image;
    MarkImage(image);
    ResetLargestAllocation();
    ASSERT_EQ(ParseFirmwareImage(buffer, image, FirmwareBlocks::PayloadOnly), 0) << length;
    EXPECT_LE(LargestAllocation(), std::max<size_t>(length, 1)) << length;
    EXPECT_EQ(image.payloadLength, length);
    ASSERT_EQ(image.PayloadBuffer.size(), length);
    if (length > 0) {
      EXPECT_EQ(image.PayloadBuffer.back(), static_cast<uint8_t>(length - 1));
    }
    EXPECT_TRUE(image.SendBuffer.empty()) << length;
    EXPECT_TRUE(image.SentLog.empty()) << length;
    EXPECT_EQ(image.converterKind, kKindAD);
  }
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("varnet-firmware-" + std::to_string(std::random_device{}()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
  fs::path dir_;
};

using ReadWholeFileTest = TempDir;

TEST_F(ReadWholeFileTest, ReadsTheFileWithOneSpareByte) {
  const std::string path = Write("a.jtg", FirmwareFile(100, 3));
  FileBuffer buffer;
  ASSERT_TRUE(ReadWholeFile(path, buffer));
  EXPECT_EQ(buffer.size, 114u);
  EXPECT_EQ(buffer.bytesRead, 114u);
  EXPECT_EQ(buffer.data.size(), 115u);
  FirmwareImage image;
  EXPECT_EQ(ParseFirmwareImage(buffer, image), 0);
  EXPECT_EQ(image.payloadLength, 100u);
}

TEST_F(ReadWholeFileTest, VanishedFileIsReportedAndNotCreated) {
  const fs::path path = dir_ / "gone.jtg";
  FileBuffer buffer;
  buffer.data.assign(3, 0x77);
  buffer.size = 2;
  buffer.bytesRead = 2;
  std::string reason;
  EXPECT_FALSE(ReadWholeFile(path.string(), buffer, &reason));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(reason, std::generic_category().message(ENOENT));
  EXPECT_EQ(buffer.data, std::vector<uint8_t>(3, 0x77));
  EXPECT_EQ(buffer.size, 2u);
  EXPECT_EQ(buffer.bytesRead, 2u);
}

TEST_F(ReadWholeFileTest, DirectoryIsNotAFile) {
  FileBuffer buffer;
  std::string reason;
  EXPECT_FALSE(ReadWholeFile(dir_.string(), buffer, &reason));
  EXPECT_FALSE(reason.empty());
}

TEST_F(ReadWholeFileTest, EmptyFileReadsButIsNotValid) {
  const std::string path = Write("empty.jtg", {});
  FileBuffer buffer;
  ASSERT_TRUE(ReadWholeFile(path, buffer));
  EXPECT_EQ(buffer.bytesRead, 0u);
  EXPECT_EQ(buffer.data.size(), 1u);
  FirmwareImage image;
  EXPECT_EQ(ParseFirmwareImage(buffer, image), -1);
}

TEST_F(ReadWholeFileTest, SixteenMebibytePayloadLoadsWhole) {
  constexpr uint32_t kLength = 16u << 20;
  std::vector<uint8_t> file = Header(kLength);
  file.resize(11 + kLength);
  for (uint32_t i = 0; i < kLength; ++i) file[11 + i] = static_cast<uint8_t>(i * 7);
  const std::string path = Write("big.jtg", file);
  FileBuffer buffer;
  ASSERT_TRUE(ReadWholeFile(path, buffer));
  FirmwareImage image;
  ASSERT_EQ(ParseFirmwareImage(buffer, image), 0);
  EXPECT_EQ(image.payloadLength, kLength);
  EXPECT_TRUE(
      std::equal(image.PayloadBuffer.begin(), image.PayloadBuffer.end(), file.begin() + 11));
  EXPECT_EQ(image.SentLog.size(), kLength + 11u);
  EXPECT_EQ(std::count(image.SendBuffer.begin(), image.SendBuffer.end(), 0x40), kLength);
}

}  // namespace
}  // namespace varnet
