// varnet-flash export FILE OUT: the exact bytes a converter receives during an update of FILE
// (stream header, encoded stream, end byte; the pauses between sends are not represented), made
// by the engine's own sending path on a recording port.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/stream_recording.h"

namespace varnet {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitNotValid = 1;
constexpr int kExitCannotReadOrWrite = 2;

std::string NotValidLine() {
  std::string text = kFirmwareNotValidText;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Writes beside the target and renames over it, so that OUT is either the whole stream or left
// as it was: a half-written stream file must never be taken for a good one.
bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes, std::string& reason) {
  const std::string partial = path + ".part";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    if (!file) {
      reason = std::generic_category().message(errno != 0 ? errno : EACCES);
      return false;
    }
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.flush();
    if (!file) {
      reason = std::generic_category().message(errno != 0 ? errno : EIO);
      file.close();
      std::remove(partial.c_str());
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(partial, path, ec);
  if (ec) {
    reason = ec.message();
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

int Export(const std::string& path, const std::string& outPath, CliContext& context) {
  std::string reason;
  if (!ReadWholeFile(path, context.fileBuffer, &reason)) {
    context.err << path << ": " << reason << "\n";
    return kExitCannotReadOrWrite;
  }
  if (ParseFirmwareImage(context.fileBuffer, context.image) != 0) {
    context.err << NotValidLine() << "\n";
    return kExitNotValid;
  }

  StreamRecording recording;
  if (!RecordUpdateStream(context.image, recording)) {
    context.err << path << ": " << recording.problem << "\n";
    return kExitCannotReadOrWrite;
  }
  errno = 0;
  if (!WriteWhole(outPath, recording.wire, reason)) {
    context.err << outPath << ": " << reason << "\n";
    return kExitCannotReadOrWrite;
  }
  context.out << "Wrote " << recording.wire.size() << " bytes to " << outPath << " ("
              << recording.headerBytes << " header, " << recording.streamBytes << " stream, "
              << recording.endBytes << " end byte)\n";
  return kExitDone;
}

}  // namespace

void AddExportCommand(CLI::App& app, CliContext& context) {
  CLI::App* exportCommand = app.add_subcommand(
      "export", "Write the exact bytes a converter receives during an update of a firmware file");
  auto path = std::make_shared<std::string>();
  auto outPath = std::make_shared<std::string>();
  exportCommand->add_option("file", *path, "Firmware file (.jtg)")->required();
  exportCommand->add_option("out", *outPath, "File to write the stream to")->required();
  exportCommand->callback(
      [path, outPath, &context] { context.exitCode = Export(*path, *outPath, context); });
}

}  // namespace varnet
