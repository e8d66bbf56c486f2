// A commit reply as the network delivers it: only a 200 stores the file, and
// the result URL is taken only from a body that is an object with a string
// "url".
#include <json/value.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "fuzz/reply_input.h"
#include "http/transport.h"
#include "platform/platform.h"
#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chunkup;
  const fuzz::ReplyInput input = fuzz::ParseReplyInput(data, size);
  Json::Value reply;
  if (input.status != -1) ParseJsonReply(ByteBuffer(input.body.begin(), input.body.end()), reply);
  const CommitResult commit = InterpretCommitReply(HttpResult{CURLE_OK, input.status}, reply);
  FUZZ_CHECK(commit.outcome.ok() == (input.status == 200));
  if (commit.url) {
    FUZZ_CHECK(input.status == 200);
    SystemPlatform().SystemCodePageToUtf16(*commit.url);
  }
  return 0;
}
