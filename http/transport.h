// Every HTTP request of the library, over libcurl: JSON POSTs whose reply is
// read as JSON, and chunk PUTs from memory with progress and cancel through
// an ITskCallBack. Requests speak only http and https, whatever a URL says.
#pragma once

#include <curl/curl.h>
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "http/shared_dns_cache.h"
#include "http/transfer_callback.h"

namespace chunkup {

using ByteBuffer = std::vector<char>;
// Null-terminated array of complete header lines; null means no extra lines.
using HeaderList = const char**;

inline constexpr const char* kContentTypeHeader = "Content-Type: application/octet-stream";
inline constexpr const char* kNoExpectHeader = "Expect:";
inline constexpr const char* kKeepAliveHeader = "Connection: Keep-Alive";

// Replies are small JSON texts; a reply body or header text beyond this ends
// the request with CURLE_WRITE_ERROR instead of filling memory.
inline constexpr size_t kMaxReplyBytes = size_t{4} << 20;

// What a PUT sends. After the PUT, `remaining` and `goOn` tell whether the
// whole chunk went out.
struct UploadSource {
  const char* data = nullptr;  // not owned; lives until the PUT returns
  uint32_t offset = 0;
  uint32_t remaining = 0;
  uint8_t goOn = 1;
  ITskCallBack* callback = nullptr;
};

// How a request ended: libcurl's result, and the final reply's status when
// the transfer itself succeeded.
struct HttpResult {
  CURLcode code = CURLE_OK;
  int status = -1;  // -1: no status line (or the transfer failed)
};

// POSTs `request` (compact JSON and a line feed) to `url`; a reply with a
// status line has its body parsed into `reply`.
HttpResult PostJsonRequest(const char* url, Json::Value& reply, const Json::Value& request);

// True for a URL that names http or https (in any case) explicitly. Only
// such URLs from the network are ever requested.
bool IsHttpUrl(const char* url);

CURLcode PerformPost(HeaderList headers, ByteBuffer& body, const char* url, const char* data, size_t size,
                     ByteBuffer& headerText);
CURLcode PerformPut(HeaderList headers, ByteBuffer& body, const char* url, UploadSource& source,
                    ByteBuffer& headerText);

// The status of the final reply in collected header text, or -1.
int ParseHttpStatus(const char* begin, const char* end);
// Strict JSON; on failure `reply` holds what the reader got to.
bool ParseJsonReply(const ByteBuffer& body, Json::Value& reply);

// The present lines in order plus a terminating null, or null when all three
// are null. Release with FreeHeaderList.
HeaderList MakeHeaderList(const char* first, const char* second, const char* third);
void FreeHeaderList(HeaderList list);

// libcurl callbacks.
size_t AppendBytes(char* data, size_t size, size_t count, void* buffer);
size_t ReadUploadSource(char* target, size_t size, size_t count, void* source);
int SeekUploadSource(void* source, curl_off_t offset, int origin);

// Option steps shared by both request kinds. The lease keeps the attached
// share alive: hold it until after curl_easy_cleanup of `handle`.
[[nodiscard]] DnsCacheLease AttachSharedDnsCache(CURL* handle);
void ApplySpeedLimits(CURL* handle);

}  // namespace chunkup
