// The block functions behind Sha1Feed: each runs the SHA-1 compression over
// `count` whole 64-byte blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chunkup::sha1_detail {

using BlockFunction = void (*)(uint32_t chaining[5], const uint8_t* blocks, size_t count);

void PortableBlocks(uint32_t chaining[5], const uint8_t* blocks, size_t count);

// Null where the build has no SHA extensions path (not x86).
extern const BlockFunction kShaNiBlocks;
// Whether this CPU runs kShaNiBlocks.
bool CpuHasShaNi();

}  // namespace chunkup::sha1_detail
