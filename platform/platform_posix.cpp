// Platform for Linux and other POSIX systems. Narrow text is UTF-8 here, so
// the "ANSI" code page and UTF-8 convert the same way.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/utf.h"

extern char** environ;

namespace chunkup {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDeltaSeconds = 11644473600LL;

// Reads go through a 64 KiB read-ahead buffer: callers read in 4 KiB blocks,
// and a system call per block would cost more than hashing the block. Reads
// are filled whole, so a short count still means the end of the file.
class PosixFile final : public PlatformFile {
 public:
  explicit PosixFile(int fd) : m_fd(fd) {}
  ~PosixFile() override { Close(); }

  int Read(void* buffer, uint32_t count, uint32_t* bytesRead) override {
    *bytesRead = 0;
    auto* target = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
      if (m_pending == 0) {
        const uint32_t want = count - done;
        if (want >= kReadAhead) {  // large reads go straight to the caller's buffer
          uint32_t got = 0;
          if (int error = ReadFully(target + done, want, &got)) return error;
          done += got;
          break;
        }
        if (!m_readAhead) m_readAhead = std::make_unique<char[]>(kReadAhead);
        uint32_t got = 0;
        if (int error = ReadFully(m_readAhead.get(), kReadAhead, &got)) return error;
        m_next = 0;
        m_pending = got;
        if (got == 0) break;  // end of the file
      }
      const uint32_t n = std::min(count - done, m_pending);
      std::memcpy(target + done, m_readAhead.get() + m_next, n);
      m_next += n;
      m_pending -= n;
      done += n;
    }
    *bytesRead = done;
    return 0;
  }
  int SeekFromStart(int64_t offset) override {
    m_pending = 0;  // what was read ahead belongs to the old position
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
  }
  int GetSize(int64_t* size) override {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) return errno;
    *size = st.st_size;
    return 0;
  }
  int GetLastWriteTime(FileTime* time) override {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) return errno;
    int64_t ticks = (static_cast<int64_t>(st.st_mtim.tv_sec) + kEpochDeltaSeconds) * 10000000LL +
                    st.st_mtim.tv_nsec / 100;
    *time = static_cast<FileTime>(ticks);
    return 0;
  }
  int Close() override {
    if (m_fd < 0) return 0;
    int rc = ::close(m_fd);
    m_fd = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  static constexpr uint32_t kReadAhead = 64 * 1024;

  // Up to `count` bytes; fewer only at the end of the file.
  int ReadFully(char* target, uint32_t count, uint32_t* bytesRead) {
    uint32_t done = 0;
    while (done < count) {
      ssize_t got = ::read(m_fd, target + done, count - done);
      if (got < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (got == 0) break;
      done += static_cast<uint32_t>(got);
    }
    *bytesRead = done;
    return 0;
  }

  int m_fd;
  std::unique_ptr<char[]> m_readAhead;
  uint32_t m_next = 0;
  uint32_t m_pending = 0;
};

class StdThread final : public PlatformThread {
 public:
  explicit StdThread(std::function<void()> body) : m_thread(std::move(body)) {}
  ~StdThread() override { Join(); }
  void Join() override {
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  std::thread m_thread;
};

std::mutex& EnvironmentLock() {
  static std::mutex lock;
  return lock;
}

class PosixPlatform final : public Platform {
 public:
  int OpenFile(const std::u16string& path, const FileOpenArgs& args,
               std::unique_ptr<PlatformFile>* file) override {
    file->reset();
    std::string narrow = Utf16ToUtf8(path);
    if (narrow.find('\0') != std::string::npos) return ENOENT;
    int flags = O_RDONLY | O_CLOEXEC;
    if (args.disposition != kOpenExisting) return EINVAL;  // the library only reads files that exist
    int fd;
    do {
      fd = ::open(narrow.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return EISDIR;
    }
    file->reset(new PosixFile(fd));
    return 0;
  }

  bool PathExists(const std::u16string& path) override {
    std::string narrow = Utf16ToUtf8(path);
    if (narrow.empty() || narrow.find('\0') != std::string::npos) return false;
    struct stat st;
    return ::stat(narrow.c_str(), &st) == 0;
  }

  std::u16string FindFileName(const std::u16string& path) override {
    size_t slash = path.find_last_of(u'/');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
  }

  void SleepMs(uint32_t ms) override {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  uint32_t TickCount() override {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }

  bool SystemTimeToFileTime(const SystemTime& time, FileTime* out) override {
    if (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31 || time.hour > 23 ||
        time.minute > 59 || time.second > 59 || time.milliseconds > 999 || time.year < 1601 ||
        time.year > 30827)
      return false;
    int64_t days = DaysSinceUnixEpoch(time.year, time.month, time.day);
    int64_t seconds = days * 86400 + time.hour * 3600 + time.minute * 60 + time.second + kEpochDeltaSeconds;
    *out = static_cast<FileTime>(seconds * 10000000LL + static_cast<int64_t>(time.milliseconds) * 10000LL);
    return true;
  }

  std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) override {
    try {
      return std::make_unique<StdThread>(std::move(body));
    } catch (const std::system_error&) {
      return nullptr;
    }
  }

  int MultiByteToWide(CodePage, const char* source, int sourceLength, char16_t* target,
                      int capacity) override {
    return ConvertUtf8ToUtf16(source, sourceLength, target, capacity);
  }
  int WideToMultiByte(CodePage, const char16_t* source, int sourceLength, char* target,
                      int capacity) override {
    return ConvertUtf16ToUtf8(source, sourceLength, target, capacity);
  }

  std::string NewUuid() override {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
  }

  void OpenUrl(const std::u16string& url) override {
    std::string narrow = Utf16ToUtf8(url);
    if (narrow.empty() || narrow.find('\0') != std::string::npos) return;
    // An argv, never a shell: the URL cannot be read as a command.
    char program[] = "xdg-open";
    char* argv[] = {program, narrow.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc;
    {
      std::lock_guard<std::mutex> guard(EnvironmentLock());
      rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return;
    // Reap the child on a detached thread so no zombie is left behind.
    try {
      std::thread([pid] {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
      }).detach();
    } catch (const std::system_error&) {
    }
  }

 private:
  // Days from 1970-01-01 to the given proleptic Gregorian date.
  static int64_t DaysSinceUnixEpoch(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
  }
};

}  // namespace

Platform& SystemPlatform() {
  static PosixPlatform* platform = new PosixPlatform;  // never destroyed: workers may outlive statics
  return *platform;
}

bool GetEnvironmentValue(const char* name, std::string* value) {
  std::lock_guard<std::mutex> guard(EnvironmentLock());
  const char* found = std::getenv(name);
  if (!found) return false;
  *value = found;
  return true;
}

void RemoveEnvironmentValue(const char* name) {
  std::lock_guard<std::mutex> guard(EnvironmentLock());
  ::unsetenv(name);
}

}  // namespace chunkup
