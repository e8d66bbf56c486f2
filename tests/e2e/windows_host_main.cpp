// The Windows host of the end-to-end cases, run under wine: loads chunkup.dll
// with LoadLibraryW from its own folder and resolves every export both by its
// decorated name and by its ordinal. The reference service runs on Linux at
// the library's build-time address; the test fixture that starts it also puts
// a stand-in browser first in PATH and names its record file in
// CHUNKUP_TEST_OPENED_PAGES (a Linux path, reached through wine's Z: drive).
#include <curl/curl.h>
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

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
    std::string windowsPath = std::string("Z:") + pages;
    for (char& c : windowsPath)
      if (c == '/') c = '\\';
    setting.openedPages = windowsPath;

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

    const uint32_t id = ClaimNextTaskId();
    const std::u16string path = file.u16string();
    std::atomic<bool> done{false};
    std::atomic<int32_t> result{-2};
    std::thread call([&] {
      uint32_t written = 0;
      result = setting.exports.upload(reinterpret_cast<const chunkup_char16*>(path.c_str()), &written, 0);
      done = true;
    });
    for (int waited = 0; !done && waited < 600; ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!done) setting.exports.cancel(id);
    call.join();
    ::CloseHandle(other);

    EXPECT_EQ(result.load(), 0) << c.name;
    UploadInfo info;
    ASSERT_EQ(setting.exports.info(id, &info), 0);
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

}  // namespace
}  // namespace chunkup::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  curl_global_init(CURL_GLOBAL_DEFAULT);  // Winsock, for the service client
  ::testing::AddGlobalTestEnvironment(new chunkup::testing::WindowsHost);
  return RUN_ALL_TESTS();
}
