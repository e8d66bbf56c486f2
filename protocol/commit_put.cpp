#include <json/value.h>

#include <string>

#include "http/transport.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "protocol/request_document.h"
#include "task/file_task.h"

namespace chunkup {

namespace {
// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;
constexpr const char* kMimeType = "application/x-msdownload";
}  // namespace

int64_t UnixEpochAsFileTime(Platform& platform) {
  const SystemTime unixEpoch{1970, 1, 0, 1, 0, 0, 0, 0};
  const SystemTime fileTimeEpoch{1601, 1, 0, 1, 0, 0, 0, 0};
  FileTime unix = 0;
  FileTime origin = 0;
  if (!platform.SystemTimeToFileTime(unixEpoch, &unix) || !platform.SystemTimeToFileTime(fileTimeEpoch, &origin))
    return kUnixEpochFileTime;  // the calendar conversion cannot fail for these dates; keep a sane value anyway
  return static_cast<int64_t>(unix - origin);
}

int32_t CommitPut(CFileTask& task) {
  // 100-ns intervals since 1970, negative before it.
  const int64_t editTime = static_cast<int64_t>(task.m_lastWrite) - UnixEpochAsFileTime(task.platform());

  Json::Value request = MakeFileDocument(task);
  request["editTime"] = std::to_string(editTime);
  request["mimeType"] = kMimeType;

  const std::string url = FileServiceUrl(task, kCommitPutPath);
  Json::Value reply;
  const int status = PostJsonRequest(url.c_str(), reply, request);
  if (std::optional<std::string> resultUrl = ParseCommitReply(status, reply)) task.SetResultUrl(*resultUrl);
  return status;
}

std::optional<std::string> ParseCommitReply(int status, const Json::Value& reply) {
  if (status != 200 || !reply.isObject()) return std::nullopt;
  static constexpr char kUrl[] = "url";
  const Json::Value* resultUrl = reply.find(kUrl, kUrl + sizeof kUrl - 1);
  if (resultUrl == nullptr || !resultUrl->isString()) return std::nullopt;
  return resultUrl->asString();
}

}  // namespace chunkup
