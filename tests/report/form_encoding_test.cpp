#include "report/form_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace chunkup {
namespace {

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

}  // namespace
}  // namespace chunkup
