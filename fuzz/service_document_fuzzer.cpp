// The service's reading of a prepare or commit body: whatever a client sends,
// the check either names a problem or yields a document whose keys match the
// file's chunk geometry.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "service/server.h"
#include "service/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace chunkup::service;
  if (size == 0) return 0;
  // The first byte picks the kind of document, so one corpus serves both.
  const bool commit = data[0] == 'c';
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  FileDocument doc;
  const auto problem = CheckFileDocument(body, commit, doc);
  if (problem) {
    FUZZ_CHECK(!problem->empty());
    return 0;
  }
  FUZZ_CHECK(!doc.path.empty() && doc.path.size() <= 4096);
  FUZZ_CHECK(doc.fileSize >= 0);
  FUZZ_CHECK(static_cast<int64_t>(doc.keys.size()) == ChunkCountFor(doc.fileSize));
  for (size_t i = 0; i < doc.keys.size(); ++i) {
    FUZZ_CHECK(IsValidKey(doc.keys[i]));
    const int64_t length = ChunkLengthAt(doc.fileSize, static_cast<int64_t>(i));
    FUZZ_CHECK(length >= 1 && length <= kChunkSize);
  }
  if (commit) FUZZ_CHECK(ParseSignedDecimal(doc.editTime).has_value());
  return 0;
}
