// Many requests on many threads while the shared DNS cache is renewed under
// them: no request may fail, no share may be freed while a handle uses it,
// and every old share is gone once its requests are. Built to run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "http/shared_dns_cache.h"
#include "http/transport.h"
#include "tests/http/post_status.h"
#include "tests/http/loopback_server.h"
#include "tests/http/test_callback.h"

namespace chunkup {
namespace {

using testing::CannedReply;
using testing::HttpReply;
using testing::LoopbackServer;
using testing::TestCallback;

TEST(TransportConcurrency, RequestsOnManyThreadsWhileTheCacheIsRenewed) {
  for (const char* name : {"CURL_USERAGENT", "CURL_UPLOAD_SPEEDLIMIT", "CURL_DOWNLOAD_SPEEDLIMIT"}) ::unsetenv(name);
  // Set before any worker starts: the first request to see it renews the
  // cache and removes it while the others read the environment.
  ::setenv("CURL_RESHARE_HANDLE", "TRUE", 1);

  LoopbackServer server(CannedReply{HttpReply(200, "OK", R"({"ok":1})")});
  constexpr int kThreads = 6;
  constexpr int kRequestsPerThread = 12;
  const std::string chunk(64 * 1024, 'c');
  const uint64_t generationBefore = SharedDnsCacheGeneration();

  std::atomic<int> failures{0};
  std::atomic<int> done{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kRequestsPerThread; ++i) {
        if ((i + t) % 2 == 0) {
          Json::Value request(Json::objectValue), reply;
          request["thread"] = t;
          request["index"] = i;
          const int status = testing::PostStatus(server.Url("/post").c_str(), reply, request);
          if (status != 200 || reply["ok"] != 1) ++failures;
        } else {
          TestCallback callback;
          UploadSource source{chunk.data(), 0, static_cast<uint32_t>(chunk.size()), 1, &callback};
          HeaderList headers = MakeHeaderList(kContentTypeHeader, kNoExpectHeader, kKeepAliveHeader);
          ByteBuffer body, headerText;
          const CURLcode code = PerformPut(headers, body, server.Url("/put").c_str(), source, headerText);
          FreeHeaderList(headers);
          const int status = ParseHttpStatus(headerText.data(), headerText.data() + headerText.size());
          if (code != CURLE_OK || status != 200 || source.remaining != 0 ||
              callback.progress() != static_cast<int64_t>(chunk.size())) {
            ++failures;
          }
        }
      }
      ++done;
    });
  }

  // Renew as the environment variable would, over and over, until the
  // workers are through (bounded in any case).
  int renewals = 0;
  while (done < kThreads && renewals < 5000) {
    { DnsCacheLease lease = AcquireSharedDnsCache(true); }
    ++renewals;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (std::thread& worker : workers) worker.join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(std::getenv("CURL_RESHARE_HANDLE"), nullptr);
  EXPECT_GT(SharedDnsCacheGeneration(), generationBefore + 1);
  EXPECT_EQ(LiveSharedDnsCacheCount(), 1u);  // only the current cache is left
  EXPECT_TRUE(server.WaitForRequests(kThreads * kRequestsPerThread));
}

}  // namespace
}  // namespace chunkup
