#include "fingerprint/encodings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/support/fake_platform.h"

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

TEST(FormUrlEncode, Escapes) {
  struct Case {
    std::string input;
    const char* output;
  };
  const Case cases[] = {
      {"x y&z=1", "x+y%26z%3d1"},
      {"~", "%7e"},
      {"it's", "it%27s"},
      {"(a)*!", "(a)*!"},
      {"", ""},
      {"AZaz09-._", "AZaz09-._"},
      {"\"#$%&'+,/:;<=>?@[\\]^`{|}~",
       "%22%23%24%25%26%27%2b%2c%2f%3a%3b%3c%3d%3e%3f%40%5b%5c%5d%5e%60%7b%7c%7d%7e"},
      {"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac.txt", "Gr\xc3\xbc\xc3\x9f" "e+\xe2\x82\xac.txt"},  // UTF-8 passes through
      // Control bytes could break the request line, so they are escaped too.
      {"a\nb\r\tc\x01\x1f\x7f", "a%0ab%0d%09c%01%1f%7f"},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_STREQ(FormUrlEncode(output, c.input.c_str()), c.output) << c.input;
  }
}

TEST(FormUrlEncode, AppendsToWhatIsThere) {
  std::string output = "name=";
  const char* text = FormUrlEncode(output, "a b");
  EXPECT_EQ(output, "name=a+b");
  EXPECT_EQ(text, output.c_str());
}

class TextConversion : public ::testing::Test {
 protected:
  FakePlatform m_platform;
};

TEST_F(TextConversion, WideToUtf8) {
  struct Case {
    std::u16string wide;
    std::string utf8;
  };
  const Case cases[] = {
      {u"", ""},
      {u"plain.txt", "plain.txt"},
      {u"Gr\u00fc\u00dfe \u20ac \U0001D11E", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9d\x84\x9e"},
      {std::u16string(u"ab\0cd", 5), "ab"},  // up to the first zero
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WideToUtf8(m_platform, c.wide), c.utf8);
    char* buffer = WideToUtf8Buffer(m_platform, c.wide.c_str());
    ASSERT_NE(buffer, nullptr);
    EXPECT_STREQ(buffer, c.utf8.c_str());
    std::free(buffer);
  }
  EXPECT_EQ(WideToUtf8Buffer(m_platform, nullptr), nullptr);
}

TEST_F(TextConversion, AnsiToWide) {
  struct Case {
    std::string narrow;
    std::u16string wide;
  };
  const Case cases[] = {
      {"", u""},
      {"http://127.0.0.1:8642/f/abc", u"http://127.0.0.1:8642/f/abc"},
      {"Gr\xc3\xbc\xc3\x9f" "e", u"Gr\u00fc\u00dfe"},  // the narrow code page is UTF-8 here
      {std::string("abc\0def", 7), u"abc"},  // up to the first zero
  };
  for (const Case& c : cases) EXPECT_EQ(AnsiToWide(m_platform, c.narrow), c.wide);
}

// 260 units (terminator included) stay in the buffer's own space; longer texts
// take the heap. Both must give the same text.
TEST_F(TextConversion, LongTextsConvertLikeShortOnes) {
  for (size_t units : {1u, 258u, 259u, 260u, 261u, 1000u, 70000u}) {
    SCOPED_TRACE("units " + std::to_string(units));
    std::u16string wide;
    std::string utf8;
    for (size_t i = 0; i < units; ++i) {
      // Mixed widths, so the UTF-8 length differs from the UTF-16 length.
      if (i % 3 == 2) {
        wide += u'\u00e9';
        utf8 += "\xc3\xa9";
      } else {
        wide += static_cast<char16_t>(u'a' + i % 26);
        utf8 += static_cast<char>('a' + i % 26);
      }
    }
    EXPECT_EQ(WideToUtf8(m_platform, wide), utf8);
    EXPECT_EQ(AnsiToWide(m_platform, utf8), wide);
  }
}

}  // namespace
}  // namespace chunkup::testing
