// HTTP access to a running reference service, for tests on any OS: downloads
// and the service's test controls. Plain libcurl, no proxies, bounded waits.
#pragma once

#include <json/value.h>

#include <string>

namespace chunkup::testing {

class ServiceClient {
 public:
  // `caFile`, when not empty, is the only CA trusted for an https:// service.
  explicit ServiceClient(std::string baseUrl, std::string caFile = std::string())
      : m_baseUrl(std::move(baseUrl)), m_caFile(std::move(caFile)) {}

  const std::string& BaseUrl() const { return m_baseUrl; }
  // `pathOrUrl` is an absolute URL or a path on BaseUrl(). *status is 0 when
  // no reply came.
  std::string Get(const std::string& pathOrUrl, long* status = nullptr) const;
  std::string Post(const std::string& pathOrUrl, long* status = nullptr) const;

  Json::Value Stats() const;                           // GET /_control/stats
  void Reset() const;                                  // POST /_control/reset
  bool SetKnobs(const std::string& query) const;       // POST /_control/knobs?query; true on 200
  Json::Value Reports(const std::string& uuid) const;  // GET /g/status/<uuid>
  bool Answers() const;                                // the stats endpoint replies 200

 private:
  std::string Request(bool post, const std::string& pathOrUrl, long* status) const;
  std::string m_baseUrl;
  std::string m_caFile;
};

}  // namespace chunkup::testing
