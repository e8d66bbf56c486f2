// The fault knobs tests use, and what a crash in the middle of a chunk leaves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/service/service_test_util.h"

namespace chunkup::testing {
namespace {

using Clock = std::chrono::steady_clock;

class ServiceKnobs : public ::testing::Test {
 protected:
  // A fresh one-chunk file and the URL of its chunk.
  void SetUp() override {
    m_bytes = MakeBytes(100000, 7);
    Exchange prepared = Prepare(m_service, "k.bin", m_bytes);
    ASSERT_EQ(prepared.status, 200);
    m_chunkUrl = prepared.reply["required"][0]["url"].asString();
    m_service.Reset();
  }
  long PutChunk(int* curlCode = nullptr) {
    ServiceProcess::Reply r = m_service.Request("PUT", m_chunkUrl, m_bytes);
    if (curlCode) *curlCode = r.curlCode;
    return r.status;
  }
  const std::string kUuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
  long Report(const std::string& query) {
    long status = 0;
    m_service.Post("/g/receive/" + kUuid + "?" + query, "null\n", &status);
    return status;
  }

  ServiceProcess m_service;
  std::string m_bytes;
  std::string m_chunkUrl;
};

TEST_F(ServiceKnobs, PutStatusAnswersTheNextNPutsAndStoresNothing) {
  ASSERT_TRUE(m_service.SetKnobs("put_status=503&put_count=2"));
  EXPECT_EQ(PutChunk(), 503);
  EXPECT_EQ(Prepare(m_service, "k.bin", m_bytes).reply["required"].size(), 1u) << "a refused PUT stored its chunk";
  EXPECT_EQ(PutChunk(), 503);
  EXPECT_EQ(PutChunk(), 200);
  Json::Value stats = m_service.Stats();
  EXPECT_EQ(stats["put"].asInt(), 3);
  EXPECT_EQ(stats["put_stored"].asInt(), 1);
  EXPECT_EQ(stats["put_indexes"], ParseJson("[0,0,0]"));
}

TEST_F(ServiceKnobs, PutCloseDropsTheConnectionMidBody) {
  ASSERT_TRUE(m_service.SetKnobs("put_close=1"));
  int curlCode = 0;
  long status = PutChunk(&curlCode);
  EXPECT_NE(curlCode, 0) << "status " << status;
  EXPECT_EQ(status, 0);
  EXPECT_EQ(m_service.Stats()["put_stored"].asInt(), 0);
  EXPECT_EQ(PutChunk(&curlCode), 200);
  EXPECT_EQ(curlCode, 0);
}

TEST_F(ServiceKnobs, DelayHoldsEveryProtocolReply) {
  ASSERT_TRUE(m_service.SetKnobs("delay_ms=300"));
  auto timed = [](auto&& call) {
    auto start = Clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };
  EXPECT_GE(timed([&] { Prepare(m_service, "k.bin", m_bytes); }), 300);
  EXPECT_GE(timed([&] { PutChunk(); }), 300);
  EXPECT_GE(timed([&] { Commit(m_service, "k.bin", m_bytes); }), 300);
  EXPECT_GE(timed([&] { Report("filesize=1&uploaded=0&speed=0&name=x"); }), 300);
  ASSERT_TRUE(m_service.SetKnobs("delay_ms=0"));
  EXPECT_LT(timed([&] { Prepare(m_service, "k.bin", m_bytes); }), 300);
}

TEST_F(ServiceKnobs, PrepareAndCommitAnswerOnceWithTheChosenStatusAndRawBody) {
  struct Case {
    const char* knobs;
    const char* endpoint;
    long status;
    std::string body;
  } cases[] = {
      {"prepare_status=409&prepare_body=%7B%7D", "/anonymous/prepare_put", 409, "{}"},
      {"prepare_status=200&prepare_body=%7B%22required%22%3A%22none%22%7D", "/anonymous/prepare_put", 200,
       "{\"required\":\"none\"}"},
      {"prepare_status=200&prepare_body=not+JSON+at+all", "/anonymous/prepare_put", 200, "not JSON at all"},
      {"prepare_status=500", "/anonymous/prepare_put", 500, ""},
      {"commit_status=200&commit_body=%7B%22url%22%3A7%7D", "/anonymous/commit_put", 200, "{\"url\":7}"},
      {"commit_status=503&commit_body=busy", "/anonymous/commit_put", 503, "busy"},
  };
  const std::string prepareBody = PrepareBody("k.bin", m_bytes.size(), KeysOf(m_bytes));
  const std::string commitBody = CommitBody("k.bin", m_bytes.size(), KeysOf(m_bytes));
  for (const auto& c : cases) {
    const bool prepare = std::string(c.endpoint) == "/anonymous/prepare_put";
    const std::string& body = prepare ? prepareBody : commitBody;
    ASSERT_TRUE(m_service.SetKnobs(c.knobs)) << c.knobs;
    long status = 0;
    EXPECT_EQ(m_service.Post(c.endpoint, body, &status), c.body) << c.knobs;
    EXPECT_EQ(status, c.status) << c.knobs;
    // The request is still counted and captured as sent.
    Json::Value stats = m_service.Stats();
    EXPECT_EQ(stats[prepare ? "last_prepare_body" : "last_commit_body"].asString(), body);
    // Only once: the next request gets the real answer.
    m_service.Post(c.endpoint, body, &status);
    EXPECT_EQ(status, prepare ? 200 : 400) << c.knobs;
  }
  EXPECT_EQ(m_service.Stats()["prepare"].asInt(), 8);
  EXPECT_EQ(m_service.Stats()["commit"].asInt(), 4);
}

TEST_F(ServiceKnobs, ReportStatusRefusesTheNextNReportsWithoutRecordingThem) {
  ASSERT_TRUE(m_service.SetKnobs("report_status=503&report_count=2"));
  EXPECT_EQ(Report("filesize=10&uploaded=0&speed=0&name=a"), 503);
  EXPECT_EQ(Report("filesize=10&uploaded=5&speed=0&name=a"), 503);
  EXPECT_EQ(Report("filesize=10&uploaded=10&speed=0&name=a"), 200);
  Json::Value reports = m_service.Reports(kUuid)["reports"];
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["query"].asString(), "filesize=10&uploaded=10&speed=0&name=a");
  EXPECT_EQ(m_service.Stats()["report"].asInt(), 3);
}

TEST_F(ServiceKnobs, UnknownKnobOrBadValueIsRefusedAndNothingIsSet) {
  const char* bad[] = {
      "put_status=503&bogus=1", "put_status=503&put_count=-1", "put_status=99", "put_status=abc",
      "put_count=2",            "delay_ms=600001",             "report_count=1", "prepare_status=1000&delay_ms=5",
      "put_close=x",            "=1",
  };
  for (const char* query : bad) {
    long status = 0;
    std::string reply = m_service.Post(std::string("/_control/knobs?") + query, "", &status);
    EXPECT_EQ(status, 400) << query;
    EXPECT_TRUE(ParseJson(reply)["error"].isString()) << query;
  }
  EXPECT_EQ(PutChunk(), 200);
  EXPECT_EQ(Prepare(m_service, "k.bin", m_bytes).status, 200);
}

TEST_F(ServiceKnobs, ResetClearsKnobsAndCountersButKeepsStoredData) {
  ASSERT_TRUE(m_service.SetKnobs("put_status=500&put_count=5&prepare_status=409&delay_ms=2000"));
  m_service.Reset();
  EXPECT_EQ(PutChunk(), 200);
  Exchange committed = Commit(m_service, "k.bin", m_bytes);
  EXPECT_EQ(committed.status, 200);
  m_service.Reset();
  Json::Value stats = m_service.Stats();
  EXPECT_EQ(stats["put"].asInt(), 0);
  EXPECT_EQ(stats["commit"].asInt(), 0);
  EXPECT_EQ(stats["last_commit_body"].asString(), "");
  EXPECT_EQ(stats["put_indexes"].size(), 0u);
  EXPECT_TRUE(m_service.Get(committed.reply["url"].asString()) == m_bytes);
}

bool DirHasFiles(const std::filesystem::path& dir) {
  std::error_code ec;
  return std::filesystem::exists(dir, ec) && !std::filesystem::is_empty(dir, ec);
}

TEST(ServiceCrash, KilledDuringAChunkPutLeavesNoCorruptChunkAndTheUploadCompletes) {
  ServiceProcess service;
  const std::string bytes = MakeBytes(2 * kChunk + 10, 8);
  // Chunk 0 is stored whole before the crash.
  Exchange prepared = Prepare(service, "crash.bin", bytes);
  ASSERT_EQ(RequiredIndexes(prepared.reply), (std::vector<int>{0, 1, 2}));
  long status = 0;
  service.Put(prepared.reply["required"][0]["url"].asString(), ChunkOf(bytes, 0), &status);
  ASSERT_EQ(status, 200);

  // Chunk 1 is half way in when the service dies.
  const std::string url1 = prepared.reply["required"][1]["url"].asString();
  const std::string target = url1.substr(url1.find("/chunks/"));
  const std::filesystem::path tmp = std::filesystem::path(service.DataDir()) / "tmp";
  {
    HalfSentPut put(service.Port(), target, ChunkOf(bytes, 1), kChunk / 2);
    ASSERT_TRUE(put.ok());
    // Wait (bounded) until the service has started writing the body to disk.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!DirHasFiles(tmp) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(DirHasFiles(tmp)) << "the body never reached the disk";
    service.Kill();
  }
  service.Restart();

  // Every file under a key holds exactly the bytes of that key; the half chunk is gone.
  size_t held = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(std::filesystem::path(service.DataDir()) / "chunks")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(HexOf(content.str()), entry.path().filename().string());
    ++held;
  }
  EXPECT_EQ(held, 1u);
  EXPECT_FALSE(DirHasFiles(tmp));

  // The re-run asks only for what is missing and completes.
  Exchange resumed = Prepare(service, "crash.bin", bytes);
  EXPECT_EQ(RequiredIndexes(resumed.reply), (std::vector<int>{1, 2}));
  const std::string url = UploadWhole(service, "crash.bin", bytes);
  EXPECT_TRUE(service.Get(url) == bytes);
}

TEST(ServiceCrash, ChunkUrlsHandedOutBeforeARestartStillWork) {
  ServiceProcess service;
  const std::string bytes = MakeBytes(kChunk + 10, 9);
  Exchange prepared = Prepare(service, "r.bin", bytes);
  ASSERT_EQ(prepared.status, 200);
  service.Restart();
  for (const auto& item : prepared.reply["required"]) {
    long status = 0;
    service.Put(item["url"].asString(), ChunkOf(bytes, item["index"].asUInt()), &status);
    EXPECT_EQ(status, 200);
  }
  EXPECT_EQ(Commit(service, "r.bin", bytes).status, 200);
}

TEST(ServiceShutdown, SigtermEndsTheServiceCleanly) {
  ServiceProcess service;
  EXPECT_EQ(service.Stop(), 0);
  EXPECT_NE(service.LogText().find("stopped"), std::string::npos) << service.LogText();
}

}  // namespace
}  // namespace chunkup::testing
