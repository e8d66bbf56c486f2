// UTF-8 <-> UTF-16 with the Windows conversion conventions: a source length
// of -1 means zero-terminated (the terminator is converted and counted), a null
// target or a capacity of 0 asks for the length needed, and 0 means failure
// (target too small). Ill-formed input becomes U+FFFD, as Windows does
// without its strict flag.
#pragma once

#include <string>

#include "platform/platform.h"

namespace chunkup {

int ConvertUtf8ToUtf16(const char* source, int sourceLength, char16_t* target, int capacity);
int ConvertUtf16ToUtf8(const char16_t* source, int sourceLength, char* target, int capacity);

}  // namespace chunkup
