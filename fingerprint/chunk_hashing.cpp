#include "fingerprint/chunk_hashing.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "fingerprint/sha1.h"

namespace chunkup {

uint32_t ChunkCountForSize(uint64_t size) {
  return static_cast<uint32_t>((size + (kChunkSize - 1)) >> 22);
}

int ReadFileFacts(Platform& platform, const FilePath& path, FileFacts* facts) {
  *facts = FileFacts{};
  std::unique_ptr<ReadableFile> file;
  if (const int error = platform.OpenForRead(path, Sharing::kDenyWriters, &file)) return error;
  if (const int error = file->Size(&facts->size)) {
    facts->size = 0;
    return error;
  }
  FileTimestamp lastWrite = 0;
  if (file->LastWriteTime(&lastWrite) == 0) facts->lastWrite = lastWrite;
  return 0;
}

int HashOneChunk(ReadableFile& file, Sha1State& state, uint8_t* buffer) {
  uint32_t remaining = kChunkSize;
  for (;;) {
    size_t got = 0;
    // Read fills the block unless the file ends, so a short block is the end.
    if (const int error = file.Read(buffer, kReadBlock, &got)) return error;
    Sha1Feed(state, buffer, got);
    if (got < kReadBlock) return 0;
    remaining -= kReadBlock;
    if (remaining == 0) return 0;
  }
}

namespace {

// Chunk buffers in flight at once while hashing in parallel: one being read,
// the others being hashed. Bounds the memory hashing takes to 12 MiB.
constexpr size_t kBuffersInFlight = 3;
constexpr unsigned kMaxHashers = 4;

// Reads one chunk into `buffer` exactly as HashOneChunk does (blocks of
// kReadBlock, a short block ends it). 0 or the OS error code.
int ReadOneChunk(ReadableFile& file, uint8_t* buffer, size_t* length) {
  *length = 0;
  while (*length < kChunkSize) {
    size_t got = 0;
    if (const int error = file.Read(buffer + *length, kReadBlock, &got)) return error;
    *length += got;
    if (got < kReadBlock) break;
  }
  return 0;
}

// One reader (the calling thread) reads chunks in file order and hands whole
// chunks to a few hashing threads; every digest lands in its chunk's slot.
class ParallelDigester {
 public:
  ParallelDigester(Platform& platform, uint8_t* digests) : m_platform(platform), m_digests(digests) {}
  ~ParallelDigester() { Stop(); }

  // Starts up to `count` hashing threads; false when none could start.
  bool Start(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      auto thread = m_platform.StartThread([this] { HashJobs(); });
      if (!thread) break;
      m_threads.push_back(std::move(thread));
    }
    return !m_threads.empty();
  }

  Outcome Run(ReadableFile& file, uint32_t chunkCount, const std::function<bool()>& cancelled) {
    for (uint32_t i = 0; i < chunkCount; ++i) {
      if (cancelled && cancelled()) return Outcome::Of(OutcomeKind::kCancelled);
      std::unique_ptr<uint8_t[]> buffer = TakeFreeBuffer();
      size_t length = 0;
      if (const int error = ReadOneChunk(file, buffer.get(), &length))
        return Outcome::File(OutcomeKind::kFileUnreadable, error);
      std::lock_guard<std::mutex> guard(m_lock);
      m_jobs.push_back(Job{i, length, std::move(buffer)});
      m_changed.notify_all();
    }
    return Outcome::Ok();
  }

  // Lets the hashers finish the chunks already read, then joins them.
  void Stop() {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_reading = false;
      m_changed.notify_all();
    }
    for (auto& thread : m_threads) thread->Join();
    m_threads.clear();
  }

 private:
  struct Job {
    uint32_t chunk;
    size_t length;
    std::unique_ptr<uint8_t[]> buffer;
  };

  std::unique_ptr<uint8_t[]> TakeFreeBuffer() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [this] { return !m_free.empty() || m_allocated < kBuffersInFlight; });
    if (!m_free.empty()) {
      auto buffer = std::move(m_free.back());
      m_free.pop_back();
      return buffer;
    }
    ++m_allocated;
    hold.unlock();
    return std::make_unique<uint8_t[]>(kChunkSize);
  }

  void HashJobs() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait(hold, [this] { return !m_jobs.empty() || !m_reading; });
        if (m_jobs.empty()) return;
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
      }
      Sha1State state;
      Sha1Start(state);
      Sha1Feed(state, job.buffer.get(), job.length);
      Sha1Finish(state, m_digests + static_cast<size_t>(job.chunk) * kDigestSize);
      std::lock_guard<std::mutex> guard(m_lock);
      m_free.push_back(std::move(job.buffer));
      m_changed.notify_all();
    }
  }

  Platform& m_platform;
  uint8_t* const m_digests;  // each slot written by exactly one hasher
  std::vector<std::unique_ptr<PlatformThread>> m_threads;
  std::mutex m_lock;  // guards everything below
  std::condition_variable m_changed;
  std::deque<Job> m_jobs;
  std::vector<std::unique_ptr<uint8_t[]>> m_free;
  size_t m_allocated = 0;
  bool m_reading = true;
};

unsigned HasherCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::min(cores == 0 ? 1u : cores, kMaxHashers);
}

}  // namespace

Outcome DigestFileChunks(Platform& platform, const FilePath& path, uint32_t chunkCount,
                         const std::function<bool()>& cancelled, std::vector<uint8_t>* digests) {
  digests->clear();
  if (chunkCount == 0) return Outcome::Ok();

  std::unique_ptr<ReadableFile> file;
  if (const int error = platform.OpenForRead(path, Sharing::kDenyWriters, &file))
    return Outcome::File(OutcomeKind::kFileUnreadable, error);
  digests->assign(static_cast<size_t>(chunkCount) * kDigestSize, 0);

  // Chunks are independent: with more than one, and cores to spare, they are
  // hashed side by side while the file is still read in order.
  const unsigned hashers = HasherCount();
  if (chunkCount > 1 && hashers > 1) {
    ParallelDigester digester(platform, digests->data());
    if (digester.Start(hashers)) {
      const Outcome outcome = digester.Run(*file, chunkCount, cancelled);
      digester.Stop();  // every chunk read before a stop is hashed
      return outcome;
    }
  }

  alignas(64) uint8_t buffer[kReadBlock];
  for (uint32_t i = 0; i < chunkCount; ++i) {
    if (cancelled && cancelled()) return Outcome::Of(OutcomeKind::kCancelled);
    Sha1State state;
    Sha1Start(state);
    if (const int error = HashOneChunk(*file, state, buffer))
      return Outcome::File(OutcomeKind::kFileUnreadable, error);
    Sha1Finish(state, digests->data() + static_cast<size_t>(i) * kDigestSize);
  }
  return Outcome::Ok();
}

}  // namespace chunkup
