// Inputs the fuzz targets in fuzz/ turned up, kept as plain cases next to the
// corpus files that hold the same bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "service/server.h"
#include "service/util.h"

namespace chunkup::testing {
namespace {

using service::CheckFileDocument;
using service::ChunkCountFor;
using service::FileDocument;

// A client may claim any size up to the 64-bit limit; rounding it up to whole
// chunks overflowed (undefined behaviour; in practice a negative count).
TEST(FuzzFindings, FileSizesNearTheLimitCountTheirChunksWithoutOverflow) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(ChunkCountFor(kMax), kMax / 4194304 + 1);
  EXPECT_EQ(ChunkCountFor(kMax - 4194303), kMax / 4194304);  // a whole number of chunks
  EXPECT_EQ(ChunkCountFor(kMax - 4194302), kMax / 4194304 + 1);
  EXPECT_EQ(ChunkCountFor(0), 0);
  EXPECT_EQ(ChunkCountFor(4194304), 1);
  EXPECT_EQ(ChunkCountFor(4194305), 2);

  for (const char* size : {"9223372036854775807", "9223372036850581505"}) {
    const std::string body = std::string("{\"chunkSize\":4194304,\"fileSize\":\"") + size +
                             "\",\"keys\":[],\"path\":\"home/x\"}";
    FileDocument doc;
    const auto problem = CheckFileDocument(body, false, doc);
    ASSERT_TRUE(problem.has_value()) << size;
    EXPECT_NE(problem->find("2199023255552 chunks"), std::string::npos) << *problem;
  }
}

}  // namespace
}  // namespace chunkup::testing
