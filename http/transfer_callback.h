#pragma once

#include <cstdint>

namespace chunkup {

// What a chunk PUT needs of whoever sends it: a place to count the bytes
// libcurl has taken (a negative count takes bytes back), and whether to abort.
class ITskCallBack {
 public:
  virtual int32_t OnProgress(int32_t count) = 0;
  virtual bool IsCancelled() = 0;

 protected:
  ~ITskCallBack() = default;
};

}  // namespace chunkup
