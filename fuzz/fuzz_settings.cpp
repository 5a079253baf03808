// The settings loader on arbitrary "ini.upd" files, and a save of whatever was loaded followed by
// a second load that must give the same three values back.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "settings/settings.h"

namespace {

std::string MakeDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string dir =
      std::string(base ? base : "/tmp") + "/varnet-fuzz-settings-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = MakeDirectory();
  const std::string path = dir + "/" + varnet::kSettingsFileName;

  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  int32_t input = -7, output = -9;
  uint8_t type = 0x5A;
  varnet::FileBuffer buffer;
  varnet::StoredPorts names;
  names.input.shownName = names.output.shownName = "unset";
  std::string why;
  bool slow = true;
  const int loaded = varnet::LoadSettings(dir, buffer, {input, output, type, &names, &why, &slow});

  const bool valid = size >= 11 && std::equal(data, data + 6, "updini");
  FUZZ_CHECK(loaded == (valid ? 1 : 0));
  FUZZ_CHECK(why.empty() == valid);  // a file that is there and not used always says why
  if (!valid) {
    FUZZ_CHECK(input == -7 && output == -9 && type == 0x5A && slow);  // nothing changed
    return 0;
  }
  FUZZ_CHECK(input == data[6] && output == data[7] && type == data[8]);
  for (const varnet::StoredPort* port : {&names.input, &names.output}) {
    FUZZ_CHECK(port->shownName.size() <= varnet::kStoredPortNameLength);
    FUZZ_CHECK(port->shownName.find('\0') == std::string::npos);
    FUZZ_CHECK(port->kind != varnet::StoredPort::Kind::None || port->shownName.empty());
  }

  // Saving the loaded values and loading them again is the identity. Only now and then: each
  // save flushes to disk.
  if (data[9] == 0xA5 || (names.input.kind != varnet::StoredPort::Kind::None && data[8] == 0xA5)) {
    FUZZ_CHECK(varnet::SaveSettings(dir, buffer, {input, output, type, &names, nullptr, &slow}) ==
               1);
    int32_t input2 = 0, output2 = 0;
    uint8_t type2 = 0;
    varnet::StoredPorts names2;
    bool slow2 = !slow;
    varnet::FileBuffer again;
    FUZZ_CHECK(
        varnet::LoadSettings(dir, again, {input2, output2, type2, &names2, nullptr, &slow2}) == 1);
    FUZZ_CHECK(input2 == input && output2 == output && type2 == type && slow2 == slow);
    FUZZ_CHECK(names2.input == names.input && names2.output == names.output);
    FUZZ_CHECK(again.bytesRead == varnet::kSettingsFileSize);
    // The last four bytes, which other settings own, survive the save; only the transfer
    // options' marker with no flag at all is cleared as meaningless.
    const bool emptyOptions =
        size >= 100 && data[96] == 't' && data[97] == 'o' && data[98] == 1 && data[99] == 0;
    for (std::size_t i = 96; i < 100; ++i) {
      FUZZ_CHECK(again.data[i] == (size >= 100 && !emptyOptions ? data[i] : 0));
    }
  }
  return 0;
}
