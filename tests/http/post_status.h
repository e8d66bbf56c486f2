// The old single-number view of a JSON POST, for transport tests whose tables
// list either a libcurl code or an HTTP status.
#pragma once

#include "http/transport.h"

namespace chunkup::testing {

inline int PostStatus(const char* url, Json::Value& reply, const Json::Value& request) {
  const HttpResult result = PostJsonRequest(url, reply, request);
  return result.code != CURLE_OK ? static_cast<int>(result.code) : result.status;
}

}  // namespace chunkup::testing
