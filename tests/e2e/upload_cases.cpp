// The end-to-end cases every host runs (see upload_cases.h). Each case writes
// a file, uploads it through the exports, downloads the result from the
// service and compares it byte for byte, and checks that the completion
// report reached the web site and that the upload page was opened once.
#include "tests/e2e/upload_cases.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/e2e/service_client.h"
#include "tests/support/random_bytes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace chunkup::testing {

E2eSetting& Setting() {
  static E2eSetting setting;
  return setting;
}

uint32_t ClaimNextTaskId() {
  static std::atomic<uint32_t> lastId{0};
  return ++lastId;
}

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr size_t kChunk = 4194304;

enum class Scenario {
  kFreshUpload,       // new bytes: every chunk is sent, then the commit
  kAlreadyHeld,       // the same bytes again under another name: the service answers 409
  kMissingFile,       // no file at the path
  kPauseAndRestart,   // paused while a chunk PUT is in flight, then let go on
  kCancelAndUploadAgain,  // cancelled while a chunk PUT is in flight, then the path uploaded anew
};

// How the path handed to UploadFile is written.
enum class PathForm {
  kNative,          // the OS's own separators: backslashes on Windows
  kForwardSlashes,  // '/' throughout (Windows accepts it too)
};

struct UploadCase {
  const char* name;
  Scenario scenario;
  const char16_t* folders;  // below the scratch directory, '/'-separated; may be empty
  const char16_t* fileName;
  size_t size;
  PathForm form = PathForm::kNative;
};

const UploadCase kCases[] = {
    {"EmptyFile", Scenario::kFreshUpload, u"", u"empty.bin", 0},
    {"OneByte", Scenario::kFreshUpload, u"", u"one.bin", 1},
    {"OneChunkAndOneByte", Scenario::kFreshUpload, u"", u"chunk-and-one.bin", kChunk + 1},
    {"FortyMebibytes", Scenario::kFreshUpload, u"", u"forty.bin", 40 * 1024 * 1024 + 17},
    {"CyrillicAndEmojiName", Scenario::kFreshUpload, u"", u"\u041e\u0442\u0447\u0451\u0442 \U0001F4C4.bin", 3000},
    {"NestedFoldersNativeSeparators", Scenario::kFreshUpload, u"first folder/\u043f\u0430\u043f\u043a\u0430", u"nested.bin", 5000},
    {"NestedFoldersForwardSlashes", Scenario::kFreshUpload, u"forward/slashes", u"slashes.bin", 5000,
     PathForm::kForwardSlashes},
    {"AlreadyHeldByTheService", Scenario::kAlreadyHeld, u"", u"held.bin", kChunk + 5},
    {"MissingFile", Scenario::kMissingFile, u"", u"missing.bin", 0},
    {"PauseAndRestartWithAChunkInFlight", Scenario::kPauseAndRestart, u"", u"paused.bin", 3 * kChunk},
    {"CancelWithAChunkInFlightThenUploadAgain", Scenario::kCancelAndUploadAgain, u"", u"cancelled.bin", 4 * kChunk},
};

std::string Utf8Of(const std::u16string& text) {
  const std::u8string utf8 = std::filesystem::path(text).u8string();
  return std::string(utf8.begin(), utf8.end());
}

// The URL as UTF-16 code units; the service's URLs are ASCII.
std::u16string WidenAscii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

bool IsAllZero(const UploadInfo& info) {
  UploadInfo zero;
  std::memset(&zero, 0, sizeof zero);
  return std::memcmp(&info, &zero, sizeof info) == 0;
}

const UploadExports& X() { return Setting().exports; }

// One UploadFile call on a thread of its own, so the case can watch and steer
// the task while the call blocks.
class Upload {
 public:
  explicit Upload(std::u16string path) : id(ClaimNextTaskId()), m_path(std::move(path)) {
    m_thread = std::thread([this] {
      uint32_t written = 0;
      result = X().upload(reinterpret_cast<const chunkup_char16*>(m_path.c_str()), &written, 0);
      returnedId = written;
      done = true;
    });
  }
  ~Upload() {
    // A case that gave up must not leave the call blocked.
    if (!done) X().cancel(id), X().restart(id);
    m_thread.join();
  }
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  bool Wait(milliseconds limit = seconds(180)) { return WaitFor([this] { return done.load(); }, limit); }
  UploadInfo Info() const {
    UploadInfo info;
    std::memset(&info, 0xA5, sizeof info);  // the export must zero what it does not fill
    EXPECT_EQ(X().info(id, &info), 0);
    return info;
  }

  const uint32_t id;
  std::atomic<bool> done{false};
  std::atomic<int32_t> result{-2};
  std::atomic<uint32_t> returnedId{0};

 private:
  const std::u16string m_path;
  std::thread m_thread;
};

// One row of the table as a test (registered below).
class UploadCaseTest : public ::testing::Test {
 public:
  explicit UploadCaseTest(const UploadCase& c) : m_case(c) {}

  void TestBody() override {
    switch (m_case.scenario) {
      case Scenario::kFreshUpload: return RunFreshUpload(m_case);
      case Scenario::kAlreadyHeld: return RunAlreadyHeld(m_case);
      case Scenario::kMissingFile: return RunMissingFile(m_case);
      case Scenario::kPauseAndRestart: return RunPauseAndRestart(m_case);
      case Scenario::kCancelAndUploadAgain: return RunCancelAndUploadAgain(m_case);
    }
  }

 protected:
  void SetUp() override {
    const E2eSetting& setting = Setting();
    if (!setting.unavailable.empty()) {
      if (setting.skipWhenUnavailable) GTEST_SKIP() << setting.unavailable;
      FAIL() << setting.unavailable;
    }
    ASSERT_TRUE(X().upload && X().info && X().cancel && X().pause && X().restart);
    ASSERT_TRUE(m_service.Answers()) << "no service at " << m_service.BaseUrl();
    m_service.Reset();
  }

  // Writes the case's file (unless `write` is false) and returns the path to
  // hand to UploadFile, in the case's form.
  std::u16string MakeFile(const UploadCase& c, const std::u16string& fileName, const std::string& bytes,
                          bool write = true) {
    std::filesystem::path folder = m_dir.path();
    std::u16string folders = c.folders;
    for (size_t start = 0; start < folders.size();) {
      size_t slash = folders.find(u'/', start);
      if (slash == std::u16string::npos) slash = folders.size();
      folder /= std::filesystem::path(folders.substr(start, slash - start));
      start = slash + 1;
    }
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / std::filesystem::path(fileName);
    if (write) {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      EXPECT_TRUE(out.good()) << "cannot write the case's file";
    }
    const std::u16string path = c.form == PathForm::kForwardSlashes ? file.generic_u16string() : file.u16string();
    // On Windows the native form is the backslash one: make sure each form is what it says.
    const char16_t other = c.form == PathForm::kForwardSlashes ? u'\\' : (std::filesystem::path::preferred_separator == '/' ? u'\\' : u'/');
    EXPECT_EQ(path.find(other), std::u16string::npos) << "the path mixes separators";
    return path;
  }

  std::vector<std::string> OpenedPages() const {
    std::vector<std::string> pages;
    std::ifstream in(Setting().openedPages);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) pages.push_back(line);
    return pages;
  }

  std::string UploadPagePrefix() const { return m_service.BaseUrl() + "/g/upload/"; }

  // The opened pages (one entry per opening) whose upload's last report names
  // `fileName` and, when `resultUrl` is not empty, carries that URL. Pages of
  // other uploads, also late ones from an earlier case, do not match.
  std::vector<std::string> PagesOf(const std::u16string& fileName, const std::string& resultUrl) const {
    const std::string prefix = UploadPagePrefix();
    std::vector<std::string> matching;
    for (const std::string& page : OpenedPages()) {
      EXPECT_EQ(page.rfind(prefix, 0), 0u) << "only the web site's upload pages are opened: " << page;
      if (page.rfind(prefix, 0) != 0) continue;
      const Json::Value reports = m_service.Reports(page.substr(prefix.size()))["reports"];
      if (reports.size() == 0) continue;
      const Json::Value& last = reports[reports.size() - 1];
      if (last["name"].asString() != Utf8Of(fileName)) continue;
      if (!resultUrl.empty() && last["url"].asString() != resultUrl) continue;
      matching.push_back(page);
    }
    return matching;
  }

  // Each opened page with the name and URL its last report gave, for failure messages.
  std::string DescribeOpenedPages() const {
    const std::string prefix = UploadPagePrefix();
    std::string text;
    for (const std::string& page : OpenedPages()) {
      const Json::Value reports = m_service.Reports(page.substr(std::min(page.size(), prefix.size())))["reports"];
      const Json::Value last = reports.size() ? reports[reports.size() - 1] : Json::Value();
      text += "\n  " + page + " name=\"" + last["name"].asString() + "\" url=\"" + last["url"].asString() + "\"";
    }
    return text.empty() ? "none" : text;
  }

  int64_t Stat(const char* name) const { return m_service.Stats()[name].asInt64(); }

  // Everything a host sees of an upload that went well. Returns the result URL.
  std::string ExpectUploaded(Upload& upload, const std::string& bytes, const std::u16string& fileName) {
    EXPECT_EQ(upload.result.load(), 0);
    EXPECT_EQ(upload.returnedId.load(), upload.id);
    const UploadInfo info = upload.Info();
    std::string resultUrl;
    if (bytes.empty()) {
      EXPECT_TRUE(IsAllZero(info)) << "an empty file's record stays all zero";
    } else {
      EXPECT_EQ(info.state, UPLOAD_STATE_OK);
      EXPECT_EQ(info.percent, 100);
      EXPECT_EQ(info.speed, 0);
      EXPECT_EQ(info.reserved, 0);
      EXPECT_EQ(info.fileSize, bytes.size());
      resultUrl = chunkup_slot_text(&info.urlText);
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.url)), WidenAscii(resultUrl));
    }

    // The page is opened once, after the first report the web site accepted;
    // the stand-in browser may run a moment after UploadFile returned.
    EXPECT_TRUE(WaitFor([&] { return !PagesOf(fileName, resultUrl).empty(); }, seconds(30), milliseconds(200)))
        << "no upload page was opened for " << Utf8Of(fileName) << "; opened: " << DescribeOpenedPages();
    std::this_thread::sleep_for(milliseconds(500));
    const std::vector<std::string> pages = PagesOf(fileName, resultUrl);
    EXPECT_EQ(pages.size(), 1u) << "the upload page must be opened exactly once";
    if (pages.empty()) return resultUrl;
    const std::string uuid = pages[0].substr(UploadPagePrefix().size());
    EXPECT_EQ(uuid.size(), 36u) << pages[0];

    // The completion report reached the web site; its last one names the
    // file by its last path component and carries the result URL.
    const Json::Value reports = m_service.Reports(uuid)["reports"];
    EXPECT_GE(reports.size(), 1u) << "no completion report for page " << uuid;
    if (reports.size() == 0) return resultUrl;
    const Json::Value& last = reports[reports.size() - 1];
    EXPECT_EQ(last["name"].asString(), Utf8Of(fileName));
    EXPECT_EQ(last["filesize"].asString(), std::to_string(bytes.size()));
    if (resultUrl.empty()) resultUrl = last["url"].asString();  // an empty file's URL is only reported
    EXPECT_EQ(last["url"].asString(), resultUrl);

    long status = 0;
    const std::string stored = m_service.Get(resultUrl, &status);
    EXPECT_EQ(status, 200) << resultUrl;
    EXPECT_EQ(stored.size(), bytes.size());
    EXPECT_TRUE(stored == bytes) << "the downloaded bytes differ from the file";
    return resultUrl;
  }

  void RunFreshUpload(const UploadCase& c) {
    const std::string bytes = RandomBytes(c.size);
    const std::u16string path = MakeFile(c, c.fileName, bytes);
    Upload upload(path);
    ASSERT_TRUE(upload.Wait());
    ExpectUploaded(upload, bytes, c.fileName);
    EXPECT_EQ(Stat("prepare"), 1);
    EXPECT_EQ(Stat("put"), static_cast<int64_t>((c.size + kChunk - 1) / kChunk));
    EXPECT_EQ(Stat("commit"), 1);
  }

  void RunAlreadyHeld(const UploadCase& c) {
    const std::string bytes = RandomBytes(c.size);
    const std::u16string first = u"first-" + std::u16string(c.fileName);
    {
        Upload upload(MakeFile(c, first, bytes));
      ASSERT_TRUE(upload.Wait());
      ExpectUploaded(upload, bytes, first);
    }
    m_service.Reset();
    Upload again(MakeFile(c, c.fileName, bytes));
    ASSERT_TRUE(again.Wait());
    const std::string url = ExpectUploaded(again, bytes, c.fileName);
    EXPECT_EQ(Stat("put"), 0);
    EXPECT_EQ(Stat("commit"), 0);
    const UploadInfo info = again.Info();
    const std::string linkId = chunkup_slot_text(&info.linkid);
    EXPECT_NE(linkId, "") << "a held file reports the service's link id";
    EXPECT_NE(url.find(linkId), std::string::npos) << url;
  }

  void RunMissingFile(const UploadCase& c) {
    const std::u16string path = MakeFile(c, c.fileName, std::string(), /*write=*/false);
    Upload upload(path);
    ASSERT_TRUE(upload.Wait(seconds(10))) << "UploadFile for a missing file returns at once";
    EXPECT_EQ(upload.result.load(), 0);
    EXPECT_EQ(upload.returnedId.load(), upload.id);
    EXPECT_TRUE(IsAllZero(upload.Info()));
    // The task stays registered: the same path hands back the same identifier.
    uint32_t again = 0;
    EXPECT_EQ(X().upload(reinterpret_cast<const chunkup_char16*>(path.c_str()), &again, 0), 0);
    EXPECT_EQ(again, upload.id);
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(Stat("prepare"), 0);
    EXPECT_TRUE(PagesOf(c.fileName, std::string()).empty()) << "nothing was uploaded, so no page is shown";
  }

  void RunPauseAndRestart(const UploadCase& c) {
    const std::string bytes = RandomBytes(c.size);
    const std::u16string path = MakeFile(c, c.fileName, bytes);
    ASSERT_TRUE(m_service.SetKnobs("delay_ms=400"));
    Upload upload(path);
    ASSERT_TRUE(WaitFor([&] { return Stat("put") >= 1; }, seconds(60), milliseconds(10)));
    EXPECT_EQ(X().pause(upload.id), 0);
    std::this_thread::sleep_for(milliseconds(1200));  // the PUT in flight ends meanwhile
    const int64_t puts = Stat("put");
    const int32_t percent = upload.Info().percent;
    std::this_thread::sleep_for(milliseconds(1200));
    EXPECT_EQ(Stat("put"), puts) << "no PUT starts while the task is paused";
    EXPECT_LT(puts, 3);
    const UploadInfo paused = upload.Info();
    EXPECT_EQ(paused.speed, 0);
    EXPECT_EQ(paused.percent, percent);
    EXPECT_FALSE(upload.done.load());

    m_service.Reset();  // no more delays
    EXPECT_EQ(X().restart(upload.id), 0);
    ASSERT_TRUE(upload.Wait());
    ExpectUploaded(upload, bytes, c.fileName);
  }

  void RunCancelAndUploadAgain(const UploadCase& c) {
    const std::string bytes = RandomBytes(c.size);
    const std::u16string path = MakeFile(c, c.fileName, bytes);
    ASSERT_TRUE(m_service.SetKnobs("delay_ms=300"));
    int64_t storedBefore = 0;
    {
      Upload upload(path);
      ASSERT_TRUE(WaitFor([&] { return Stat("put_stored") >= 1; }, seconds(60), milliseconds(20)));
      EXPECT_EQ(X().cancel(upload.id), 0);
      ASSERT_TRUE(upload.Wait());
      storedBefore = Stat("put_stored");
      EXPECT_NE(upload.Info().state, UPLOAD_STATE_OK) << "the service cannot commit a partial file";
    }
    ASSERT_LT(storedBefore, 4);
    m_service.Reset();
    Upload again(path);  // the cancelled task makes way for a new one
    ASSERT_TRUE(again.Wait());
    ExpectUploaded(again, bytes, c.fileName);
    EXPECT_EQ(Stat("put"), 4 - storedBefore) << "only the chunks the service lacks are sent";
  }

  const UploadCase m_case;
  ServiceClient m_service{Setting().serviceBaseUrl};
  TempDir m_dir;
};

// Each row becomes the test UploadCases.<name>.
const bool kCasesRegistered = [] {
  for (const UploadCase& c : kCases) {
    ::testing::RegisterTest("UploadCases", c.name, nullptr, nullptr, __FILE__, __LINE__,
                            [&c]() -> ::testing::Test* { return new UploadCaseTest(c); });
  }
  return true;
}();

// Rejected arguments give -1 and start nothing; an unknown identifier is no
// error. None of these issues a task identifier.
TEST(ExportArguments, RejectedAndUnknown) {
  const E2eSetting& setting = Setting();
  if (!setting.unavailable.empty()) {
    if (setting.skipWhenUnavailable) GTEST_SKIP() << setting.unavailable;
    FAIL() << setting.unavailable;
  }
  uint32_t id = 77;
  const chunkup_char16 empty[1] = {0};
  EXPECT_EQ(X().upload(nullptr, &id, 0), -1);
  EXPECT_EQ(X().upload(empty, nullptr, 0), -1);
  EXPECT_EQ(X().upload(empty, &id, 0), 0);
  EXPECT_EQ(id, 77u) << "an empty path registers nothing";
  UploadInfo info;
  EXPECT_EQ(X().info(0, &info), -1);
  EXPECT_EQ(X().info(1, nullptr), -1);
  std::memset(&info, 0xA5, sizeof info);
  EXPECT_EQ(X().info(0xFFFFFFF0u, &info), 0);
  EXPECT_TRUE(IsAllZero(info));
  for (auto control : {X().cancel, X().pause, X().restart}) {
    EXPECT_EQ(control(0), -1);
    EXPECT_EQ(control(0xFFFFFFF0u), 0);
  }
}

}  // namespace
}  // namespace chunkup::testing
