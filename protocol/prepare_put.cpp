#include <json/value.h>

#include <string>

#include "protocol/protocol.h"

namespace chunkup {
namespace {

// A member of a reply that may not be an object at all (a body that did not
// parse leaves null, an array or a bare value).
const Json::Value& Member(const Json::Value& reply, const char* name) {
  static const Json::Value kNull;
  if (!reply.isObject()) return kNull;
  const Json::Value* found = reply.find(name, name + std::char_traits<char>::length(name));
  return found ? *found : kNull;
}

}  // namespace

PrepareDecision InterpretPrepareReply(const HttpResult& result, const Json::Value& reply, uint32_t chunkCount) {
  PrepareDecision decision;
  if (result.code != CURLE_OK || (result.status != 200 && result.status != 409)) {
    decision.outcome = OutcomeOfFailedRequest(result);
    return decision;
  }

  if (result.status == 409) {
    // The service already holds the file: no chunk and no commit.
    decision.outcome = Outcome::Of(OutcomeKind::kAlreadyHeld);
    const Json::Value& url = Member(reply, "url");
    if (url.isString()) decision.url = url.asString();
    const Json::Value& linkId = Member(reply, "linkid");
    if (linkId.isString()) decision.linkId = linkId.asString();
    return decision;
  }

  const Json::Value& required = Member(reply, "required");
  if (!required.isNull() && !required.isArray()) {
    decision.outcome = Outcome::Of(OutcomeKind::kUnusableReply);
    return decision;
  }
  decision.listedCount = required.isArray() ? required.size() : 0;
  for (Json::ArrayIndex k = 0; k < decision.listedCount; ++k) {
    // A malformed element ends the list; what comes before it is sent and
    // committed.
    const Json::Value& element = required[k];
    if (!element.isObject()) break;
    const Json::Value& index = Member(element, "index");
    const Json::Value& url = Member(element, "url");
    if (!index.isInt() || !url.isString()) break;
    const Json::Int chunk = index.asInt();
    if (chunk < 0 || static_cast<uint32_t>(chunk) >= chunkCount) break;
    decision.required.push_back(ChunkOrder{static_cast<uint32_t>(chunk), url.asString()});
  }
  return decision;
}

PrepareDecision PreparePut(const std::string& fileServiceHost, const Manifest& manifest) {
  const std::string url = FileServiceUrl(fileServiceHost, kPreparePutPath);
  Json::Value reply;
  const HttpResult result = PostJsonRequest(url.c_str(), reply, MakeFileDocument(manifest));
  return InterpretPrepareReply(result, reply, manifest.chunkCount);
}

}  // namespace chunkup
