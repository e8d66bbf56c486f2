// The CLI's text helpers: the path conversion it hands the library and the
// JSON it prints must never be wrong, whatever bytes a file name holds.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "tools/cli_text.h"

namespace chunkup::cli {
namespace {

TEST(CliText, Utf8ToUtf16AcceptsOnlyWellFormedText) {
  struct Case {
    std::string utf8;
    bool ok;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"/tmp/plain name.bin", true, u"/tmp/plain name.bin"},
      {"/tmp/na\xc3\xafve \xe2\x82\xac", true, u"/tmp/na\u00efve \u20ac"},
      {"/\xf0\x9f\x98\x80", true, u"/\U0001F600"},  // a surrogate pair
      {"/a\xff", false, u""},                       // not UTF-8 at all
      {"/\xc0\xaf", false, u""},                    // overlong '/'
      {"/\xed\xa0\x80", false, u""},                // an encoded surrogate
      {"/\xf4\x90\x80\x80", false, u""},            // above U+10FFFF
      {"/\xe2\x82", false, u""},                    // cut short
  };
  for (const auto& c : cases) {
    std::u16string out;
    EXPECT_EQ(Utf8ToUtf16(c.utf8, &out), c.ok) << c.utf8;
    if (c.ok) {
      EXPECT_EQ(out, c.utf16) << c.utf8;
    }
  }
}

TEST(CliText, AbsolutePath) {
  EXPECT_EQ(AbsolutePath("/x/y", "/home/u"), "/x/y");
  EXPECT_EQ(AbsolutePath("y", "/home/u"), "/home/u/y");
  EXPECT_EQ(AbsolutePath("./y", "/home/u/"), "/home/u/y");
  EXPECT_EQ(AbsolutePath("../y", "/home/u"), "/home/u/../y");
  EXPECT_EQ(AbsolutePath("y", "/"), "/y");
}

TEST(CliText, JsonQuoteAlwaysGivesValidJson) {
  const std::string texts[] = {
      "plain",
      "quote \" backslash \\ tab \t line\nfeed",
      "control \x01\x1f\x7f",
      "utf-8 na\xc3\xafve \xf0\x9f\x98\x80",
      "broken \xff\xc3 end",
  };
  for (const auto& text : texts) {
    const std::string quoted = JsonQuote(text);
    Json::CharReaderBuilder builder;
    builder["strictRoot"] = false;
    Json::Value value;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(quoted.data(), quoted.data() + quoted.size(), &value, &errors)) << quoted << errors;
    if (text.find('\xff') == std::string::npos) {
      EXPECT_EQ(value.asString(), text);
    } else {
      EXPECT_EQ(value.asString(), "broken \xef\xbf\xbd\xef\xbf\xbd end");
    }
  }
}

// File names and service replies reach the terminal: none may carry an
// escape sequence or a line break there.
TEST(CliText, PrintableNeutralisesControlCharacters) {
  EXPECT_EQ(Printable("na\xc3\xafve file.bin"), "na\xc3\xafve file.bin");
  EXPECT_EQ(Printable("a\x1b[2Jb\nc\rd\x7f"), "a?[2Jb?c?d?");
  EXPECT_EQ(Printable("c1 \xc2\x9b" "31m"), "c1 ?31m");  // U+009B, the one-byte CSI
  EXPECT_EQ(Printable("bad \xff\xc3"), "bad ??");
}

TEST(CliText, FitLeftKeepsTheEndAndWholeCharacters) {
  EXPECT_EQ(FitLeft("short", 10), "short");
  EXPECT_EQ(FitLeft("/very/long/path/file.bin", 11), "...file.bin");
  EXPECT_EQ(FitLeft("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 4), "...\xc3\xa9");
}

}  // namespace
}  // namespace chunkup::cli
