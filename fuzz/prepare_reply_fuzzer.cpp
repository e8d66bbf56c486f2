// A prepare reply as the network delivers it: body parsed as the transport
// parses it, then the decision taken from it (held, chunks to send, refusal),
// and for each ordered chunk the offset and length the chunk loop reads.
#include <json/value.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fingerprint/chunk_hashing.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reply_input.h"
#include "http/transport.h"
#include "platform/platform.h"
#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chunkup;
  const fuzz::ReplyInput input = fuzz::ParseReplyInput(data, size);
  const auto fileSize = static_cast<uint64_t>(input.fileSize);
  const auto chunkCount = static_cast<uint32_t>((fileSize + kChunkSize - 1) / kChunkSize);

  // The transport parses the body only when there was a status line.
  Json::Value reply;
  if (input.status != -1) ParseJsonReply(ByteBuffer(input.body.begin(), input.body.end()), reply);
  const PrepareDecision decision = InterpretPrepareReply(HttpResult{CURLE_OK, input.status}, reply, chunkCount);

  if (decision.outcome.ok()) {
    FUZZ_CHECK(input.status == 200);
    // Never more PUTs than the file has chunks (six attempts each).
    FUZZ_CHECK(decision.listedCount <= chunkCount);
    FUZZ_CHECK(decision.required.size() <= decision.listedCount);
    for (const ChunkOrder& order : decision.required) {
      FUZZ_CHECK(order.index < chunkCount);
      // What the chunk loop reads for it lies inside the file, on the chunk grid.
      const uint64_t offset = static_cast<uint64_t>(order.index) * kChunkSize;
      FUZZ_CHECK(offset < fileSize);
      const uint64_t length = std::min<uint64_t>(fileSize - offset, kChunkSize);
      FUZZ_CHECK(length >= 1 && offset + length <= fileSize);
    }
  } else {
    FUZZ_CHECK(decision.required.empty());
  }
  if (decision.outcome.kind == OutcomeKind::kAlreadyHeld) {
    FUZZ_CHECK(input.status == 409);
    // The result URL is kept as text and widened for the host.
    if (decision.url) SystemPlatform().SystemCodePageToUtf16(*decision.url);
  } else {
    FUZZ_CHECK(!decision.url && !decision.linkId);
  }
  if (input.status != 200 && input.status != 409) FUZZ_CHECK(!decision.outcome.ok());
  return 0;
}
