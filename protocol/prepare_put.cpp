#include <json/value.h>

#include "http/transport.h"
#include "protocol/protocol.h"
#include "protocol/request_document.h"
#include "task/file_task.h"
#include "task/status.h"

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

PrepareReply ParsePrepareReply(int status, const Json::Value& reply, uint32_t chunkCount) {
  PrepareReply out;
  out.result = status;
  if (status == 200) {
    const Json::Value& required = Member(reply, "required");
    if (!required.isNull() && !required.isArray()) {
      out.result = kStatusUnusableReply;
      return out;
    }
    // A service asks for each missing chunk once. A longer list would have
    // the library send the same chunks again and again (100,000 entries for
    // a one-chunk file are 100,000 PUTs), so the reply is not followed.
    if (required.isArray() && required.size() > chunkCount) {
      out.result = kStatusUnusableReply;
      return out;
    }
    out.required = &required;
  } else if (status == 409) {
    const Json::Value& resultUrl = Member(reply, "url");
    if (resultUrl.isString()) out.resultUrl = resultUrl.asString();
    const Json::Value& linkId = Member(reply, "linkid");
    if (linkId.isString()) out.linkId = linkId.asString();
  }
  return out;
}

int32_t PreparePut(CFileTask& task) {
  if (task.m_cancel) return kStatusRunning;  // cancelled after hashing: nothing is sent

  const Json::Value request = MakeFileDocument(task);
  const std::string url = FileServiceUrl(task, kPreparePutPath);
  Json::Value reply;
  const int status = PostJsonRequest(url.c_str(), reply, request);
  const PrepareReply decision = ParsePrepareReply(status, reply, task.m_chunkCount);

  if (decision.result == 200) {
    const int32_t sent = SendRequiredChunks(task, *decision.required);
    if (sent != 200) return sent;  // a chunk failed every attempt: no commit

    // Only a commit the service accepted makes the upload a success; any
    // refusal or transport failure becomes the task's status, so the host
    // never sees OK for a file the service did not store.
    const int32_t committed = CommitPut(task);
    if (committed != 200) return committed;
    task.m_finished = true;
    return kStatusRunning;
  }

  if (decision.result == 409) {
    // The service already holds the file: no chunk and no commit.
    if (decision.resultUrl) {
      task.SetResultUrl(*decision.resultUrl);
      task.m_finished = true;
    }
    if (decision.linkId) task.SetLinkId(*decision.linkId);
    return kStatusAlreadyHeld;
  }

  return decision.result;
}

}  // namespace chunkup
