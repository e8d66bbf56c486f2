// The operating-system seam. Portable code reaches files, time, threads, text
// conversion, UUIDs and the browser only through Platform, so another OS needs
// one more implementation file and nothing else. Tests inject a double.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace chunkup {

// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC (the FILETIME scale).
using FileTime = uint64_t;

// Arguments of a file open, with the values Windows gives them, so a Windows
// implementation passes them on unchanged. A POSIX implementation honours the
// access and the disposition; share modes have no POSIX counterpart.
struct FileOpenArgs {
  uint32_t access = 0;
  uint32_t share = 0;
  uint32_t disposition = 0;
  uint32_t flags = 0;
};
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kFileShareRead = 1;
inline constexpr uint32_t kFileShareWrite = 2;
inline constexpr uint32_t kFileShareDelete = 4;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kFileAttributeNormal = 0x80;

// Every file operation answers 0 or a non-zero OS error code (errno here).
class PlatformFile {
 public:
  virtual ~PlatformFile() = default;
  // One read of up to `count` bytes; *bytesRead 0 at the end of the file.
  virtual int Read(void* buffer, uint32_t count, uint32_t* bytesRead) = 0;
  virtual int SeekFromStart(int64_t offset) = 0;
  virtual int GetSize(int64_t* size) = 0;
  virtual int GetLastWriteTime(FileTime* time) = 0;
  // Closing twice is harmless; the destructor closes a file left open.
  virtual int Close() = 0;
};

class PlatformThread {
 public:
  virtual ~PlatformThread() = default;
  // Returns once the thread's body has returned.
  virtual void Join() = 0;
};

enum class CodePage {
  kAnsi,  // the system's narrow code page; UTF-8 on Linux
  kUtf8,
};

// Calendar time, as the Windows SYSTEMTIME holds it.
struct SystemTime {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

class Platform {
 public:
  virtual ~Platform() = default;

  virtual int OpenFile(const std::u16string& path, const FileOpenArgs& args,
                       std::unique_ptr<PlatformFile>* file) = 0;
  virtual bool PathExists(const std::u16string& path) = 0;
  // The last path component: the text after the final separator ('/' here,
  // '\\' and '/' on Windows), or the whole path when there is none.
  virtual std::u16string FindFileName(const std::u16string& path) = 0;

  virtual void SleepMs(uint32_t ms) = 0;
  // Milliseconds since some fixed start, 32 bits, wrapping: take differences
  // in unsigned arithmetic.
  virtual uint32_t TickCount() = 0;
  virtual bool SystemTimeToFileTime(const SystemTime& time, FileTime* out) = 0;

  // Starts `body` on a new thread; null when no thread can be made.
  virtual std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) = 0;

  // Text conversion with the Windows conventions: `sourceLength` -1 means
  // zero-terminated and then the count includes the terminator; a null
  // `target` (or capacity 0) asks for the length needed; 0 means failure.
  virtual int MultiByteToWide(CodePage page, const char* source, int sourceLength,
                              char16_t* target, int capacity) = 0;
  virtual int WideToMultiByte(CodePage page, const char16_t* source, int sourceLength,
                              char* target, int capacity) = 0;

  // A fresh random UUID as 36 lower-case characters, 8-4-4-4-12.
  virtual std::string NewUuid() = 0;
  // Shows `url` in the user's browser. Fire and forget: failures are ignored.
  virtual void OpenUrl(const std::u16string& url) = 0;
};

// The implementation for the OS this library was built for; lives for the
// whole process.
Platform& SystemPlatform();

// The process environment, as the C runtime sees it. Access is serialised
// inside the library, because reading while another thread removes a variable
// is a data race in the C library.
bool GetEnvironmentValue(const char* name, std::string* value);
void RemoveEnvironmentValue(const char* name);

}  // namespace chunkup
