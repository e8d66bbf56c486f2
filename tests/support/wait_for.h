// Polling with a time limit, for tests that wait on another thread or process.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace chunkup::testing {

// Waits until `done` answers true or `limit` has passed; true when it did.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit,
                    std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace chunkup::testing
