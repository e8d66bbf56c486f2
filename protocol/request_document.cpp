#include <string>

#include "fingerprint/chunk_hashing.h"
#include "fingerprint/encodings.h"
#include "protocol/protocol.h"

namespace chunkup {

Json::Value MakeFileDocument(const Manifest& manifest) {
  Json::Value document(Json::objectValue);
  document["path"] = kPathPrefix + manifest.name;

  Json::Value keys(Json::arrayValue);
  if (manifest.digests.size() >= static_cast<size_t>(manifest.chunkCount) * kDigestSize) {
    std::string key;
    for (uint32_t i = 0; i < manifest.chunkCount; ++i) {
      key.clear();
      MakeChunkKey(key, manifest.digests.data() + static_cast<size_t>(i) * kDigestSize);
      keys.append(key);
    }
  }
  document["keys"] = std::move(keys);
  document["chunkSize"] = static_cast<Json::Int>(kChunkSize);
  // A string, so sizes beyond 2^53 survive readers that hold numbers as doubles.
  document["fileSize"] = std::to_string(manifest.size);
  return document;
}

std::string FileServiceUrl(const std::string& fileServiceHost, const char* path) { return fileServiceHost + path; }

Outcome OutcomeOfFailedRequest(const HttpResult& result) {
  if (result.code != CURLE_OK) return Outcome::Transport(result.code);
  if (result.status == -1) return Outcome::Of(OutcomeKind::kUnusableReply);
  return Outcome::Http(result.status);
}

}  // namespace chunkup
