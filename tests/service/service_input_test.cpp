// Bad input of every kind gets a 4xx with a short JSON error, and the service
// goes on serving.
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/service/service_test_util.h"

namespace chunkup::testing {
namespace {

class ServiceInput : public ::testing::Test {
 protected:
  void TearDown() override {
    // Whatever came before, the service still answers a good request.
    EXPECT_EQ(Prepare(m_service, "after.txt", "after").status, 200);
    EXPECT_TRUE(m_service.Running());
  }
  ServiceProcess m_service;
};

const std::string kKey = "qZk-NkcGgWq6PiVxeFDCbJzQ2J0=";  // SHA-1 of "abc"

std::string Doc(const std::string& chunkSize, const std::string& fileSize, const std::string& keys,
                const std::string& path = "\"home/abc.txt\"") {
  return "{\"chunkSize\":" + chunkSize + ",\"fileSize\":" + fileSize + ",\"keys\":" + keys + ",\"path\":" + path + "}\n";
}

TEST_F(ServiceInput, MalformedPrepareAndCommitDocumentsAre400) {
  const std::string good = Doc("4194304", "\"3\"", "[\"" + kKey + "\"]");
  struct Case {
    const char* what;
    std::string body;
  } cases[] = {
      {"empty body", ""},
      {"not JSON", "hello"},
      {"truncated", good.substr(0, good.size() / 2)},
      {"trailing garbage", good.substr(0, good.size() - 1) + "x"},
      {"an array", "[" + good + "]"},
      {"null", "null\n"},
      {"path missing", "{\"chunkSize\":4194304,\"fileSize\":\"3\",\"keys\":[\"" + kKey + "\"]}"},
      {"path a number", Doc("4194304", "\"3\"", "[\"" + kKey + "\"]", "7")},
      {"path empty", Doc("4194304", "\"3\"", "[\"" + kKey + "\"]", "\"\"")},
      {"chunkSize a string", Doc("\"4194304\"", "\"3\"", "[\"" + kKey + "\"]")},
      {"chunkSize another size", Doc("4096", "\"3\"", "[\"" + kKey + "\"]")},
      {"fileSize a number", Doc("4194304", "3", "[\"" + kKey + "\"]")},
      {"fileSize negative", Doc("4194304", "\"-3\"", "[\"" + kKey + "\"]")},
      {"fileSize leading zero", Doc("4194304", "\"03\"", "[\"" + kKey + "\"]")},
      {"fileSize not decimal", Doc("4194304", "\"0x3\"", "[\"" + kKey + "\"]")},
      {"fileSize beyond 64 bits", Doc("4194304", "\"99999999999999999999\"", "[\"" + kKey + "\"]")},
      {"keys a string", Doc("4194304", "\"3\"", "\"" + kKey + "\"")},
      {"key a number", Doc("4194304", "\"3\"", "[7]")},
      {"key too short", Doc("4194304", "\"3\"", "[\"" + kKey.substr(1) + "\"]")},
      {"key in plain base64", Doc("4194304", "\"3\"", "[\"qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\"]")},
      {"key with a path", Doc("4194304", "\"3\"", "[\"../../../../service.sqlite3=\"]")},
      {"key with a slash", Doc("4194304", "\"3\"", "[\"qZk/NkcGgWq6PiVxeFDCbJzQ2J0=\"]")},
      {"too few keys for the size", Doc("4194304", "\"4194305\"", "[\"" + kKey + "\"]")},
      {"too many keys for the size", Doc("4194304", "\"3\"", "[\"" + kKey + "\",\"" + kKey + "\"]")},
      {"keys for an empty file", Doc("4194304", "\"0\"", "[\"" + kKey + "\"]")},
      {"deeply nested", std::string(5000, '[') + std::string(5000, ']')},
  };
  for (const auto& c : cases) {
    for (const char* endpoint : {"/anonymous/prepare_put", "/anonymous/commit_put"}) {
      long status = 0;
      std::string reply = m_service.Post(endpoint, c.body, &status);
      EXPECT_EQ(status, 400) << c.what << " at " << endpoint;
      EXPECT_TRUE(ParseJson(reply)["error"].isString()) << c.what << ": " << reply;
    }
  }
}

TEST_F(ServiceInput, CommitNeedsEditTimeAndMimeTypeStrings) {
  const std::string base = "{\"chunkSize\":4194304,\"fileSize\":\"0\",\"keys\":[],\"path\":\"home/e\"";
  struct Case {
    const char* what;
    std::string tail;
    long status;
  } cases[] = {
      {"both present", ",\"editTime\":\"-116444736000000000\",\"mimeType\":\"application/x-msdownload\"}", 200},
      {"editTime missing", ",\"mimeType\":\"application/x-msdownload\"}", 400},
      {"editTime a number", ",\"editTime\":0,\"mimeType\":\"application/x-msdownload\"}", 400},
      {"editTime not decimal", ",\"editTime\":\"yesterday\",\"mimeType\":\"application/x-msdownload\"}", 400},
      {"mimeType missing", ",\"editTime\":\"0\"}", 400},
      {"mimeType an array", ",\"editTime\":\"0\",\"mimeType\":[]}", 400},
  };
  for (const auto& c : cases) {
    long status = 0;
    m_service.Post("/anonymous/commit_put", base + c.tail, &status);
    EXPECT_EQ(status, c.status) << c.what;
  }
}

TEST_F(ServiceInput, OversizedBodiesAreRefusedWith413) {
  struct Case {
    const char* method;
    std::string path;
    size_t size;
  } cases[] = {
      {"POST", "/anonymous/prepare_put", (8u << 20) + 1},
      {"POST", "/anonymous/commit_put", (8u << 20) + 1},
      {"POST", "/g/receive/0f8fad5b-d9cb-469f-a165-70867728950e?filesize=1&uploaded=0&speed=0&name=a", 65537},
      {"POST", "/_control/knobs?delay_ms=0", 65537},
  };
  for (const auto& c : cases) {
    ServiceProcess::Reply r = m_service.Request(c.method, c.path, std::string(c.size, ' '));
    EXPECT_EQ(r.status, 413) << c.path;
  }
}

TEST_F(ServiceInput, ChunkPathsThatTryToLeaveTheStoreAreRefused) {
  const std::string sqlite = m_service.DataDir() + "/service.sqlite3";
  const auto before = std::filesystem::file_size(sqlite);
  const char* paths[] = {
      "/chunks/..%2Fservice.sqlite3?upload=1&index=0",
      "/chunks/..%2F..%2F..%2Fetc%2Fpasswd?upload=1&index=0",
      "/chunks/%2E%2E?upload=1&index=0",
      "/chunks/?upload=1&index=0",
      "/chunks/qZk-NkcGgWq6PiVxeFDCbJzQ2J0%00?upload=1&index=0",
      "/chunks/../service.sqlite3",
  };
  for (const char* path : paths) {
    long status = 0;
    m_service.Put(path, "abc", &status);
    EXPECT_GE(status, 400) << path;
    EXPECT_LT(status, 500) << path;
  }
  EXPECT_EQ(std::filesystem::file_size(sqlite), before);
  EXPECT_EQ(m_service.Stats()["put_stored"].asInt(), 0);
}

TEST_F(ServiceInput, MalformedReportsAndPageIdsAre4xx) {
  const std::string uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
  struct Case {
    const char* what;
    std::string path;
    long status;
  } cases[] = {
      {"page id not a UUID", "/g/receive/nope?filesize=1&uploaded=0&speed=0&name=a", 400},
      {"page id with a path", "/g/receive/..%2F..?filesize=1&uploaded=0&speed=0&name=a", 404},
      {"no query", "/g/receive/" + uuid, 400},
      {"filesize missing", "/g/receive/" + uuid + "?uploaded=0&speed=0&name=a", 400},
      {"filesize not a number", "/g/receive/" + uuid + "?filesize=big&uploaded=0&speed=0&name=a", 400},
      {"speed missing", "/g/receive/" + uuid + "?filesize=1&uploaded=0&name=a", 400},
      {"name missing", "/g/receive/" + uuid + "?filesize=1&uploaded=0&speed=0", 400},
      {"bad escape", "/g/receive/" + uuid + "?filesize=1&uploaded=0&speed=0&name=%zz", 400},
      {"cut escape", "/g/receive/" + uuid + "?filesize=1&uploaded=0&speed=0&name=a%2", 400},
  };
  for (const auto& c : cases) {
    long status = 0;
    std::string reply = m_service.Post(c.path, "null\n", &status);
    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_TRUE(ParseJson(reply)["error"].isString()) << c.what << ": " << reply;
  }
  EXPECT_EQ(m_service.Reports(uuid)["reports"].size(), 0u);

  long status = 0;
  m_service.Get("/g/status/not-a-uuid", &status);
  EXPECT_EQ(status, 400);
  Json::Value unknown = ParseJson(m_service.Get("/g/status/" + uuid, &status));
  EXPECT_EQ(status, 404);
  EXPECT_EQ(unknown["reports"].size(), 0u);
  m_service.Get("/no/such/thing", &status);
  EXPECT_EQ(status, 404);
}

TEST_F(ServiceInput, ReportValuesAreDecodedAndTheRawQueryKept) {
  const std::string uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
  const std::string query =
      "filesize=3&uploaded=3&speed=3072&name=my+file+%c3%a9%26co.txt&url=http%3a%2f%2f127.0.0.1%3a1%2ff%2fx";
  long status = 0;
  m_service.Post("/g/receive/" + uuid + "?" + query, "null\n", &status);
  ASSERT_EQ(status, 200);
  m_service.Post("/g/receive/" + uuid + "?filesize=3&uploaded=0&speed=0&name=", "null\n", &status);
  ASSERT_EQ(status, 200);
  Json::Value reports = m_service.Reports(uuid)["reports"];
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0]["query"].asString(), query);
  EXPECT_EQ(reports[0]["name"].asString(), "my file \xc3\xa9&co.txt");
  EXPECT_EQ(reports[0]["url"].asString(), "http://127.0.0.1:1/f/x");
  EXPECT_EQ(reports[0]["speed"].asString(), "3072");
  EXPECT_EQ(reports[1]["name"].asString(), "");
  EXPECT_FALSE(reports[1].isMember("url"));
}

}  // namespace
}  // namespace chunkup::testing
