// The Windows host of the end-to-end cases, run under wine: loads chunkup.dll
// with LoadLibraryW from its own folder and resolves every export both by its
// decorated name and by its ordinal. The reference service runs on Linux at
// the library's build-time address; the test fixture that starts it also puts
// a stand-in browser first in PATH and names its record file in
// CHUNKUP_TEST_OPENED_PAGES (a Linux path, reached through wine's Z: drive).
// The HTTPS case talks to a second service, with TLS, whose state folder
// CHUNKUP_TEST_TLS_SERVICE names.
#include <curl/curl.h>
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/service_client.h"
#include "tests/e2e/upload_cases.h"
#include "tests/support/random_bytes.h"
#include "tests/support/temp_dir.h"

static_assert(sizeof(void*) == 4, "chunkup.dll is a 32-bit library");
static_assert(sizeof(UploadInfo) == 592, "the record keeps its size on 32-bit Windows");

namespace chunkup::testing {
namespace {

struct ExportEntry {
  const char* decoratedName;
  WORD ordinal;
  const char* undecoratedName;  // never exported by this name unless it equals decoratedName
};

const ExportEntry kExportTable[] = {
    {"_CancelUpload@4", 1, "CancelUpload"},  {"_GetUploadInfo@8", 2, "GetUploadInfo"},
    {"_PauseUpload@4", 3, "PauseUpload"},    {"_RestartUpload@4", 4, "RestartUpload"},
    {"UploadFile", 5, "_UploadFile@12"},
};

HMODULE g_library = nullptr;

// A Linux path as wine's Z: drive shows it.
std::string WindowsPathOf(const std::string& linuxPath) {
  std::string path = "Z:" + linuxPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::wstring ModuleFolder() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  std::wstring path(buffer, n);
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// The same export by name and by ordinal, or null when they differ.
FARPROC Resolve(const ExportEntry& entry, std::string* problem) {
  FARPROC byName = ::GetProcAddress(g_library, entry.decoratedName);
  FARPROC byOrdinal = ::GetProcAddress(g_library, MAKEINTRESOURCEA(entry.ordinal));
  if (!byName || byName != byOrdinal) {
    *problem += std::string(entry.decoratedName) + " by name and ordinal " + std::to_string(entry.ordinal) +
                " do not resolve to one function; ";
    return nullptr;
  }
  return byName;
}

// GetProcAddress hands out a generic function pointer; void (*)() is the
// type through which it may be cast to the export's real type.
template <typename Function>
Function As(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

class WindowsHost : public ::testing::Environment {
 public:
  void SetUp() override {
    E2eSetting& setting = Setting();
    const char* base = std::getenv("CHUNKUP_TEST_SERVICE_URL");
    setting.serviceBaseUrl = base && *base ? base : "http://127.0.0.1:8642";
    const char* pages = std::getenv("CHUNKUP_TEST_OPENED_PAGES");
    if (!pages || pages[0] != '/') {
      setting.unavailable = "CHUNKUP_TEST_OPENED_PAGES must name the stand-in browser's record file (a Linux path)";
      return;
    }
    setting.openedPages = WindowsPathOf(pages);

    const std::wstring dll = ModuleFolder() + L"chunkup.dll";
    g_library = ::LoadLibraryW(dll.c_str());
    if (!g_library) {
      setting.unavailable = "LoadLibraryW(chunkup.dll) failed with error " + std::to_string(::GetLastError());
      return;
    }
    std::string problem;
    UploadExports& x = setting.exports;
    x.cancel = As<decltype(x.cancel)>(Resolve(kExportTable[0], &problem));
    x.info = As<decltype(x.info)>(Resolve(kExportTable[1], &problem));
    x.pause = As<decltype(x.pause)>(Resolve(kExportTable[2], &problem));
    x.restart = As<decltype(x.restart)>(Resolve(kExportTable[3], &problem));
    x.upload = As<decltype(x.upload)>(Resolve(kExportTable[4], &problem));
    if (!problem.empty()) setting.unavailable = problem;
  }
};

// What a host linking by name or by ordinal finds, and what it must not find.
TEST(DllExports, EveryExportByDecoratedNameAndByOrdinal) {
  ASSERT_NE(g_library, nullptr);
  for (const ExportEntry& entry : kExportTable) {
    FARPROC byName = ::GetProcAddress(g_library, entry.decoratedName);
    EXPECT_NE(byName, nullptr) << entry.decoratedName;
    EXPECT_EQ(reinterpret_cast<void*>(::GetProcAddress(g_library, MAKEINTRESOURCEA(entry.ordinal))),
              reinterpret_cast<void*>(byName))
        << entry.decoratedName << " is not ordinal " << entry.ordinal;
    EXPECT_EQ(::GetProcAddress(g_library, entry.undecoratedName), nullptr)
        << entry.undecoratedName << " must not be exported";
  }
  EXPECT_EQ(::GetProcAddress(g_library, MAKEINTRESOURCEA(6)), nullptr) << "no export beyond ordinal 5";
}

// One UploadFile call, bounded: cancelled after a minute. The task's record.
UploadInfo UploadBounded(const std::filesystem::path& file) {
  const UploadExports& x = Setting().exports;
  const uint32_t id = ClaimNextTaskId();
  const std::u16string path = file.u16string();
  std::atomic<bool> done{false};
  std::thread call([&] {
    uint32_t written = 0;
    EXPECT_EQ(x.upload(reinterpret_cast<const chunkup_char16*>(path.c_str()), &written, 0), 0);
    done = true;
  });
  for (int waited = 0; !done && waited < 600; ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!done) x.cancel(id);
  call.join();
  UploadInfo info;
  std::memset(&info, 0, sizeof info);
  EXPECT_EQ(x.info(id, &info), 0);
  return info;
}

// Windows share modes, which only the Windows host can show: the file's facts
// and digests are taken with writers shut out, so a file another program
// holds open for writing is not uploaded half-written; it ends the task as
// failed, with nothing sent. Other readers do not stand in the way.
TEST(SharedFiles, AnotherProgramsOpenHandle) {
  const E2eSetting& setting = Setting();
  ASSERT_TRUE(setting.unavailable.empty()) << setting.unavailable;
  const ServiceClient service(setting.serviceBaseUrl);
  ASSERT_TRUE(service.Answers());
  struct Case {
    const char* name;
    DWORD access, share;
    bool uploads;
  } cases[] = {
      {"open for writing, sharing everything", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
      {"open exclusively", GENERIC_READ, 0, false},
      {"open for reading, sharing reads", GENERIC_READ, FILE_SHARE_READ, true},
  };
  TempDir dir;
  int index = 0;
  for (const Case& c : cases) {
    service.Reset();
    const std::filesystem::path file = dir.path() / ("held-" + std::to_string(index++) + ".bin");
    {
      std::ofstream out(file, std::ios::binary);
      out << "bytes of a file another program holds open " << index << ' ' << ::GetTickCount();
    }
    HANDLE other = ::CreateFileW(file.c_str(), c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << c.name;

    const UploadInfo info = UploadBounded(file);
    ::CloseHandle(other);

    if (c.uploads) {
      EXPECT_EQ(info.state, UPLOAD_STATE_OK) << c.name;
      EXPECT_EQ(info.percent, 100) << c.name;
      EXPECT_EQ(service.Stats()["commit"].asInt(), 1) << c.name;
    } else {
      EXPECT_EQ(info.state, UPLOAD_STATE_FAILED) << c.name;
      EXPECT_EQ(info.fileSize, 0u) << c.name;
      EXPECT_EQ(service.Stats()["prepare"].asInt(), 0) << c.name << ": nothing is sent for a file that cannot be read";
    }
  }
}

// Sets an environment variable of this process for the life of the guard, as
// a host would: SetEnvironmentVariableA, which the library reads back as each
// upload starts. A null value removes the variable.
class ProcessEnvironment {
 public:
  ProcessEnvironment(const char* name, const char* value) : m_name(name) { Set(value); }
  ~ProcessEnvironment() { ::SetEnvironmentVariableA(m_name, nullptr); }
  ProcessEnvironment(const ProcessEnvironment&) = delete;
  ProcessEnvironment& operator=(const ProcessEnvironment&) = delete;
  void Set(const char* value) { ::SetEnvironmentVariableA(m_name, value); }

 private:
  const char* m_name;
};

// HTTPS through Windows' own TLS (Schannel) against the service started with a
// certificate for 127.0.0.1 from a throw-away CA, named by CHUNKUP_CA_FILE:
// the file goes up, comes back whole, and the report is accepted. A name or a
// CA that does not check out fails the task closed: no URL, nothing stored.
TEST(Https, ThroughSchannelWithAPrivateCaAndFailuresThatFailClosed) {
  const E2eSetting& setting = Setting();
  ASSERT_TRUE(setting.unavailable.empty()) << setting.unavailable;
  const char* state = std::getenv("CHUNKUP_TEST_TLS_SERVICE");
  ASSERT_TRUE(state && state[0] == '/') << "CHUNKUP_TEST_TLS_SERVICE must name the TLS service's state folder";
  const std::string folder = WindowsPathOf(state);
  std::string base;
  std::getline(std::ifstream(folder + "\\url"), base);
  const std::string prefix = "https://127.0.0.1:";
  ASSERT_EQ(base.rfind(prefix, 0), 0u) << "no https:// address in " << folder << "\\url: " << base;
  const std::string port = base.substr(prefix.size());
  const std::string caFile = folder + "\\pki\\ca.pem";
  const std::string otherCaFile = folder + "\\pki\\other-ca.pem";
  const std::string missingCaFile = folder + "\\pki\\none.pem";
  const ServiceClient service(base, caFile);
  ASSERT_TRUE(service.Answers()) << "the test's own client does not reach " << base;

  struct Case {
    const char* name;
    std::string base;    // both endpoints
    const char* caFile;  // null: CHUNKUP_CA_FILE unset, only the Windows store
    bool uploads;
  };
  const Case cases[] = {
      {"trusted CA, matching name", base, caFile.c_str(), true},
      {"certificate for another name", "https://localhost:" + port, caFile.c_str(), false},
      {"CA nobody trusts", base, nullptr, false},
      {"a different private CA", base, otherCaFile.c_str(), false},
      {"CA file that does not exist", base, missingCaFile.c_str(), false},
  };
  ProcessEnvironment noPage("CHUNKUP_OPEN_PAGE", "0");  // the reports are read from the service instead
  ProcessEnvironment host("CHUNKUP_FILE_SERVICE_HOST", nullptr);
  ProcessEnvironment web("CHUNKUP_WEB_BASE_URL", nullptr);
  ProcessEnvironment ca("CHUNKUP_CA_FILE", nullptr);
  TempDir dir;
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service.Reset();
    host.Set(c.base.c_str());
    web.Set(c.base.c_str());
    ca.Set(c.caFile);
    const std::string bytes = RandomBytes(4194304 + 4097);
    const UploadInfo info = UploadBounded(dir.WriteFile("tls-" + std::to_string(index++) + ".bin", bytes));
    const std::string url(info.url, std::find(info.url, info.url + 256, chunkup_char16{0}));
    const Json::Value stats = service.Stats();
    if (c.uploads) {
      EXPECT_EQ(info.state, UPLOAD_STATE_OK);
      ASSERT_EQ(url.rfind(base + "/", 0), 0u) << url;
      EXPECT_TRUE(service.Get(url) == bytes) << "the file did not come back whole from " << url;
      EXPECT_EQ(stats["commit"].asInt(), 1);
      EXPECT_GE(stats["report"].asInt(), 1) << "no report accepted over HTTPS";
    } else {
      EXPECT_EQ(info.state, UPLOAD_STATE_FAILED);
      EXPECT_TRUE(url.empty()) << url;
      EXPECT_EQ(stats["prepare"].asInt(), 0);
      EXPECT_EQ(stats["put"].asInt(), 0);
      EXPECT_EQ(stats["report"].asInt(), 0);
    }
  }
}

}  // namespace
}  // namespace chunkup::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  curl_global_init(CURL_GLOBAL_DEFAULT);  // Winsock, for the service client
  ::testing::AddGlobalTestEnvironment(new chunkup::testing::WindowsHost);
  return RUN_ALL_TESTS();
}
