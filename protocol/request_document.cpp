#include "protocol/request_document.h"

#include <string>

#include "fingerprint/chunk_hashing.h"
#include "fingerprint/encodings.h"
#include "task/file_task.h"

namespace chunkup {

Json::Value MakeFileDocument(CFileTask& task) {
  Json::Value document(Json::objectValue);
  document["path"] = kPathPrefix + WideToUtf8(task.platform(), task.m_name);

  Json::Value keys(Json::arrayValue);
  if (task.m_digests) {
    std::string key;
    for (uint32_t i = 0; i < task.m_chunkCount; ++i) {
      key.clear();
      MakeChunkKey(key, task.m_digests.get() + static_cast<size_t>(i) * kDigestSize);
      keys.append(key);
    }
  }
  document["keys"] = std::move(keys);
  document["chunkSize"] = static_cast<Json::Int>(kChunkSize);
  // A string, so sizes beyond 2^53 survive readers that hold numbers as doubles.
  document["fileSize"] = std::to_string(task.m_fileSize.load());
  return document;
}

std::string FileServiceUrl(const CFileTask& task, const char* path) {
  return task.endpoints().fileServiceHost + path;
}

}  // namespace chunkup
