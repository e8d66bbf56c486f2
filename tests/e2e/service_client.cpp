#include "tests/e2e/service_client.h"

#include <curl/curl.h>
#include <json/reader.h>

#include <memory>

namespace chunkup::testing {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

Json::Value ParseOrNull(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return Json::Value();
  return value;
}

}  // namespace

std::string ServiceClient::Request(bool post, const std::string& pathOrUrl, long* status) const {
  if (status) *status = 0;
  std::string body;
  const bool absolute = pathOrUrl.rfind("http://", 0) == 0 || pathOrUrl.rfind("https://", 0) == 0;
  const std::string url = absolute ? pathOrUrl : m_baseUrl + pathOrUrl;
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return body;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  if (!m_caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, m_caFile.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  if (post) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, 0L);
  }
  if (curl_easy_perform(c) == CURLE_OK && status) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, status);
  return body;
}

std::string ServiceClient::Get(const std::string& pathOrUrl, long* status) const {
  return Request(false, pathOrUrl, status);
}

std::string ServiceClient::Post(const std::string& pathOrUrl, long* status) const {
  return Request(true, pathOrUrl, status);
}

Json::Value ServiceClient::Stats() const { return ParseOrNull(Get("/_control/stats")); }

void ServiceClient::Reset() const { Post("/_control/reset"); }

bool ServiceClient::SetKnobs(const std::string& query) const {
  long status = 0;
  Post("/_control/knobs?" + query, &status);
  return status == 200;
}

Json::Value ServiceClient::Reports(const std::string& uuid) const { return ParseOrNull(Get("/g/status/" + uuid)); }

bool ServiceClient::Answers() const {
  long status = 0;
  Get("/_control/stats", &status);
  return status == 200;
}

}  // namespace chunkup::testing
