// Chunk keys: the base64url text of a chunk's SHA-1 digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace chunkup {

// Length of the base64url text of `length` bytes (always padded). With no
// destination it only measures; a destination smaller than that sets *error
// and writes nothing. Writes no terminator.
size_t Base64UrlEncode(const uint8_t* source, size_t length, char* destination, size_t capacity,
                       bool* error);

// The 28-character key of a 20-byte SHA-1 digest.
int MakeChunkKey(std::string& key, const uint8_t* digest);

}  // namespace chunkup
