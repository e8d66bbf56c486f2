#pragma once

#include <json/value.h>

#include <string>

namespace chunkup {

// The compact text of a request document, as the file service reads it:
// members in ascending byte order of their names, no spaces, one line feed at
// the end; strings keep non-ASCII bytes as they are (UTF-8) and escape only
// the quotation mark, the backslash and control characters (\b \f \n \r \t,
// the others as \u00XX with upper-case digits).
//
// jsoncpp's FastWriter has the layout but escapes every non-ASCII character
// as \uXXXX (and uses lower-case digits), so it is not used for requests.
std::string CompactJsonText(const Json::Value& document);

}  // namespace chunkup
