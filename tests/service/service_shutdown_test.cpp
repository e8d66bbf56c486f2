// Shutdown waits a bounded time for requests in progress.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/service/service_test_util.h"

namespace chunkup::testing {
namespace {

TEST(ServiceShutdown, AClientStalledMidBodyDoesNotHoldTheShutdown) {
  ServiceProcess service;
  const std::string bytes = MakeBytes(kChunk, 12);
  Exchange prepared = Prepare(service, "s.bin", bytes);
  const std::string url = prepared.reply["required"][0]["url"].asString();
  HalfSentPut put(service.Port(), url.substr(url.find("/chunks/")), bytes, 1000);
  ASSERT_TRUE(put.ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(service.Stop(9000), 0) << service.LogText();
}

}  // namespace
}  // namespace chunkup::testing
