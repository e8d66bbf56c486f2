// The service's durable state: chunk files addressed by key under
// <data>/chunks, and an SQLite database for uploads in progress, committed
// files and the reports of the web site.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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
  Sha1 m_sha;
  bool m_ioFailed = false;
};

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  bool Open(const std::string& dataDir, std::string* error);
  void Close();

  const std::string& TmpDir() const { return m_tmpDir; }
  std::string ChunkPath(const std::string& key) const;
  // The size of the chunk held under key, or -1 when none is held.
  int64_t ChunkSize(const std::string& key) const;
  // Creates the key's fan-out folder so a rename into it can succeed.
  bool PrepareChunkDir(const std::string& key) const;

  std::optional<std::string> CreateUpload(const std::string& path, int64_t size, const std::vector<std::string>& keys);
  std::shared_ptr<const UploadRecord> FindUpload(const std::string& id);

  std::optional<FileRecord> FindFileByContent(int64_t size, const std::vector<std::string>& keys);
  std::optional<FileRecord> FindFileByLink(const std::string& linkId);
  std::optional<FileRecord> AddFile(const std::string& path, int64_t size, const std::vector<std::string>& keys,
                                    const std::string& editTime, const std::string& mimeType);

  enum class ReportResult { kStored, kTooMany, kFailed };
  ReportResult AddReport(const std::string& uuid, const ReportRecord& report);
  std::vector<ReportRecord> Reports(const std::string& uuid);

  static constexpr int kMaxReportsPerPage = 1000;

 private:
  bool Exec(const char* sql);

  std::string m_dataDir, m_chunkDir, m_tmpDir;
  sqlite3* m_db = nullptr;
  std::mutex m_dbLock;
  std::unordered_map<std::string, std::shared_ptr<const UploadRecord>> m_uploadCache;
};

}  // namespace chunkup::service
