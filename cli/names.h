// File and port names as varnet-flash prints them.
#pragma once

#include <cstdint>
#include <string>

namespace varnet {

// `name` as it is when it holds only printable characters; otherwise in double quotes with the
// control characters (and any quote or backslash) escaped, so that a name cannot move the cursor,
// change colours or forge a line of output. Control characters are C0, DEL and C1 (also when
// written in UTF-8, as a terminal may act on them); a byte that is not part of valid UTF-8 is
// written as \xNN, since a terminal in a single-byte encoding may take it for a C1 control.
std::string PrintableName(const std::string& name);

// "Firmware FILE (N payload bytes) via in I: IN-NAME, out O: OUT-NAME", the first line of an
// update, every name as PrintableName gives it.
std::string FirmwareViaLine(const std::string& path, uint32_t payloadBytes, int32_t input,
                            const std::string& inputName, int32_t output,
                            const std::string& outputName);

}  // namespace varnet
