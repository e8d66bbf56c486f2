#include "task/speed_meter.h"

namespace chunkup {

uint64_t SpeedMeter::Rate(uint64_t now) {
  if (prevStart == 0) prevStart = now;
  if (windowStart == 0) windowStart = now;
  if (now <= prevStart) return 0;
  // Whole bytes per millisecond first, so the rate moves in steps of 1000.
  const uint64_t rate = (prevBytes + windowBytes) / (now - prevStart) * 1000u;
  if (now - windowStart >= windowLength) {
    prevBytes = windowBytes;
    prevStart = windowStart;
    windowBytes = 0;
    windowStart = now;
  }
  return rate;
}

}  // namespace chunkup
