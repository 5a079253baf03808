// varnet-flash inspect FILE: what a firmware file holds and what an update of it will cost.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli/commands.h"
#include "cli/firmware_loading.h"
#include "cli/json_output.h"
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

std::string Count(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

void PrintInspectText(std::ostream& out, const std::string& path, const FirmwareImage& image,
                      const StreamEstimate& estimate, const StreamEstimate& slow,
                      uint64_t trailing) {
  out << "File:             " << PrintableName(path) << "\n"
      << "Converter kind:   " << KindName(image.converterKind) << "\n"
      << "Payload length:   " << Count(image.payloadLength, "byte", "bytes") << "\n";
  // Two images joined pass as the first: the rest is never sent, and the user should know.
  if (trailing > 0) {
    out << "Trailing bytes:   " << Count(trailing, "byte", "bytes")
        << " after the declared payload, ignored\n";
  }
  out << "Pause codes (payload positions 1 and up; the first byte's code is never acted on):\n";
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
      << Seconds(estimate.pausingMs) << " in pauses)\n"
      << "Slow transfer:    " << Seconds(slow.sendingMs + slow.pausingMs) << " ("
      << Seconds(slow.sendingMs) << " sending at " << kSlowPieceSize
      << " bytes per 10 ms; update --slow)\n"
      << "USB MIDI:         " << estimate.pausesHeldByUsb << " of "
      << (estimate.sends == 0 ? 0 : estimate.sends - 1)
      << " pauses fall where a USB MIDI interface holds the last 1 or 2 bytes back until the "
         "pause ends\n";
}

// The same facts as the text, for scripts.
JsonObject InspectJson(const std::string& path, const FirmwareImage& image,
                       const StreamEstimate& estimate, const StreamEstimate& slow,
                       uint64_t trailing) {
  std::vector<JsonObject> pauses;
  for (const PauseCount& count : estimate.pauses) {
    pauses.push_back(JsonObject()
                         .set("code", count.code)
                         .set("pause_ms", count.pauseMs)
                         .set("bytes", count.bytes));
  }
  JsonObject json;
  json.set("file", path)
      .set("converter_kind", KindName(image.converterKind))
      .set("payload_bytes", image.payloadLength)
      .set("pause_codes", pauses)
      .set("first_byte_has_pause_code", estimate.firstByteHasPauseCode)
      .set("encoded_bytes", estimate.encodedBytes)
      .set("sends", estimate.sends)
      .set("estimated_seconds", JsonSeconds(estimate.sendingMs + estimate.pausingMs))
      .set("sending_seconds", JsonSeconds(estimate.sendingMs))
      .set("pausing_seconds", JsonSeconds(estimate.pausingMs))
      .set("slow_estimated_seconds", JsonSeconds(slow.sendingMs + slow.pausingMs))
      .set("pauses_held_by_usb_midi", estimate.pausesHeldByUsb);
  if (image.payloadLength == 0) {
    json.set("update_refuses", kEmptyPayloadText);
  } else {
    json.setNull("update_refuses");
  }
  json.set("trailing_bytes", trailing);
  return json;
}

int Inspect(const std::string& path, bool json, CliContext& context) {
  if (const std::optional<int> failed = LoadFirmwareOrSayWhy(
          path, context, FirmwareBlocks::PayloadOnly, {"", "", kExitNotValid})) {
    return *failed;
  }
  // The payload is in the image now, and the estimate only counts the stream from it: without the
  // file's bytes and an update's working blocks, a large file costs its payload alone from here
  // on (at most the file and the payload together, during the load).
  const uint64_t declared = uint64_t{kFirmwareHeaderSize} + context.image.payloadLength;
  const uint64_t trailing =
      context.fileBuffer.bytesRead > declared ? context.fileBuffer.bytesRead - declared : 0;
  context.fileBuffer = FileBuffer{};

  FirmwareImage& image = context.image;
  const StreamEstimate estimate = EstimateStream(image);
  const StreamEstimate slow = EstimateStream(image, kSlowPieceSize);
  if (json) {
    PrintJson(context.out, InspectJson(path, image, estimate, slow, trailing));
  } else {
    PrintInspectText(context.out, path, image, estimate, slow, trailing);
  }
  // The header is valid, but an update refuses a file without payload: so must the check.
  if (image.payloadLength == 0) {
    context.out.flush();
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
  auto json = std::make_shared<bool>(false);
  inspect->add_option("file", *path, "Firmware file")->required();
  inspect->add_flag("--json", *json, "Print the facts as one JSON object (keys in README)");
  inspect->callback([path, json, &context] {
    try {
      context.exitCode = Inspect(*path, *json, context);
    } catch (const std::bad_alloc&) {
      context.err << PrintableName(*path) << ": " << std::generic_category().message(ENOMEM)
                  << "\n";
      context.exitCode = kExitCannotOpen;
    }
  });
}

}  // namespace varnet
