// varnet-flash export FILE OUT: the exact bytes a converter receives during an update of FILE
// (stream header, encoded stream, end byte; the pauses between sends are not represented), made
// by the engine's own sending path on a recording port.
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/firmware_loading.h"
#include "cli/names.h"
#include "engine/session.h"
#include "engine/stream_recording.h"

namespace varnet {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitNotValid = 1;
constexpr int kExitCannotReadOrWrite = 2;

int Export(const std::string& path, const std::string& outPath, CliContext& context) {
  if (const std::optional<int> failed =
          LoadFirmwareOrSayWhy(path, context, FirmwareBlocks::ForUpdate, {"", "", kExitNotValid})) {
    return *failed;
  }
  // An update refuses a file without payload; its stream is not one a device ever receives.
  if (context.image.payloadLength == 0) {
    context.err << kEmptyPayloadText << "\n";
    return kExitNotValid;
  }
  context.fileBuffer = FileBuffer{};  // the file's bytes are in the image now

  StreamRecording recording;
  if (!RecordUpdateStream(context.image, recording)) {
    context.err << PrintableName(path) << ": " << recording.problem << "\n";
    return kExitCannotReadOrWrite;
  }
  // OUT is either the whole stream or left as it was: a half-written stream file must never be
  // taken for a good one, and the firmware file itself is never overwritten.
  FileWriteOptions options;
  options.mustNotBe = path;
  std::string reason;
  if (!WriteFileAtomically(outPath, recording.wire, options, &reason)) {
    context.err << PrintableName(outPath) << ": " << reason << "\n";
    return kExitCannotReadOrWrite;
  }
  // With the stream on standard output, the report must not become part of it.
  std::ostream& report = outPath == "-" ? context.err : context.out;
  report << "Wrote " << recording.wire.size() << " bytes to " << PrintableName(outPath) << " ("
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
  exportCommand->add_option("out", *outPath, "File to write the stream to (- for standard output)")
      ->required();
  exportCommand->callback([path, outPath, &context] {
    try {
      context.exitCode = Export(*path, *outPath, context);
    } catch (const std::bad_alloc&) {
      context.err << PrintableName(*path) << ": " << std::generic_category().message(ENOMEM)
                  << "\n";
      context.exitCode = kExitCannotReadOrWrite;
    }
  });
}

}  // namespace varnet
