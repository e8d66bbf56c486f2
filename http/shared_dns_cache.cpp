#include "http/shared_dns_cache.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace chunkup {

// One libcurl share with its own locks. libcurl takes the lock of one data
// kind while holding another (curl_share_cleanup holds the SHARE lock and then
// takes CONNECT), so each kind gets a mutex of its own.
class SharedDnsCache {
 public:
  SharedDnsCache() = default;
  SharedDnsCache(const SharedDnsCache&) = delete;
  SharedDnsCache& operator=(const SharedDnsCache&) = delete;

  CURLSH* share = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];
};

namespace {

struct CacheState {
  std::mutex lock;  // guards `current` and `generation`
  DnsCacheLease current;
  uint64_t generation = 0;
  std::atomic<size_t> live{0};
};

CacheState& State() {
  // Never destroyed: worker threads may still run requests while statics are
  // torn down at process exit.
  static CacheState* state = new CacheState;
  return *state;
}

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* userptr) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST) static_cast<SharedDnsCache*>(userptr)->locks[data].lock();
}

void UnlockShare(CURL*, curl_lock_data data, void* userptr) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST) static_cast<SharedDnsCache*>(userptr)->locks[data].unlock();
}

// Runs when the last lease is dropped, which is after every easy handle that
// used the share has been cleaned up.
void ReleaseCache(SharedDnsCache* cache) {
  if (cache->share && curl_share_cleanup(cache->share) != CURLSHE_OK) {
    // libcurl still counts a user: the share keeps pointing at our locks, so
    // they must stay. Leaking one share beats freeing memory still in use.
    return;
  }
  State().live.fetch_sub(1, std::memory_order_relaxed);
  delete cache;
}

DnsCacheLease MakeCache() {
  auto* cache = new SharedDnsCache;
  cache->share = curl_share_init();
  if (!cache->share) {
    delete cache;
    return nullptr;
  }
  // The lock functions go in before the share is seen by any handle.
  curl_share_setopt(cache->share, CURLSHOPT_USERDATA, cache);
  curl_share_setopt(cache->share, CURLSHOPT_LOCKFUNC, LockShare);
  curl_share_setopt(cache->share, CURLSHOPT_UNLOCKFUNC, UnlockShare);
  curl_share_setopt(cache->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  // Connections are pooled too: a whole upload, its commit and its reports
  // travel on one connection per host while the service keeps it open.
  curl_share_setopt(cache->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  State().live.fetch_add(1, std::memory_order_relaxed);
  return DnsCacheLease(cache, ReleaseCache);
}

}  // namespace

DnsCacheLease AcquireSharedDnsCache(bool renew) {
  CacheState& state = State();
  DnsCacheLease retired;  // released after the lock is let go
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.current || renew) {
    DnsCacheLease fresh = MakeCache();
    if (fresh) {
      retired = std::exchange(state.current, std::move(fresh));
      ++state.generation;
    } else if (renew) {
      // No new share could be made: stop handing out the old one anyway, so
      // a renewal never keeps stale names.
      retired = std::move(state.current);
    }
  }
  DnsCacheLease lease = state.current;
  // `retired` is declared before `guard`, so it is dropped after the unlock.
  return lease;
}

CURLSH* ShareOf(const DnsCacheLease& lease) { return lease ? lease->share : nullptr; }

uint64_t SharedDnsCacheGeneration() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().generation;
}

size_t LiveSharedDnsCacheCount() { return State().live.load(std::memory_order_relaxed); }

}  // namespace chunkup
