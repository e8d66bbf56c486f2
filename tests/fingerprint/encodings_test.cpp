#include "fingerprint/encodings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>


namespace chunkup::testing {
namespace {

std::string Base64Url(const std::string& bytes) {
  const auto* source = reinterpret_cast<const uint8_t*>(bytes.data());
  bool error = true;
  const size_t needed = Base64UrlEncode(source, bytes.size(), nullptr, 0, &error);
  EXPECT_FALSE(error);
  std::string text(needed, '#');
  EXPECT_EQ(Base64UrlEncode(source, bytes.size(), text.data(), text.size(), &error), needed);
  EXPECT_FALSE(error);
  return text;
}

TEST(Base64Url, Encodings) {
  struct Case {
    std::string bytes;
    const char* text;
  };
  const Case cases[] = {
      {"", ""},
      {"\xff", "_w=="},
      {"\xfb\xff", "-_8="},
      {"\xfb\xef\xbe", "----"},  // 62 is '-' here, not '+'
      {"\xff\xff\xff", "____"},  // 63 is '_' here, not '/'
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foobar", "Zm9vYmFy"},
      {std::string(3, '\0'), "AAAA"},
  };
  for (const Case& c : cases) EXPECT_EQ(Base64Url(c.bytes), c.text) << "input length " << c.bytes.size();
}

TEST(Base64Url, TooSmallDestinationWritesNothing) {
  const uint8_t bytes[4] = {1, 2, 3, 4};
  char text[8];
  std::memset(text, '#', sizeof text);
  bool error = false;
  EXPECT_EQ(Base64UrlEncode(bytes, 4, text, 7, &error), 0u);
  EXPECT_TRUE(error);
  EXPECT_EQ(std::string(text, sizeof text), std::string(8, '#'));
  EXPECT_EQ(Base64UrlEncode(bytes, 4, text, 8, &error), 8u);  // and no terminator needed
  EXPECT_FALSE(error);
}

TEST(MakeChunkKey, Keys) {
  struct Case {
    uint8_t digest[20];
    const char* key;
  };
  const Case cases[] = {
      {{}, "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
      {{0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
        0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d},
       "qZk-NkcGgWq6PiVxeFDCbJzQ2J0="},  // SHA-1 of "abc"
  };
  for (const Case& c : cases) {
    std::string key = "left over from before";
    EXPECT_EQ(MakeChunkKey(key, c.digest), 0);
    EXPECT_EQ(key, c.key);
  }
}

}  // namespace
}  // namespace chunkup::testing
