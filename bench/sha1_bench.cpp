// Throughput of Sha1Feed with each block function, for the feed sizes the
// library uses (4096-byte reads) and a few around them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "fingerprint/sha1.h"

namespace {

using chunkup::Sha1Path;

void FeedThroughput(benchmark::State& state, Sha1Path path) {
  if (!chunkup::Sha1UsePath(path)) {
    state.SkipWithError("this CPU lacks the path");
    return;
  }
  const size_t feed = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> bytes(feed);
  for (size_t i = 0; i < feed; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  chunkup::Sha1State sha;
  chunkup::Sha1Start(sha);
  for (auto _ : state) {
    chunkup::Sha1Feed(sha, bytes.data(), feed);
    benchmark::DoNotOptimize(sha.chaining[0]);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(feed));
  chunkup::Sha1UseBestPath();
}

// One whole chunk as the hashing step makes it: start, 1024 feeds of 4096
// bytes, finish.
void ChunkDigest(benchmark::State& state, Sha1Path path) {
  if (!chunkup::Sha1UsePath(path)) {
    state.SkipWithError("this CPU lacks the path");
    return;
  }
  std::vector<uint8_t> block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 17 + 1);
  uint8_t digest[chunkup::kSha1DigestSize];
  for (auto _ : state) {
    chunkup::Sha1State sha;
    chunkup::Sha1Start(sha);
    for (int i = 0; i < 1024; ++i) chunkup::Sha1Feed(sha, block.data(), block.size());
    chunkup::Sha1Finish(sha, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4194304);
  chunkup::Sha1UseBestPath();
}

BENCHMARK_CAPTURE(FeedThroughput, ShaNi, Sha1Path::kShaNi)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(FeedThroughput, Portable, Sha1Path::kPortable)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(ChunkDigest, ShaNi, Sha1Path::kShaNi)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ChunkDigest, Portable, Sha1Path::kPortable)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
