#pragma once

#include <cstdint>

namespace chunkup {

// What the transport needs of a task while it sends a chunk: a place to count
// the bytes it has taken, and whether to abort.
class ITskCallBack {
 public:
  virtual int32_t OnProgress(int32_t count) = 0;
  virtual bool IsCancelled() = 0;

 protected:
  ~ITskCallBack() = default;
};

}  // namespace chunkup
