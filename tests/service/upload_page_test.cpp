// The upload page as people see it: rendered by real headless Chromium after
// the reports the library sends, script included.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/service/service_test_util.h"

namespace chunkup::testing {
namespace {

const char* kChromium = "/usr/bin/chromium";

// The page's DOM after its script has run (a virtual-time budget lets the
// status poll finish), or "" when Chromium failed.
std::string RenderedDom(const std::string& url) {
  std::string base = std::filesystem::temp_directory_path().string() + "/chunkup-chromium-XXXXXX";
  std::vector<char> pattern(base.begin(), base.end());
  pattern.push_back('\0');
  if (!::mkdtemp(pattern.data())) return "";
  const std::string profile = pattern.data();
  const std::string command = std::string("timeout 90 ") + kChromium +
                              " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                              " --disable-background-networking --disable-component-update --disable-sync"
                              " --user-data-dir='" + profile + "' --virtual-time-budget=3000 --dump-dom '" + url +
                              "' 2>/dev/null";
  std::string dom;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) dom.append(buffer, n);
    ::pclose(pipe);
  }
  std::error_code ec;
  std::filesystem::remove_all(profile, ec);
  return dom;
}

// Text of the element with this id (its first child text, enough for these pages).
std::string ElementText(const std::string& dom, const std::string& id) {
  size_t at = dom.find("id=\"" + id + "\"");
  if (at == std::string::npos) return "<missing>";
  size_t start = dom.find('>', at);
  size_t end = dom.find('<', start);
  return dom.substr(start + 1, end - start - 1);
}

class UploadPage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed";
  }
  void Report(const std::string& uuid, const std::string& query) {
    long status = 0;
    m_service.Post("/g/receive/" + uuid + "?" + query, "null\n", &status);
    ASSERT_EQ(status, 200) << query;
  }
  std::string Page(const std::string& uuid) { return RenderedDom(m_service.BaseUrl() + "/g/upload/" + uuid); }

  ServiceProcess m_service;
};

TEST_F(UploadPage, FollowsAnUploadFromFirstReportToResultLink) {
  const std::string uuid = "1b4e28ba-2d6f-4a2c-9f1b-3c2e6a7d8f90";
  Report(uuid, "filesize=10485760&uploaded=0&speed=0&name=holiday+photos+%c3%a9t%c3%a9.zip");
  Report(uuid, "filesize=10485760&uploaded=4404019&speed=1258291&name=holiday+photos+%c3%a9t%c3%a9.zip");
  std::string during = Page(uuid);
  ASSERT_FALSE(during.empty()) << "Chromium gave no DOM";
  EXPECT_NE(during.find("data-polled"), std::string::npos) << "the page script did not run";
  EXPECT_EQ(ElementText(during, "name"), "holiday photos \xc3\xa9t\xc3\xa9.zip");
  EXPECT_EQ(ElementText(during, "percent"), "41%");
  EXPECT_EQ(ElementText(during, "size"), "10.0 MiB");
  EXPECT_EQ(ElementText(during, "speed"), "1.20 MiB/s");
  EXPECT_EQ(during.find("id=\"result-link\""), std::string::npos);

  const std::string url = "http://127.0.0.1:8642/f/0123abcd/holiday%20photos.zip";
  Report(uuid, "filesize=10485760&uploaded=10485760&speed=0&name=holiday+photos+%c3%a9t%c3%a9.zip&url=" +
                   std::string("http%3a%2f%2f127.0.0.1%3a8642%2ff%2f0123abcd%2fholiday%2520photos.zip"));
  std::string after = Page(uuid);
  EXPECT_EQ(ElementText(after, "percent"), "100%");
  EXPECT_EQ(ElementText(after, "state"), "Upload complete.");
  EXPECT_NE(after.find("id=\"result-link\" href=\"" + url + "\""), std::string::npos) << after;
}

TEST_F(UploadPage, SaysSoForAFailedOrUnknownUpload) {
  const std::string failed = "2c5f39cb-3e70-4b3d-8a2c-4d3f7b8e9fa1";
  Report(failed, "filesize=1000&uploaded=0&speed=0&name=a.txt");
  Report(failed, "filesize=1000&uploaded=1000&speed=0&name=a.txt");  // last report, no URL
  std::string dom = Page(failed);
  EXPECT_EQ(ElementText(dom, "state"), "The upload did not finish: no file was stored.");
  EXPECT_EQ(dom.find("id=\"result-link\""), std::string::npos);

  std::string unknown = Page("3d6a4adc-4f81-4c4e-9b3d-5e4a8c9fab02");
  EXPECT_EQ(ElementText(unknown, "state"), "No report has arrived for this upload yet.");
}

TEST_F(UploadPage, NameAndUrlFromReportsCannotInjectMarkupOrScript) {
  const std::string uuid = "4e7b5bed-5a92-4d5f-8c4e-6f5b9daebc13";
  // name <img src=x onerror=document.title='owned'>, url javascript:alert(1)
  Report(uuid, "filesize=5&uploaded=5&speed=0&name=%3cimg+src%3dx+onerror%3ddocument.title%3d%27owned%27%3e"
               "&url=javascript%3aalert(1)");
  std::string dom = Page(uuid);
  EXPECT_EQ(ElementText(dom, "name"), "&lt;img src=x onerror=document.title='owned'&gt;");
  EXPECT_EQ(dom.find("<img"), std::string::npos);
  EXPECT_EQ(dom.find("owned</title>"), std::string::npos);
  EXPECT_EQ(dom.find("id=\"result-link\""), std::string::npos);
}

}  // namespace
}  // namespace chunkup::testing
