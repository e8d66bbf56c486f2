#include "http/transport.h"

#include <json/reader.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "http/json_text.h"
#include "http/shared_dns_cache.h"
#include "platform/platform.h"

namespace chunkup {

namespace {

// The whole of a JSON request; its bodies are small.
constexpr long kRequestTimeoutMs = 30000;
// A chunk PUT has no total limit (a slow link takes minutes for 4 MiB): it
// must connect within this time, and then the low-speed limit ends a stall.
constexpr long kConnectTimeoutMs = 30000;
constexpr long kLowSpeedLimit = 512;  // bytes per second ...
constexpr long kLowSpeedTime = 300;   // ... for this many seconds
constexpr long kDnsCacheSeconds = 300;

// curl_easy_init starts libcurl up on first use. Only a libcurl that says it is
// thread-safe does that under a lock of its own; with any other build two
// first requests on two threads would race inside the start-up, so it is done
// here, once, before any handle is made.
void EnsureCurlStarted() {
  static std::once_flag once;
  std::call_once(once, [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info || !(info->features & CURL_VERSION_THREADSAFE)) curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

bool EqualsIgnoringCase(const std::string& text, const char* word) {
  size_t length = std::strlen(word);
  if (text.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char a = text[i], b = word[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// True when `text` starts with `prefix` (lower case), whatever the case of
// `text`; a null text starts with nothing.
bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  if (!text) return false;
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;  // also where `text` ends first
  }
  return true;
}

// Appends the file's bytes; false when it cannot be read whole.
bool AppendFile(const std::string& nativeName, std::string* text) {
  Platform& platform = SystemPlatform();
  std::unique_ptr<ReadableFile> file;
  if (platform.OpenForRead(platform.MakePath(platform.SystemCodePageToUtf16(nativeName)), Sharing::kAllowWriters,
                           &file) != 0)
    return false;
  uint64_t size = 0;
  constexpr uint64_t kMaxCaFile = 16 * 1024 * 1024;  // a CA bundle is far smaller
  if (file->Size(&size) != 0 || size > kMaxCaFile) return false;
  const size_t start = text->size();
  text->resize(start + static_cast<size_t>(size));
  size_t got = 0;
  if (file->Read(text->data() + start, static_cast<size_t>(size), &got) != 0 || got != size) return false;
  return true;
}

// The OS's trusted CAs, exported once per process: an export takes a good
// fraction of a second, and every https request needs them. A root added to
// the OS later is trusted from the host's next start. Null where libcurl's
// TLS has a CA bundle of its own.
const std::string* SystemCaCertificates() {
  static std::once_flag once;
  static std::string* cas = nullptr;  // lives as long as the process
  std::call_once(once, [] {
    std::string pem;
    if (!GetSystemCaCertificates(&pem)) return;
    // No CAs at all would leave the choice to Schannel again; a list
    // without a certificate in it makes libcurl fail the handshake instead.
    if (pem.empty()) pem.push_back('\n');
    cas = new std::string(std::move(pem));
  });
  return cas;
}

// Certificate and host-name checks stay on; a private CA (CHUNKUP_CA_FILE) is
// added, not trusted instead of them being switched off.
void SetTrustedCas(CURL* handle, const char* url) {
  std::string caFile;
  const bool haveCaFile = GetEnvironmentValue("CHUNKUP_CA_FILE", &caFile) && !caFile.empty();
  const std::string* systemCas = StartsWithIgnoringCase(url, "https://") ? SystemCaCertificates() : nullptr;
  if (systemCas) {
    // The OS's own TLS under libcurl (Schannel) checks a chain by itself
    // only when libcurl hands it no CAs, and then as that implementation
    // sees fit; wine's does not check at all. Handed the OS's trusted CAs
    // plus the file's, libcurl builds the chain against exactly those and
    // then checks the host name, the same wherever the library runs.
    std::string withCaFile;
    if (haveCaFile) withCaFile = *systemCas;
    if (!haveCaFile || AppendFile(caFile, &withCaFile)) {
      const std::string& cas = haveCaFile ? withCaFile : *systemCas;
      curl_blob blob{const_cast<char*>(cas.data()), cas.size(), CURL_BLOB_COPY};
      curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
      // The chain is checked with revocation on, and a private CA usually
      // publishes no revocation list: without this none would ever pass.
      // A certificate reported revoked still fails; only a missing or
      // unreachable revocation answer is let be.
      curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
      return;
    }
    // The CA file could not be read here: libcurl is given its name and
    // checks against it alone, or fails the request when it cannot read it
    // either.
  }
  if (haveCaFile) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());  // libcurl keeps a copy
}

// Whatever a URL or a reply says, libcurl speaks only http and https here, so
// a listed file:// or ftp:// URL can neither read nor write a local file.
// Redirects stay off; should they ever be followed, the same list holds.
void RestrictToHttp(CURL* handle) {
  // A libcurl built without TLS refuses a list naming https; http alone then.
  if (curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK)
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http");
  if (curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK)
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http");
  curl_easy_setopt(handle, CURLOPT_DEFAULT_PROTOCOL, "http");
}

// Everything one request owns. The members go in this order: the string list
// and the easy handle are freed first, and only then the lease on the DNS
// cache, because the handle uses the share until curl_easy_cleanup returns.
class Request {
 public:
  Request() : m_handle(curl_easy_init()) {}
  ~Request() {
    curl_slist_free_all(m_headers);
    curl_easy_cleanup(m_handle);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  CURL* handle() const { return m_handle; }
  curl_slist* headers() const { return m_headers; }

  // Copies the lines into a libcurl string list; false when memory ran out.
  bool SetHeaders(HeaderList lines) {
    for (HeaderList line = lines; line && *line; ++line) {
      curl_slist* grown = curl_slist_append(m_headers, *line);
      if (!grown) return false;
      m_headers = grown;
    }
    return true;
  }

  // The options both request kinds share, up to the method.
  void SetCommonOptions(const char* url) {
    curl_easy_setopt(m_handle, CURLOPT_URL, url);
    RestrictToHttp(m_handle);
    SetTrustedCas(m_handle, url);
    m_lease = AttachSharedDnsCache(m_handle);
    std::string agent;
    if (GetEnvironmentValue("CURL_USERAGENT", &agent) && !agent.empty()) {
      curl_easy_setopt(m_handle, CURLOPT_USERAGENT, agent.c_str());  // libcurl keeps a copy
    }
  }

  void SetReplyBuffers(ByteBuffer& body, ByteBuffer& headerText) {
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, AppendBytes);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(m_handle, CURLOPT_HEADERFUNCTION, AppendBytes);
    curl_easy_setopt(m_handle, CURLOPT_HEADERDATA, &headerText);
  }

 private:
  DnsCacheLease m_lease;  // destroyed after the destructor body has run
  CURL* m_handle = nullptr;
  curl_slist* m_headers = nullptr;
};

struct HeaderListDeleter {
  void operator()(const char** list) const { FreeHeaderList(list); }
};

}  // namespace

bool IsHttpUrl(const char* url) {
  return StartsWithIgnoringCase(url, "http://") || StartsWithIgnoringCase(url, "https://");
}

HttpResult PostJsonRequest(const char* url, Json::Value& reply, const Json::Value& request) {
  const std::string text = CompactJsonText(request);  // ends with a line feed

  std::unique_ptr<const char*[], HeaderListDeleter> headers(
      MakeHeaderList(kContentTypeHeader, kNoExpectHeader, kKeepAliveHeader));
  ByteBuffer body;
  ByteBuffer headerText;
  HttpResult result;
  result.code = PerformPost(headers.get(), body, url, text.data(), text.size(), headerText);
  if (result.code != CURLE_OK) return result;

  result.status = ParseHttpStatus(headerText.data(), headerText.data() + headerText.size());
  if (result.status != -1) ParseJsonReply(body, reply);
  return result;
}

CURLcode PerformPost(HeaderList headers, ByteBuffer& body, const char* url, const char* data, size_t size,
                     ByteBuffer& headerText) {
  EnsureCurlStarted();
  Request request;
  if (!request.handle()) return CURLE_BAD_FUNCTION_ARGUMENT;
  if (!request.SetHeaders(headers)) return CURLE_OUT_OF_MEMORY;
  if (size > static_cast<size_t>(LONG_MAX) || (!data && size != 0)) return CURLE_BAD_FUNCTION_ARGUMENT;
  // With no body pointer libcurl would read the body from the process's
  // standard input instead.
  if (!data) data = "";

  CURL* handle = request.handle();
  request.SetCommonOptions(url);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, kRequestTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  // Used in place: `data` outlives curl_easy_perform.
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, data);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(size));
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, request.headers());
  request.SetReplyBuffers(body, headerText);
  return curl_easy_perform(handle);
}

CURLcode PerformPut(HeaderList headers, ByteBuffer& body, const char* url, UploadSource& source,
                    ByteBuffer& headerText) {
  EnsureCurlStarted();
  Request request;
  if (!request.handle()) return CURLE_BAD_FUNCTION_ARGUMENT;
  if (!request.SetHeaders(headers)) return CURLE_OUT_OF_MEMORY;

  CURL* handle = request.handle();
  request.SetCommonOptions(url);
  ApplySpeedLimits(handle);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  // CURLOPT_UPLOAD is what the deprecated CURLOPT_PUT stands for: a PUT of
  // the body the read callback supplies.
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, request.headers());
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(source.remaining));
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, ReadUploadSource);
  curl_easy_setopt(handle, CURLOPT_READDATA, &source);
  // A pooled connection the service has closed meanwhile is replaced by
  // libcurl, which then sends the body again from its start.
  curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, SeekUploadSource);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, &source);
  request.SetReplyBuffers(body, headerText);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedTime);
  return curl_easy_perform(handle);
}

int ParseHttpStatus(const char* begin, const char* end) {
  const char* at = begin;
  if (!at || !end) return -1;
  for (;;) {
    while (at < end && *at != ' ') ++at;
    if (at == end) return -1;
    while (at < end && *at == ' ') ++at;

    // Digits past what a status can be make the line not count (and keep the
    // number from overflowing).
    int number = 0;
    bool tooLong = false;
    while (at < end && *at >= '0' && *at <= '9') {
      if (number > 99999) tooLong = true;
      if (!tooLong) number = number * 10 + (*at - '0');
      ++at;
    }
    if (!tooLong && number != 100 && at < end && *at == ' ') return number;

    while (at < end && *at != '\n') ++at;
    if (at == end) return -1;
    ++at;
  }
}

bool ParseJsonReply(const ByteBuffer& body, Json::Value& reply) {
  const char* begin = body.empty() ? "" : body.data();
  try {
    Json::Reader reader(Json::Features::strictMode());
    return reader.parse(begin, begin + body.size(), reply, false);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    // The reader throws on nesting deeper than it will follow; a hostile
    // reply is a parse failure, not a reason to take the process down.
    return false;
  }
}

HeaderList MakeHeaderList(const char* first, const char* second, const char* third) {
  const char* lines[] = {first, second, third};
  size_t present = 0;
  for (const char* line : lines) present += line ? 1 : 0;
  if (present == 0) return nullptr;
  auto* list = new const char*[present + 1];
  size_t at = 0;
  for (const char* line : lines) {
    if (line) list[at++] = line;
  }
  list[at] = nullptr;
  return list;
}

void FreeHeaderList(HeaderList list) { delete[] list; }

size_t AppendBytes(char* data, size_t size, size_t count, void* buffer) {
  auto* bytes = static_cast<ByteBuffer*>(buffer);
  if (size != 0 && count > kMaxReplyBytes / size) return 0;
  const size_t length = size * count;
  // Returning less than was offered makes libcurl end the transfer with
  // CURLE_WRITE_ERROR.
  if (length > kMaxReplyBytes - std::min(bytes->size(), kMaxReplyBytes)) return 0;
  bytes->insert(bytes->end(), data, data + length);
  return count;
}

size_t ReadUploadSource(char* target, size_t size, size_t count, void* source) {
  auto* upload = static_cast<UploadSource*>(source);
  if (!upload->goOn) return CURL_READFUNC_ABORT;
  if (upload->callback && upload->callback->IsCancelled()) {
    upload->goOn = 0;
    return CURL_READFUNC_ABORT;
  }
  const size_t room = size * count;
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(room, upload->remaining));
  if (n == 0) return 0;
  std::memcpy(target, upload->data + upload->offset, n);
  upload->offset += n;
  upload->remaining -= n;
  if (upload->callback) upload->callback->OnProgress(static_cast<int32_t>(n));
  return n;
}

int SeekUploadSource(void* source, curl_off_t offset, int origin) {
  auto* upload = static_cast<UploadSource*>(source);
  const uint64_t total = uint64_t{upload->offset} + upload->remaining;
  if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > total) return CURL_SEEKFUNC_CANTSEEK;
  const auto to = static_cast<uint32_t>(offset);
  // Bytes already counted past the new position go out again: take them back.
  if (upload->callback && upload->offset > to) upload->callback->OnProgress(-static_cast<int32_t>(upload->offset - to));
  upload->offset = to;
  upload->remaining = static_cast<uint32_t>(total - to);
  return CURL_SEEKFUNC_OK;
}

DnsCacheLease AttachSharedDnsCache(CURL* handle) {
  bool renew = false;
  std::string value;
  if (GetEnvironmentValue("CURL_RESHARE_HANDLE", &value) && EqualsIgnoringCase(value, "true")) {
    RemoveEnvironmentValue("CURL_RESHARE_HANDLE");
    renew = true;
  }
  DnsCacheLease lease = AcquireSharedDnsCache(renew);
  if (CURLSH* share = ShareOf(lease)) curl_easy_setopt(handle, CURLOPT_SHARE, share);
  curl_easy_setopt(handle, CURLOPT_DNS_CACHE_TIMEOUT, kDnsCacheSeconds);
  return lease;
}

void ApplySpeedLimits(CURL* handle) {
  struct Cap {
    const char* variable;
    CURLoption option;
  };
  static constexpr Cap kCaps[] = {
      {"CURL_UPLOAD_SPEEDLIMIT", CURLOPT_MAX_SEND_SPEED_LARGE},
      {"CURL_DOWNLOAD_SPEEDLIMIT", CURLOPT_MAX_RECV_SPEED_LARGE},
  };
  for (const Cap& cap : kCaps) {
    std::string value;
    if (!GetEnvironmentValue(cap.variable, &value)) continue;
    const long long kib = std::strtoll(value.c_str(), nullptr, 10);
    if (kib <= 0) continue;
    // Bounded so the product cannot overflow; no real cap comes near it.
    const curl_off_t bytes = static_cast<curl_off_t>(std::min<long long>(kib, LLONG_MAX / 1024)) * 1024;
    curl_easy_setopt(handle, cap.option, bytes);
  }
}

}  // namespace chunkup
