// The POSIX side of the platform seam: what portable code relies on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <set>

#include "platform/platform.h"
#include "platform/utf.h"
#include "tests/support/temp_dir.h"

namespace chunkup {
namespace {

using testing::TempDir;

Platform& P() { return SystemPlatform(); }

TEST(PlatformTest, FileNameIsTheLastComponent) {
  struct Case {
    std::u16string path, name;
  } cases[] = {{u"/a/b/c.txt", u"c.txt"}, {u"c.txt", u"c.txt"}, {u"/a/b/", u""}, {u"/", u""}, {u"a\\b.txt", u"a\\b.txt"}};
  for (const Case& c : cases) EXPECT_EQ(P().FindFileName(c.path), c.name);
}

TEST(PlatformTest, FilesReadSeekSizeAndTime) {
  TempDir dir;
  const std::string path = dir.WriteFile("f.bin", "0123456789");
  struct timeval times[2] = {{1262304000, 0}, {1262304000, 0}};  // 2010-01-01 00:00:00 UTC
  ASSERT_EQ(utimes(path.c_str(), times), 0);

  std::unique_ptr<PlatformFile> file;
  const FileOpenArgs args{kGenericRead, kFileShareRead, kOpenExisting, kFileAttributeNormal};
  ASSERT_EQ(P().OpenFile(Utf8ToUtf16(path), args, &file), 0);
  int64_t size = 0;
  EXPECT_EQ(file->GetSize(&size), 0);
  EXPECT_EQ(size, 10);
  FileTime written = 0;
  EXPECT_EQ(file->GetLastWriteTime(&written), 0);
  EXPECT_EQ(written, 116444736000000000ull + 1262304000ull * 10000000ull);
  char buffer[8];
  uint32_t got = 0;
  EXPECT_EQ(file->SeekFromStart(6), 0);
  EXPECT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(std::string(buffer, got), "6789");
  EXPECT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(file->Close(), 0);
  EXPECT_EQ(file->Close(), 0);

  EXPECT_NE(P().OpenFile(Utf8ToUtf16(path + ".missing"), args, &file), 0);
  EXPECT_EQ(file, nullptr);
  EXPECT_NE(P().OpenFile(Utf8ToUtf16(dir.path().string()), args, &file), 0) << "a folder is not a file";
  EXPECT_TRUE(P().PathExists(Utf8ToUtf16(path)));
  EXPECT_FALSE(P().PathExists(Utf8ToUtf16(path + ".missing")));
  EXPECT_FALSE(P().PathExists(Utf8ToUtf16(path) + u'\0' + u"x")) << "an embedded zero never names a file";
}

// Reads are served through a read-ahead buffer: whatever the mix of block
// sizes and seeks, the bytes are the file's, and a short count only comes at
// the end of the file.
TEST(PlatformTest, ReadsReturnTheFileBytesWhateverTheBlockSize) {
  TempDir dir;
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  const std::string path = dir.WriteFile("big.bin", content);
  const FileOpenArgs args{kGenericRead, kFileShareRead, kOpenExisting, kFileAttributeNormal};

  for (uint32_t block : {1u, 4096u, 5000u, 65536u, 65537u, 300000u, 400000u}) {
    std::unique_ptr<PlatformFile> file;
    ASSERT_EQ(P().OpenFile(Utf8ToUtf16(path), args, &file), 0);
    std::string read;
    std::string buffer(block, '\0');
    for (;;) {
      uint32_t got = 0;
      ASSERT_EQ(file->Read(buffer.data(), block, &got), 0);
      read.append(buffer.data(), got);
      if (got < block) break;
      ASSERT_LE(read.size(), content.size());
    }
    EXPECT_EQ(read == content, true) << "block " << block;
  }

  std::unique_ptr<PlatformFile> file;
  ASSERT_EQ(P().OpenFile(Utf8ToUtf16(path), args, &file), 0);
  char small[10];
  uint32_t got = 0;
  ASSERT_EQ(file->Read(small, 10, &got), 0);
  for (int64_t offset : {int64_t{0}, int64_t{123456}, int64_t{299995}, int64_t{5}}) {
    ASSERT_EQ(file->SeekFromStart(offset), 0);
    ASSERT_EQ(file->Read(small, 10, &got), 0);
    const size_t expected = std::min<size_t>(10, content.size() - static_cast<size_t>(offset));
    EXPECT_EQ(std::string(small, got), content.substr(static_cast<size_t>(offset), expected)) << offset;
  }
}

TEST(PlatformTest, CalendarTimesToFileTime) {
  struct Case {
    SystemTime time;
    FileTime expected;
  } cases[] = {
      {{1601, 1, 0, 1, 0, 0, 0, 0}, 0},
      {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
      {{2010, 1, 5, 1, 0, 0, 0, 0}, 116444736000000000ull + 12623040000000000ull},
      {{2000, 2, 2, 29, 23, 59, 59, 999}, 125963423999990000ull},
  };
  for (const Case& c : cases) {
    FileTime out = 1;
    ASSERT_TRUE(P().SystemTimeToFileTime(c.time, &out));
    EXPECT_EQ(out, c.expected) << c.time.year;
  }
  FileTime out;
  EXPECT_FALSE(P().SystemTimeToFileTime({1970, 13, 0, 1, 0, 0, 0, 0}, &out));
  EXPECT_FALSE(P().SystemTimeToFileTime({1600, 1, 0, 1, 0, 0, 0, 0}, &out));
}

// 8-4-4-4-12 lower-case hexadecimal digits.
bool IsUuidText(const std::string& id) {
  if (id.size() != 36) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = id[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TEST(PlatformTest, UuidsAreFreshLowerCaseText) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string id = P().NewUuid();
    EXPECT_TRUE(IsUuidText(id)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(PlatformTest, ThreadsRunAndJoin) {
  int ran = 0;
  auto thread = P().StartThread([&] { ran = 1; });
  ASSERT_NE(thread, nullptr);
  thread->Join();
  thread->Join();
  EXPECT_EQ(ran, 1);
}

TEST(PlatformTest, TickCountMovesWithSleep) {
  const uint32_t before = P().TickCount();
  P().SleepMs(30);
  const uint32_t elapsed = P().TickCount() - before;
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 5000u);
}

// Conversions follow the Windows conventions portable code was written for.
TEST(UtfTest, ConventionsTable) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"ascii", "abc", u"abc"},
      {"two-byte", "\xC3\xA9t\xC3\xA9", u"\u00e9t\u00e9"},
      {"three-byte", "\xE6\x96\x87", u"\u6587"},
      {"astral (surrogate pair)", "\xF0\x9F\x98\x80", u"\U0001F600"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.name;
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.name;
    // -1: zero-terminated, and the count includes the terminator.
    EXPECT_EQ(ConvertUtf8ToUtf16(c.utf8.c_str(), -1, nullptr, 0), static_cast<int>(c.utf16.size() + 1)) << c.name;
    EXPECT_EQ(ConvertUtf16ToUtf8(c.utf16.c_str(), -1, nullptr, 0), static_cast<int>(c.utf8.size() + 1)) << c.name;
  }
  char16_t small[2];
  EXPECT_EQ(ConvertUtf8ToUtf16("abc", -1, small, 2), 0) << "too small a target fails";
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb") << "ill-formed bytes become U+FFFD";
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD") << "an encoded surrogate is ill-formed";
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx") << "a lone surrogate";
}

}  // namespace
}  // namespace chunkup
