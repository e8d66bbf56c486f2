// The conversation with the file service: prepare, chunk transfer, commit.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>

namespace chunkup {

class CFileTask;
class Platform;

// Announces the file; on 200 sends the required chunks and commits. Returns
// the task's new status.
int32_t PreparePut(CFileTask& task);
int32_t SendRequiredChunks(CFileTask& task, const Json::Value& required);
int32_t SendChunk(CFileTask& task, const char* url, int64_t offset, uint32_t length);
int32_t CommitPut(CFileTask& task);
// FILETIME of 1970-01-01 00:00:00 UTC.
int64_t UnixEpochAsFileTime(Platform& platform);

// What the replies ask of the library, read without any I/O, so the decisions
// the network feeds can be tested and fuzzed on their own.
struct PrepareReply {
  // 200: send `required`, then commit; 409: the service already holds the
  // file; anything else: the upload ends with this status (-1 for a
  // "required" that is not a list, or lists more entries than the file has
  // chunks).
  int32_t result = 0;
  const Json::Value* required = nullptr;  // into the reply; null or an array
  std::optional<std::string> resultUrl;   // 409 only
  std::optional<std::string> linkId;      // 409 only
};
PrepareReply ParsePrepareReply(int status, const Json::Value& reply, uint32_t chunkCount);

// The chunk one "required" element names, or nothing when the element is
// malformed or out of range (which ends the list).
struct ChunkTarget {
  int64_t offset = 0;
  uint32_t length = 0;
  std::string url;
};
std::optional<ChunkTarget> ReadRequiredElement(const Json::Value& element, uint32_t chunkCount, int64_t fileSize);

// The result URL of a commit reply, when it carries one.
std::optional<std::string> ParseCommitReply(int status, const Json::Value& reply);

}  // namespace chunkup
