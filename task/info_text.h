#pragma once

#include <cstddef>
#include <string>

#include "chunkup.h"

namespace chunkup {

// Writes `text` into a string slot: inline up to 15 bytes, else in a block
// of capacity + 1 bytes. Blocks are kept once per distinct text for the life
// of the process, so a host that polls forever does not make memory grow.
void WriteSlotText(UploadTextSlot& slot, const std::string& text);

// How many distinct long texts the process keeps.
size_t InternedTextCountForTesting();

}  // namespace chunkup
