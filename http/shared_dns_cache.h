// The process-wide libcurl share that every request attaches to: the DNS
// cache and the pool of open connections. Requests run on several threads at
// once, and the share can be renewed while some of them still use the old
// one, so each request holds a lease on the share it attached until its easy
// handle is gone; the old share (and the connections it pooled) is released
// by whoever drops the last lease.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace chunkup {

class SharedDnsCache;
using DnsCacheLease = std::shared_ptr<SharedDnsCache>;

// The current cache, created on first use; with `renew`, a new one replaces it
// first. Null only when libcurl cannot make a share.
DnsCacheLease AcquireSharedDnsCache(bool renew);

// The libcurl share behind a lease.
CURLSH* ShareOf(const DnsCacheLease& lease);

// Observations for tests: how many caches have been made so far, and how many
// are alive (the current one plus old ones still held by requests).
uint64_t SharedDnsCacheGeneration();
size_t LiveSharedDnsCacheCount();

}  // namespace chunkup
