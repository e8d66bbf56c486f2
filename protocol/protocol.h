// The conversation with the file service: prepare, chunk transfer, commit.
// Each step takes what it needs as values (the manifest, the service's
// address) and answers with an Outcome; the task runs them in order.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "http/transfer_callback.h"
#include "http/transport.h"
#include "platform/platform.h"

namespace chunkup {

inline constexpr const char* kPreparePutPath = "/anonymous/prepare_put";
inline constexpr const char* kCommitPutPath = "/anonymous/commit_put";
inline constexpr const char* kPathPrefix = "home/";

// What the service is told about the file.
struct Manifest {
  FilePath path;
  std::string name;  // the file name, UTF-8
  uint64_t size = 0;
  std::optional<FileTimestamp> lastWrite;  // empty when the file system would not tell
  uint32_t chunkCount = 0;
  std::vector<uint8_t> digests;  // 20 bytes per chunk, in chunk order
};

// "path", "keys" (one per chunk, in chunk order), "chunkSize" and "fileSize".
Json::Value MakeFileDocument(const Manifest& manifest);
// The file-service host followed by `path`. A host written without a scheme
// is reached over plain HTTP.
std::string FileServiceUrl(const std::string& fileServiceHost, const char* path);

// --- prepare ---

// One chunk the service asked for, and where to PUT it.
struct ChunkOrder {
  uint32_t index = 0;
  std::string url;
};

struct PrepareDecision {
  // kOk: send `required`, then commit. kAlreadyHeld: nothing to send; `url`
  // and `linkId` say where the file is. Anything else: the upload failed.
  Outcome outcome;
  std::vector<ChunkOrder> required;  // up to the first malformed or out-of-range entry
  size_t listedCount = 0;            // entries in "required", malformed ones included
  std::optional<std::string> url;
  std::optional<std::string> linkId;
};

// What a prepare reply means for a file of `chunkCount` chunks. Pure: the
// reply is whatever the network sent.
PrepareDecision InterpretPrepareReply(const HttpResult& result, const Json::Value& reply, uint32_t chunkCount);
// Announces the file.
PrepareDecision PreparePut(const std::string& fileServiceHost, const Manifest& manifest);

// --- chunks ---

// What the chunk loop needs of the upload besides progress and cancel.
class IChunkLoopObserver : public ITskCallBack {
 public:
  virtual bool IsPaused() = 0;
  // Progress starts here: the chunks the service did not ask for count as sent.
  virtual void PresetProgress(int64_t bytes) = 0;

 protected:
  ~IChunkLoopObserver() = default;
};

// Sends each ordered chunk, up to six attempts each, holding between attempts
// while paused. The next chunk is read while the current one is sent. After a cancel no further chunk is read or sent, and the loop
// ends with kOk so the upload goes on to its commit. The outcome of the last
// attempt when a chunk failed every one.
Outcome SendRequiredChunks(Platform& platform, const Manifest& manifest, const PrepareDecision& decision,
                           IChunkLoopObserver& observer);
// One attempt: reads the chunk from the file (unless `preread` holds its
// `length` bytes already), then PUTs it. Bytes counted during an attempt that
// fails are taken back.
Outcome SendChunk(Platform& platform, const FilePath& path, const std::string& url, uint64_t offset,
                  uint32_t length, ITskCallBack& callback, const char* preread = nullptr);

// --- commit ---

struct CommitResult {
  Outcome outcome;
  std::optional<std::string> url;
};

// "editTime": 100-ns intervals since 1970 in signed decimal. A time the file
// system would not tell goes out as the 1601 origin of the Windows clock,
// "-116444736000000000", as it always has.
std::string EditTimeText(const std::optional<FileTimestamp>& lastWrite);
CommitResult InterpretCommitReply(const HttpResult& result, const Json::Value& reply);
CommitResult CommitPut(const std::string& fileServiceHost, const Manifest& manifest);

// The Outcome of a request that did not answer as the step needed.
Outcome OutcomeOfFailedRequest(const HttpResult& result);

}  // namespace chunkup
