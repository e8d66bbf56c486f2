// Where uploads go at run time: the endpoint variables read as each task
// starts, the page switch, and HTTPS with a private CA against the reference
// service, including the cases that must fail closed (a certificate for
// another name, a CA nobody trusts) and never fall back to plain HTTP.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "api/task_registry.h"
#include "tests/http/env_guard.h"
#include "tests/protocol/upload_harness.h"
#include "tests/support/fake_platform.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_dir.h"

namespace chunkup::testing {
namespace {

// Every variable these tests set, cleared for the test's life so the runner's
// environment (a proxy, say) cannot steer the uploads.
class CleanEnvironment {
 public:
  CleanEnvironment() {
    for (const char* name : {"CHUNKUP_FILE_SERVICE_HOST", "CHUNKUP_WEB_BASE_URL", "CHUNKUP_CA_FILE",
                             "CHUNKUP_OPEN_PAGE", "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                             "all_proxy", "ALL_PROXY"}) {
      m_guards.push_back(std::make_unique<EnvGuard>(name, std::nullopt));
    }
  }

 private:
  std::vector<std::unique_ptr<EnvGuard>> m_guards;
};

void SetEnv(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

struct Upload {
  UploadInfo info{};
  std::string url() const { return chunkup_slot_text(&info.urlText); }
};

// One upload through a registry that reads its endpoints from the
// environment, as the exports' registry does.
Upload UploadThroughRegistry(FakePlatform& platform, const std::string& path) {
  CTaskRegistry registry(platform, std::nullopt);
  uint32_t id = 0;
  Upload result;
  EXPECT_EQ(registry.AddTask(U16(path), &id, 0), 0);
  EXPECT_EQ(registry.GetInfo(id, &result.info), 0);
  return result;
}

TEST(RuntimeEndpoints, EnvironmentOverridesTheBuildDefaults) {
  CleanEnvironment clean;
  const Endpoints defaults = Endpoints::BuildDefaults();
  struct Case {
    std::optional<std::string> host, web;
    std::string wantHost, wantWeb;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, defaults.fileServiceHost, defaults.webBaseUrl},
      {"", "", defaults.fileServiceHost, defaults.webBaseUrl},  // empty: not set
      {"files.example:9000", std::nullopt, "files.example:9000", defaults.webBaseUrl},
      {"https://files.example:8443/", "https://www.example//", "https://files.example:8443", "https://www.example"},
      {"///", "http://w.example", defaults.fileServiceHost, "http://w.example"},  // nothing left: the default
  };
  for (const auto& c : cases) {
    EnvGuard host("CHUNKUP_FILE_SERVICE_HOST", c.host);
    EnvGuard web("CHUNKUP_WEB_BASE_URL", c.web);
    const Endpoints got = Endpoints::FromEnvironment();
    EXPECT_EQ(got.fileServiceHost, c.wantHost) << c.host.value_or("(unset)");
    EXPECT_EQ(got.webBaseUrl, c.wantWeb) << c.web.value_or("(unset)");
  }
}

// The variables are read when a task starts, not once per process: a host can
// send one upload to one service and the next to another.
TEST(RuntimeEndpoints, EachTaskReadsTheEnvironmentWhenItStarts) {
  CleanEnvironment clean;
  FakePlatform platform;
  TempDir dir;
  ServiceProcess first;
  ServiceProcess second;
  CTaskRegistry registry(platform, std::nullopt);
  for (ServiceProcess* service : {&first, &second}) {
    SetEnv("CHUNKUP_FILE_SERVICE_HOST", service->HostPort());
    SetEnv("CHUNKUP_WEB_BASE_URL", service->BaseUrl());
    const std::string bytes = RandomBytes(kChunk + 100);
    const std::string path = dir.WriteFile("to-" + std::to_string(service->Port()) + ".bin", bytes);
    uint32_t id = 0;
    ASSERT_EQ(registry.AddTask(U16(path), &id, 0), 0);
    UploadInfo info{};
    ASSERT_EQ(registry.GetInfo(id, &info), 0);
    const std::string url = chunkup_slot_text(&info.urlText);
    ASSERT_EQ(url.rfind(service->BaseUrl() + "/", 0), 0u) << url;
    EXPECT_EQ(service->Get(url), bytes);
    EXPECT_EQ(service->Stats()["commit"].asInt(), 1);
    EXPECT_EQ(service->Stats()["report"].asInt(), 3);
  }
}

// CHUNKUP_OPEN_PAGE=0 keeps the browser shut; the reports still go out.
TEST(RuntimeEndpoints, OpenPageSwitch) {
  CleanEnvironment clean;
  TempDir dir;
  ServiceProcess service;
  SetEnv("CHUNKUP_FILE_SERVICE_HOST", service.HostPort());
  SetEnv("CHUNKUP_WEB_BASE_URL", service.BaseUrl());
  struct Case {
    std::optional<std::string> value;
    size_t opened;
  };
  const Case cases[] = {{std::nullopt, 1}, {"1", 1}, {"0", 0}};
  for (const auto& c : cases) {
    EnvGuard openPage("CHUNKUP_OPEN_PAGE", c.value);
    FakePlatform platform;
    const int reportsBefore = service.Stats()["report"].asInt();
    const Upload upload = UploadThroughRegistry(platform, dir.WriteFile("page.bin", RandomBytes(5000)));
    EXPECT_FALSE(upload.url().empty());
    EXPECT_EQ(platform.OpenedUrls().size(), c.opened) << c.value.value_or("(unset)");
    EXPECT_EQ(service.Stats()["report"].asInt() - reportsBefore, 3) << c.value.value_or("(unset)");
  }
}

// Runs a command line; true when it exited 0 within two minutes.
bool RunCommand(const std::string& command) {
  const int status = std::system(("timeout 120 " + command + " >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A throw-away CA and a server certificate it signs for 127.0.0.1 only, made
// with the openssl command; and a second CA that signed nothing here.
struct TestPki {
  std::string caFile, otherCaFile, certFile, keyFile;

  bool Make(const std::filesystem::path& dir) {
    const auto at = [&](const char* name) { return (dir / name).string(); };
    caFile = at("ca.pem");
    otherCaFile = at("other-ca.pem");
    certFile = at("server.pem");
    keyFile = at("server.key");
    std::ofstream(at("server.ext")) << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                                       "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n";
    const auto makeCa = [&](const std::string& key, const std::string& cert, const char* name) {
      return RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout '" + key + "' -out '" + cert +
                 "' -subj '/CN=" + name + "' -addext basicConstraints=critical,CA:TRUE -addext "
                 "keyUsage=critical,keyCertSign,cRLSign");
    };
    return makeCa(at("ca.key"), caFile, "chunkup test CA") &&
           makeCa(at("other-ca.key"), otherCaFile, "chunkup unrelated CA") &&
           RunCommand("openssl req -newkey rsa:2048 -nodes -keyout '" + keyFile + "' -out '" + at("server.csr") +
               "' -subj /CN=127.0.0.1") &&
           RunCommand("openssl x509 -req -days 2 -in '" + at("server.csr") + "' -CA '" + caFile + "' -CAkey '" +
               at("ca.key") + "' -CAcreateserial -out '" + certFile + "' -extfile '" + at("server.ext") + "'");
  }
};

bool ServiceHasTls() {
  FILE* pipe = popen("'" CHUNKUP_SERVICE_BINARY "' --help 2>&1", "r");
  if (!pipe) return false;
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  pclose(pipe);
  return text.find("--tls-cert") != std::string::npos;
}

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// A GET that trusts `caFile`, for reading back what went up over HTTPS.
std::string DownloadTrusting(const std::string& url, const std::string& caFile) {
  std::string body;
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return body;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(curl.get()) != CURLE_OK) body.clear();
  return body;
}

TEST(RuntimeEndpoints, HttpsWithAPrivateCaAndFailuresThatFailClosed) {
  if (!ServiceHasTls()) {
    GTEST_SKIP() << "chunkup-service has no --tls-cert/--tls-key yet; the HTTPS upload cannot be tried";
  }
  if (!RunCommand("openssl version")) GTEST_SKIP() << "the openssl command is not installed";
  CleanEnvironment clean;
  TempDir dir;
  TestPki pki;
  ASSERT_TRUE(pki.Make(dir.path())) << "openssl could not make the test certificates";
  ServiceProcess service({"--tls-cert", pki.certFile, "--tls-key", pki.keyFile});
  const std::string port = std::to_string(service.Port());

  struct Case {
    const char* name;
    std::string base;                  // both endpoints
    std::optional<std::string> caFile;
    bool uploads;
  };
  const Case cases[] = {
      {"trusted CA, matching name", "https://127.0.0.1:" + port, pki.caFile, true},
      {"certificate for another name", "https://localhost:" + port, pki.caFile, false},
      {"CA nobody trusts", "https://127.0.0.1:" + port, std::nullopt, false},
      {"a different private CA", "https://127.0.0.1:" + port, pki.otherCaFile, false},
      {"CA file that does not exist", "https://127.0.0.1:" + port, (dir.path() / "none.pem").string(), false},
      // The scheme is used as written: plain HTTP to a TLS port gets no answer
      // it can use, and nothing is stored.
      {"plain http to the TLS port", "http://127.0.0.1:" + port, pki.caFile, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetEnv("CHUNKUP_FILE_SERVICE_HOST", c.base);
    SetEnv("CHUNKUP_WEB_BASE_URL", c.base);
    EnvGuard caFile("CHUNKUP_CA_FILE", c.caFile);
    FakePlatform platform;
    const std::string bytes = RandomBytes(kChunk + 4097);
    const Upload upload = UploadThroughRegistry(platform, dir.WriteFile(std::string(c.name) + ".bin", bytes));
    if (c.uploads) {
      EXPECT_EQ(upload.info.state, UPLOAD_STATE_OK);
      ASSERT_EQ(upload.url().rfind("https://127.0.0.1:" + port + "/", 0), 0u) << upload.url();
      EXPECT_EQ(DownloadTrusting(upload.url(), pki.caFile), bytes);
      EXPECT_EQ(platform.OpenedUrls().size(), 1u);  // the reports were accepted over HTTPS
    } else {
      // Fails closed: a failure state, no result URL, and no report accepted.
      EXPECT_EQ(upload.info.state, UPLOAD_STATE_FAILED);
      EXPECT_TRUE(upload.url().empty()) << upload.url();
      EXPECT_TRUE(platform.OpenedUrls().empty());
    }
  }
}

// HTTPS to a service that speaks plain HTTP fails; it is not quietly retried
// as HTTP. Needs no TLS in the service, so it runs everywhere.
TEST(RuntimeEndpoints, HttpsIsNeverDowngraded) {
  CleanEnvironment clean;
  TempDir dir;
  ServiceProcess service;
  SetEnv("CHUNKUP_FILE_SERVICE_HOST", "https://" + service.HostPort());
  SetEnv("CHUNKUP_WEB_BASE_URL", "https://" + service.HostPort());
  FakePlatform platform;
  const Upload upload = UploadThroughRegistry(platform, dir.WriteFile("tls.bin", RandomBytes(3000)));
  EXPECT_EQ(upload.info.state, UPLOAD_STATE_FAILED);
  EXPECT_TRUE(upload.url().empty());
  const Json::Value stats = service.Stats();
  EXPECT_EQ(stats["prepare"].asInt(), 0);
  EXPECT_EQ(stats["report"].asInt(), 0);
}

}  // namespace
}  // namespace chunkup::testing
