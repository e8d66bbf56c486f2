// Runs the hashing step (file facts and the chunk loop, without the prepare
// exchange) over one file and prints its time, the peak resident memory and a
// fingerprint of the digest table, so runs in different modes can be compared.
//
//   hash_file_bench FILE                    the library's step as it is
//   hash_file_bench FILE --read-ahead N     the same step over a platform whose
//                                           files read N bytes from the OS at a
//                                           time and serve the 4096-byte reads
//                                           from that buffer
//   hash_file_bench FILE --read-block N     a copy of the chunk loop that asks
//                                           for N bytes per read (experiment)
//   --portable                              force the portable SHA-1 path
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fingerprint/chunk_hashing.h"
#include "fingerprint/sha1.h"
#include "platform/platform.h"
#include "platform/utf.h"
#include "task/file_task.h"

namespace {

using namespace chunkup;

// A file that reads `window` bytes from the OS at a time and hands them out
// in the sizes asked for. Sequential reading only (what the step does).
class ReadAheadFile final : public PlatformFile {
 public:
  ReadAheadFile(std::unique_ptr<PlatformFile> real, uint32_t window)
      : m_real(std::move(real)), m_buffer(window) {}
  int Read(void* buffer, uint32_t count, uint32_t* bytesRead) override {
    *bytesRead = 0;
    if (m_at == m_end) {
      m_at = m_end = 0;
      uint32_t got = 0;
      if (int error = m_real->Read(m_buffer.data(), static_cast<uint32_t>(m_buffer.size()), &got)) return error;
      m_end = got;
    }
    const uint32_t take = std::min(count, m_end - m_at);
    std::memcpy(buffer, m_buffer.data() + m_at, take);
    m_at += take;
    *bytesRead = take;
    return 0;
  }
  int SeekFromStart(int64_t offset) override {
    m_at = m_end = 0;
    return m_real->SeekFromStart(offset);
  }
  int GetSize(int64_t* size) override { return m_real->GetSize(size); }
  int GetLastWriteTime(FileTime* time) override { return m_real->GetLastWriteTime(time); }
  int Close() override { return m_real->Close(); }

 private:
  std::unique_ptr<PlatformFile> m_real;
  std::vector<uint8_t> m_buffer;
  uint32_t m_at = 0, m_end = 0;
};

class ReadAheadPlatform final : public Platform {
 public:
  ReadAheadPlatform(Platform& real, uint32_t window) : m_real(real), m_window(window) {}
  int OpenFile(const std::u16string& path, const FileOpenArgs& args, std::unique_ptr<PlatformFile>* file) override {
    std::unique_ptr<PlatformFile> real;
    if (int error = m_real.OpenFile(path, args, &real)) return error;
    *file = std::make_unique<ReadAheadFile>(std::move(real), m_window);
    return 0;
  }
  bool PathExists(const std::u16string& path) override { return m_real.PathExists(path); }
  std::u16string FindFileName(const std::u16string& path) override { return m_real.FindFileName(path); }
  void SleepMs(uint32_t ms) override { m_real.SleepMs(ms); }
  uint32_t TickCount() override { return m_real.TickCount(); }
  bool SystemTimeToFileTime(const SystemTime& time, FileTime* out) override {
    return m_real.SystemTimeToFileTime(time, out);
  }
  std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) override {
    return m_real.StartThread(std::move(body));
  }
  int MultiByteToWide(CodePage page, const char* source, int length, char16_t* target, int capacity) override {
    return m_real.MultiByteToWide(page, source, length, target, capacity);
  }
  int WideToMultiByte(CodePage page, const char16_t* source, int length, char* target, int capacity) override {
    return m_real.WideToMultiByte(page, source, length, target, capacity);
  }
  std::string NewUuid() override { return m_real.NewUuid(); }
  void OpenUrl(const std::u16string& url) override { m_real.OpenUrl(url); }

 private:
  Platform& m_real;
  uint32_t m_window;
};

// The chunk loop with another read size; same geometry and short-read rule.
int DigestWithReadBlock(CFileTask& task, uint32_t readBlock) {
  std::unique_ptr<PlatformFile> file;
  const FileOpenArgs args{kGenericRead, kFileShareRead | kFileShareDelete, kOpenExisting, kFileAttributeNormal};
  if (int error = task.platform().OpenFile(task.m_path, args, &file)) return error;
  task.m_digests = std::make_unique<uint8_t[]>(size_t{task.m_chunkCount} * kDigestSize);
  std::vector<uint8_t> buffer(readBlock);
  for (uint32_t i = 0; i < task.m_chunkCount; ++i) {
    Sha1State state;
    Sha1Start(state);
    uint32_t remaining = kChunkSize;
    while (remaining > 0) {
      const uint32_t ask = std::min(readBlock, remaining);
      uint32_t got = 0;
      if (int error = file->Read(buffer.data(), ask, &got)) return error;
      Sha1Feed(state, buffer.data(), got);
      if (got < ask) break;
      remaining -= got;
    }
    Sha1Finish(state, task.m_digests.get() + size_t{i} * kDigestSize);
  }
  file->Close();
  return 0;
}

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

int Usage() {
  std::fprintf(stderr, "usage: hash_file_bench FILE [--read-ahead N | --read-block N] [--portable]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string path = argv[1];
  uint32_t readAhead = 0, readBlock = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--read-ahead" || arg == "--read-block") && i + 1 < argc) {
      const long value = std::strtol(argv[++i], nullptr, 10);
      if (value < 1 || value > (64 << 20)) return Usage();
      (arg == "--read-ahead" ? readAhead : readBlock) = static_cast<uint32_t>(value);
    } else if (arg == "--portable") {
      Sha1UsePath(Sha1Path::kPortable);
    } else {
      return Usage();
    }
  }

  ReadAheadPlatform readAheadPlatform(SystemPlatform(), readAhead ? readAhead : 1);
  Platform& platform = readAhead ? static_cast<Platform&>(readAheadPlatform) : SystemPlatform();
  CFileTask task(0, platform, Endpoints::BuildDefaults());
  task.m_path = Utf8ToUtf16(path);

  const auto start = std::chrono::steady_clock::now();
  TakeFileFacts(task);
  const int result = readBlock ? DigestWithReadBlock(task, readBlock) : DigestFileChunks(task);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result != 0) {
    std::fprintf(stderr, "hashing failed: %d\n", result);
    return 1;
  }

  // A digest of the digest table: equal tables give equal text in every mode.
  std::string table = "-", first = "-";
  if (task.m_chunkCount > 0) {
    Sha1State state;
    Sha1Start(state);
    Sha1Feed(state, task.m_digests.get(), size_t{task.m_chunkCount} * kDigestSize);
    uint8_t digest[kSha1DigestSize];
    Sha1Finish(state, digest);
    table = Hex(digest, sizeof digest);
    first = Hex(task.m_digests.get(), kDigestSize);
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("seconds=%.4f size=%lld chunks=%u sha1_path=%s peak_rss_kb=%ld table=%s first=%s\n", seconds,
              static_cast<long long>(task.m_fileSize.load()), task.m_chunkCount,
              Sha1ActivePath() == Sha1Path::kShaNi ? "shani" : "portable", usage.ru_maxrss, table.c_str(), first.c_str());
  return 0;
}
