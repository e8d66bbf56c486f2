// Chunk keys, base64url, the form escape of the report query, and the text
// conversions between UTF-16 and narrow text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace chunkup {

class Platform;

// Length of the base64url text of `length` bytes (always padded). With no
// destination it only measures; a destination smaller than that sets *error
// and writes nothing. Writes no terminator.
size_t Base64UrlEncode(const uint8_t* source, size_t length, char* destination, size_t capacity,
                       bool* error);

// The 28-character key of a 20-byte SHA-1 digest.
int MakeChunkKey(std::string& key, const uint8_t* digest);

// Appends `input` (zero-terminated bytes) escaped for a form query value:
// space as '+', reserved ASCII as %xx in lower case. Control bytes, which file
// names on Linux may hold, are escaped as well so they can never break the
// request line. Returns output.c_str().
const char* FormUrlEncode(std::string& output, const char* input);

// UTF-16 to a malloc'ed zero-terminated UTF-8 text, or null; free() it.
char* WideToUtf8Buffer(Platform& platform, const char16_t* text);
// Narrow text in the system code page to UTF-16, up to its first zero.
std::u16string AnsiToWide(Platform& platform, const std::string& text);
// UTF-16 to UTF-8, up to its first zero.
std::string WideToUtf8(Platform& platform, const std::u16string& text);

}  // namespace chunkup
