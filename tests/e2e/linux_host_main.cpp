// The Linux host of the end-to-end cases: loads the shared library with
// dlopen, as a host program does, and runs the reference service on the
// library's build-time address. When that port is taken (another test run on
// this machine), the cases are skipped.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/e2e/upload_cases.h"
#include "tests/support/loopback_port.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_dir.h"

namespace chunkup::testing {
namespace {

class LinuxHost : public ::testing::Environment {
 public:
  void SetUp() override {
    E2eSetting& setting = Setting();
    setting.skipWhenUnavailable = true;
    setting.serviceBaseUrl = CHUNKUP_TEST_WEB_BASE_URL;
    const int port = LoopbackPortOf(CHUNKUP_TEST_FILE_SERVICE_HOST);
    if (port == 0) {
      setting.unavailable = "the library is built for " CHUNKUP_TEST_FILE_SERVICE_HOST ", not a loopback port";
      return;
    }
    if (!PortIsFree(port)) {
      setting.unavailable = "127.0.0.1:" + std::to_string(port) + " is in use; the library can reach no other port";
      return;
    }
    // The library shows the upload page with xdg-open; this stand-in records
    // the address instead of starting a browser.
    setting.openedPages = m_scratch.path() / "opened-pages.txt";
    const std::filesystem::path bin = m_scratch.path() / "bin";
    std::filesystem::create_directories(bin);
    {
      std::ofstream opener(bin / "xdg-open");
      opener << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << setting.openedPages.string() << "'\n";
    }
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (bin.string() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);

    try {
      m_service = std::make_unique<ServiceProcess>(std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(port)});
    } catch (const std::exception& error) {
      setting.unavailable = std::string("the service did not start on the library's port: ") + error.what();
      return;
    }
    // Stays loaded: the library's registry lives for the whole process.
    void* library = ::dlopen(CHUNKUP_TEST_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      setting.unavailable = std::string("dlopen failed: ") + ::dlerror();
      return;
    }
    UploadExports& x = setting.exports;
    x.upload = reinterpret_cast<decltype(x.upload)>(::dlsym(library, "UploadFile"));
    x.info = reinterpret_cast<decltype(x.info)>(::dlsym(library, "GetUploadInfo"));
    x.cancel = reinterpret_cast<decltype(x.cancel)>(::dlsym(library, "CancelUpload"));
    x.pause = reinterpret_cast<decltype(x.pause)>(::dlsym(library, "PauseUpload"));
    x.restart = reinterpret_cast<decltype(x.restart)>(::dlsym(library, "RestartUpload"));
  }
  void TearDown() override { m_service.reset(); }

 private:
  TempDir m_scratch;
  std::unique_ptr<ServiceProcess> m_service;
};

}  // namespace
}  // namespace chunkup::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  ::testing::AddGlobalTestEnvironment(new chunkup::testing::LinuxHost);
  return RUN_ALL_TESTS();
}
