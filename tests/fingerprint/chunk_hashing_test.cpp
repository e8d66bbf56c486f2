#include "fingerprint/chunk_hashing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fingerprint/encodings.h"
#include "fingerprint/sha1.h"
#include "tests/fingerprint/test_util.h"
#include "tests/support/fake_platform.h"

namespace chunkup::testing {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = 1024 * 1024;
const std::string kEmptyDigest = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

// One file in a private directory, hashed through a FakePlatform.
class ChunkHashingTest : public ::testing::Test {
 protected:
  ChunkHashingTest() {
    std::random_device seed;
    m_dir = fs::temp_directory_path() / ("chunkup-fp-" + std::to_string(seed()) + std::to_string(seed()));
    fs::create_directories(m_dir);
    m_file = m_dir / "file.bin";
    m_path = m_platform.MakePath(U16(m_file.string()));
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

  FileFacts Facts() {
    FileFacts facts;
    EXPECT_EQ(ReadFileFacts(m_platform, m_path, &facts), 0);
    return facts;
  }

  Outcome Digest(uint32_t chunks, std::function<bool()> cancelled = nullptr) {
    return DigestFileChunks(m_platform, m_path, chunks, cancelled, &m_digests);
  }

  std::string DigestHex(uint32_t chunk) const { return ToHex(m_digests.data() + size_t{chunk} * kDigestSize, kDigestSize); }

  // Reference digest of a byte range, made by the portable block function so
  // it does not share code with the accelerated one that hashes the file.
  static std::string ReferenceDigest(const std::string& content, size_t from, size_t to) {
    Sha1UsePath(Sha1Path::kPortable);
    std::string hex = Sha1Hex(content.data() + from, to - from);
    Sha1UseBestPath();
    return hex;
  }

  FakePlatform m_platform;
  fs::path m_dir;
  fs::path m_file;
  FilePath m_path;
  std::vector<uint8_t> m_digests;
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
    const int opensBefore = m_platform.OpenCalls();

    const FileFacts facts = Facts();
    EXPECT_EQ(facts.size, c.size);
    ASSERT_EQ(ChunkCountForSize(facts.size), c.chunks);
    ASSERT_TRUE(Digest(c.chunks).ok());

    if (c.chunks == 0) {
      EXPECT_TRUE(m_digests.empty());
      EXPECT_EQ(m_platform.OpenCalls() - opensBefore, 1) << "an empty file is not opened a second time";
      continue;
    }
    ASSERT_EQ(m_digests.size(), size_t{c.chunks} * kDigestSize);
    for (uint32_t i = 0; i < c.chunks; ++i) {
      const size_t from = size_t{i} * kChunkSize;
      const size_t to = std::min(c.size, from + kChunkSize);
      EXPECT_EQ(DigestHex(i), ReferenceDigest(content, from, to)) << "chunk " << i;
    }
  }
}

// Reads that hand out fewer bytes than asked (as network file systems may)
// still digest exactly the file's bytes.
TEST_F(ChunkHashingTest, ShortReadsDigestTheSameBytes) {
  const std::string content = PatternBytes(kChunkSize + 12345, 5);
  WriteFile(content);
  for (size_t perRead : {size_t{1000}, size_t{4095}, size_t{17}}) {
    SCOPED_TRACE("at most " + std::to_string(perRead) + " bytes per read");
    m_platform.SetShortReads(perRead);
    ASSERT_TRUE(Digest(2).ok());
    EXPECT_EQ(DigestHex(0), ReferenceDigest(content, 0, kChunkSize));
    EXPECT_EQ(DigestHex(1), ReferenceDigest(content, kChunkSize, content.size()));
  }
}

// Hashing side by side on several threads gives the table one thread gives.
TEST_F(ChunkHashingTest, ParallelAndSerialHashingAgree) {
  const std::string content = PatternBytes(7 * kChunkSize + 999, 21);
  WriteFile(content);
  ASSERT_TRUE(Digest(8).ok());
  const std::vector<uint8_t> parallel = m_digests;
  m_platform.SetThreadsFail(true);  // no hashing threads: the reader hashes on its own
  ASSERT_TRUE(Digest(8).ok());
  EXPECT_EQ(parallel, m_digests);
  for (uint32_t i = 0; i < 8; ++i) {
    const size_t from = size_t{i} * kChunkSize;
    EXPECT_EQ(DigestHex(i), ReferenceDigest(content, from, std::min(content.size(), from + kChunkSize))) << i;
  }
}

TEST_F(ChunkHashingTest, AbcHasThePublishedDigestAndKey) {
  WriteFile("abc");
  ASSERT_TRUE(Digest(ChunkCountForSize(Facts().size)).ok());
  EXPECT_EQ(DigestHex(0), "a9993e364706816aba3e25717850c26c9cd0d89d");
  std::string key;
  MakeChunkKey(key, m_digests.data());
  EXPECT_EQ(key, "qZk-NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST_F(ChunkHashingTest, FactsCarryTheLastWriteTime) {
  WriteFile("x");
  // 2020-01-01 00:00:00.5 UTC.
  const struct timespec times[2] = {{1577836800, 500000000}, {1577836800, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, m_file.c_str(), times, 0), 0);
  const FileFacts facts = Facts();
  EXPECT_EQ(facts.size, 1u);
  ASSERT_TRUE(facts.lastWrite.has_value());
  EXPECT_EQ(*facts.lastWrite, 1577836800LL * 10000000LL + 5000000LL);

  // A file that does not open has no facts: the error says why.
  FileFacts missing;
  EXPECT_EQ(ReadFileFacts(m_platform, m_platform.MakePath(U16((m_dir / "missing").string())), &missing), ENOENT);
  EXPECT_EQ(missing.size, 0u);
  EXPECT_FALSE(missing.lastWrite.has_value());
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
    const uint32_t chunks = ChunkCountForSize(Facts().size);
    ASSERT_EQ(chunks, c.chunks);

    if (c.after < c.before) {
      fs::resize_file(m_file, c.after);
    } else {
      WriteFile(content.substr(c.before), std::ios::app);
    }
    ASSERT_TRUE(Digest(chunks).ok());
    for (uint32_t i = 0; i < c.chunks; ++i) {
      const size_t from = std::min(c.after, size_t{i} * kChunkSize);
      const size_t to = std::min(c.after, from + kChunkSize);
      EXPECT_EQ(DigestHex(i), ReferenceDigest(content, from, to)) << "chunk " << i;
    }
  }
}

TEST_F(ChunkHashingTest, CancelStopsBetweenChunks) {
  WriteFile(PatternBytes(10 * kMiB, 3));
  int asked = 0;
  const int readsBefore = m_platform.ReadCalls();
  // The first chunk is hashed, then the cancel is seen.
  const Outcome outcome = Digest(3, [&] { return ++asked > 1; });
  EXPECT_EQ(outcome.kind, OutcomeKind::kCancelled);
  EXPECT_EQ(m_platform.ReadCalls() - readsBefore, 1024) << "one chunk's reads and no more";
  ASSERT_EQ(m_digests.size(), 3u * kDigestSize);
  EXPECT_NE(DigestHex(0), std::string(40, '0'));
  EXPECT_EQ(DigestHex(1), std::string(40, '0'));
}

TEST_F(ChunkHashingTest, ReadErrorKeepsEarlierDigests) {
  struct Case {
    int failingRead;  // 1-based over the step's reads; a chunk is 1024 reads
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
    platform.FailReadAt(c.failingRead, 5);
    std::vector<uint8_t> digests;
    const Outcome outcome = DigestFileChunks(platform, m_path, 3, nullptr, &digests);
    EXPECT_EQ(outcome.kind, OutcomeKind::kFileUnreadable);
    EXPECT_EQ(outcome.osError, 5) << "the OS error code comes back";
    EXPECT_EQ(platform.ReadCalls(), c.failingRead) << "no read after the failing one";
    ASSERT_EQ(digests.size(), 3u * kDigestSize);
    for (uint32_t i = 0; i < 3; ++i) {
      const std::string got = ToHex(digests.data() + size_t{i} * kDigestSize, kDigestSize);
      if (i < c.goodChunks) {
        EXPECT_EQ(got, ReferenceDigest(content, i * kChunkSize, (i + 1) * kChunkSize)) << "chunk " << i;
      } else {
        EXPECT_EQ(got, std::string(40, '0')) << "chunk " << i;
      }
    }
  }
}

TEST_F(ChunkHashingTest, FailedOpenIsAFailureNotAnEmptyTable) {
  WriteFile(PatternBytes(100, 1));
  m_platform.FailOpenAt(m_platform.OpenCalls() + 1, 13);
  const Outcome outcome = Digest(1);
  EXPECT_EQ(outcome.kind, OutcomeKind::kFileUnreadable);
  EXPECT_EQ(outcome.osError, 13);
  EXPECT_TRUE(m_digests.empty()) << "no table without an open file";
  EXPECT_EQ(m_platform.ReadCalls(), 0);
}

}  // namespace
}  // namespace chunkup::testing
