// A server that takes the request and never answers: the request gives up at
// the transport's 30-second limit. This waits the limit out in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "http/transport.h"
#include "tests/http/post_status.h"
#include "tests/http/loopback_server.h"

namespace chunkup {
namespace {

using testing::CannedReply;
using testing::LoopbackServer;

TEST(TransportTimeout, SilentServerEndsWithTimedOut) {
  ::unsetenv("CURL_RESHARE_HANDLE");
  LoopbackServer server(CannedReply{"", /*silent=*/true});
  Json::Value reply(Json::objectValue);
  reply["sentinel"] = 1;
  const auto start = std::chrono::steady_clock::now();
  const int result = testing::PostStatus(server.Url("/anonymous/prepare_put").c_str(), reply, Json::Value(Json::objectValue));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_GT(seconds, 25.0);  // the request limit, not some earlier failure
  EXPECT_EQ(reply["sentinel"], 1);
  EXPECT_TRUE(server.WaitForRequests(1));
}

}  // namespace
}  // namespace chunkup
