#pragma once

#include <cstdint>

namespace chunkup {

// Byte rate over two consecutive windows of 20 s, on a 64-bit millisecond
// clock with 64-bit byte counts, so no rate a link can reach overflows. Not
// thread-safe: the task guards it.
struct SpeedMeter {
  uint64_t windowStart = 0;  // 0: not started
  uint64_t windowLength = 20000;
  uint64_t windowBytes = 0;
  uint64_t prevStart = 0;  // 0: not started
  uint64_t prevBytes = 0;

  // Neither window has started: the first counted bytes start both.
  bool IsIdle() const { return windowStart == 0 && prevStart == 0; }
  void Start(uint64_t now) { windowStart = prevStart = now; }
  // Bytes per second in steps of 1000; moves the windows on once the current
  // one is `windowLength` old.
  uint64_t Rate(uint64_t now);
};

}  // namespace chunkup
