#include <json/value.h>

#include <algorithm>
#include <memory>
#include <string>

#include "fingerprint/chunk_hashing.h"
#include "http/transport.h"
#include "protocol/file_routines.h"
#include "protocol/protocol.h"
#include "task/file_task.h"
#include "task/status.h"

namespace chunkup {
namespace {

constexpr int kAttemptsPerChunk = 6;
constexpr uint32_t kPausePollMs = 500;

}  // namespace

int32_t SendRequiredChunks(CFileTask& task, const Json::Value& required) {
  const Json::ArrayIndex count = required.isArray() ? required.size() : 0;
  if (count == 0) return 200;

  // Chunks the service did not ask for count as sent, each as a whole chunk.
  // A list longer than the file (repeated entries) would make that negative;
  // progress never starts below zero.
  const int64_t skipped = static_cast<int64_t>(task.m_chunkCount) - static_cast<int64_t>(count);
  task.m_uploaded = std::max<int64_t>(skipped, 0) * kChunkSize;

  const int64_t fileSize = task.m_fileSize.load();
  for (Json::ArrayIndex k = 0; k < count; ++k) {
    // A malformed element ends the list; what was sent so far is committed.
    const std::optional<ChunkTarget> chunk = ReadRequiredElement(required[k], task.m_chunkCount, fileSize);
    if (!chunk) return 200;
    const int64_t offset = chunk->offset;
    const uint32_t length = chunk->length;
    const std::string& target = chunk->url;

    int failures = 0;
    for (;;) {
      const int32_t result = SendChunk(task, target.c_str(), offset, length);
      // A pause holds the transfer between attempts, never inside one.
      while (task.m_pause && !task.m_cancel) task.platform().SleepMs(kPausePollMs);
      // A cancelled chunk is not tried again.
      if (result == 200 || task.m_cancel) break;
      if (++failures >= kAttemptsPerChunk) return result;
    }
  }
  return 200;
}

std::optional<ChunkTarget> ReadRequiredElement(const Json::Value& element, uint32_t chunkCount, int64_t fileSize) {
  if (!element.isObject()) return std::nullopt;
  const Json::Value& index = element["index"];
  const Json::Value& url = element["url"];
  if (!index.isInt() || !url.isString()) return std::nullopt;
  const int64_t chunk = index.asInt();
  if (chunk < 0 || chunk >= static_cast<int64_t>(chunkCount)) return std::nullopt;

  const int64_t offset = chunk * kChunkSize;
  const int64_t rest = fileSize - offset;
  if (rest <= 0) return std::nullopt;  // the chunk count and the size disagree: nothing to read
  return ChunkTarget{offset, static_cast<uint32_t>(std::min<int64_t>(rest, kChunkSize)), url.asString()};
}

int32_t SendChunk(CFileTask& task, const char* url, int64_t offset, uint32_t length) {
  // The chunk is read afresh for every attempt and the file is closed before
  // the network transfer starts; only this one buffer is held meanwhile.
  std::unique_ptr<char[]> buffer(new char[length == 0 ? 1 : length]);
  {
    FileHandle file;
    if (OpenFileWithMode(task.platform(), kChunkReadMode, file, task.m_path) != 0) return kStatusChunkFailed;
    if (SeekFile(file, offset) != 0) {
      CloseFileIfOpen(file);
      return kStatusChunkFailed;
    }
    uint32_t got = 0;
    if (ReadFromFile(file, buffer.get(), length, &got) != 0 || got < length) {
      CloseFileIfOpen(file);
      return kStatusChunkFailed;
    }
    CloseFileIfOpen(file);
  }

  UploadSource source;
  source.data = buffer.get();
  source.offset = 0;
  source.remaining = length;
  source.goOn = 1;
  source.callback = &task;

  HeaderList headers = MakeHeaderList(kContentTypeHeader, kNoExpectHeader, kKeepAliveHeader);
  ByteBuffer body;
  ByteBuffer headerText;
  const CURLcode code = PerformPut(headers, body, url, source, headerText);
  FreeHeaderList(headers);
  if (code != CURLE_OK) return static_cast<int32_t>(code);

  int32_t status = ParseHttpStatus(headerText.data(), headerText.data() + headerText.size());
  // A 200 for a body that did not go out whole is not a stored chunk.
  if (status == 200 && (source.goOn == 0 || source.remaining != 0)) status = kStatusChunkFailed;
  return status;
}

}  // namespace chunkup
