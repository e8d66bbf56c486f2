#include <json/value.h>

#include <string>

#include "protocol/protocol.h"

namespace chunkup {
namespace {

// The Windows clock counts from 1601; a time never obtained was sent as that
// clock's zero moved to the 1970 origin.
constexpr int64_t kUnknownEditTime = -116444736000000000LL;
constexpr const char* kMimeType = "application/x-msdownload";

}  // namespace

std::string EditTimeText(const std::optional<FileTimestamp>& lastWrite) {
  return std::to_string(lastWrite ? *lastWrite : kUnknownEditTime);
}

CommitResult InterpretCommitReply(const HttpResult& result, const Json::Value& reply) {
  CommitResult commit;
  if (result.code != CURLE_OK || result.status != 200) {
    // Only a commit the service accepted makes the upload a success.
    commit.outcome = OutcomeOfFailedRequest(result);
    return commit;
  }
  if (reply.isObject()) {
    const Json::Value* url = reply.find("url", "url" + 3);
    if (url != nullptr && url->isString()) commit.url = url->asString();
  }
  return commit;  // a 200 without "url" is still a stored file
}

CommitResult CommitPut(const std::string& fileServiceHost, const Manifest& manifest) {
  Json::Value request = MakeFileDocument(manifest);
  request["editTime"] = EditTimeText(manifest.lastWrite);
  request["mimeType"] = kMimeType;

  const std::string url = FileServiceUrl(fileServiceHost, kCommitPutPath);
  Json::Value reply;
  const HttpResult result = PostJsonRequest(url.c_str(), reply, request);
  return InterpretCommitReply(result, reply);
}

}  // namespace chunkup
