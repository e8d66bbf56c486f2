#include "fingerprint/chunk_hashing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fingerprint/encodings.h"
#include "fingerprint/sha1.h"
#include "task/file_task.h"
#include "task/status.h"
#include "tests/fingerprint/test_util.h"
#include "tests/support/fake_platform.h"

namespace chunkup::testing {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = 1024 * 1024;
const std::string kEmptyDigest = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

// A task over one file in a private directory. Port 1 on loopback is closed,
// so an exchange reached by mistake fails at once instead of hanging.
class ChunkHashingTest : public ::testing::Test {
 protected:
  ChunkHashingTest() : m_task(0, m_platform, Endpoints{"127.0.0.1:1", "http://127.0.0.1:1"}) {
    std::random_device seed;
    m_dir = fs::temp_directory_path() / ("chunkup-fp-" + std::to_string(seed()) + std::to_string(seed()));
    fs::create_directories(m_dir);
    m_file = m_dir / "file.bin";
    m_task.m_path = U16(m_file.string());
    m_task.m_status = kStatusRunning;  // as the upload thread leaves it before the step
  }
  ~ChunkHashingTest() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }

  void WriteFile(const std::string& bytes, std::ios::openmode mode = std::ios::trunc) {
    std::ofstream out(m_file, std::ios::binary | mode);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }

  std::string Digest(uint32_t chunk) const {
    return ToHex(m_task.m_digests.get() + size_t{chunk} * kDigestSize, kDigestSize);
  }

  // Reference digest of a byte range, made by the portable block function so
  // it does not share code with the accelerated one that hashes the file.
  static std::string ReferenceDigest(const std::string& content, size_t from, size_t to) {
    Sha1UsePath(Sha1Path::kPortable);
    std::string hex = Sha1Hex(content.data() + from, to - from);
    Sha1UseBestPath();
    return hex;
  }

  FakePlatform m_platform;
  CFileTask m_task;
  fs::path m_dir;
  fs::path m_file;
};

TEST_F(ChunkHashingTest, ChunkGeometry) {
  struct Case {
    size_t size;
    uint32_t chunks;
  };
  const Case cases[] = {
      {0, 0}, {1, 1}, {kChunkSize - 1, 1}, {kChunkSize, 1}, {kChunkSize + 1, 2}, {10 * kMiB, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    const std::string content = PatternBytes(c.size, static_cast<uint32_t>(c.size));
    WriteFile(content);
    m_task.m_digests.reset();
    const int opensBefore = m_platform.OpenCalls();

    TakeFileFacts(m_task);
    EXPECT_EQ(m_task.m_fileSize.load(), static_cast<int64_t>(c.size));
    ASSERT_EQ(m_task.m_chunkCount, c.chunks);
    ASSERT_EQ(DigestFileChunks(m_task), 0);

    if (c.chunks == 0) {
      EXPECT_EQ(m_task.m_digests, nullptr);
      EXPECT_EQ(m_platform.OpenCalls() - opensBefore, 1) << "an empty file is not opened a second time";
      continue;
    }
    ASSERT_NE(m_task.m_digests, nullptr);
    for (uint32_t i = 0; i < c.chunks; ++i) {
      const size_t from = size_t{i} * kChunkSize;
      const size_t to = std::min(c.size, from + kChunkSize);
      EXPECT_EQ(Digest(i), ReferenceDigest(content, from, to)) << "chunk " << i;
    }
    EXPECT_EQ(m_task.m_status.load(), kStatusRunning);
  }
}

TEST_F(ChunkHashingTest, AbcHasThePublishedDigestAndKey) {
  WriteFile("abc");
  TakeFileFacts(m_task);
  ASSERT_EQ(DigestFileChunks(m_task), 0);
  EXPECT_EQ(Digest(0), "a9993e364706816aba3e25717850c26c9cd0d89d");
  std::string key;
  MakeChunkKey(key, m_task.m_digests.get());
  EXPECT_EQ(key, "qZk-NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST_F(ChunkHashingTest, FactsCarryTheLastWriteTime) {
  WriteFile("x");
  // 2020-01-01 00:00:00.5 UTC.
  const struct timespec times[2] = {{1577836800, 500000000}, {1577836800, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, m_file.c_str(), times, 0), 0);
  EXPECT_EQ(GetFileSizeAndTime(m_task), 1);
  EXPECT_EQ(m_task.m_lastWrite, (1577836800ull + 11644473600ull) * 10000000ull + 5000000ull);

  // A file that does not open counts as empty and keeps the time it had.
  m_task.m_path = U16((m_dir / "missing").string());
  EXPECT_EQ(GetFileSizeAndTime(m_task), 0);
  EXPECT_EQ(m_task.m_lastWrite, (1577836800ull + 11644473600ull) * 10000000ull + 5000000ull);
}

// The facts are taken once; the loop then reads what the file holds by then,
// keeping the counted number of chunks.
TEST_F(ChunkHashingTest, FileChangesBetweenFactsAndHashing) {
  struct Case {
    const char* what;
    size_t before, after;
    uint32_t chunks;
  };
  const Case cases[] = {
      // The second chunk is cut short; the third lies wholly past the new end.
      {"shrinks", 10 * kMiB, 5 * kMiB, 3},
      // Still two chunks, and the last one covers a full 4 MiB of what is there now.
      {"grows", 5 * kMiB, 10 * kMiB, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string content = PatternBytes(std::max(c.before, c.after), 7);
    WriteFile(content.substr(0, c.before));
    m_task.m_digests.reset();
    TakeFileFacts(m_task);
    ASSERT_EQ(m_task.m_chunkCount, c.chunks);

    if (c.after < c.before) {
      fs::resize_file(m_file, c.after);
    } else {
      WriteFile(content.substr(c.before), std::ios::app);
    }
    ASSERT_EQ(DigestFileChunks(m_task), 0);
    EXPECT_EQ(m_task.m_fileSize.load(), static_cast<int64_t>(c.before)) << "the facts are not taken again";
    for (uint32_t i = 0; i < c.chunks; ++i) {
      const size_t from = std::min(c.after, size_t{i} * kChunkSize);
      const size_t to = std::min(c.after, from + kChunkSize);
      EXPECT_EQ(Digest(i), ReferenceDigest(content, from, to)) << "chunk " << i;
    }
  }
}

TEST_F(ChunkHashingTest, CancelBeforeTheStepHashesNothingAndSendsNothing) {
  struct Case {
    size_t size;
    int32_t result;
    int opens;
  };
  // With chunks the file is opened again and a zero table is made; without,
  // neither happens and the step answers -1.
  const Case cases[] = {{5 * kMiB, 0, 2}, {0, -1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    WriteFile(PatternBytes(c.size, 3));
    m_task.m_digests.reset();
    m_task.m_cancel = true;
    const int opensBefore = m_platform.OpenCalls();
    const int readsBefore = m_platform.ReadCalls();

    EXPECT_EQ(HashFileChunks(m_task), c.result);
    EXPECT_EQ(m_platform.OpenCalls() - opensBefore, c.opens);
    EXPECT_EQ(m_platform.ReadCalls() - readsBefore, 0);
    EXPECT_EQ(m_task.m_status.load(), kStatusRunning) << "a cancelled step leaves the status alone";
    EXPECT_EQ(m_task.m_fileSize.load(), static_cast<int64_t>(c.size));
    if (c.size == 0) {
      EXPECT_EQ(m_task.m_digests, nullptr);
    } else {
      ASSERT_NE(m_task.m_digests, nullptr);
      for (uint32_t i = 0; i < m_task.m_chunkCount; ++i) EXPECT_EQ(Digest(i), std::string(40, '0'));
    }
  }
}

TEST_F(ChunkHashingTest, ReadErrorKeepsEarlierDigestsAndSendsNothing) {
  struct Case {
    int failingRead;     // 1-based over the step's reads; a chunk is 1024 reads
    uint32_t goodChunks;
  };
  const Case cases[] = {
      {1, 0},     // the very first read
      {1025, 1},  // the first read of the second chunk
      {2048, 1},  // the last read of the second chunk
      {2049, 2},  // the first read of the third chunk
  };
  const std::string content = PatternBytes(10 * kMiB, 11);
  WriteFile(content);
  for (const Case& c : cases) {
    SCOPED_TRACE("failing read " + std::to_string(c.failingRead));
    FakePlatform platform;
    CFileTask task(0, platform, Endpoints{"127.0.0.1:1", "http://127.0.0.1:1"});
    task.m_path = m_task.m_path;
    task.m_status = kStatusRunning;
    platform.FailReadAt(c.failingRead, 5);

    EXPECT_EQ(HashFileChunks(task), 5) << "the OS error code comes back";
    // The failure status, not whatever an exchange would have left.
    EXPECT_EQ(task.m_status.load(), kStatusFileUnreadable);
    EXPECT_EQ(platform.ReadCalls(), c.failingRead) << "no read after the failing one";
    ASSERT_EQ(task.m_chunkCount, 3u);
    ASSERT_NE(task.m_digests, nullptr);
    for (uint32_t i = 0; i < 3; ++i) {
      const std::string got = ToHex(task.m_digests.get() + size_t{i} * kDigestSize, kDigestSize);
      if (i < c.goodChunks) {
        EXPECT_EQ(got, ReferenceDigest(content, i * kChunkSize, (i + 1) * kChunkSize)) << "chunk " << i;
      } else {
        EXPECT_EQ(got, std::string(40, '0')) << "chunk " << i;
      }
    }
    EXPECT_EQ(StateForStatus(task.m_status), UPLOAD_STATE_FAILED);
  }
}

TEST_F(ChunkHashingTest, SecondOpenFailingIsAFailureNotAnEmptyUpload) {
  WriteFile(PatternBytes(100, 1));
  m_platform.FailOpenAt(m_platform.OpenCalls() + 2, 13);  // the facts open, then this one
  EXPECT_EQ(HashFileChunks(m_task), 13);
  EXPECT_EQ(m_task.m_status.load(), kStatusFileUnreadable);
  EXPECT_EQ(m_task.m_fileSize.load(), 100);
  EXPECT_EQ(m_task.m_chunkCount, 1u);
  EXPECT_EQ(m_task.m_digests, nullptr) << "no table without an open file";
  EXPECT_EQ(m_platform.ReadCalls(), 0);
}

}  // namespace
}  // namespace chunkup::testing
