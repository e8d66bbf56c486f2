// Platform for Windows, wide-character APIs throughout. Paths arrive as the
// host's UTF-16 text and go to CreateFileW unchanged.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <rpc.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text passes to the wide APIs unchanged");

namespace chunkup {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// An embedded zero would cut the text short inside the API: the path the API
// saw would not be the one the host passed.
bool HasEmbeddedZero(const std::u16string& text) { return text.find(u'\0') != std::u16string::npos; }

class Win32File final : public PlatformFile {
 public:
  explicit Win32File(HANDLE handle) : m_handle(handle) {}
  ~Win32File() override { Close(); }

  // Fills the buffer unless the file ends: ReadFile may hand out less than
  // asked (network shares), and callers take a short count as the end.
  int Read(void* buffer, uint32_t count, uint32_t* bytesRead) override {
    *bytesRead = 0;
    auto* target = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
      DWORD got = 0;
      if (!::ReadFile(m_handle, target + done, count - done, &got, nullptr)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) break;
        *bytesRead = done;
        return static_cast<int>(error);
      }
      if (got == 0) break;  // end of the file
      done += got;
    }
    *bytesRead = done;
    return 0;
  }
  int SeekFromStart(int64_t offset) override {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return ::SetFilePointerEx(m_handle, distance, nullptr, FILE_BEGIN) ? 0 : static_cast<int>(::GetLastError());
  }
  int GetSize(int64_t* size) override {
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(m_handle, &value)) return static_cast<int>(::GetLastError());
    *size = value.QuadPart;
    return 0;
  }
  int GetLastWriteTime(FileTime* time) override {
    FILETIME written;
    if (!::GetFileTime(m_handle, nullptr, nullptr, &written)) return static_cast<int>(::GetLastError());
    *time = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return 0;
  }
  int Close() override {
    if (m_handle == INVALID_HANDLE_VALUE) return 0;
    const BOOL closed = ::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    return closed ? 0 : static_cast<int>(::GetLastError());
  }

 private:
  HANDLE m_handle;
};

class Win32Thread final : public PlatformThread {
 public:
  static std::unique_ptr<PlatformThread> Start(std::function<void()> body) {
    std::unique_ptr<Win32Thread> thread(new Win32Thread(std::move(body)));
    thread->m_handle = ::CreateThread(nullptr, 0, &Win32Thread::Main, thread.get(), 0, nullptr);
    if (thread->m_handle == nullptr) return nullptr;
    return thread;
  }
  ~Win32Thread() override {
    Join();
    if (m_handle) ::CloseHandle(m_handle);
  }
  void Join() override {
    if (m_handle && !m_joined) {
      ::WaitForSingleObject(m_handle, INFINITE);
      m_joined = true;
    }
  }

 private:
  explicit Win32Thread(std::function<void()> body) : m_body(std::move(body)) {}

  static DWORD WINAPI Main(void* self) {
    // An exception must not cross into the OS's thread start-up: it would end
    // the host's process.
    try {
      static_cast<Win32Thread*>(self)->m_body();
    } catch (...) {
    }
    return 0;
  }

  std::function<void()> m_body;
  HANDLE m_handle = nullptr;
  bool m_joined = false;
};

std::mutex& EnvironmentLock() {
  static std::mutex lock;
  return lock;
}

UINT CodePageOf(CodePage page) { return page == CodePage::kUtf8 ? CP_UTF8 : CP_ACP; }

bool StartsWithIgnoringCase(const std::u16string& text, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<char16_t>(prefix[i])) return false;
  }
  return true;
}

class Win32Platform final : public Platform {
 public:
  int OpenFile(const std::u16string& path, const FileOpenArgs& args,
               std::unique_ptr<PlatformFile>* file) override {
    file->reset();
    if (path.empty() || HasEmbeddedZero(path)) return ERROR_INVALID_NAME;
    HANDLE handle = ::CreateFileW(Wide(path), args.access, args.share, nullptr, args.disposition, args.flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
    // Only files on disk: a console, a pipe or another device could block a
    // read for ever or never end.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
      ::CloseHandle(handle);
      return ERROR_INVALID_FUNCTION;
    }
    file->reset(new Win32File(handle));
    return 0;
  }

  bool PathExists(const std::u16string& path) override {
    if (path.empty() || HasEmbeddedZero(path)) return false;
    return ::GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
  }

  // Both separators count, and so does the colon of a drive-relative path
  // ("C:name.txt").
  std::u16string FindFileName(const std::u16string& path) override {
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
      const char16_t c = path[i];
      if (c == u'\\' || c == u'/' || (c == u':' && i == 1)) start = i + 1;
    }
    return path.substr(start);
  }

  void SleepMs(uint32_t ms) override { ::Sleep(ms); }

  uint32_t TickCount() override { return static_cast<uint32_t>(::GetTickCount64()); }

  bool SystemTimeToFileTime(const SystemTime& time, FileTime* out) override {
    SYSTEMTIME system;
    system.wYear = time.year;
    system.wMonth = time.month;
    system.wDayOfWeek = time.dayOfWeek;
    system.wDay = time.day;
    system.wHour = time.hour;
    system.wMinute = time.minute;
    system.wSecond = time.second;
    system.wMilliseconds = time.milliseconds;
    FILETIME converted;
    if (!::SystemTimeToFileTime(&system, &converted)) return false;
    *out = (static_cast<uint64_t>(converted.dwHighDateTime) << 32) | converted.dwLowDateTime;
    return true;
  }

  std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) override {
    return Win32Thread::Start(std::move(body));
  }

  int MultiByteToWide(CodePage page, const char* source, int sourceLength, char16_t* target,
                      int capacity) override {
    if (!source) return 0;
    if (!target) capacity = 0;
    return ::MultiByteToWideChar(CodePageOf(page), 0, source, sourceLength, reinterpret_cast<wchar_t*>(target),
                                 capacity);
  }
  int WideToMultiByte(CodePage page, const char16_t* source, int sourceLength, char* target,
                      int capacity) override {
    if (!source) return 0;
    if (!target) capacity = 0;
    return ::WideCharToMultiByte(CodePageOf(page), 0, reinterpret_cast<const wchar_t*>(source), sourceLength,
                                 target, capacity, nullptr, nullptr);
  }

  std::string NewUuid() override {
    UUID id;
    const RPC_STATUS status = ::UuidCreate(&id);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) {
      // No random UUID from the system: a page id that collides with no other
      // is still better than none, so fall back to the time and a counter.
      static std::atomic<uint32_t> counter{0};
      const uint64_t now = ::GetTickCount64();
      id.Data1 = static_cast<unsigned long>(now);
      id.Data2 = static_cast<unsigned short>(now >> 32);
      id.Data3 = static_cast<unsigned short>(0x4000 | (::GetCurrentProcessId() & 0x0FFF));
      const uint32_t n = ++counter;
      std::memcpy(id.Data4, &n, sizeof n);
      const DWORD pid = ::GetCurrentProcessId();
      std::memcpy(id.Data4 + 4, &pid, sizeof pid);
      id.Data4[0] = static_cast<unsigned char>((id.Data4[0] & 0x3F) | 0x80);
    }
    char text[37];
    std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
  }

  void OpenUrl(const std::u16string& url) override {
    // The shell "opens" programs and documents too: hand it web addresses only.
    if (HasEmbeddedZero(url) || !(StartsWithIgnoringCase(url, "http://") || StartsWithIgnoringCase(url, "https://")))
      return;
    // The shell may use COM to find the browser; this thread is the library's own.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ::ShellExecuteW(nullptr, L"open", Wide(url), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) ::CoUninitialize();
  }
};

}  // namespace

Platform& SystemPlatform() {
  static Win32Platform* platform = new Win32Platform;  // never destroyed: workers may outlive statics
  return *platform;
}

// The process environment as Win32 keeps it: what the host set with
// SetEnvironmentVariable is seen too, not only the C runtime's copy.
bool GetEnvironmentValue(const char* name, std::string* value) {
  std::lock_guard<std::mutex> guard(EnvironmentLock());
  char small[256];
  ::SetLastError(ERROR_SUCCESS);  // an empty value also answers 0
  DWORD needed = ::GetEnvironmentVariableA(name, small, sizeof small);
  if (needed == 0) {
    if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    value->clear();  // present and empty
    return true;
  }
  if (needed < sizeof small) {
    value->assign(small, needed);
    return true;
  }
  // Too long for the small buffer: `needed` counts the terminator. The value
  // cannot change meanwhile, since every change in the library holds the lock.
  std::string text(needed, '\0');
  const DWORD got = ::GetEnvironmentVariableA(name, text.data(), needed);
  if (got == 0 || got >= needed) return false;
  text.resize(got);
  *value = std::move(text);
  return true;
}

void RemoveEnvironmentValue(const char* name) {
  std::lock_guard<std::mutex> guard(EnvironmentLock());
  ::SetEnvironmentVariableA(name, nullptr);
  // The C runtime keeps a copy of its own; "NAME=" removes it there.
  std::string assignment = std::string(name) + "=";
  ::_putenv(assignment.c_str());
}

}  // namespace chunkup
