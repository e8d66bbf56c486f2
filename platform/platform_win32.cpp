// The platform for Windows, wide-character APIs throughout. Paths are the
// host's UTF-16 text and reach CreateFileW unchanged; narrow text from the
// service is widened through the ANSI code page.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wincrypt.h>
#include <objbase.h>
#include <rpc.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text passes to the wide APIs unchanged");

namespace chunkup {
namespace {

// FILETIME counts from 1601-01-01; the seam counts from 1970-01-01.
constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// An embedded zero would cut the text short inside the API: the file opened
// would not be the one the host named.
bool UsableAsPath(const std::u16string& text) { return !text.empty() && text.find(u'\0') == std::u16string::npos; }

class Win32File final : public ReadAheadFile {
 public:
  explicit Win32File(HANDLE handle) : m_handle(handle) {}
  ~Win32File() override { ::CloseHandle(m_handle); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  int Size(uint64_t* size) override {
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(m_handle, &value)) return static_cast<int>(::GetLastError());
    *size = value.QuadPart < 0 ? 0 : static_cast<uint64_t>(value.QuadPart);
    return 0;
  }
  // The last-write time only: the creation and last-access times are not asked for.
  int LastWriteTime(FileTimestamp* time) override {
    FILETIME written;
    if (!::GetFileTime(m_handle, nullptr, nullptr, &written)) return static_cast<int>(::GetLastError());
    const uint64_t ticks = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    *time = static_cast<int64_t>(ticks) - kFileTimeOf1970;
    return 0;
  }

 protected:
  int SeekInOs(uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return ERROR_NEGATIVE_SEEK;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(m_handle, distance, nullptr, FILE_BEGIN) ? 0 : static_cast<int>(::GetLastError());
  }
  int ReadFromOs(void* target, size_t count, size_t* bytesRead) override {
    // One ReadFile takes a 32-bit count; the caller's loop asks for the rest.
    const DWORD want = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(m_handle, target, want, &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_HANDLE_EOF) return static_cast<int>(error);
      got = 0;
    }
    *bytesRead = got;
    return 0;
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
    ::CloseHandle(m_handle);
  }
  void Join() override {
    if (!m_joined) {
      ::WaitForSingleObject(m_handle, INFINITE);
      m_joined = true;
    }
  }

 private:
  explicit Win32Thread(std::function<void()> body) : m_body(std::move(body)) {}

  static DWORD WINAPI Main(void* self) {
    // An exception must not leave the thread's start routine: it would end
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
  Win32Platform() {
    LARGE_INTEGER frequency;
    m_ticksPerSecond = ::QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0 ? frequency.QuadPart : 0;
  }

  // CreateFileW takes the host's UTF-16 text itself: nothing to convert.
  FilePath MakePath(const std::u16string& hostText) override { return FilePath{hostText, std::string()}; }

  bool PathExists(const FilePath& path) override {
    return UsableAsPath(path.text) && ::GetFileAttributesW(Wide(path.text)) != INVALID_FILE_ATTRIBUTES;
  }

  // Both separators count, and so does the colon of a drive-relative path
  // ("C:name.txt").
  std::u16string FileNameOf(const std::u16string& path) override {
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
      const char16_t c = path[i];
      if (c == u'\\' || c == u'/' || (c == u':' && i == 1)) start = i + 1;
    }
    return path.substr(start);
  }

  int OpenForRead(const FilePath& path, Sharing sharing, std::unique_ptr<ReadableFile>* file) override {
    file->reset();
    if (!UsableAsPath(path.text)) return ERROR_INVALID_NAME;
    const DWORD share = sharing == Sharing::kDenyWriters ? FILE_SHARE_READ | FILE_SHARE_DELETE
                                                         : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = ::CreateFileW(Wide(path.text), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      // A directory does not open without backup semantics; say what it is.
      const DWORD attributes = ::GetFileAttributesW(Wide(path.text));
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return kErrorNotRegularFile;
      return static_cast<int>(error);
    }
    // Only files on disk: a console, a pipe or another device could hold a
    // read for ever or never end.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
      ::CloseHandle(handle);
      return kErrorNotRegularFile;
    }
    file->reset(new Win32File(handle));
    return 0;
  }

  void SleepMs(uint32_t ms) override { ::Sleep(ms); }

  uint64_t MonotonicMs() override {
    LARGE_INTEGER now;
    if (m_ticksPerSecond == 0 || !::QueryPerformanceCounter(&now)) return ::GetTickCount64();
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(m_ticksPerSecond);
    // In two parts, so the product cannot overflow however long the machine runs.
    return ticks / perSecond * 1000u + ticks % perSecond * 1000u / perSecond;
  }

  std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) override {
    return Win32Thread::Start(std::move(body));
  }

  std::u16string SystemCodePageToUtf16(const std::string& text) override {
    const std::string narrow = text.substr(0, text.find('\0'));
    if (narrow.empty() || narrow.size() > static_cast<size_t>(INT32_MAX)) return {};
    const int length = static_cast<int>(narrow.size());
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::u16string wide(static_cast<size_t>(needed), u'\0');
    const int written = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, reinterpret_cast<wchar_t*>(wide.data()), needed);
    wide.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return wide;
  }

  std::string NewUuid() override {
    UUID id;
    const RPC_STATUS status = ::UuidCreate(&id);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) {
      // No UUID from the system: the time, the process and a counter still
      // make an id no other page has.
      static std::atomic<uint32_t> counter{0};
      const uint64_t now = MonotonicMs();
      const uint32_t n = ++counter;
      const DWORD pid = ::GetCurrentProcessId();
      id.Data1 = static_cast<unsigned long>(now);
      id.Data2 = static_cast<unsigned short>(now >> 32);
      id.Data3 = static_cast<unsigned short>(0x4000 | (n & 0x0FFF));
      std::memcpy(id.Data4, &n, sizeof n);
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
    if (!UsableAsPath(url) || !(StartsWithIgnoringCase(url, "http://") || StartsWithIgnoringCase(url, "https://")))
      return;
    // The shell may use COM to find the browser; this thread is the library's own.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ::ShellExecuteW(nullptr, L"open", Wide(url), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) ::CoUninitialize();
  }

 private:
  LONGLONG m_ticksPerSecond = 0;
};

}  // namespace

Platform& SystemPlatform() {
  static Win32Platform* platform = new Win32Platform;  // never destroyed: workers may outlive statics
  return *platform;
}

// The process environment as Win32 keeps it, which also holds what the host
// set with SetEnvironmentVariable; the C runtime's copy misses that.
bool GetEnvironmentValue(const char* name, std::string* value) {
  std::lock_guard<std::mutex> guard(EnvironmentLock());
  char small[256];
  ::SetLastError(ERROR_SUCCESS);  // an empty value also answers 0
  const DWORD needed = ::GetEnvironmentVariableA(name, small, sizeof small);
  if (needed == 0) {
    if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    value->clear();
    return true;
  }
  if (needed < sizeof small) {
    value->assign(small, needed);
    return true;
  }
  // Too long for the small buffer; `needed` counts the terminator. Another
  // thread of the host may change the value meanwhile, so a second miss
  // counts as absent rather than looping.
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
  const std::string assignment = std::string(name) + "=";
  ::_putenv(assignment.c_str());
}

// The "ROOT" store as this user sees it: the machine's and the user's trusted
// roots, group policy's included. A store that cannot be opened yields no
// certificates, so nothing is trusted rather than everything.
bool GetSystemCaCertificates(std::string* pem) {
  pem->clear();
  HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
  if (!store) return true;
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = ::CertEnumCertificatesInStore(store, cert)) != nullptr) {
    DWORD length = 0;
    if (!::CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded, CRYPT_STRING_BASE64HEADER, nullptr,
                                &length))
      continue;
    std::string text(length, '\0');
    if (!::CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded, CRYPT_STRING_BASE64HEADER, text.data(),
                                &length))
      continue;
    text.resize(length);  // without the terminator now
    pem->append(text);
  }
  ::CertCloseStore(store, 0);
  return true;
}

}  // namespace chunkup
