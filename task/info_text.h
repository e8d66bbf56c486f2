#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/outcome.h"
#include "chunkup.h"

namespace chunkup {

// Writes `text` into a string slot: inline up to 15 bytes, else in a block
// of capacity + 1 bytes. Blocks are kept once per distinct text for the life
// of the process, so a host that polls forever does not make memory grow.
void WriteSlotText(UploadTextSlot& slot, const std::string& text);

// The state the host sees for an outcome. The only place outcomes become
// UPLOAD_STATE_* values.
int32_t StateForOutcome(const Outcome& outcome);

// Everything an UploadInfo is made from, read at one moment.
struct InfoInputs {
  Outcome outcome;
  int64_t fileSize = 0;
  int64_t uploaded = 0;  // bytes handed over, counting held chunks as sent
  bool finished = false;
  bool paused = false;
  bool cancelled = false;
  uint64_t rate = 0;  // bytes per second
  std::u16string_view resultUrl;
  std::string_view resultUrlText;
  std::string_view linkId;
};

// Fills `info` (not zeroed here) from `in`. -1 without writing while the size
// is 0, unless the upload ended because its file could not be read: then only
// the state and size are written. `lastPercent` is the percent the host last
// saw; it is shown while paused or finished, and updated otherwise.
int ComposeUploadInfo(const InfoInputs& in, int32_t* lastPercent, UploadInfo* info);

// How many distinct long texts the process keeps.
size_t InternedTextCountForTesting();

}  // namespace chunkup
