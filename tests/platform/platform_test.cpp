// The POSIX side of the platform seam: what portable code relies on.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/utf.h"
#include "tests/platform/platform_contract.h"
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

  testing::ExpectSizeTimeSeekAndRead(P(), PathOf(path));

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
  // A bound UNIX socket: open() of it fails, and must fail as "not a file".
  const std::string socketPath = (dir.path() / "socket").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  struct Case {
    const char* name;
    std::string path;
  } cases[] = {{"directory", dir.path().string()},
               {"fifo", fifo},
               {"character device", "/dev/null"},
               {"unix socket", socketPath}};
  for (const Case& c : cases) {
    std::unique_ptr<ReadableFile> file;
    EXPECT_EQ(P().OpenForRead(PathOf(c.path), Sharing::kDenyWriters, &file), kErrorNotRegularFile) << c.name;
    EXPECT_EQ(file, nullptr) << c.name;
  }
  ::close(listener);
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

TEST(PlatformTest, ReadsReturnTheFileBytesWhateverTheBlockSize) {
  TempDir dir;
  const std::string content = testing::PatternedBytes(300000);
  testing::ExpectReadsReturnTheFileBytes(P(), PathOf(dir.WriteFile("big.bin", content)), content);
}

TEST(PlatformTest, UuidsClockAndThreads) { testing::ExpectUuidsClockAndThreads(P()); }

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
