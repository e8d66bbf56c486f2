// The escape of the report's query values.
#pragma once

#include <string>

namespace chunkup {

// Appends `input` (zero-terminated bytes) escaped for a form query value:
// space as '+', reserved ASCII as %xx in lower case. Control bytes, which file
// names on Linux may hold, are escaped as well so they can never break the
// request line. Returns output.c_str().
const char* FormUrlEncode(std::string& output, const char* input);

}  // namespace chunkup
