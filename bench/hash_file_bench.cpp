// Runs the hashing step (file facts and the chunk loop, without the prepare
// exchange) over one file and prints its time, the peak resident memory and a
// fingerprint of the digest table, so runs in different modes can be compared.
//
//   hash_file_bench FILE [--portable]
//   --portable   force the portable SHA-1 path
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fingerprint/chunk_hashing.h"
#include "fingerprint/sha1.h"
#include "platform/platform.h"
#include "platform/utf.h"
#include <vector>

namespace {

using namespace chunkup;

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

int Usage() {
  std::fprintf(stderr, "usage: hash_file_bench FILE [--portable]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string path = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--portable") {
      Sha1UsePath(Sha1Path::kPortable);
    } else {
      return Usage();
    }
  }

  Platform& platform = SystemPlatform();
  const FilePath file = platform.MakePath(Utf8ToUtf16(path));

  const auto start = std::chrono::steady_clock::now();
  FileFacts facts;
  const int error = ReadFileFacts(platform, file, &facts);
  const uint32_t chunks = ChunkCountForSize(facts.size);
  std::vector<uint8_t> digests;
  const Outcome hashed = error == 0 ? DigestFileChunks(platform, file, chunks, nullptr, &digests) : Outcome{};
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (error != 0 || !hashed.ok()) {
    std::fprintf(stderr, "hashing failed: %d\n", error != 0 ? error : hashed.osError);
    return 1;
  }

  // A digest of the digest table: equal tables give equal text on both paths.
  std::string table = "-", first = "-";
  if (chunks > 0) {
    Sha1State state;
    Sha1Start(state);
    Sha1Feed(state, digests.data(), size_t{chunks} * kDigestSize);
    uint8_t digest[kSha1DigestSize];
    Sha1Finish(state, digest);
    table = Hex(digest, sizeof digest);
    first = Hex(digests.data(), kDigestSize);
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("seconds=%.4f size=%lld chunks=%u sha1_path=%s peak_rss_kb=%ld table=%s first=%s\n", seconds,
              static_cast<long long>(facts.size), chunks,
              Sha1ActivePath() == Sha1Path::kShaNi ? "shani" : "portable", usage.ru_maxrss, table.c_str(), first.c_str());
  return 0;
}
