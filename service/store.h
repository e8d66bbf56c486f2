// The service's durable state: chunk files addressed by key under
// <data>/chunks, and an SQLite database for uploads in progress, committed
// files and the reports of the web site.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/util.h"

struct sqlite3;

namespace chunkup::service {

struct UploadRecord {
  std::string id;
  std::string path;
  int64_t size = 0;
  std::vector<std::string> keys;
};

struct FileRecord {
  std::string linkId;
  std::string path;
  std::string name;
  int64_t size = 0;
  std::vector<std::string> keys;
  std::string editTime;
  std::string mimeType;
  int64_t createdMs = 0;
};

// What one collection removed.
struct CollectResult {
  int64_t uploadsExpired = 0;
  int64_t chunksRemoved = 0;
  int64_t bytesRemoved = 0;
};

struct ReportRecord {
  std::string query;
  std::string filesize, uploaded, speed, name;
  std::optional<std::string> url;
  int64_t receivedMs = 0;
};

// Receives one chunk body into a temporary file while hashing it; Commit
// flushes it and renames it under its key only when length and digest match.
class ChunkWriter {
 public:
  ChunkWriter() = default;
  ~ChunkWriter();
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;
  bool Begin(const std::string& tmpDir);
  bool Write(const char* data, size_t size);
  int64_t Size() const { return m_size; }
  std::string Key() { return m_sha.FinalKey(); }  // once, after the last Write
  // Renames the flushed temporary file to finalPath.
  bool Commit(const std::string& finalPath);
  void Abort();

 private:
  int m_fd = -1;
  std::string m_tmpPath;
  int64_t m_size = 0;
  int64_t m_flushed = 0;  // bytes handed to the disk's writeback so far
  static constexpr int64_t kFlushStep = 1 << 20;
  Sha1 m_sha;
  bool m_ioFailed = false;
};

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens (creating) the data dir and takes its lock: one service per data dir.
  bool Open(const std::string& dataDir, std::string* error);
  void Close();

  const std::string& TmpDir() const { return m_tmpDir; }
  // <data>/chunks/<first 2 hex digits>/<40 hex digits of the digest>.
  std::string ChunkPath(const std::string& key) const;
  // The size of the chunk held under key, or -1 when none is held.
  int64_t ChunkSize(const std::string& key) const;
  // Creates the key's fan-out folder so a rename into it can succeed.
  bool PrepareChunkDir(const std::string& key) const;

  // Held shared by whoever decides that a chunk is held and then records a
  // reference to it (prepare, commit); the collector holds it exclusively
  // while it decides what no record refers to, and deletes.
  std::shared_lock<std::shared_mutex> ShareReferences() { return std::shared_lock<std::shared_mutex>(m_refLock); }

  std::optional<std::string> CreateUpload(const std::string& path, int64_t size, const std::vector<std::string>& keys);
  std::shared_ptr<const UploadRecord> FindUpload(const std::string& id);
  // Marks the upload as active now (written at most once a minute per upload).
  void TouchUpload(const std::string& id);
  // The uploads of this path and content are done: once quiet for a minute
  // (or the time to live, if shorter) they no longer hold their chunks.
  void MarkCommitted(const std::string& path, int64_t size, const std::vector<std::string>& keys);

  // The file record for this content under this path: one with the same path
  // if there is one; else, when another name holds the content, a new record
  // for this path (so it gets its own URL); nullopt when no file has it.
  std::optional<FileRecord> FileForContent(const std::string& path, int64_t size, const std::vector<std::string>& keys);
  std::optional<FileRecord> FindFileByLink(const std::string& linkId);
  // A new record, unless one with the same path and content exists: then that one.
  std::optional<FileRecord> AddFile(const std::string& path, int64_t size, const std::vector<std::string>& keys,
                                    const std::string& editTime, const std::string& mimeType);
  // Newest first.
  std::vector<FileRecord> ListFiles(int64_t limit, int64_t offset);
  int64_t FileCount();
  // False when no file has this link id.
  bool DeleteFile(const std::string& linkId);

  // Forgets uploads untouched for uploadTtlMs (committed ones sooner, see
  // MarkCommitted), then deletes every chunk file that no file and no
  // remaining upload refers to.
  CollectResult Collect(int64_t uploadTtlMs);

  enum class ReportResult { kStored, kTooMany, kFailed };
  ReportResult AddReport(const std::string& uuid, const ReportRecord& report);
  std::vector<ReportRecord> Reports(const std::string& uuid);

  static constexpr int kMaxReportsPerPage = 1000;

 private:
  bool Exec(const char* sql);
  bool MigrateChunkNames(std::string* error);

  std::string m_dataDir, m_chunkDir, m_tmpDir;
  int m_lockFd = -1;
  sqlite3* m_db = nullptr;
  std::mutex m_dbLock;  // guards m_db, m_uploadCache, m_touched
  std::unordered_map<std::string, std::shared_ptr<const UploadRecord>> m_uploadCache;
  struct Touch {
    int64_t activity = 0;  // last chunk PUT (ms)
    int64_t written = 0;   // last time that was written to the database
  };
  std::unordered_map<std::string, Touch> m_touched;  // by upload id
  std::shared_mutex m_refLock;
  std::mutex m_collectLock;  // one collection at a time
};

}  // namespace chunkup::service
