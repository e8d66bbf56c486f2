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

  // Starts both windows at `now` unless one has started already.
  void StartIfIdle(uint32_t now);
  // Bytes per second in steps of 1000; moves the windows on once the current
  // one is `windowLength` old.
  uint32_t Rate(uint32_t now);
};

}  // namespace chunkup
