// A few uploads through the shared library's five exports, loaded with dlopen
// as a host loads it. The service runs on a free port, and the library is sent
// there the way a host would send it: through CHUNKUP_FILE_SERVICE_HOST and
// CHUNKUP_WEB_BASE_URL, read when each task starts. (The e2e host covers the
// build's own address.)
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "chunkup.h"
#include "tests/protocol/upload_harness.h"
#include "tests/support/service_process.h"

namespace chunkup::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct Exports {
  decltype(&::UploadFile) upload = nullptr;
  decltype(&::GetUploadInfo) info = nullptr;
  decltype(&::CancelUpload) cancel = nullptr;
  decltype(&::PauseUpload) pause = nullptr;
  decltype(&::RestartUpload) restart = nullptr;
};

class ThroughExports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      s_service = new ServiceProcess();
    } catch (const std::exception& error) {
      s_skipReason = std::string("the service did not start: ") + error.what();
      return;
    }
    ::setenv("CHUNKUP_FILE_SERVICE_HOST", s_service->HostPort().c_str(), 1);
    ::setenv("CHUNKUP_WEB_BASE_URL", s_service->BaseUrl().c_str(), 1);
    ::setenv("CHUNKUP_OPEN_PAGE", "0", 1);  // the report still goes out; no browser starts
    s_library = dlopen(CHUNKUP_TEST_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (s_library == nullptr) {
      s_skipReason = std::string("dlopen failed: ") + dlerror();
      return;
    }
    s_exports.upload = reinterpret_cast<decltype(&::UploadFile)>(dlsym(s_library, "UploadFile"));
    s_exports.info = reinterpret_cast<decltype(&::GetUploadInfo)>(dlsym(s_library, "GetUploadInfo"));
    s_exports.cancel = reinterpret_cast<decltype(&::CancelUpload)>(dlsym(s_library, "CancelUpload"));
    s_exports.pause = reinterpret_cast<decltype(&::PauseUpload)>(dlsym(s_library, "PauseUpload"));
    s_exports.restart = reinterpret_cast<decltype(&::RestartUpload)>(dlsym(s_library, "RestartUpload"));
  }
  static void TearDownTestSuite() {
    // The library stays loaded: its registry lives for the whole process.
    delete s_service;
    s_service = nullptr;
  }
  void SetUp() override {
    if (!s_skipReason.empty()) GTEST_SKIP() << s_skipReason;
    ASSERT_TRUE(s_exports.upload && s_exports.info && s_exports.cancel && s_exports.pause && s_exports.restart);
    s_service->Reset();
  }

  // Identifiers count up from 1 in this process, so the next task's is known
  // before its blocking UploadFile returns.
  struct Upload {
    Upload(const std::string& path) : id(++s_lastId) {
      thread = std::thread([this, wide = U16(path)] {
        uint32_t written = 0;
        result = s_exports.upload(reinterpret_cast<const chunkup_char16*>(wide.c_str()), &written, 0);
        returnedId = written;
        done = true;
      });
    }
    ~Upload() {
      if (!done) s_exports.cancel(id), s_exports.restart(id);
      thread.join();
    }
    bool Wait() { return WaitFor([this] { return done.load(); }, seconds(60)); }
    UploadInfo Info() const {
      UploadInfo info;
      s_exports.info(id, &info);
      return info;
    }
    const uint32_t id;
    std::atomic<bool> done{false};
    std::atomic<int32_t> result{-2};
    std::atomic<uint32_t> returnedId{0};
    std::thread thread;
  };

  void ExpectDone(const Upload& upload, const std::string& bytes) {
    EXPECT_EQ(upload.result.load(), 0);
    EXPECT_EQ(upload.returnedId.load(), upload.id);
    const UploadInfo info = upload.Info();
    EXPECT_EQ(info.state, UPLOAD_STATE_OK);
    EXPECT_EQ(info.percent, 100);
    EXPECT_EQ(info.fileSize, bytes.size());
    EXPECT_NE(info.url[0], 0);
    long status = 0;
    const std::string stored = s_service->Get(chunkup_slot_text(&info.urlText), &status);
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(stored == bytes) << "downloaded bytes differ from the file";
  }

  int64_t Stat(const char* name) { return s_service->Stats()[name].asInt64(); }

  TempDir dir;
  static inline std::string s_skipReason;
  static inline ServiceProcess* s_service = nullptr;
  static inline void* s_library = nullptr;
  static inline Exports s_exports;
  static inline uint32_t s_lastId = 0;
};

TEST_F(ThroughExports, UploadThenTheSameContentAgain) {
  const std::string bytes = RandomBytes(size_t{kChunk} + 1);
  {
    Upload upload(dir.WriteFile("first.bin", bytes));
    ASSERT_TRUE(upload.Wait());
    ExpectDone(upload, bytes);
    EXPECT_EQ(Stat("put"), 2);
  }
  s_service->Reset();
  Upload again(dir.WriteFile("second.bin", bytes));
  ASSERT_TRUE(again.Wait());
  ExpectDone(again, bytes);
  EXPECT_EQ(Stat("put"), 0);
  EXPECT_EQ(Stat("commit"), 0);
  const UploadInfo info = again.Info();
  EXPECT_STRNE(chunkup_slot_text(&info.linkid), "");
}

TEST_F(ThroughExports, PauseHoldsTheTransferUntilRestart) {
  const std::string bytes = RandomBytes(3 * size_t{kChunk});
  ASSERT_TRUE(s_service->SetKnobs("delay_ms=400"));
  Upload upload(dir.WriteFile("paused.bin", bytes));
  ASSERT_TRUE(WaitFor([&] { return Stat("put") >= 1; }, seconds(30), milliseconds(10)));
  EXPECT_EQ(s_exports.pause(upload.id), 0);
  std::this_thread::sleep_for(milliseconds(1200));  // the PUT in flight ends meanwhile
  const int64_t puts = Stat("put");
  std::this_thread::sleep_for(milliseconds(1200));
  EXPECT_EQ(Stat("put"), puts);
  EXPECT_LT(puts, 3);
  EXPECT_EQ(upload.Info().speed, 0);

  s_service->Reset();  // no more delays
  EXPECT_EQ(s_exports.restart(upload.id), 0);
  ASSERT_TRUE(upload.Wait());
  ExpectDone(upload, bytes);
}

TEST_F(ThroughExports, CancelThenUploadAgainSendsOnlyWhatIsMissing) {
  const std::string bytes = RandomBytes(4 * size_t{kChunk});
  const std::string path = dir.WriteFile("resume.bin", bytes);
  ASSERT_TRUE(s_service->SetKnobs("delay_ms=300"));
  int64_t storedBefore = 0;
  {
    Upload upload(path);
    ASSERT_TRUE(WaitFor([&] { return Stat("put_stored") >= 1; }, seconds(30), milliseconds(20)));
    EXPECT_EQ(s_exports.cancel(upload.id), 0);
    ASSERT_TRUE(upload.Wait());
    storedBefore = Stat("put_stored");
    EXPECT_NE(upload.Info().state, UPLOAD_STATE_OK);  // the service could not commit a partial file
  }
  ASSERT_LT(storedBefore, 4);
  s_service->Reset();
  Upload again(path);  // the cancelled task makes way for a new one
  ASSERT_TRUE(again.Wait());
  ExpectDone(again, bytes);
  EXPECT_EQ(Stat("put"), 4 - storedBefore);
}

}  // namespace
}  // namespace chunkup::testing
