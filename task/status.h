#pragma once

#include <cstdint>

namespace chunkup {

// Status codes a task keeps besides HTTP statuses and libcurl result codes.
inline constexpr int32_t kStatusCreated = 1;
inline constexpr int32_t kStatusRunning = 200;  // also the final status of a committed upload
inline constexpr int32_t kStatusAlreadyHeld = 409;
inline constexpr int32_t kStatusTimedOut = 28;  // libcurl's CURLE_OPERATION_TIMEDOUT
inline constexpr int32_t kStatusUnusableReply = -1;
inline constexpr int32_t kStatusChunkFailed = -4;
inline constexpr int32_t kStatusTransferFailedLegacy = -101;
// The file could not be opened or read while its chunks were hashed.
inline constexpr int32_t kStatusFileUnreadable = -5;

}  // namespace chunkup
