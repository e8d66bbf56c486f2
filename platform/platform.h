// The operating-system seam. Portable code reaches files, time, threads, text
// conversion, UUIDs, the environment and the browser only through this
// header, so another OS needs one more implementation file and nothing else.
// Tests inject a double (tests/support/fake_platform.h).
//
// Errors: every file operation answers 0 or the OS's own positive error code
// (errno, or GetLastError on Windows), or one of the negative codes below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace chunkup {

// A point in time as the file system records it: 100-nanosecond ticks since
// 1970-01-01 00:00:00 UTC, negative before.
using FileTimestamp = int64_t;

// The path names something that is not a regular file (a directory, FIFO,
// socket or device). Such paths are refused at open, without blocking.
inline constexpr int kErrorNotRegularFile = -2;

// A path as the host gave it, with the form this OS opens, made once by
// Platform::MakePath where the path enters the library.
struct FilePath {
  std::u16string text;  // the host's UTF-16 text, unchanged
  std::string native;   // what the platform keeps for its own calls; opaque elsewhere
};

// Whether others may write the file while the library holds it open. The
// facts and digests are taken with writers shut out, so a file is not hashed
// half-written; chunks are read letting writers be.
enum class Sharing { kDenyWriters, kAllowWriters };

// An open regular file. The destructor closes it; nothing is ever written
// through it, so a failed close loses nothing.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;

  // Fills `buffer` with `count` bytes unless the file ends first:
  // *bytesRead < count means the end of the file was reached. Never trusts an
  // implementation's count beyond what was asked for.
  int Read(void* buffer, size_t count, size_t* bytesRead);
  // Positions the next Read `offset` bytes from the start.
  virtual int Seek(uint64_t offset) = 0;
  virtual int Size(uint64_t* size) = 0;
  virtual int LastWriteTime(FileTimestamp* time) = 0;

 protected:
  // One read of up to `count` bytes. It may hand out fewer bytes than asked
  // for before the end (network file systems do); 0 bytes means the end.
  virtual int ReadSome(void* buffer, size_t count, size_t* bytesRead) = 0;
};

// A file whose small reads are served from a 64 KiB read-ahead buffer: the
// digests are read in 4 KiB blocks, and a system call per block would cost
// more than hashing the block. Reads of 64 KiB or more go straight to the
// OS. An OS file supplies the two unbuffered operations.
class ReadAheadFile : public ReadableFile {
 public:
  int Seek(uint64_t offset) final;

 protected:
  int ReadSome(void* buffer, size_t count, size_t* bytesRead) final;
  // One unbuffered read of up to `count` bytes (0 bytes: the end), and one
  // unbuffered seek from the start.
  virtual int ReadFromOs(void* buffer, size_t count, size_t* bytesRead) = 0;
  virtual int SeekInOs(uint64_t offset) = 0;

 private:
  static constexpr size_t kReadAhead = 64 * 1024;
  std::unique_ptr<char[]> m_readAhead;
  size_t m_next = 0;
  size_t m_pending = 0;
};

class PlatformThread {
 public:
  virtual ~PlatformThread() = default;
  // Returns once the thread's body has returned.
  virtual void Join() = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- paths and files ---
  virtual FilePath MakePath(const std::u16string& hostText) = 0;
  // True when something exists at the path (of any kind).
  virtual bool PathExists(const FilePath& path) = 0;
  // The last path component: the text after the final separator, or the
  // whole path when there is none.
  virtual std::u16string FileNameOf(const std::u16string& path) = 0;
  // Opens an existing regular file for reading. Never blocks on a FIFO or a
  // device: such paths answer kErrorNotRegularFile.
  virtual int OpenForRead(const FilePath& path, Sharing sharing, std::unique_ptr<ReadableFile>* file) = 0;

  // --- time and threads ---
  virtual void SleepMs(uint32_t ms) = 0;
  // Milliseconds since some fixed start; never goes back.
  virtual uint64_t MonotonicMs() = 0;
  // Starts `body` on a new thread; null when no thread can be made.
  virtual std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) = 0;

  // --- text ---
  // Narrow text in the system's code page (UTF-8 on Linux) to UTF-16. Text
  // the service returns, such as URLs, is widened this way.
  virtual std::u16string SystemCodePageToUtf16(const std::string& text) = 0;

  // --- the rest ---
  // A fresh random UUID as 36 lower-case characters, 8-4-4-4-12.
  virtual std::string NewUuid() = 0;
  // Shows `url` in the user's browser. Fire and forget: failures are ignored.
  virtual void OpenUrl(const std::u16string& url) = 0;
};

// The implementation for the OS this library was built for; lives for the
// whole process.
Platform& SystemPlatform();

// UTF-16 and UTF-8, the same on every OS. Ill-formed input becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

// The process environment, as the C runtime sees it. Access is serialised
// inside the library, because reading while another thread removes a variable
// is a data race in the C library.
bool GetEnvironmentValue(const char* name, std::string* value);
void RemoveEnvironmentValue(const char* name);

// The CA certificates the OS itself trusts for TLS, as PEM text, where the
// TLS library under libcurl is the OS's and does not check a chain against
// them unless it is given them (Windows: Schannel). False where libcurl's TLS
// has a CA bundle of its own (Linux: OpenSSL); *pem is then left alone.
bool GetSystemCaCertificates(std::string* pem);

}  // namespace chunkup
