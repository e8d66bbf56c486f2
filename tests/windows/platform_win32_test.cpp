// The Win32 side of the platform seam, run under wine: UTF-16 paths passed
// through unchanged, share modes, what counts as a regular file, the
// FILETIME conversion, and the environment as the host's Win32 calls see it.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/platform/platform_contract.h"
#include "tests/support/temp_dir.h"

namespace chunkup {
namespace {

using testing::TempDir;

Platform& P() { return SystemPlatform(); }

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// Writes `bytes` to `name` (UTF-16) in `dir`; returns the full path as UTF-16.
std::u16string WriteFile(const TempDir& dir, const std::u16string& name, const std::string& bytes) {
  const std::filesystem::path file = dir.path() / std::filesystem::path(name);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file.u16string();
}

std::string ReadAll(ReadableFile& file) {
  std::string text;
  char buffer[4096];
  for (;;) {
    size_t got = 0;
    EXPECT_EQ(file.Read(buffer, sizeof buffer, &got), 0);
    text.append(buffer, got);
    if (got < sizeof buffer) return text;
  }
}

TEST(Win32PlatformTest, FileNameIsTheLastComponentWhateverTheSeparator) {
  struct Case {
    std::u16string path, name;
  } cases[] = {
      {u"C:\\a\\b\\c.txt", u"c.txt"},      {u"C:/a/b/c.txt", u"c.txt"},    {u"C:\\a/b\\c.txt", u"c.txt"},
      {u"c.txt", u"c.txt"},                {u"C:c.txt", u"c.txt"},          {u"\\\\server\\share\\f.bin", u"f.bin"},
      {u"C:\\a\\", u""},                   {u"\\\\?\\C:\\long\\x.bin", u"x.bin"},
      {u"C:\\\u043f\\\U0001F4C4.txt", u"\U0001F4C4.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(P().FileNameOf(c.path), c.name);
}

TEST(Win32PlatformTest, NonAsciiPathsOpenAsTheHostWroteThem) {
  TempDir dir;
  for (const std::u16string name : {u"plain.bin", u"\u041e\u0442\u0447\u0451\u0442 \U0001F4C4.bin", u"\u6587\u4ef6.bin"}) {
    const std::u16string path = WriteFile(dir, name, "content of the file");
    const FilePath file = P().MakePath(path);
    EXPECT_EQ(file.text, path) << "the host's text is kept unchanged";
    EXPECT_TRUE(P().PathExists(file));
    std::unique_ptr<ReadableFile> opened;
    ASSERT_EQ(P().OpenForRead(file, Sharing::kDenyWriters, &opened), 0);
    EXPECT_EQ(ReadAll(*opened), "content of the file");
  }
  // The extended-length form reaches CreateFileW as written, prefix and all.
  const std::u16string extended = u"\\\\?\\" + WriteFile(dir, u"long form.bin", "long form");
  std::unique_ptr<ReadableFile> longForm;
  ASSERT_EQ(P().OpenForRead(P().MakePath(extended), Sharing::kDenyWriters, &longForm), 0);
  EXPECT_EQ(ReadAll(*longForm), "long form");
  EXPECT_EQ(P().FileNameOf(extended), u"long form.bin");

  const std::u16string path = WriteFile(dir, u"z.bin", "z");
  EXPECT_FALSE(P().PathExists(P().MakePath(path + u'\0' + u"x"))) << "an embedded zero never names a file";
  std::unique_ptr<ReadableFile> opened;
  EXPECT_NE(P().OpenForRead(P().MakePath(path + u'\0' + u"x"), Sharing::kAllowWriters, &opened), 0);
  EXPECT_EQ(opened, nullptr);
  EXPECT_EQ(P().OpenForRead(P().MakePath(path + u".missing"), Sharing::kAllowWriters, &opened),
            static_cast<int>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(P().PathExists(P().MakePath(u"")));
}

TEST(Win32PlatformTest, ReadSeekSizeAndLastWriteTime) {
  TempDir dir;
  const std::u16string path = WriteFile(dir, u"f.bin", "0123456789");
  // 2010-01-01 00:00:00 UTC as FILETIME.
  const uint64_t fileTime = 116444736000000000ull + 1262304000ull * 10000000ull;
  {
    HANDLE handle = ::CreateFileW(W(path), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    FILETIME written{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    ASSERT_TRUE(::SetFileTime(handle, nullptr, nullptr, &written));
    ::CloseHandle(handle);
  }
  testing::ExpectSizeTimeSeekAndRead(P(), P().MakePath(path));
}

// Sizes and offsets past 4 GiB survive the 32-bit build: a sparse file of
// 6 GiB with a marker at its end.
TEST(Win32PlatformTest, SizesAndOffsetsBeyondFourGiB) {
  TempDir dir;
  const std::u16string path = WriteFile(dir, u"sparse.bin", "");
  const uint64_t markerAt = 6ull << 30;
  {
    HANDLE handle = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    ::DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(markerAt);
    ASSERT_TRUE(::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(handle, "marker", 6, &written, nullptr));
    ::CloseHandle(handle);
  }
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(P().OpenForRead(P().MakePath(path), Sharing::kAllowWriters, &file), 0);
  uint64_t size = 0;
  EXPECT_EQ(file->Size(&size), 0);
  EXPECT_EQ(size, markerAt + 6);
  char buffer[16];
  size_t got = 0;
  ASSERT_EQ(file->Seek(markerAt), 0);
  ASSERT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(std::string(buffer, got), "marker");
  ASSERT_EQ(file->Seek(markerAt - 2), 0);
  ASSERT_EQ(file->Read(buffer, 4, &got), 0);
  EXPECT_EQ(std::string(buffer, got), std::string("\0\0ma", 4));
}

TEST(Win32PlatformTest, ReadsReturnTheFileBytesWhateverTheBlockSize) {
  TempDir dir;
  const std::string content = testing::PatternedBytes(300000);
  testing::ExpectReadsReturnTheFileBytes(P(), P().MakePath(WriteFile(dir, u"big.bin", content)), content);
}

// Facts and digests are taken with writers shut out; chunk reads let them be.
// wine enforces share modes between Windows handles, so both directions show.
TEST(Win32PlatformTest, ShareModesFollowTheSharingAsked) {
  TempDir dir;
  const std::u16string path = WriteFile(dir, u"shared.bin", "shared bytes");
  const FilePath file = P().MakePath(path);

  // Another program holds the file open for writing.
  HANDLE writer = ::CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  std::unique_ptr<ReadableFile> opened;
  EXPECT_EQ(P().OpenForRead(file, Sharing::kDenyWriters, &opened), static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(opened, nullptr);
  EXPECT_EQ(P().OpenForRead(file, Sharing::kAllowWriters, &opened), 0);
  opened.reset();
  ::CloseHandle(writer);

  // The library holds the file: writers are refused or let in, deleting is allowed.
  struct Case {
    Sharing sharing;
    bool writerMayOpen;
  } cases[] = {{Sharing::kDenyWriters, false}, {Sharing::kAllowWriters, true}};
  for (const Case& c : cases) {
    ASSERT_EQ(P().OpenForRead(file, c.sharing, &opened), 0);
    HANDLE other = ::CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other != INVALID_HANDLE_VALUE, c.writerMayOpen);
    if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
    HANDLE reader = ::CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "readers are always let in";
    if (reader != INVALID_HANDLE_VALUE) ::CloseHandle(reader);
    opened.reset();
  }

  // Deleting while the library reads: FILE_SHARE_DELETE lets the host remove it.
  ASSERT_EQ(P().OpenForRead(file, Sharing::kDenyWriters, &opened), 0);
  EXPECT_TRUE(::DeleteFileW(W(path)));
  opened.reset();
  EXPECT_FALSE(P().PathExists(file));
}

// Anything but a file on disk is refused at open, without blocking.
TEST(Win32PlatformTest, OnlyFilesOnDiskOpen) {
  TempDir dir;
  const std::u16string pipeName = u"\\\\.\\pipe\\chunkup-test-" + std::filesystem::path(dir.path().filename()).u16string();
  HANDLE pipe = ::CreateNamedPipeW(W(pipeName), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  struct Case {
    const char* name;
    std::u16string path;
  } cases[] = {
      {"directory", dir.path().u16string()},
      {"named pipe", pipeName},
      {"NUL device", u"\\\\.\\NUL"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<ReadableFile> file;
    EXPECT_EQ(P().OpenForRead(P().MakePath(c.path), Sharing::kDenyWriters, &file), kErrorNotRegularFile) << c.name;
    EXPECT_EQ(file, nullptr) << c.name;
  }
  ::CloseHandle(pipe);
}

std::vector<std::string> LinesOf(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// The shell opens programs and documents as readily as web pages: only http
// and https addresses reach it, and only whole. Without the check an address
// with an embedded zero reaches the browser cut short ("http://a/"). Under
// wine other schemes never reach the stand-in browser, so for them this shows
// only that nothing else is opened.
TEST(Win32PlatformTest, OnlyWebAddressesReachTheShell) {
  const char* record = std::getenv("CHUNKUP_TEST_OPENED_PAGES");
  if (!record || record[0] != '/') GTEST_SKIP() << "CHUNKUP_TEST_OPENED_PAGES names no stand-in browser record";
  std::string windowsPath = std::string("Z:") + record;
  for (char& c : windowsPath)
    if (c == '/') c = '\\';
  const std::filesystem::path opened(windowsPath);
  std::filesystem::remove(opened);

  const std::u16string refused[] = {u"mailto:someone@example.com", u"file:///C:/windows/win.ini", u"",
                                    std::u16string(u"http://a\0b", 10)};
  for (const std::u16string& url : refused) P().OpenUrl(url);
  P().OpenUrl(u"http://127.0.0.1:9/g/upload/shown");
  P().OpenUrl(u"HTTPS://127.0.0.1:9/g/upload/shown-too");
  std::vector<std::string> lines;
  for (int waited = 0; waited < 300 && lines.size() < 2; ++waited) {
    ::Sleep(100);
    lines = LinesOf(opened);
  }
  ::Sleep(1000);  // time for a refused address to show up, were it handed on
  lines = LinesOf(opened);
  ASSERT_EQ(lines.size(), 2u) << "exactly the two web addresses are opened";
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines[0], "http://127.0.0.1:9/g/upload/shown");
  EXPECT_EQ(lines[1], "https://127.0.0.1:9/g/upload/shown-too") << "the shell writes the scheme in lower case";
}

TEST(Win32PlatformTest, UuidsClockAndThreads) {
  testing::ExpectUuidsClockAndThreads(P());
  // An exception leaving a thread body must not end the host's process.
  auto throwing = P().StartThread([] { throw std::runtime_error("must not end the process"); });
  ASSERT_NE(throwing, nullptr);
  throwing->Join();
}

TEST(Win32PlatformTest, SystemCodePageText) {
  EXPECT_EQ(P().SystemCodePageToUtf16("http://127.0.0.1:8642/f/abc/x.bin"), u"http://127.0.0.1:8642/f/abc/x.bin");
  EXPECT_EQ(P().SystemCodePageToUtf16(std::string("ab\0cd", 5)), u"ab") << "the text stops at its first zero";
  EXPECT_EQ(P().SystemCodePageToUtf16(""), u"");
  if (::GetACP() == 1252) {
    EXPECT_EQ(P().SystemCodePageToUtf16("caf\xE9"), u"caf\u00e9");
  }
}

// The host may set variables with the Win32 call or with the C runtime; the
// library sees both, and a removal clears both.
TEST(Win32PlatformTest, EnvironmentAsTheHostSetsIt) {
  const char* name = "CHUNKUP_TEST_ENVIRONMENT_VALUE";
  std::string value;
  ASSERT_TRUE(::SetEnvironmentVariableA(name, "set with Win32"));
  EXPECT_TRUE(GetEnvironmentValue(name, &value));
  EXPECT_EQ(value, "set with Win32");

  const std::string longValue(5000, 'v');
  ASSERT_TRUE(::SetEnvironmentVariableA(name, longValue.c_str()));
  EXPECT_TRUE(GetEnvironmentValue(name, &value));
  EXPECT_EQ(value, longValue);

  ASSERT_EQ(::_putenv((std::string(name) + "=set with the C runtime").c_str()), 0);
  EXPECT_TRUE(GetEnvironmentValue(name, &value));
  EXPECT_EQ(value, "set with the C runtime");

  RemoveEnvironmentValue(name);
  EXPECT_FALSE(GetEnvironmentValue(name, &value));
  EXPECT_EQ(std::getenv(name), nullptr);
  char buffer[8];
  EXPECT_EQ(::GetEnvironmentVariableA(name, buffer, sizeof buffer), 0u);
  EXPECT_FALSE(GetEnvironmentValue("CHUNKUP_TEST_NEVER_SET", &value));
}

}  // namespace
}  // namespace chunkup
