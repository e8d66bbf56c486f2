#pragma once

#include <cstdint>

namespace chunkup {

class Platform;

// Byte rate over two consecutive windows of 20 s. Tick counts wrap at 32 bits;
// every difference is taken in unsigned arithmetic. Not thread-safe: the task
// guards it.
struct SpeedMeter {
  uint32_t windowStart = 0;  // 0: not started
  uint32_t windowLength = 20000;
  uint32_t windowBytes = 0;
  uint32_t prevStart = 0;  // 0: not started
  uint32_t prevBytes = 0;

  // Neither window has started: the first counted bytes start both.
  bool IsIdle() const { return windowStart == 0 && prevStart == 0; }
  void Start(uint32_t now) { windowStart = prevStart = now; }
  // Bytes per second in steps of 1000; moves the windows on once the current
  // one is `windowLength` old.
  uint32_t Rate(uint32_t now);
};

}  // namespace chunkup
