#include <algorithm>
#include <memory>
#include <string>

#include "fingerprint/chunk_hashing.h"
#include "http/transport.h"
#include "protocol/protocol.h"

namespace chunkup {
namespace {

constexpr int kAttemptsPerChunk = 6;
constexpr uint32_t kPausePollMs = 500;

// Passes progress and cancel on, and remembers how many bytes this attempt
// has counted so a failed attempt can take them back.
class AttemptCounter final : public ITskCallBack {
 public:
  explicit AttemptCounter(ITskCallBack& inner) : m_inner(inner) {}
  int32_t OnProgress(int32_t count) override {
    m_counted += count;
    return m_inner.OnProgress(count);
  }
  bool IsCancelled() override { return m_inner.IsCancelled(); }
  void TakeBack() {
    if (m_counted > 0) m_inner.OnProgress(-static_cast<int32_t>(m_counted));
    m_counted = 0;
  }

 private:
  ITskCallBack& m_inner;
  int64_t m_counted = 0;
};

// Reads `length` bytes at `offset`; kOk only when all of them were there.
Outcome ReadChunk(Platform& platform, const FilePath& path, uint64_t offset, uint32_t length, char* buffer) {
  std::unique_ptr<ReadableFile> file;
  if (const int error = platform.OpenForRead(path, Sharing::kAllowWriters, &file))
    return Outcome::File(OutcomeKind::kChunkFailed, error);
  if (const int error = file->Seek(offset)) return Outcome::File(OutcomeKind::kChunkFailed, error);
  size_t got = 0;
  if (const int error = file->Read(buffer, length, &got)) return Outcome::File(OutcomeKind::kChunkFailed, error);
  if (got < length) return Outcome::Of(OutcomeKind::kChunkFailed);  // the file shrank
  return Outcome::Ok();
}

// The next chunk, read on a thread of its own while the current PUT is in
// flight, so the link does not idle while the disk works. At most one chunk is
// read ahead; only its first attempt uses what was read here.
class ChunkReadAhead {
 public:
  ChunkReadAhead(Platform& platform, const FilePath& path, uint64_t offset, uint32_t length,
                 IChunkLoopObserver& observer)
      : m_buffer(new char[length == 0 ? 1 : length]) {
    m_thread = platform.StartThread([this, &platform, &path, offset, length, &observer] {
      if (observer.IsCancelled()) return;  // a cancel stops the read-ahead too
      m_outcome = ReadChunk(platform, path, offset, length, m_buffer.get());
      m_ready = m_outcome.ok();
    });
  }
  ~ChunkReadAhead() {
    if (m_thread) m_thread->Join();
  }
  ChunkReadAhead(const ChunkReadAhead&) = delete;
  ChunkReadAhead& operator=(const ChunkReadAhead&) = delete;

  // The bytes, once read; null when the read failed or never ran (the
  // attempt then reads the chunk itself, as any attempt does).
  std::unique_ptr<char[]> Take() {
    if (!m_thread) return nullptr;
    m_thread->Join();
    return m_ready ? std::move(m_buffer) : nullptr;
  }

 private:
  std::unique_ptr<char[]> m_buffer;
  Outcome m_outcome;
  bool m_ready = false;  // written by the thread, read after Join
  std::unique_ptr<PlatformThread> m_thread;
};

// Where a listed chunk lies; false when it lies beyond the file.
bool ChunkExtent(const Manifest& manifest, const ChunkOrder& order, uint64_t* offset, uint32_t* length) {
  *offset = static_cast<uint64_t>(order.index) * kChunkSize;
  if (*offset >= manifest.size) return false;
  *length = static_cast<uint32_t>(std::min<uint64_t>(manifest.size - *offset, kChunkSize));
  return true;
}

}  // namespace

Outcome SendRequiredChunks(Platform& platform, const Manifest& manifest, const PrepareDecision& decision,
                           IChunkLoopObserver& observer) {
  if (decision.listedCount == 0) return Outcome::Ok();

  // Chunks the service did not ask for count as sent, each as a whole chunk.
  // A list longer than the file (repeated entries) would make that negative;
  // progress never starts below zero.
  const int64_t skipped = static_cast<int64_t>(manifest.chunkCount) - static_cast<int64_t>(decision.listedCount);
  observer.PresetProgress(std::max<int64_t>(skipped, 0) * kChunkSize);

  std::unique_ptr<ChunkReadAhead> readAhead;  // for the chunk after the current one
  for (size_t k = 0; k < decision.required.size(); ++k) {
    std::unique_ptr<char[]> preread = readAhead ? readAhead->Take() : nullptr;
    readAhead.reset();
    // After a cancel nothing more is read or sent.
    if (observer.IsCancelled()) break;
    uint64_t offset = 0;
    uint32_t length = 0;
    // The chunk count and the size disagree: nothing to read.
    if (!ChunkExtent(manifest, decision.required[k], &offset, &length)) break;

    uint64_t nextOffset = 0;
    uint32_t nextLength = 0;
    if (k + 1 < decision.required.size() &&
        ChunkExtent(manifest, decision.required[k + 1], &nextOffset, &nextLength)) {
      readAhead = std::make_unique<ChunkReadAhead>(platform, manifest.path, nextOffset, nextLength, observer);
    }

    const std::string& url = decision.required[k].url;
    int failures = 0;
    for (;;) {
      const Outcome attempt = SendChunk(platform, manifest.path, url, offset, length, observer, preread.get());
      preread.reset();  // a retry reads the chunk afresh
      // A pause holds the transfer between attempts, never inside one.
      while (observer.IsPaused() && !observer.IsCancelled()) platform.SleepMs(kPausePollMs);
      // A cancelled chunk is not tried again.
      if (attempt.ok() || observer.IsCancelled()) break;
      if (++failures >= kAttemptsPerChunk) return attempt;
    }
  }
  return Outcome::Ok();
}

Outcome SendChunk(Platform& platform, const FilePath& path, const std::string& url, uint64_t offset,
                  uint32_t length, ITskCallBack& callback, const char* preread) {
  // A URL from the service that is not http or https is never requested, and
  // the file is not even opened for it.
  if (!IsHttpUrl(url.c_str())) return Outcome::Of(OutcomeKind::kChunkFailed);

  // Unless it was read ahead for this attempt, the chunk is read afresh and
  // the file is closed before the network transfer starts.
  std::unique_ptr<char[]> buffer;
  if (!preread) {
    buffer.reset(new char[length == 0 ? 1 : length]);
    if (Outcome read = ReadChunk(platform, path, offset, length, buffer.get()); !read.ok()) return read;
    preread = buffer.get();
  }

  AttemptCounter counter(callback);
  UploadSource source;
  source.data = preread;
  source.offset = 0;
  source.remaining = length;
  source.goOn = 1;
  source.callback = &counter;

  HeaderList headers = MakeHeaderList(kContentTypeHeader, kNoExpectHeader, kKeepAliveHeader);
  ByteBuffer body;
  ByteBuffer headerText;
  const CURLcode code = PerformPut(headers, body, url.c_str(), source, headerText);
  FreeHeaderList(headers);

  Outcome outcome;
  if (code != CURLE_OK) {
    outcome = Outcome::Transport(code);
  } else {
    const int status = ParseHttpStatus(headerText.data(), headerText.data() + headerText.size());
    if (status == 200 && (source.goOn == 0 || source.remaining != 0)) {
      outcome = Outcome::Of(OutcomeKind::kChunkFailed);  // a 200 for a body that did not go out whole
    } else if (status != 200) {
      outcome = OutcomeOfFailedRequest(HttpResult{CURLE_OK, status});
    }
  }
  if (!outcome.ok()) counter.TakeBack();
  return outcome;
}

}  // namespace chunkup
