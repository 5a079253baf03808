// File names as varnet-flash prints them.
#pragma once

#include <string>

namespace varnet {

// `name` as it is when it holds only printable characters; otherwise in double quotes with the
// control characters (and any quote or backslash) escaped, so that a name cannot move the cursor,
// change colours or forge a line of output.
std::string PrintableName(const std::string& name);

}  // namespace varnet
