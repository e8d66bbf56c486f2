// The request body text the file service reads.
#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include "http/json_text.h"

namespace chunkup {
namespace {

Json::Value FileDocument(const std::string& path) {
  Json::Value document;
  document["path"] = path;
  document["keys"] = Json::Value(Json::arrayValue);
  document["keys"].append("qZk-NkcGgWq6PiVxeFDCbJzQ2J0=");
  document["fileSize"] = "3";
  document["chunkSize"] = 4194304;
  return document;
}

TEST(CompactJsonTextTest, StringsTable) {
  struct Case {
    const char* name;
    std::string input;
    std::string text;
  } cases[] = {
      {"plain", "home/abc.txt", R"("home/abc.txt")"},
      {"non-ASCII stays raw UTF-8", "home/\xC3\xBC\xE2\x82\xAC \xF0\x9F\x93\x84.bin",
       "\"home/\xC3\xBC\xE2\x82\xAC \xF0\x9F\x93\x84.bin\""},
      {"quote and backslash", "a\"b\\c", R"("a\"b\\c")"},
      {"short escapes", "\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {"other controls, upper-case digits", std::string("\x01\x1F\x0B", 3), R"("\u0001\u001F\u000B")"},
      {"embedded zero", std::string("a\0b", 3), R"("a\u0000b")"},
      {"DEL and slash pass", "\x7F/", "\"\x7F/\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompactJsonText(Json::Value(c.input)), c.text + "\n") << c.name;
  }
}

TEST(CompactJsonTextTest, DocumentLayout) {
  EXPECT_EQ(CompactJsonText(FileDocument("home/abc.txt")),
            "{\"chunkSize\":4194304,\"fileSize\":\"3\",\"keys\":[\"qZk-NkcGgWq6PiVxeFDCbJzQ2J0=\"],"
            "\"path\":\"home/abc.txt\"}\n");
  EXPECT_EQ(CompactJsonText(Json::Value()), "null\n");
  Json::Value empty = FileDocument("x");
  empty["keys"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(CompactJsonText(empty), "{\"chunkSize\":4194304,\"fileSize\":\"3\",\"keys\":[],\"path\":\"x\"}\n");
}

// On ASCII text without control characters the layout is jsoncpp's compact one.
TEST(CompactJsonTextTest, MatchesFastWriterOnAsciiDocuments) {
  Json::Value document = FileDocument("home/a b.txt");
  document["editTime"] = "-116444736000000000";
  document["nested"]["z"] = Json::Value(Json::arrayValue);
  document["nested"]["a"] = true;
  document["nested"]["n"] = Json::Value();
  document["negative"] = -5;
  document["big"] = Json::UInt64(18446744073709551615ull);
  document["real"] = 0.5;
  document["Upper"] = 1;  // sorts before the lower-case names
  EXPECT_EQ(CompactJsonText(document), Json::FastWriter().write(document));
}

}  // namespace
}  // namespace chunkup
