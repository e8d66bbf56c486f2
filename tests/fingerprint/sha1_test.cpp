#include "fingerprint/sha1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/fingerprint/test_util.h"

namespace chunkup::testing {
namespace {

const char* PathName(Sha1Path path) { return path == Sha1Path::kShaNi ? "ShaNi" : "Portable"; }

}  // namespace
}  // namespace chunkup::testing

namespace chunkup {
// Lets failure messages name the path.
void PrintTo(Sha1Path path, std::ostream* out) { *out << (path == Sha1Path::kShaNi ? "ShaNi" : "Portable"); }
}  // namespace chunkup

namespace chunkup::testing {
namespace {

// Runs each test once per block function; a path the CPU lacks is skipped.
class Sha1PathTest : public ::testing::TestWithParam<Sha1Path> {
 protected:
  void SetUp() override {
    if (!Sha1UsePath(GetParam())) GTEST_SKIP() << "this CPU has no " << PathName(GetParam()) << " path";
  }
  void TearDown() override { Sha1UseBestPath(); }
};

INSTANTIATE_TEST_SUITE_P(BothPaths, Sha1PathTest, ::testing::Values(Sha1Path::kPortable, Sha1Path::kShaNi),
                         [](const ::testing::TestParamInfo<Sha1Path>& info) { return PathName(info.param); });

TEST_P(Sha1PathTest, PublishedVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  std::string tenRepeats;
  for (int i = 0; i < 10; ++i) tenRepeats += "0123456701234567012345670123456701234567012345670123456701234567";
  const Case cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {tenRepeats, "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sha1Hex(c.message.data(), c.message.size()), c.digest) << "length " << c.message.size();
  }
}

// Lengths around the padding boundaries: 55 is the longest message whose
// padding fits in one block, 56..63 need a second block, 64 fills one exactly.
TEST_P(Sha1PathTest, PaddingBoundaries) {
  struct Case {
    size_t length;
    const char* digest;
  };
  const Case cases[] = {
      {1, "9842926af7ca0a8cca12604f945414f07b01e13d"},    {55, "ddf57317ef34bfee3b6df83d359098930eb278bc"},
      {56, "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},   {57, "11a02dcf95859677a62e75024067c22b165d890f"},
      {63, "c55856749bef509bdfe6bfebfc7bf4e793e82132"},   {64, "bede92be29c3874e1b54ddc77988d606fc857a8e"},
      {65, "b05a80522b053d6dc7e0a517d0e70212c7dad11f"},   {119, "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"},
      {120, "82134b02fb3f702491be9bed581eeab59334acb2"},  {127, "34d5e582029e9b9b85b2febe31da3db7cdabaaea"},
      {128, "a09133e6730ffe899efb70204cb5646cd5dc24ee"},  {1000, "4231a8a50a10fa9758db8ec71fdef855b751048a"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> message(c.length);
    for (size_t i = 0; i < c.length; ++i) message[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(Sha1Hex(message.data(), message.size()), c.digest) << "length " << c.length;

    // The same message one byte at a time goes through the block buffer only.
    Sha1State state;
    Sha1Start(state);
    for (uint8_t byte : message) Sha1Feed(state, &byte, 1);
    uint8_t digest[kSha1DigestSize];
    Sha1Finish(state, digest);
    EXPECT_EQ(ToHex(digest, sizeof digest), c.digest) << "bytewise, length " << c.length;
  }
}

TEST_P(Sha1PathTest, FinishTwiceGivesTheSameDigestAndLaterBytesAreRefused) {
  Sha1State state;
  Sha1Start(state);
  Sha1Feed(state, reinterpret_cast<const uint8_t*>("abc"), 3);
  Sha1Feed(state, nullptr, 0);  // a zero count touches nothing, not even the pointer
  EXPECT_EQ(state.overflow, 0);
  uint8_t first[kSha1DigestSize], second[kSha1DigestSize];
  Sha1Finish(state, first);
  EXPECT_EQ(state.finished, 1);
  EXPECT_EQ(state.overflow, 0);

  Sha1Feed(state, reinterpret_cast<const uint8_t*>("d"), 1);
  EXPECT_EQ(state.overflow, 1);
  Sha1Finish(state, second);
  EXPECT_EQ(ToHex(first, sizeof first), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(ToHex(second, sizeof second), ToHex(first, sizeof first));

  Sha1Start(state);  // a fresh start clears both flags
  EXPECT_EQ(state.finished, 0);
  EXPECT_EQ(state.overflow, 0);
}

TEST_P(Sha1PathTest, BitCountPastTwoToTheSixtyFourSetsOverflow) {
  Sha1State state;
  Sha1Start(state);
  // Pretend 2^64 - 24 bits have gone by: two more bytes still fit, a third
  // would make the count 2^64.
  state.bitCountHigh = 0xFFFFFFFFu;
  state.bitCountLow = 0xFFFFFFE8u;
  const uint8_t bytes[3] = {1, 2, 3};
  Sha1Feed(state, bytes, 2);
  EXPECT_EQ(state.overflow, 0);
  EXPECT_EQ(state.bitCountHigh, 0xFFFFFFFFu);
  EXPECT_EQ(state.bitCountLow, 0xFFFFFFF8u);
  Sha1Feed(state, bytes, 1);
  EXPECT_EQ(state.overflow, 1);
  EXPECT_EQ(state.bitCountLow, 0xFFFFFFF8u);  // the refused byte is not counted
}

// Whatever the split of the input into feeds, and whichever path, the digest
// is the same.
TEST(Sha1Paths, AgreeOnRandomDataInRandomSplits) {
  if (!Sha1PathAvailable(Sha1Path::kShaNi)) GTEST_SKIP() << "only the portable path on this CPU";
  std::mt19937 random(20240611);
  for (int round = 0; round < 200; ++round) {
    const size_t length = std::uniform_int_distribution<size_t>(0, round < 150 ? 300 : 70000)(random);
    std::vector<uint8_t> message(length);
    for (uint8_t& byte : message) byte = static_cast<uint8_t>(random());

    std::string digests[2];
    for (int p = 0; p < 2; ++p) {
      ASSERT_TRUE(Sha1UsePath(p == 0 ? Sha1Path::kPortable : Sha1Path::kShaNi));
      Sha1State state;
      Sha1Start(state);
      size_t at = 0;
      while (at < length) {
        const size_t piece = std::min(length - at, std::uniform_int_distribution<size_t>(0, 200)(random));
        Sha1Feed(state, message.data() + at, piece);
        at += piece;
      }
      uint8_t digest[kSha1DigestSize];
      Sha1Finish(state, digest);
      digests[p] = ToHex(digest, sizeof digest);
    }
    Sha1UseBestPath();
    ASSERT_EQ(digests[0], digests[1]) << "length " << length << ", round " << round;
    ASSERT_EQ(digests[0], Sha1Hex(message.data(), length)) << "one feed, length " << length;
  }
}

TEST(Sha1Paths, BestPathIsChosenByTheCpu) {
  Sha1UseBestPath();
  EXPECT_EQ(Sha1ActivePath(), Sha1PathAvailable(Sha1Path::kShaNi) ? Sha1Path::kShaNi : Sha1Path::kPortable);
  EXPECT_TRUE(Sha1PathAvailable(Sha1Path::kPortable));
}

}  // namespace
}  // namespace chunkup::testing
