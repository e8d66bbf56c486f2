// A prepare reply as the network delivers it: body parsed as the transport
// parses it, then the decisions taken from it (held, chunks to send, refusal),
// and for each listed chunk the offset and length read from the file.
#include <json/value.h>

#include <cstddef>
#include <cstdint>

#include "fingerprint/chunk_hashing.h"
#include "fingerprint/encodings.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reply_input.h"
#include "http/transport.h"
#include "platform/platform.h"
#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chunkup;
  const fuzz::ReplyInput input = fuzz::ParseReplyInput(data, size);
  const int64_t fileSize = input.fileSize;
  const auto chunkCount = static_cast<uint32_t>((fileSize + kChunkSize - 1) / kChunkSize);

  Json::Value reply;
  ParseJsonReply(ByteBuffer(input.body.begin(), input.body.end()), reply);
  const PrepareReply decision = ParsePrepareReply(input.status, reply, chunkCount);

  if (decision.result == 200) {
    FUZZ_CHECK(input.status == 200);
    FUZZ_CHECK(decision.required != nullptr);
    FUZZ_CHECK(decision.required->isNull() || decision.required->isArray());
    const Json::ArrayIndex count = decision.required->isArray() ? decision.required->size() : 0;
    FUZZ_CHECK(count <= chunkCount);  // never more PUTs than the file has chunks (six attempts each)
    for (Json::ArrayIndex k = 0; k < count; ++k) {
      const auto chunk = ReadRequiredElement((*decision.required)[k], chunkCount, fileSize);
      if (!chunk) break;  // the list ends here
      // Every chunk read lies inside the file, on the chunk grid.
      FUZZ_CHECK(chunk->offset >= 0 && chunk->offset % kChunkSize == 0);
      FUZZ_CHECK(chunk->length >= 1 && chunk->length <= kChunkSize);
      FUZZ_CHECK(chunk->offset + chunk->length <= fileSize);
      FUZZ_CHECK(chunk->length == kChunkSize || chunk->offset + chunk->length == fileSize);
    }
  } else {
    FUZZ_CHECK(decision.required == nullptr);
  }
  if (decision.result == 409) {
    // The result URL is kept as text and widened for the host.
    if (decision.resultUrl) AnsiToWide(SystemPlatform(), *decision.resultUrl);
  } else {
    FUZZ_CHECK(!decision.resultUrl && !decision.linkId);
  }
  // Any status other than 200 and 409 is handed on unchanged.
  if (input.status != 200 && input.status != 409) FUZZ_CHECK(decision.result == input.status);
  return 0;
}
