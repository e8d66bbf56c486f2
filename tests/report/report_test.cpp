// The completion report against the reference service, which records every
// report it accepts: query values, the url pair, the page opening and the
// pause wait.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/task_registry.h"
#include "report/report.h"
#include "task/file_task.h"
#include "tests/support/fake_platform.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_dir.h"

namespace chunkup::testing {
namespace {

constexpr char kUuid[] = "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";

// The fake platform plus one observation the report needs: how many reports
// the service had seen when the page was opened.
class ReportPlatform final : public Platform {
 public:
  explicit ReportPlatform(ServiceProcess& service) : m_service(service) {
    m_fake.SetFixedUuid(kUuid);
    // Sleeps advance a manual clock instead of waiting.
    m_fake.SetTick(1000);
    m_fake.SetSleepAdvancesClock(true);
  }

  FakePlatform& fake() { return m_fake; }
  // Report requests the service had counted at each page opening.
  std::vector<int> ReportsSeenAtOpen() const { return m_seenAtOpen; }

  FilePath MakePath(const std::u16string& hostText) override { return m_fake.MakePath(hostText); }
  bool PathExists(const FilePath& path) override { return m_fake.PathExists(path); }
  std::u16string FileNameOf(const std::u16string& path) override { return m_fake.FileNameOf(path); }
  int OpenForRead(const FilePath& path, Sharing sharing, std::unique_ptr<ReadableFile>* file) override {
    return m_fake.OpenForRead(path, sharing, file);
  }
  void SleepMs(uint32_t ms) override { m_fake.SleepMs(ms); }
  uint64_t MonotonicMs() override { return m_fake.MonotonicMs(); }
  std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) override {
    return m_fake.StartThread(std::move(body));
  }
  std::u16string SystemCodePageToUtf16(const std::string& text) override { return m_fake.SystemCodePageToUtf16(text); }
  std::string NewUuid() override { return m_fake.NewUuid(); }
  void OpenUrl(const std::u16string& url) override {
    m_seenAtOpen.push_back(m_service.Stats()["report"].asInt());
    m_fake.OpenUrl(url);
  }

 private:
  ServiceProcess& m_service;
  FakePlatform m_fake;
  std::vector<int> m_seenAtOpen;  // written on the completion thread only
};

// An upload as the completion thread sees it, with every answer settable.
class FakeUpload final : public IReportSource {
 public:
  FakeUpload(uint64_t size, const std::string& resultUrl = "") : fileSize(size), resultUrl(resultUrl) {}

  bool IsPaused() override { return paused.load(); }
  bool IsCancelled() override { return cancelled.load(); }
  bool IsFinished() override { return finished.load(); }
  // What the host would see of a task in this state.
  bool TakeSnapshot(ReportValues* values) override {
    if (fileSize == 0) return false;
    values->fileSize = fileSize;
    values->speedKiB = 0;
    values->percent = resultUrl.empty() ? percent : 100;
    if (!resultUrl.empty()) values->resultUrl = resultUrl;
    return true;
  }
  uint64_t FileSize() override { return fileSize; }
  std::string ResultUrlText() override { return resultUrl; }

  uint64_t fileSize;
  std::string resultUrl;
  int32_t percent = 0;
  std::atomic<bool> paused{false}, cancelled{false}, finished{true};
};

class ReportTest : public ::testing::Test {
 protected:
  ReportTest() : m_platform(m_service) {}

  // The completion thread's work for one upload, on the page of `uuid`.
  void Report(FakeUpload& upload, const std::string& name, ReportPlatform* platform = nullptr) {
    ReportPlatform& p = platform ? *platform : m_platform;
    RunCompletionReports(p, MakeReportPages(m_service.BaseUrl(), p.NewUuid()), name, upload);
  }

  Json::Value Reports() { return m_service.Reports(kUuid)["reports"]; }
  std::vector<std::string> Queries() {
    std::vector<std::string> out;
    for (const auto& r : Reports()) out.push_back(r["query"].asString());
    return out;
  }
  std::u16string PageUrl() const { return U16(m_service.BaseUrl() + "/g/upload/" + kUuid); }

  ServiceProcess m_service;
  ReportPlatform m_platform;
};

TEST(ReportPagesTest, PageAndReceiveUrlsShareTheUuid) {
  const ReportPages pages = MakeReportPages("http://h:1", kUuid);
  EXPECT_EQ(pages.uploadPageUrl, std::string("http://h:1/g/upload/") + kUuid);
  EXPECT_EQ(pages.receivePageUrl, std::string("http://h:1/g/receive/") + kUuid);
}

TEST_F(ReportTest, CompletedUploadReportsFirstPassAndLast) {
  const std::string url = m_service.BaseUrl() + "/f/abc?x=1&y=a b~";
  FakeUpload upload(1000, url);
  Report(upload, "my file.bin");

  const std::string escapedUrl = "&url=" + std::string("http%3a%2f%2f127.0.0.1%3a") +
                                 m_service.HostPort().substr(m_service.HostPort().find(':') + 1) +
                                 "%2ff%2fabc%3fx%3d1%26y%3da+b%7e";
  // The first report knows no progress yet; the pass and the last report see
  // the result URL, so they claim the whole file and carry the url pair last.
  EXPECT_EQ(Queries(), (std::vector<std::string>{
                           "filesize=1000&uploaded=0&speed=0&name=my+file.bin",
                           "filesize=1000&uploaded=1000&speed=0&name=my+file.bin" + escapedUrl,
                           "filesize=1000&uploaded=1000&speed=0&name=my+file.bin" + escapedUrl,
                       }));
  const Json::Value last = Reports()[2];
  EXPECT_EQ(last["name"].asString(), "my file.bin");
  EXPECT_EQ(last["url"].asString(), url);
  EXPECT_FALSE(Reports()[0].isMember("url"));

  // Opened once, right after the first report and before the pass.
  EXPECT_EQ(m_platform.fake().OpenedUrls(), std::vector<std::u16string>{PageUrl()});
  EXPECT_EQ(m_platform.ReportsSeenAtOpen(), std::vector<int>{1});
  EXPECT_TRUE(m_platform.fake().Sleeps().empty());  // a finished task makes exactly one pass
}

TEST_F(ReportTest, FailedUploadSendsNoUrlAndLastReportClaimsWholeFile) {
  FakeUpload upload(1000);
  upload.percent = 40;  // what the host last saw before the failure
  Report(upload, "part.bin");

  EXPECT_EQ(Queries(), (std::vector<std::string>{
                           "filesize=1000&uploaded=0&speed=0&name=part.bin",
                           "filesize=1000&uploaded=400&speed=0&name=part.bin",
                           "filesize=1000&uploaded=1000&speed=0&name=part.bin",
                       }));
  for (const auto& r : Reports()) EXPECT_FALSE(r.isMember("url")) << r["query"].asString();
  EXPECT_EQ(m_platform.fake().OpenedUrls().size(), 1u);  // opened whatever the outcome
}

TEST_F(ReportTest, EmptyFileSkipsThePassReport) {
  FakeUpload upload(0, m_service.BaseUrl() + "/f/e");
  Report(upload, "empty.txt");
  const auto queries = Queries();
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0], "filesize=0&uploaded=0&speed=0&name=empty.txt");
  EXPECT_EQ(queries[1].rfind("filesize=0&uploaded=0&speed=0&name=empty.txt&url=", 0), 0u) << queries[1];
  EXPECT_EQ(m_service.Stats()["report"].asInt(), 2);
}

TEST_F(ReportTest, NamesTravelEscapedWithUtf8BytesRaw) {
  struct Case {
    std::string name;
    std::string queryName;  // as it must appear in the query
  };
  const std::vector<Case> cases = {
      {"naïve résumé.pdf", "na\xc3\xafve+r\xc3\xa9sum\xc3\xa9.pdf"},
      {"a&b=c?d#e%f+g.txt", "a%26b%3dc%3fd%23e%25f%2bg.txt"},
      {"(x)*!-_.~", "(x)*!-_.%7e"},
      // Control bytes, which Linux file names may hold, must not reach the
      // request line raw: a line feed there would end the request early.
      {"evil\r\nX-Injected: 1\x01\x1f\x7f.bin", "evil%0d%0aX-Injected%3a+1%01%1f%7f.bin"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.queryName);
    FakeUpload upload(10);
    const std::string uuid = "00000000-0000-4000-8000-00000000000" + std::to_string(i);  // a page per case
    m_platform.fake().SetFixedUuid(uuid);
    Report(upload, c.name);
    const Json::Value reports = m_service.Reports(uuid)["reports"];
    ASSERT_EQ(reports.size(), 3u) << "every report must be accepted";
    for (const auto& r : reports) {
      EXPECT_EQ(r["name"].asString(), c.name);
      const std::string query = r["query"].asString();
      EXPECT_NE(query.find("&name=" + c.queryName), std::string::npos) << query;
    }
  }
}

TEST_F(ReportTest, PageOpensAfterTheFirstAcceptedReportOnly) {
  struct Case {
    const char* knobs;          // reports the service refuses
    std::vector<int> seenAtOpen;  // report requests counted when the page opened; empty: never opened
    size_t recorded;
  };
  const std::vector<Case> cases = {
      {"", {1}, 3},
      {"report_status=500&report_count=1", {2}, 2},  // opens after the pass report instead
      {"report_status=404&report_count=2", {}, 1},   // the last report's answer is never looked at
      {"report_status=503&report_count=3", {}, 0},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.knobs);
    ReportPlatform platform(m_service);
    const std::string uuid = "11111111-2222-4333-8444-00000000000" + std::to_string(i);
    platform.fake().SetFixedUuid(uuid);
    m_service.Reset();
    if (*c.knobs) {
      ASSERT_TRUE(m_service.SetKnobs(c.knobs));
    }
    FakeUpload upload(5);
    Report(upload, "page.bin", &platform);
    EXPECT_EQ(platform.ReportsSeenAtOpen(), c.seenAtOpen);
    EXPECT_EQ(platform.fake().OpenedUrls().size(), c.seenAtOpen.size());
    EXPECT_EQ(m_service.Reports(uuid)["reports"].size(), c.recorded);
    EXPECT_EQ(m_service.Stats()["report"].asInt(), 3);
  }
}

TEST_F(ReportTest, PausedTaskWaitsTwoSecondsBeforeItsPass) {
  FakeUpload upload(1000, m_service.BaseUrl() + "/f/p");
  upload.paused = true;
  Report(upload, "paused.bin");
  EXPECT_EQ(m_platform.fake().Sleeps(), std::vector<uint32_t>{2000});
  EXPECT_EQ(Queries().size(), 3u);
}

TEST_F(ReportTest, CancelWhileTheUploadRunsEndsWithoutTheLastReport) {
  FakeUpload upload(1000);
  upload.finished = false;
  upload.cancelled = true;
  Report(upload, "cancel.bin");
  const auto queries = Queries();
  ASSERT_EQ(queries.size(), 2u);  // the first report and one pass
  EXPECT_EQ(queries[1], "filesize=1000&uploaded=0&speed=0&name=cancel.bin");
}

TEST_F(ReportTest, UnfinishedTaskPassesEverySecondUntilItFinishes) {
  FakeUpload upload(1000);
  upload.finished = false;
  std::atomic<bool> stop{false};
  // Sleeps only advance the manual clock, so the loop runs as fast as the
  // service answers; finish the task once a few passes have gone by.
  std::thread finisher([&] {
    for (int i = 0; i < 2000 && !stop; ++i) {
      if (m_platform.fake().Sleeps().size() >= 3) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    upload.finished = true;
  });
  Report(upload, "slow.bin");
  stop = true;
  finisher.join();
  const auto sleeps = m_platform.fake().Sleeps();
  ASSERT_GE(sleeps.size(), 3u);
  for (uint32_t ms : sleeps) EXPECT_EQ(ms, 1000u);
  const auto queries = Queries();
  ASSERT_EQ(queries.size(), sleeps.size() + 3);  // first, one pass per sleep and one more, last
  EXPECT_EQ(queries.back(), "filesize=1000&uploaded=1000&speed=0&name=slow.bin");
  EXPECT_EQ(m_platform.fake().OpenedUrls().size(), 1u);
}

TEST_F(ReportTest, SendReportValues) {
  const std::string receive = MakeReportPages(m_service.BaseUrl(), kUuid).receivePageUrl;
  struct Case {
    int32_t percent;
    uint64_t fileSize;
    int32_t speed;
    std::string urlText;
    std::string query;
  };
  const std::vector<Case> cases = {
      {99, 1000, 3, "http://h/f", "filesize=1000&uploaded=990&speed=3072&name=v.bin"},  // no url below 100
      {100, 1000, 0, "http://h/f", "filesize=1000&uploaded=1000&speed=0&name=v.bin&url=http%3a%2f%2fh%2ff"},
      {100, 1000, 0, "", "filesize=1000&uploaded=1000&speed=0&name=v.bin"},
      {33, 7, 0, "", "filesize=7&uploaded=2&speed=0&name=v.bin"},  // a share of the size, truncated
      // Large sizes must not overflow on the way to the share.
      {99, 4611686018427387904ull, 0, "", "filesize=4611686018427387904&uploaded=4565569158243114024&speed=0&name=v.bin"},
      // 4 GiB/s: bytes per second do not fit 32 bits.
      {50, 10, 4194304, "", "filesize=10&uploaded=5&speed=4294967296&name=v.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    ReportValues values;
    values.percent = c.percent;
    values.fileSize = c.fileSize;
    values.speedKiB = c.speed;
    values.resultUrl = c.urlText;
    const size_t before = Queries().size();
    EXPECT_EQ(SendReport(receive, "v.bin", values), 0);
    const auto queries = Queries();
    ASSERT_EQ(queries.size(), before + 1);
    EXPECT_EQ(queries.back(), c.query);
  }
  // A refused report is -1.
  ASSERT_TRUE(m_service.SetKnobs("report_status=500&report_count=1"));
  EXPECT_EQ(SendReport(receive, "v.bin", ReportValues{}), -1);
}

// A whole upload through the registry: the reports follow the real result.
TEST_F(ReportTest, RealUploadReportsItsResultUrl) {
  TempDir dir;
  const std::string bytes(5 * 1024 * 1024 + 17, 'r');
  const std::string path = dir.WriteFile("real upload.bin", bytes);
  CTaskRegistry registry(m_platform, Endpoints{m_service.HostPort(), m_service.BaseUrl()});
  uint32_t id = 0;
  ASSERT_EQ(registry.AddTask(U16(path), &id, 0), 0);
  UploadInfo info;
  ASSERT_EQ(registry.GetInfo(id, &info), 0);
  const std::string resultUrl = chunkup_slot_text(&info.urlText);
  ASSERT_FALSE(resultUrl.empty()) << "state " << info.state;

  const Json::Value reports = Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0]["filesize"].asString(), std::to_string(bytes.size()));
  EXPECT_EQ(reports[0]["uploaded"].asString(), "0");
  EXPECT_FALSE(reports[0].isMember("url"));
  for (int i : {1, 2}) {
    EXPECT_EQ(reports[i]["uploaded"].asString(), std::to_string(bytes.size()));
    EXPECT_EQ(reports[i]["name"].asString(), "real upload.bin");
    EXPECT_EQ(reports[i]["url"].asString(), resultUrl);
  }
  EXPECT_EQ(m_service.Get(resultUrl), bytes);
  EXPECT_EQ(m_platform.fake().OpenedUrls(), std::vector<std::u16string>{PageUrl()});
}

}  // namespace
}  // namespace chunkup::testing
