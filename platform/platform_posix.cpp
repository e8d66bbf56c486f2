// The platform for Linux and other POSIX systems. Narrow text is UTF-8 here.
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

class PosixFile final : public ReadAheadFile {
 public:
  explicit PosixFile(int fd) : m_fd(fd) {}
  ~PosixFile() override { ::close(m_fd); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  int Size(uint64_t* size) override {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) return errno;
    *size = st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
    return 0;
  }
  int LastWriteTime(FileTimestamp* time) override {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) return errno;
    *time = static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000LL + st.st_mtim.tv_nsec / 100;
    return 0;
  }

 protected:
  int SeekInOs(uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return EINVAL;
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
  }
  int ReadFromOs(void* target, size_t count, size_t* bytesRead) override {
    for (;;) {
      const ssize_t got = ::read(m_fd, target, count);
      if (got >= 0) {
        *bytesRead = static_cast<size_t>(got);
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }

 private:
  int m_fd;
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
  FilePath MakePath(const std::u16string& hostText) override { return FilePath{hostText, Utf16ToUtf8(hostText)}; }

  bool PathExists(const FilePath& path) override {
    if (path.native.empty() || path.native.find('\0') != std::string::npos) return false;
    struct stat st;
    return ::stat(path.native.c_str(), &st) == 0;
  }

  std::u16string FileNameOf(const std::u16string& path) override {
    const size_t slash = path.find_last_of(u'/');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
  }

  int OpenForRead(const FilePath& path, Sharing, std::unique_ptr<ReadableFile>* file) override {
    // POSIX has no share modes: another process may always write.
    file->reset();
    if (path.native.empty() || path.native.find('\0') != std::string::npos) return ENOENT;
    // O_NONBLOCK so a FIFO without a writer cannot hold the open; the handle
    // is checked to be a regular file before anything is read from it.
    int fd;
    do {
      fd = ::open(path.native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    if (fd < 0) {
      // A UNIX socket (ENXIO) or a device without its driver refuses the
      // open itself; say what the path is rather than how the open failed.
      const int error = errno;
      return error == ENXIO && ::stat(path.native.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? kErrorNotRegularFile
                                                                                          : error;
    }
    if (::fstat(fd, &st) != 0) {
      const int error = errno;
      ::close(fd);
      return error;
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      return kErrorNotRegularFile;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file->reset(new PosixFile(fd));
    return 0;
  }

  void SleepMs(uint32_t ms) override {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  uint64_t MonotonicMs() override {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }

  std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) override {
    try {
      return std::make_unique<StdThread>(std::move(body));
    } catch (const std::system_error&) {
      return nullptr;
    }
  }

  // Narrow text is UTF-8 here.
  std::u16string SystemCodePageToUtf16(const std::string& text) override {
    return Utf8ToUtf16(text.substr(0, text.find('\0')));
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

// libcurl's OpenSSL reads the system's CA bundle itself.
bool GetSystemCaCertificates(std::string*) { return false; }

}  // namespace chunkup
