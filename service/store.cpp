#include "service/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <unordered_set>

namespace chunkup::service {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string JoinKeys(const std::vector<std::string>& keys) {
  std::string out;
  for (const auto& k : keys) {
    if (!out.empty()) out += ',';
    out += k;
  }
  return out;
}

std::vector<std::string> SplitKeys(const std::string& text) {
  std::vector<std::string> keys;
  size_t start = 0;
  while (start < text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    keys.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return keys;
}

// Files are found again by size and a digest of their key list.
std::string ContentDigest(const std::vector<std::string>& keys) { return Sha1Key(JoinKeys(keys)); }

std::string NameOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ColumnText(sqlite3_stmt* st, int col) {
  const unsigned char* text = sqlite3_column_text(st, col);
  return text ? std::string(reinterpret_cast<const char*>(text), size_t(sqlite3_column_bytes(st, col))) : std::string();
}

struct Statement {
  sqlite3_stmt* st = nullptr;
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &st, nullptr); }
  ~Statement() { sqlite3_finalize(st); }
  explicit operator bool() const { return st != nullptr; }
  void Bind(int i, const std::string& text) { sqlite3_bind_text(st, i, text.data(), int(text.size()), SQLITE_TRANSIENT); }
  void Bind(int i, int64_t value) { sqlite3_bind_int64(st, i, value); }
  void BindNull(int i) { sqlite3_bind_null(st, i); }
  int Step() { return sqlite3_step(st); }
};

// The names in dir (without "." and ".."); empty when it cannot be read.
std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(d);
  return names;
}

bool IsHexName(const std::string& name) {
  if (name.size() != 40) return false;
  for (char c : name)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

constexpr int64_t kTouchWriteMs = 60000;
constexpr int64_t kCommittedGraceMs = 60000;
constexpr const char* kFileColumns = "linkid, path, size, keys, edit_time, mime_type, created_ms";

void RemoveFilesIn(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    ::unlink((dir + "/" + name).c_str());
  }
  ::closedir(d);
}

}  // namespace

ChunkWriter::~ChunkWriter() { Abort(); }

bool ChunkWriter::Begin(const std::string& tmpDir) {
  m_tmpPath = tmpDir + "/c-" + RandomHex(10);
  m_fd = ::open(m_tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  return m_fd >= 0;
}

bool ChunkWriter::Write(const char* data, size_t size) {
  m_sha.Update(data, size);
  m_size += int64_t(size);
  while (size > 0 && !m_ioFailed) {
    ssize_t n = ::write(m_fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      m_ioFailed = true;
      break;
    }
    data += n;
    size -= size_t(n);
  }
  // Start writing what has piled up to the disk now rather than all of it at
  // the fsync: a large body then goes to disk while it is still arriving.
  if (!m_ioFailed && m_size - m_flushed >= kFlushStep) {
    ::sync_file_range(m_fd, m_flushed, m_size - m_flushed, SYNC_FILE_RANGE_WRITE);
    m_flushed = m_size;
  }
  return !m_ioFailed;
}

bool ChunkWriter::Commit(const std::string& finalPath) {
  if (m_fd < 0 || m_ioFailed) return false;
  bool ok = ::fsync(m_fd) == 0;
  ok = ::close(m_fd) == 0 && ok;
  m_fd = -1;
  if (ok) ok = ::rename(m_tmpPath.c_str(), finalPath.c_str()) == 0;
  if (!ok) {
    ::unlink(m_tmpPath.c_str());
    m_tmpPath.clear();
    return false;
  }
  m_tmpPath.clear();
  return FsyncDirectory(finalPath.substr(0, finalPath.rfind('/')));
}

void ChunkWriter::Abort() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (!m_tmpPath.empty()) ::unlink(m_tmpPath.c_str());
  m_tmpPath.clear();
}

Store::~Store() { Close(); }

void Store::Close() {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (m_db) sqlite3_close(m_db);
  m_db = nullptr;
  if (m_lockFd >= 0) ::close(m_lockFd);
  m_lockFd = -1;
}

bool Store::Exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool Store::Open(const std::string& dataDir, std::string* error) {
  m_dataDir = dataDir;
  while (m_dataDir.size() > 1 && m_dataDir.back() == '/') m_dataDir.pop_back();
  m_chunkDir = m_dataDir + "/chunks";
  m_tmpDir = m_dataDir + "/tmp";
  if (!MakeDirs(m_chunkDir) || !MakeDirs(m_tmpDir)) {
    *error = "cannot create the data directory " + m_dataDir;
    return false;
  }
  // Two services on one data dir would delete each other's bodies in progress
  // and collect chunks the other one has just promised: the second one stops.
  m_lockFd = ::open((m_dataDir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m_lockFd < 0) {
    *error = "cannot create " + m_dataDir + "/lock: " + std::strerror(errno);
    return false;
  }
  if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "the data directory " + m_dataDir + " is in use by another chunkup-service"
                                  : "cannot lock " + m_dataDir + "/lock: " + std::strerror(errno);
    ::close(m_lockFd);
    m_lockFd = -1;
    return false;
  }
  if (!MigrateChunkNames(error)) return false;
  // Bodies that were being received when the service last stopped are never
  // complete chunks: they go.
  RemoveFilesIn(m_tmpDir);
  std::string dbPath = m_dataDir + "/service.sqlite3";
  if (sqlite3_open_v2(dbPath.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = "cannot open " + dbPath + ": " + (m_db ? sqlite3_errmsg(m_db) : "out of memory");
    return false;
  }
  sqlite3_busy_timeout(m_db, 5000);
  bool ok = Exec("PRAGMA journal_mode=WAL;") && Exec("PRAGMA synchronous=FULL;") &&
            Exec("CREATE TABLE IF NOT EXISTS files("
                 " id INTEGER PRIMARY KEY, linkid TEXT UNIQUE NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,"
                 " keys TEXT NOT NULL, content TEXT NOT NULL, edit_time TEXT NOT NULL, mime_type TEXT NOT NULL,"
                 " created_ms INTEGER NOT NULL);") &&
            Exec("CREATE INDEX IF NOT EXISTS files_by_content ON files(size, content);") &&
            Exec("CREATE TABLE IF NOT EXISTS uploads("
                 " id TEXT PRIMARY KEY, path TEXT NOT NULL, size INTEGER NOT NULL, keys TEXT NOT NULL,"
                 " created_ms INTEGER NOT NULL, touched_ms INTEGER, committed_ms INTEGER);") &&
            Exec("CREATE TABLE IF NOT EXISTS reports("
                 " id INTEGER PRIMARY KEY, uuid TEXT NOT NULL, received_ms INTEGER NOT NULL, query TEXT NOT NULL,"
                 " filesize TEXT NOT NULL, uploaded TEXT NOT NULL, speed TEXT NOT NULL, name TEXT NOT NULL, url TEXT);") &&
            Exec("CREATE INDEX IF NOT EXISTS reports_by_uuid ON reports(uuid, id);");
  if (ok) {
    // Databases from before uploads were touched and committed get the columns.
    bool hasTouched = false, hasCommitted = false;
    {
      Statement columns(m_db, "PRAGMA table_info(uploads)");
      while (columns && columns.Step() == SQLITE_ROW) {
        const std::string name = ColumnText(columns.st, 1);
        hasTouched = hasTouched || name == "touched_ms";
        hasCommitted = hasCommitted || name == "committed_ms";
      }
    }
    if (!hasTouched) ok = Exec("ALTER TABLE uploads ADD COLUMN touched_ms INTEGER;");
    if (ok && !hasCommitted) ok = Exec("ALTER TABLE uploads ADD COLUMN committed_ms INTEGER;");
  }
  if (!ok) {
    *error = std::string("cannot set up the database: ") + sqlite3_errmsg(m_db);
    return false;
  }
  return true;
}

// Chunk files were once named by their key, which may start with '-' (and so
// may its two-character folder). They are renamed to the digest's hex digits.
bool Store::MigrateChunkNames(std::string* error) {
  std::vector<std::pair<std::string, std::string>> moves;  // from, key
  for (const auto& folder : NamesIn(m_chunkDir)) {
    const std::string dir = m_chunkDir + "/" + folder;
    for (const auto& name : NamesIn(dir))
      if (IsValidKey(name)) moves.emplace_back(dir + "/" + name, name);
  }
  std::unordered_set<std::string> dirs;
  for (const auto& [from, key] : moves) {
    const std::string to = ChunkPath(key);
    if (!PrepareChunkDir(key) || ::rename(from.c_str(), to.c_str()) != 0) {
      *error = "cannot rename the chunk file " + from + " to " + to + ": " + std::strerror(errno);
      return false;
    }
    dirs.insert(from.substr(0, from.rfind('/')));
    dirs.insert(to.substr(0, to.rfind('/')));
  }
  for (const auto& dir : dirs) FsyncDirectory(dir);
  for (const auto& dir : dirs) ::rmdir(dir.c_str());  // only the emptied old folders go
  if (!moves.empty()) FsyncDirectory(m_chunkDir);
  return true;
}

std::string Store::ChunkPath(const std::string& key) const {
  const std::string hex = KeyToHex(key);
  return m_chunkDir + "/" + hex.substr(0, 2) + "/" + hex;
}

int64_t Store::ChunkSize(const std::string& key) const {
  struct stat st {};
  if (::stat(ChunkPath(key).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return int64_t(st.st_size);
}

bool Store::PrepareChunkDir(const std::string& key) const { return MakeDirs(m_chunkDir + "/" + KeyToHex(key).substr(0, 2)); }

std::optional<std::string> Store::CreateUpload(const std::string& path, int64_t size,
                                               const std::vector<std::string>& keys) {
  auto record = std::make_shared<UploadRecord>();
  record->id = RandomHex(12);
  record->path = path;
  record->size = size;
  record->keys = keys;
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return std::nullopt;
  Statement st(m_db, "INSERT INTO uploads(id, path, size, keys, created_ms, touched_ms) VALUES(?,?,?,?,?,?)");
  if (!st) return std::nullopt;
  const int64_t now = NowMs();
  st.Bind(1, record->id);
  st.Bind(2, path);
  st.Bind(3, size);
  st.Bind(4, JoinKeys(keys));
  st.Bind(5, now);
  st.Bind(6, now);
  if (st.Step() != SQLITE_DONE) return std::nullopt;
  m_touched[record->id] = {now, now};
  if (m_uploadCache.size() > 256) m_uploadCache.clear();
  m_uploadCache[record->id] = record;
  return record->id;
}

std::shared_ptr<const UploadRecord> Store::FindUpload(const std::string& id) {
  std::lock_guard<std::mutex> lock(m_dbLock);
  auto it = m_uploadCache.find(id);
  if (it != m_uploadCache.end()) return it->second;
  if (!m_db) return nullptr;
  Statement st(m_db, "SELECT path, size, keys FROM uploads WHERE id = ?");
  if (!st) return nullptr;
  st.Bind(1, id);
  if (st.Step() != SQLITE_ROW) return nullptr;
  auto record = std::make_shared<UploadRecord>();
  record->id = id;
  record->path = ColumnText(st.st, 0);
  record->size = sqlite3_column_int64(st.st, 1);
  record->keys = SplitKeys(ColumnText(st.st, 2));
  if (m_uploadCache.size() > 256) m_uploadCache.clear();
  m_uploadCache[id] = record;
  return record;
}

void Store::TouchUpload(const std::string& id) {
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return;
  if (m_touched.size() > 100000) m_touched.clear();  // only the write rate depends on it
  Touch& t = m_touched[id];
  t.activity = now;
  if (now - t.written < kTouchWriteMs) return;
  Statement st(m_db, "UPDATE uploads SET touched_ms = ? WHERE id = ?");
  if (!st) return;
  st.Bind(1, now);
  st.Bind(2, id);
  if (st.Step() == SQLITE_DONE) t.written = now;
}

void Store::MarkCommitted(const std::string& path, int64_t size, const std::vector<std::string>& keys) {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return;
  Statement st(m_db, "UPDATE uploads SET committed_ms = ? WHERE path = ? AND size = ? AND keys = ? AND committed_ms IS NULL");
  if (!st) return;
  st.Bind(1, NowMs());
  st.Bind(2, path);
  st.Bind(3, size);
  st.Bind(4, JoinKeys(keys));
  st.Step();
}

static FileRecord ReadFileRow(sqlite3_stmt* st) {
  FileRecord f;
  f.linkId = ColumnText(st, 0);
  f.path = ColumnText(st, 1);
  f.name = NameOf(f.path);
  f.size = sqlite3_column_int64(st, 2);
  f.keys = SplitKeys(ColumnText(st, 3));
  f.editTime = ColumnText(st, 4);
  f.mimeType = ColumnText(st, 5);
  f.createdMs = sqlite3_column_int64(st, 6);
  return f;
}

// Inserts a file record; m_dbLock held.
static std::optional<FileRecord> InsertFile(sqlite3* db, const std::string& path, int64_t size,
                                            const std::vector<std::string>& keys, const std::string& editTime,
                                            const std::string& mimeType) {
  FileRecord f;
  f.linkId = RandomHex(8);
  f.path = path;
  f.name = NameOf(path);
  f.size = size;
  f.keys = keys;
  f.editTime = editTime;
  f.mimeType = mimeType;
  f.createdMs = NowMs();
  Statement st(db,
               "INSERT INTO files(linkid, path, size, keys, content, edit_time, mime_type, created_ms)"
               " VALUES(?,?,?,?,?,?,?,?)");
  if (!st) return std::nullopt;
  st.Bind(1, f.linkId);
  st.Bind(2, path);
  st.Bind(3, size);
  st.Bind(4, JoinKeys(keys));
  st.Bind(5, ContentDigest(keys));
  st.Bind(6, editTime);
  st.Bind(7, mimeType);
  st.Bind(8, f.createdMs);
  if (st.Step() != SQLITE_DONE) return std::nullopt;
  return f;
}

// Every file record with this content, oldest first; m_dbLock held.
static std::vector<FileRecord> FilesWithContent(sqlite3* db, int64_t size, const std::vector<std::string>& keys) {
  std::vector<FileRecord> out;
  Statement st(db, (std::string("SELECT ") + kFileColumns +
                    " FROM files WHERE size = ? AND content = ? AND keys = ? ORDER BY id").c_str());
  if (!st) return out;
  st.Bind(1, size);
  st.Bind(2, ContentDigest(keys));
  st.Bind(3, JoinKeys(keys));
  while (st.Step() == SQLITE_ROW) out.push_back(ReadFileRow(st.st));
  return out;
}

std::optional<FileRecord> Store::FileForContent(const std::string& path, int64_t size,
                                                const std::vector<std::string>& keys) {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return std::nullopt;
  auto held = FilesWithContent(m_db, size, keys);
  if (held.empty()) return std::nullopt;
  for (auto& f : held)
    if (f.path == path) return std::move(f);
  // The content is held under another name: this name gets a record of its
  // own. The prepare document has no edit time or MIME type; the first
  // record's stand in.
  return InsertFile(m_db, path, size, keys, held.front().editTime, held.front().mimeType);
}

std::optional<FileRecord> Store::FindFileByLink(const std::string& linkId) {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return std::nullopt;
  Statement st(m_db, (std::string("SELECT ") + kFileColumns + " FROM files WHERE linkid = ?").c_str());
  if (!st) return std::nullopt;
  st.Bind(1, linkId);
  if (st.Step() != SQLITE_ROW) return std::nullopt;
  return ReadFileRow(st.st);
}

std::optional<FileRecord> Store::AddFile(const std::string& path, int64_t size, const std::vector<std::string>& keys,
                                         const std::string& editTime, const std::string& mimeType) {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return std::nullopt;
  for (auto& f : FilesWithContent(m_db, size, keys))
    if (f.path == path) return std::move(f);
  return InsertFile(m_db, path, size, keys, editTime, mimeType);
}

std::vector<FileRecord> Store::ListFiles(int64_t limit, int64_t offset) {
  std::vector<FileRecord> out;
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return out;
  Statement st(m_db, (std::string("SELECT ") + kFileColumns + " FROM files ORDER BY id DESC LIMIT ? OFFSET ?").c_str());
  if (!st) return out;
  st.Bind(1, limit);
  st.Bind(2, offset);
  while (st.Step() == SQLITE_ROW) out.push_back(ReadFileRow(st.st));
  return out;
}

int64_t Store::FileCount() {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return 0;
  Statement st(m_db, "SELECT COUNT(*) FROM files");
  if (!st || st.Step() != SQLITE_ROW) return 0;
  return sqlite3_column_int64(st.st, 0);
}

bool Store::DeleteFile(const std::string& linkId) {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return false;
  Statement st(m_db, "DELETE FROM files WHERE linkid = ?");
  if (!st) return false;
  st.Bind(1, linkId);
  return st.Step() == SQLITE_DONE && sqlite3_changes(m_db) > 0;
}

CollectResult Store::Collect(int64_t uploadTtlMs) {
  CollectResult result;
  std::lock_guard<std::mutex> one(m_collectLock);
  // The chunk files there are now. One that arrives later is not looked at:
  // its upload was recorded before its URL was handed out.
  std::vector<std::string> chunkFiles;
  for (const auto& folder : NamesIn(m_chunkDir)) {
    const std::string dir = m_chunkDir + "/" + folder;
    for (const auto& name : NamesIn(dir))
      if (IsHexName(name)) chunkFiles.push_back(dir + "/" + name);
  }

  // No prepare or commit may decide that a chunk is held while this decides
  // that nothing refers to it.
  std::unique_lock<std::shared_mutex> references(m_refLock);
  std::unordered_set<std::string> referenced;  // hex names
  {
    std::lock_guard<std::mutex> lock(m_dbLock);
    if (!m_db) return result;
    const int64_t cutoff = NowMs() - uploadTtlMs;
    // Activity not yet written counts too.
    for (auto& [id, t] : m_touched) {
      if (t.activity <= t.written) continue;
      Statement st(m_db, "UPDATE uploads SET touched_ms = ? WHERE id = ?");
      if (!st) continue;
      st.Bind(1, t.activity);
      st.Bind(2, id);
      if (st.Step() == SQLITE_DONE) t.written = t.activity;
    }
    // A committed upload goes once it has been quiet for a short while (a
    // twin upload of the same file may still be sending); any other once it
    // has been quiet for the whole time to live.
    const int64_t committedCutoff = NowMs() - std::min(uploadTtlMs, kCommittedGraceMs);
    const char* kStale =
        " FROM uploads WHERE COALESCE(touched_ms, created_ms) < ?1 OR"
        " (committed_ms IS NOT NULL AND MAX(committed_ms, COALESCE(touched_ms, created_ms)) < ?2)";
    {
      Statement stale(m_db, (std::string("SELECT id") + kStale).c_str());
      if (!stale) return result;
      stale.Bind(1, cutoff);
      stale.Bind(2, committedCutoff);
      while (stale.Step() == SQLITE_ROW) {
        const std::string id = ColumnText(stale.st, 0);
        m_uploadCache.erase(id);
        m_touched.erase(id);
      }
    }
    {
      Statement expire(m_db, (std::string("DELETE") + kStale).c_str());
      if (!expire) return result;
      expire.Bind(1, cutoff);
      expire.Bind(2, committedCutoff);
      if (expire.Step() != SQLITE_DONE) return result;
      result.uploadsExpired = sqlite3_changes(m_db);
    }
    Statement keys(m_db, "SELECT keys FROM files UNION ALL SELECT keys FROM uploads");
    if (!keys) return result;
    for (int rc; (rc = keys.Step()) != SQLITE_DONE;) {
      if (rc != SQLITE_ROW) return result;  // an unreadable list: delete nothing
      for (const auto& key : SplitKeys(ColumnText(keys.st, 0))) referenced.insert(KeyToHex(key));
    }
  }
  for (const auto& path : chunkFiles) {
    if (referenced.count(path.substr(path.rfind('/') + 1))) continue;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) continue;
    if (::unlink(path.c_str()) == 0) {
      ++result.chunksRemoved;
      result.bytesRemoved += int64_t(st.st_size);
    }
  }
  return result;
}

Store::ReportResult Store::AddReport(const std::string& uuid, const ReportRecord& r) {
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return ReportResult::kFailed;
  {
    Statement count(m_db, "SELECT COUNT(*) FROM reports WHERE uuid = ?");
    if (!count) return ReportResult::kFailed;
    count.Bind(1, uuid);
    if (count.Step() != SQLITE_ROW) return ReportResult::kFailed;
    if (sqlite3_column_int64(count.st, 0) >= kMaxReportsPerPage) return ReportResult::kTooMany;
  }
  Statement st(m_db,
               "INSERT INTO reports(uuid, received_ms, query, filesize, uploaded, speed, name, url)"
               " VALUES(?,?,?,?,?,?,?,?)");
  if (!st) return ReportResult::kFailed;
  st.Bind(1, uuid);
  st.Bind(2, r.receivedMs ? r.receivedMs : NowMs());
  st.Bind(3, r.query);
  st.Bind(4, r.filesize);
  st.Bind(5, r.uploaded);
  st.Bind(6, r.speed);
  st.Bind(7, r.name);
  if (r.url) st.Bind(8, *r.url); else st.BindNull(8);
  return st.Step() == SQLITE_DONE ? ReportResult::kStored : ReportResult::kFailed;
}

std::vector<ReportRecord> Store::Reports(const std::string& uuid) {
  std::vector<ReportRecord> out;
  std::lock_guard<std::mutex> lock(m_dbLock);
  if (!m_db) return out;
  Statement st(m_db,
               "SELECT received_ms, query, filesize, uploaded, speed, name, url FROM reports"
               " WHERE uuid = ? ORDER BY id");
  if (!st) return out;
  st.Bind(1, uuid);
  while (st.Step() == SQLITE_ROW) {
    ReportRecord r;
    r.receivedMs = sqlite3_column_int64(st.st, 0);
    r.query = ColumnText(st.st, 1);
    r.filesize = ColumnText(st.st, 2);
    r.uploaded = ColumnText(st.st, 3);
    r.speed = ColumnText(st.st, 4);
    r.name = ColumnText(st.st, 5);
    if (sqlite3_column_type(st.st, 6) != SQLITE_NULL) r.url = ColumnText(st.st, 6);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace chunkup::service
