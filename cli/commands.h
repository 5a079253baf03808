// The verbs of varnet-flash. main.cpp builds the CLI::App and calls one Add...Command per verb;
// each verb lives in its own file and reports its exit code through the CliContext.
#pragma once

#include <CLI/CLI.hpp>
#include <iostream>
#include <ostream>

#include "engine/firmware.h"

namespace varnet {

// The records one run of varnet-flash works on, owned by main() and handed to every verb.
struct CliContext {
  CliContext() = default;
  CliContext(std::ostream& out, std::ostream& err) : out(out), err(err) {}

  std::ostream& out = std::cout;
  std::ostream& err = std::cerr;
  FileBuffer fileBuffer;
  FirmwareImage image;
  int exitCode = 0;
};

void AddInspectCommand(CLI::App& app, CliContext& context);
void AddUpdateCommand(CLI::App& app, CliContext& context);
void AddListCommand(CLI::App& app, CliContext& context);
void AddExportCommand(CLI::App& app, CliContext& context);
void AddDetectCommand(CLI::App& app, CliContext& context);
void AddCheckLinkCommand(CLI::App& app, CliContext& context);

// `--simulate` as a flag with an optional kind, shared by the verbs that can run against the
// simulated converter. A flag, so that `--simulate FILE` never takes the file for the kind: the
// kind is given only as --simulate=ad or --simulate=da (a bare flag reads as "true").
CLI::Option* AddSimulateFlag(CLI::App& command, std::string& kind, const std::string& help);

class MidiPlatform;
// The lines of `varnet-flash list` ("in N: NAME", "out N: NAME") for `platform`.
int ListMidiPorts(MidiPlatform& platform, std::ostream& out);
// The same as one JSON object: {"inputs":[{"index":N,"name":NAME}],"outputs":[...]}, with a null
// name where the service would not give it.
int ListMidiPortsJson(MidiPlatform& platform, std::ostream& out);

}  // namespace varnet
