// varnet-flash inspect FILE: what a firmware file holds and what an update of it will cost.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/firmware_memory.h"
#include "cli/names.h"
#include "engine/session.h"
#include "engine/stream_estimate.h"

namespace varnet {

namespace {

constexpr int kExitValid = 0;
constexpr int kExitNotValid = 1;
constexpr int kExitCannotOpen = 2;

std::string KindName(uint8_t kind) {
  if (kind == kKindAD) return "AD";
  if (kind == kKindDA) return "DA";
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", kind);
  return hex;
}

std::string Seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms) / 1000.0);
  return text;
}

// The loader's message without the trailing blank and line feed, which only suit a message box.
std::string NotValidLine() {
  std::string text = kFirmwareNotValidText;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string Count(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

int Inspect(const std::string& path, CliContext& context) {
  std::string reason;
  if (!ReadWholeFile(path, context.fileBuffer, &reason)) {
    context.err << PrintableName(path) << ": " << reason << "\n";
    return kExitCannotOpen;
  }
  if (ParseFirmwareImage(context.fileBuffer, context.image, FirmwareBlocks::PayloadOnly) != 0) {
    if (RefusedForWantOfMemory(context.fileBuffer)) {
      context.err << PrintableName(path) << ": " << std::generic_category().message(ENOMEM) << "\n";
      return kExitCannotOpen;
    }
    context.err << NotValidLine() << "\n";
    return kExitNotValid;
  }
  // The payload is in the image now, and the estimate only counts the stream from it: without the
  // file's bytes and an update's working blocks, a large file costs its payload alone from here
  // on (at most the file and the payload together, during the load).
  context.fileBuffer = FileBuffer{};

  FirmwareImage& image = context.image;
  const StreamEstimate estimate = EstimateStream(image);
  std::ostream& out = context.out;
  out << "File:             " << PrintableName(path) << "\n"
      << "Converter kind:   " << KindName(image.converterKind) << "\n"
      << "Payload length:   " << Count(image.payloadLength, "byte", "bytes") << "\n"
      << "Pause codes (payload positions 1 and up; the first byte's code is never acted on):\n";
  for (const PauseCount& count : estimate.pauses) {
    char line[80];
    std::snprintf(line, sizeof line, "  0x%02X (%5u ms): %u %s\n", count.code, count.pauseMs,
                  count.bytes, count.bytes == 1 ? "byte" : "bytes");
    out << line;
  }
  if (estimate.firstByteHasPauseCode) out << "  (the first payload byte carries a pause code)\n";
  out << "Encoded stream:   " << Count(estimate.encodedBytes, "byte", "bytes") << " in "
      << Count(estimate.sends, "send", "sends") << "\n"
      << "Estimated time:   " << Seconds(estimate.sendingMs + estimate.pausingMs) << " ("
      << Seconds(estimate.sendingMs) << " sending at 32 bytes per 10 ms, "
      << Seconds(estimate.pausingMs) << " in pauses)\n";
  // The header is valid, but an update refuses a file without payload: so must the check.
  if (image.payloadLength == 0) {
    out.flush();
    context.err << "An update refuses this file: " << kEmptyPayloadText << "\n";
    return kExitNotValid;
  }
  return kExitValid;
}

}  // namespace

void AddInspectCommand(CLI::App& app, CliContext& context) {
  CLI::App* inspect =
      app.add_subcommand("inspect", "Check a firmware file (.jtg) and show what an update sends");
  auto path = std::make_shared<std::string>();
  inspect->add_option("file", *path, "Firmware file")->required();
  inspect->callback([path, &context] {
    try {
      context.exitCode = Inspect(*path, context);
    } catch (const std::bad_alloc&) {
      context.err << PrintableName(*path) << ": " << std::generic_category().message(ENOMEM)
                  << "\n";
      context.exitCode = kExitCannotOpen;
    }
  });
}

}  // namespace varnet
