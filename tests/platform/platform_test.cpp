// The POSIX side of the platform seam: what portable code relies on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/platform.h"
#include "platform/utf.h"
#include "tests/support/temp_dir.h"

namespace chunkup {
namespace {

using testing::TempDir;

Platform& P() { return SystemPlatform(); }

FilePath PathOf(const std::string& utf8) { return P().MakePath(Utf8ToUtf16(utf8)); }

TEST(PlatformTest, FileNameIsTheLastComponent) {
  struct Case {
    std::u16string path, name;
  } cases[] = {{u"/a/b/c.txt", u"c.txt"}, {u"c.txt", u"c.txt"}, {u"/a/b/", u""}, {u"/", u""}, {u"a\\b.txt", u"a\\b.txt"}};
  for (const Case& c : cases) EXPECT_EQ(P().FileNameOf(c.path), c.name);
}

TEST(PlatformTest, FilesReadSeekSizeAndTime) {
  TempDir dir;
  const std::string path = dir.WriteFile("f.bin", "0123456789");
  struct timeval times[2] = {{1262304000, 0}, {1262304000, 0}};  // 2010-01-01 00:00:00 UTC
  ASSERT_EQ(utimes(path.c_str(), times), 0);

  for (Sharing sharing : {Sharing::kDenyWriters, Sharing::kAllowWriters}) {
    std::unique_ptr<ReadableFile> file;
    ASSERT_EQ(P().OpenForRead(PathOf(path), sharing, &file), 0);
    uint64_t size = 0;
    EXPECT_EQ(file->Size(&size), 0);
    EXPECT_EQ(size, 10u);
    FileTimestamp written = 0;
    EXPECT_EQ(file->LastWriteTime(&written), 0);
    EXPECT_EQ(written, 1262304000LL * 10000000LL) << "100-ns ticks since 1970";
    char buffer[8];
    size_t got = 0;
    EXPECT_EQ(file->Seek(6), 0);
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
    EXPECT_EQ(std::string(buffer, got), "6789");
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
    EXPECT_EQ(got, 0u);
  }

  std::unique_ptr<ReadableFile> file;
  EXPECT_EQ(P().OpenForRead(PathOf(path + ".missing"), Sharing::kAllowWriters, &file), ENOENT);
  EXPECT_EQ(file, nullptr);
  EXPECT_TRUE(P().PathExists(PathOf(path)));
  EXPECT_FALSE(P().PathExists(PathOf(path + ".missing")));
  EXPECT_FALSE(P().PathExists(P().MakePath(Utf8ToUtf16(path) + u'\0' + u"x"))) << "an embedded zero never names a file";
}

// Anything but a regular file is refused at open, at once: a FIFO without a
// writer would otherwise block the open forever.
TEST(PlatformTest, OnlyRegularFilesOpen) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string path;
  } cases[] = {{"directory", dir.path().string()}, {"fifo", fifo}, {"character device", "/dev/null"}};
  for (const Case& c : cases) {
    std::unique_ptr<ReadableFile> file;
    EXPECT_EQ(P().OpenForRead(PathOf(c.path), Sharing::kDenyWriters, &file), kErrorNotRegularFile) << c.name;
    EXPECT_EQ(file, nullptr) << c.name;
  }
}

// A file whose single reads hand out fewer bytes than asked still fills every
// Read: a short count means the end of the file and nothing else.
class DribblingFile final : public ReadableFile {
 public:
  DribblingFile(std::string content, size_t perRead) : m_content(std::move(content)), m_perRead(perRead) {}
  int Seek(uint64_t offset) override {
    m_at = static_cast<size_t>(offset);
    return 0;
  }
  int Size(uint64_t* size) override {
    *size = m_content.size();
    return 0;
  }
  int LastWriteTime(FileTimestamp* time) override {
    *time = 0;
    return 0;
  }

 protected:
  int ReadSome(void* buffer, size_t count, size_t* bytesRead) override {
    const size_t n = std::min({count, m_perRead, m_content.size() - std::min(m_at, m_content.size())});
    std::memcpy(buffer, m_content.data() + m_at, n);
    m_at += n;
    *bytesRead = n;
    return 0;
  }

 private:
  std::string m_content;
  size_t m_perRead;
  size_t m_at = 0;
};

TEST(PlatformTest, ReadFillsTheBufferUnlessTheFileEnds) {
  const std::string content = "abcdefghijklmnopqrstuvwxyz";
  for (size_t perRead : {size_t{1}, size_t{3}, size_t{7}, size_t{100}}) {
    DribblingFile file(content, perRead);
    char buffer[10];
    std::string read;
    for (;;) {
      size_t got = 0;
      ASSERT_EQ(file.Read(buffer, sizeof buffer, &got), 0);
      read.append(buffer, got);
      if (got < sizeof buffer) break;
    }
    EXPECT_EQ(read, content) << "at most " << perRead << " bytes per read";
  }
}

// Reads are served through a read-ahead buffer: whatever the mix of block
// sizes and seeks, the bytes are the file's, and a short count only comes at
// the end of the file.
TEST(PlatformTest, ReadsReturnTheFileBytesWhateverTheBlockSize) {
  TempDir dir;
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  const std::string path = dir.WriteFile("big.bin", content);

  for (size_t block : {1u, 4096u, 5000u, 65536u, 65537u, 300000u, 400000u}) {
    std::unique_ptr<ReadableFile> file;
    ASSERT_EQ(P().OpenForRead(PathOf(path), Sharing::kDenyWriters, &file), 0);
    std::string read;
    std::string buffer(block, '\0');
    for (;;) {
      size_t got = 0;
      ASSERT_EQ(file->Read(buffer.data(), block, &got), 0);
      read.append(buffer.data(), got);
      if (got < block) break;
      ASSERT_LE(read.size(), content.size());
    }
    EXPECT_EQ(read == content, true) << "block " << block;
  }

  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(P().OpenForRead(PathOf(path), Sharing::kAllowWriters, &file), 0);
  char small[10];
  size_t got = 0;
  ASSERT_EQ(file->Read(small, 10, &got), 0);
  for (uint64_t offset : {uint64_t{0}, uint64_t{123456}, uint64_t{299995}, uint64_t{5}}) {
    ASSERT_EQ(file->Seek(offset), 0);
    ASSERT_EQ(file->Read(small, 10, &got), 0);
    const size_t expected = std::min<size_t>(10, content.size() - static_cast<size_t>(offset));
    EXPECT_EQ(std::string(small, got), content.substr(static_cast<size_t>(offset), expected)) << offset;
  }
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

TEST(PlatformTest, MonotonicClockMovesWithSleep) {
  const uint64_t before = P().MonotonicMs();
  P().SleepMs(30);
  const uint64_t after = P().MonotonicMs();
  ASSERT_GE(after, before);
  EXPECT_GE(after - before, 29u);
  EXPECT_LT(after - before, 5000u);
}

TEST(PlatformTest, SystemCodePageTextStopsAtItsFirstZero) {
  EXPECT_EQ(P().SystemCodePageToUtf16("http://h/\xC3\xA9"), u"http://h/\u00e9");
  EXPECT_EQ(P().SystemCodePageToUtf16(std::string("ab\0cd", 5)), u"ab");
  EXPECT_EQ(P().SystemCodePageToUtf16(""), u"");
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
