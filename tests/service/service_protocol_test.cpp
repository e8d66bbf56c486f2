// The file service's protocol over HTTP: prepare (409 for a held file, the
// list of missing chunks otherwise), chunk PUTs that are checked before they
// are stored, commit, and downloads.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tests/service/service_test_util.h"

namespace chunkup::testing {
namespace {

class ServiceProtocol : public ::testing::Test {
 protected:
  ServiceProcess m_service;
};

TEST_F(ServiceProtocol, NewFileIsAskedForWholeThenCommittedAndDownloadsByteForByte) {
  const std::string bytes = MakeBytes(2 * kChunk + 12345, 1);
  Exchange prepared = Prepare(m_service, "report.pdf", bytes);
  ASSERT_EQ(prepared.status, 200);
  EXPECT_EQ(RequiredIndexes(prepared.reply), (std::vector<int>{0, 1, 2}));
  for (const auto& item : prepared.reply["required"]) {
    // Chunk URLs are absolute, on this service, and clients use them verbatim.
    EXPECT_EQ(item["url"].asString().rfind(m_service.BaseUrl() + "/chunks/", 0), 0u) << item["url"];
    long status = 0;
    m_service.Put(item["url"].asString(), ChunkOf(bytes, item["index"].asUInt()), &status);
    EXPECT_EQ(status, 200);
  }
  Exchange committed = Commit(m_service, "report.pdf", bytes);
  ASSERT_EQ(committed.status, 200);
  const std::string url = committed.reply["url"].asString();
  EXPECT_EQ(url.rfind(m_service.BaseUrl() + "/", 0), 0u) << url;

  ServiceProcess::Reply download = m_service.Request("GET", url);
  EXPECT_EQ(download.status, 200);
  EXPECT_TRUE(download.body == bytes) << "downloaded " << download.body.size() << " bytes";
  EXPECT_NE(download.headers.find("Content-Length: " + std::to_string(bytes.size())), std::string::npos);

  // A range across a chunk boundary comes from two chunk files.
  ServiceProcess::Reply part = m_service.Request("GET", url, "", {"Range: bytes=4194300-4194309"});
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.body, bytes.substr(4194300, 10));

  Json::Value stats = m_service.Stats();
  EXPECT_EQ(stats["put"].asInt(), 3);
  EXPECT_EQ(stats["put_stored"].asInt(), 3);
  EXPECT_EQ(stats["put_indexes"], ParseJson("[0,1,2]"));
}

TEST_F(ServiceProtocol, HeldFileIsAnswered409WithItsUrlAndLinkId) {
  const std::string bytes = MakeBytes(kChunk + 1, 2);
  const std::string url = UploadWhole(m_service, "a.bin", bytes);
  ASSERT_FALSE(url.empty());
  m_service.Reset();

  // Same content and name: nothing to send, no commit needed.
  Exchange again = Prepare(m_service, "a.bin", bytes);
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.reply["url"].asString(), url);
  EXPECT_TRUE(again.reply["linkid"].isString());
  EXPECT_FALSE(again.reply["linkid"].asString().empty());
  EXPECT_FALSE(again.reply.isMember("required"));

  // Under another name too, with a URL of that name (service_store_test).
  Exchange renamed = Prepare(m_service, "copy of a.bin", bytes);
  EXPECT_EQ(renamed.status, 409);
  EXPECT_NE(renamed.reply["url"].asString(), url);

  // One byte more is another file.
  Exchange longer = Prepare(m_service, "a.bin", bytes + "x");
  EXPECT_EQ(longer.status, 200);
}

TEST_F(ServiceProtocol, OnlyChunksTheStoreLacksAreRequired) {
  const std::string first = MakeBytes(3 * kChunk, 3);
  ASSERT_FALSE(UploadWhole(m_service, "first", first).empty());

  // Chunks 0 and 2 are shared with the first file; chunk 1 is new.
  std::string second = first;
  second[kChunk + 17] ^= 1;
  Exchange prepared = Prepare(m_service, "second", second);
  ASSERT_EQ(prepared.status, 200);
  EXPECT_EQ(RequiredIndexes(prepared.reply), (std::vector<int>{1}));

  // An interrupted upload: chunk 0 of a third file arrives, no commit. Asked
  // again, the service wants only the rest, which is how a re-run resumes.
  const std::string third = MakeBytes(2 * kChunk + 5, 4);
  Exchange start = Prepare(m_service, "third", third);
  ASSERT_EQ(RequiredIndexes(start.reply), (std::vector<int>{0, 1, 2}));
  long status = 0;
  m_service.Put(start.reply["required"][0]["url"].asString(), ChunkOf(third, 0), &status);
  ASSERT_EQ(status, 200);
  Exchange resumed = Prepare(m_service, "third", third);
  EXPECT_EQ(RequiredIndexes(resumed.reply), (std::vector<int>{1, 2}));
}

TEST_F(ServiceProtocol, ChunkRepeatedInsideOneFileIsAskedForOnce) {
  const std::string zeros(2 * kChunk + 100, '\0');
  Exchange prepared = Prepare(m_service, "zeros", zeros);
  ASSERT_EQ(prepared.status, 200);
  EXPECT_EQ(RequiredIndexes(prepared.reply), (std::vector<int>{0, 2}));
  const std::string url = UploadWhole(m_service, "zeros", zeros);
  EXPECT_TRUE(m_service.Get(url) == zeros);
}

TEST_F(ServiceProtocol, EmptyFileNeedsNoChunkAndDownloadsEmpty) {
  Exchange prepared = Prepare(m_service, "empty.txt", "");
  EXPECT_EQ(prepared.status, 200);
  EXPECT_TRUE(prepared.reply["required"].isArray());
  EXPECT_EQ(prepared.reply["required"].size(), 0u);
  Exchange committed = Commit(m_service, "empty.txt", "");
  ASSERT_EQ(committed.status, 200);
  ServiceProcess::Reply download = m_service.Request("GET", committed.reply["url"].asString());
  EXPECT_EQ(download.status, 200);
  EXPECT_EQ(download.body, "");
}

TEST_F(ServiceProtocol, ChunkWithWrongBytesOrLengthIsRefusedAndNotStored) {
  const std::string bytes = MakeBytes(kChunk + 1000, 5);
  Exchange prepared = Prepare(m_service, "f", bytes);
  ASSERT_EQ(RequiredIndexes(prepared.reply), (std::vector<int>{0, 1}));
  const std::string url0 = prepared.reply["required"][0]["url"].asString();
  const std::string url1 = prepared.reply["required"][1]["url"].asString();
  std::string flipped = ChunkOf(bytes, 0);
  flipped[123] ^= 0x40;
  const std::string query = url0.substr(url0.find('?'));

  struct Case {
    const char* what;
    std::string url;
    std::string body;
    long status;
  } cases[] = {
      {"one bit flipped", url0, flipped, 400},
      {"one byte short", url0, ChunkOf(bytes, 0).substr(1), 400},
      {"one byte long", url0, ChunkOf(bytes, 0) + "x", 400},
      {"last chunk padded to a whole chunk", url1, ChunkOf(bytes, 1) + std::string(kChunk - 1000, '\0'), 400},
      {"empty body", url0, "", 400},
      {"chunk 1's bytes sent to chunk 0's URL", url0, ChunkOf(bytes, 1), 400},
      {"unknown upload id", m_service.BaseUrl() + "/chunks/" + KeyOf(ChunkOf(bytes, 0)) + "?upload=0123&index=0",
       ChunkOf(bytes, 0), 404},
      {"index of another chunk", url0.substr(0, url0.find("index=")) + "index=1", ChunkOf(bytes, 0), 404},
      {"no upload or index", url0.substr(0, url0.find('?')), ChunkOf(bytes, 0), 400},
  };
  for (const auto& c : cases) {
    long status = 0;
    std::string reply = m_service.Put(c.url, c.body, &status);
    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_TRUE(ParseJson(reply)["error"].isString()) << c.what << ": " << reply;
  }
  EXPECT_EQ(m_service.Stats()["put_stored"].asInt(), 0);
  EXPECT_EQ(RequiredIndexes(Prepare(m_service, "f", bytes).reply), (std::vector<int>{0, 1}));
  // The refusals left the chunk store as it was: the right bytes still go in.
  long status = 0;
  m_service.Put(url0, ChunkOf(bytes, 0), &status);
  EXPECT_EQ(status, 200);
  m_service.Put(url1, ChunkOf(bytes, 1), &status);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Commit(m_service, "f", bytes).status, 200);
}

TEST_F(ServiceProtocol, CommitIsRefusedUntilEveryChunkIsHeldAndTheSizesAddUp) {
  const std::string bytes = MakeBytes(2 * kChunk + 7, 6);
  Exchange prepared = Prepare(m_service, "f", bytes);
  long status = 0;
  m_service.Put(prepared.reply["required"][0]["url"].asString(), ChunkOf(bytes, 0), &status);
  m_service.Put(prepared.reply["required"][2]["url"].asString(), ChunkOf(bytes, 2), &status);

  Exchange refused = Commit(m_service, "f", bytes);
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.reply["missing"], ParseJson("[1]"));
  EXPECT_EQ(Prepare(m_service, "f", bytes).status, 200) << "a refused commit must not record the file";

  // The last chunk holds 7 bytes; a commit claiming 8 does not add up.
  const std::vector<std::string> keys = KeysOf(bytes);
  m_service.Put(prepared.reply["required"][1]["url"].asString(), ChunkOf(bytes, 1), &status);
  m_service.Post("/anonymous/commit_put", CommitBody("f", bytes.size() + 1, keys), &status);
  EXPECT_EQ(status, 400);

  Exchange committed = Commit(m_service, "f", bytes);
  EXPECT_EQ(committed.status, 200);
  EXPECT_TRUE(m_service.Get(committed.reply["url"].asString()) == bytes);
}

TEST_F(ServiceProtocol, UnknownResultUrlIs404) {
  long status = 0;
  m_service.Get("/f/0123456789abcdef/x.bin", &status);
  EXPECT_EQ(status, 404);
}

TEST_F(ServiceProtocol, SeveralUploadsAtOnceAllComplete) {
  // Four different files and two uploads of one more file, all at the same time.
  std::vector<std::string> files;
  for (uint32_t i = 0; i < 4; ++i) files.push_back(MakeBytes(kChunk + 1000 * i + 1, 100 + i));
  files.push_back(MakeBytes(2 * kChunk, 200));
  files.push_back(files.back());
  std::vector<std::string> urls(files.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < files.size(); ++i)
    threads.emplace_back([&, i] { urls[i] = UploadWhole(m_service, "file" + std::to_string(i), files[i]); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < files.size(); ++i) {
    ASSERT_FALSE(urls[i].empty()) << i;
    EXPECT_TRUE(m_service.Get(urls[i]) == files[i]) << i;
  }
}


TEST(ServiceOptions, PublicUrlIsWrittenIntoEveryUrlHandedOut) {
  ServiceProcess service({"--public-url", "http://files.example.test:9000/"});
  const std::string bytes = MakeBytes(100, 10);
  Exchange prepared = Prepare(service, "p.txt", bytes);
  ASSERT_EQ(prepared.status, 200);
  const std::string chunkUrl = prepared.reply["required"][0]["url"].asString();
  EXPECT_EQ(chunkUrl.rfind("http://files.example.test:9000/chunks/", 0), 0u) << chunkUrl;
  // The URL's path and query are what this service serves.
  long status = 0;
  service.Put(service.BaseUrl() + chunkUrl.substr(chunkUrl.find("/chunks/")), bytes, &status);
  EXPECT_EQ(status, 200);
  const std::string url = Commit(service, "p.txt", bytes).reply["url"].asString();
  EXPECT_EQ(url.rfind("http://files.example.test:9000/f/", 0), 0u) << url;
}

TEST(ServiceSink, TakesWholeFilesOnlyWhenTheBodyLimitIsRaised) {
  const std::string body = MakeBytes(9u << 20, 12);  // above the 8 MiB default
  long status = 0;
  {
    ServiceProcess service;
    service.Put("/_sink", body, &status);
    EXPECT_EQ(status, 413);
  }
  ServiceProcess raised({"--max-body", std::to_string(16u << 20)});
  Json::Value reply = ParseJson(raised.Put("/_sink", body, &status));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(reply["size"].asUInt64(), body.size());
}

TEST(ServiceSink, StoresAnyBodyUnderItsDigest) {
  ServiceProcess service;
  const std::string body = MakeBytes(kChunk + 333, 11);
  long status = 0;
  Json::Value reply = ParseJson(service.Put("/_sink", body, &status));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(reply["key"].asString(), KeyOf(body));
  EXPECT_EQ(reply["size"].asUInt64(), body.size());
  EXPECT_TRUE(std::filesystem::exists(ChunkFileOf(service.DataDir(), body)));
}

TEST(ServiceLog, OneLinePerRequest) {
  ServiceProcess service;
  for (int i = 0; i < 3; ++i) service.Get("/g/status/0f8fad5b-d9cb-469f-a165-70867728950e");
  service.Post("/anonymous/prepare_put", "nonsense");
  service.Stop();
  const std::string log = service.LogText();
  size_t statusLines = 0, prepareLines = 0;
  for (size_t at = 0; (at = log.find("\"GET /g/status/", at)) != std::string::npos; ++at) ++statusLines;
  for (size_t at = 0; (at = log.find("\"POST /anonymous/prepare_put\" 400", at)) != std::string::npos; ++at)
    ++prepareLines;
  EXPECT_EQ(statusLines, 3u) << log;
  EXPECT_EQ(prepareLines, 1u) << log;
}

}  // namespace
}  // namespace chunkup::testing
