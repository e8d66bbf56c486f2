// What every platform promises portable code, checked the same way on each
// OS: the POSIX suite and the Win32 suite (under wine) both run these, on
// files they made with their own OS calls.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "platform/platform.h"

namespace chunkup::testing {

// 2010-01-01 00:00:00 UTC in the seam's unit, 100-ns ticks since 1970.
inline constexpr FileTimestamp kTwentyTenInTicks = 1262304000LL * 10000000LL;

// Bytes that differ from their neighbours and repeat with no small period, so
// a piece read from the wrong offset shows.
inline std::string PatternedBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

// `path` holds "0123456789", last written at 2010-01-01 00:00:00 UTC.
inline void ExpectSizeTimeSeekAndRead(Platform& platform, const FilePath& path) {
  for (Sharing sharing : {Sharing::kDenyWriters, Sharing::kAllowWriters}) {
    std::unique_ptr<ReadableFile> file;
    ASSERT_EQ(platform.OpenForRead(path, sharing, &file), 0);
    uint64_t size = 0;
    EXPECT_EQ(file->Size(&size), 0);
    EXPECT_EQ(size, 10u);
    FileTimestamp written = 0;
    EXPECT_EQ(file->LastWriteTime(&written), 0);
    EXPECT_EQ(written, kTwentyTenInTicks);
    char buffer[8];
    size_t got = 0;
    EXPECT_EQ(file->Seek(6), 0);
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
    EXPECT_EQ(std::string(buffer, got), "6789");
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(file->Seek(10000), 0) << "past the end is allowed; reads then give nothing";
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &got), 0);
    EXPECT_EQ(got, 0u);
  }
}

// `path` holds `content` (PatternedBytes of 300,000). Reads are served
// through a read-ahead buffer: whatever the mix of block sizes and seeks, the
// bytes are the file's, and a short count comes only at the end of the file.
inline void ExpectReadsReturnTheFileBytes(Platform& platform, const FilePath& path, const std::string& content) {
  for (size_t block : {size_t{1}, size_t{4096}, size_t{5000}, size_t{65536}, size_t{65537}, size_t{300000},
                       size_t{400000}}) {
    std::unique_ptr<ReadableFile> file;
    ASSERT_EQ(platform.OpenForRead(path, Sharing::kDenyWriters, &file), 0);
    std::string read, buffer(block, '\0');
    for (size_t got = block; got == block && read.size() <= content.size();) {
      ASSERT_EQ(file->Read(buffer.data(), block, &got), 0);
      read.append(buffer.data(), got);
    }
    EXPECT_TRUE(read == content) << "block " << block;
  }
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(platform.OpenForRead(path, Sharing::kAllowWriters, &file), 0);
  char small[10];
  size_t got = 0;
  ASSERT_EQ(file->Read(small, sizeof small, &got), 0);
  // Each seek drops what was read ahead from the old position.
  for (uint64_t offset : {uint64_t{0}, uint64_t{123456}, uint64_t{299995}, uint64_t{5}}) {
    ASSERT_EQ(file->Seek(offset), 0);
    ASSERT_EQ(file->Read(small, sizeof small, &got), 0);
    const size_t expected = std::min<size_t>(sizeof small, content.size() - static_cast<size_t>(offset));
    EXPECT_EQ(std::string(small, got), content.substr(static_cast<size_t>(offset), expected)) << offset;
  }
}

// 8-4-4-4-12 lower-case hexadecimal digits.
inline bool IsUuidText(const std::string& id) {
  if (id.size() != 36) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = id[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Fresh lower-case UUID text every time, a monotonic clock that moves with a
// sleep (and not absurdly far), and threads that run their body and join
// twice without harm.
inline void ExpectUuidsClockAndThreads(Platform& platform) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string id = platform.NewUuid();
    EXPECT_TRUE(IsUuidText(id)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);

  const uint64_t before = platform.MonotonicMs();
  platform.SleepMs(50);
  const uint64_t after = platform.MonotonicMs();
  ASSERT_GE(after, before);
  EXPECT_GE(after - before, 45u);
  EXPECT_LT(after - before, 5000u);

  int ran = 0;
  auto thread = platform.StartThread([&] { ran = 1; });
  ASSERT_NE(thread, nullptr);
  thread->Join();
  thread->Join();
  EXPECT_EQ(ran, 1);
}

}  // namespace chunkup::testing
