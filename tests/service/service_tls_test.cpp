// HTTPS: a throw-away CA and a server certificate made with the openssl
// command; the service serves with them, and clients that verify against
// that CA get through while the others fail closed.
#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include "tests/service/service_test_util.h"
#include "tests/support/temp_dir.h"

namespace chunkup::testing {
namespace {

// Makes ca.pem, server.pem (for localhost and 127.0.0.1) and server.key in dir.
bool MakeCertificates(const TempDir& dir, std::string* log) {
  const std::string d = dir.path().string();
  const std::string ext = dir.WriteFile("server.ext",
                                        "basicConstraints=CA:FALSE\n"
                                        "keyUsage=digitalSignature,keyEncipherment\n"
                                        "extendedKeyUsage=serverAuth\n"
                                        "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
  const std::string commands =
      "cd '" + d + "' && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
      "-days 2 -subj '/CN=chunkup test CA' && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr "
      "-subj '/CN=localhost' && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile '" + ext + "' && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout other.key -out other.pem "
      "-days 2 -subj '/CN=another CA'";
  FILE* p = ::popen(("(" + commands + ") 2>&1").c_str(), "r");
  if (!p) return false;
  char buffer[1024];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) log->append(buffer, n);
  return ::pclose(p) == 0;
}

struct HttpsReply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
};

// One request with certificate and host-name checks on (libcurl's default).
HttpsReply Fetch(const std::string& method, const std::string& url, const std::string& caFile,
                 const std::string& body = std::string(), const std::string& resolve = std::string()) {
  HttpsReply r;
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
  if (!caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);  // only the CA named here
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* out) {
    static_cast<std::string*>(out)->append(d, s * n);
    return s * n;
  });
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_slist* resolves = resolve.empty() ? nullptr : curl_slist_append(nullptr, resolve.c_str());
  if (resolves) curl_easy_setopt(c, CURLOPT_RESOLVE, resolves);
  if (method != "GET") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  r.code = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  curl_slist_free_all(headers);
  curl_slist_free_all(resolves);
  return r;
}

class ServiceTls : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string log;
    ASSERT_TRUE(MakeCertificates(m_dir, &log)) << log;
    m_ca = m_dir.PathOf("ca.pem");
  }
  TempDir m_dir;
  std::string m_ca;
};

TEST_F(ServiceTls, AnUploadOverHttpsVerifiedAgainstThePrivateCa) {
  ServiceProcess service({"--tls-cert", m_dir.PathOf("server.pem"), "--tls-key", m_dir.PathOf("server.key")});
  service.SetCaFile(m_ca);
  ASSERT_EQ(service.BaseUrl().rfind("https://127.0.0.1:", 0), 0u) << service.BaseUrl();

  HttpsReply home = Fetch("GET", service.BaseUrl() + "/", m_ca);
  EXPECT_EQ(home.code, CURLE_OK) << curl_easy_strerror(home.code);
  EXPECT_EQ(home.status, 200);
  // By name as well as by address.
  HttpsReply byName = Fetch("GET", "https://localhost:" + std::to_string(service.Port()) + "/", m_ca);
  EXPECT_EQ(byName.code, CURLE_OK) << curl_easy_strerror(byName.code);

  // The whole protocol; every URL handed out is https.
  const std::string bytes = MakeBytes(2 * kChunk + 17, 100);
  Exchange prepared = Prepare(service, "secure.bin", bytes);
  ASSERT_EQ(prepared.status, 200);
  for (const auto& item : prepared.reply["required"]) {
    const std::string url = item["url"].asString();
    EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
    HttpsReply put = Fetch("PUT", url, m_ca, ChunkOf(bytes, item["index"].asUInt()));
    EXPECT_EQ(put.status, 200) << put.body;
  }
  Exchange committed = Commit(service, "secure.bin", bytes);
  ASSERT_EQ(committed.status, 200);
  const std::string url = committed.reply["url"].asString();
  EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
  HttpsReply download = Fetch("GET", url, m_ca);
  EXPECT_EQ(download.code, CURLE_OK);
  EXPECT_TRUE(download.body == bytes);
}

TEST_F(ServiceTls, ClientsThatCannotVerifyFailClosed) {
  ServiceProcess service({"--tls-cert", m_dir.PathOf("server.pem"), "--tls-key", m_dir.PathOf("server.key")});
  const std::string port = std::to_string(service.Port());
  // A CA that did not sign the certificate.
  HttpsReply unknownCa = Fetch("GET", service.BaseUrl() + "/", m_dir.PathOf("other.pem"));
  EXPECT_EQ(unknownCa.code, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(unknownCa.code);
  EXPECT_EQ(unknownCa.status, 0);
  // The right CA, but a name the certificate is not for.
  HttpsReply wrongName = Fetch("GET", "https://files.example.test:" + port + "/", m_ca, "",
                               "files.example.test:" + port + ":127.0.0.1");
  EXPECT_EQ(wrongName.code, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(wrongName.code);
  EXPECT_EQ(wrongName.status, 0);
  // Plain HTTP on the HTTPS port gets no HTTP answer.
  HttpsReply plain = Fetch("GET", "http://127.0.0.1:" + port + "/", "");
  EXPECT_NE(plain.status, 200);
}

TEST_F(ServiceTls, UnusableCertificatesStopTheStartWithAReason) {
  const std::string data = m_dir.PathOf("data");
  // A key that does not belong to the certificate.
  RunResult mismatched = RunService({"--listen", "127.0.0.1:0", "--data-dir", data, "--tls-cert",
                                     m_dir.PathOf("server.pem"), "--tls-key", m_dir.PathOf("other.key")});
  EXPECT_EQ(mismatched.exitCode, 1) << mismatched.output;
  EXPECT_NE(mismatched.output.find("cannot serve HTTPS"), std::string::npos) << mismatched.output;
  RunResult missing = RunService({"--listen", "127.0.0.1:0", "--data-dir", data, "--tls-cert",
                                  m_dir.PathOf("nothing.pem"), "--tls-key", m_dir.PathOf("server.key")});
  EXPECT_EQ(missing.exitCode, 1) << missing.output;
  EXPECT_NE(missing.output.find("cannot read"), std::string::npos) << missing.output;
  RunResult notPem = RunService({"--listen", "127.0.0.1:0", "--data-dir", data, "--tls-cert",
                                 m_dir.PathOf("server.ext"), "--tls-key", m_dir.PathOf("server.key")});
  EXPECT_EQ(notPem.exitCode, 1) << notPem.output;
}

}  // namespace
}  // namespace chunkup::testing
