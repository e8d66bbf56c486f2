// A commit reply as the network delivers it: the result URL is taken only from
// a 200 whose body is an object with a string "url".
#include <json/value.h>

#include <cstddef>
#include <cstdint>

#include "fingerprint/encodings.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reply_input.h"
#include "http/transport.h"
#include "platform/platform.h"
#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chunkup;
  const fuzz::ReplyInput input = fuzz::ParseReplyInput(data, size);
  Json::Value reply;
  ParseJsonReply(ByteBuffer(input.body.begin(), input.body.end()), reply);
  const auto resultUrl = ParseCommitReply(input.status, reply);
  if (resultUrl) {
    FUZZ_CHECK(input.status == 200);
    AnsiToWide(SystemPlatform(), *resultUrl);
  }
  return 0;
}
