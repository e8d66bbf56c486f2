// A Platform for tests: the real system underneath, with switches for the
// faults and observations tests need.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace chunkup::testing {

class FakePlatform final : public Platform {
 public:
  FakePlatform() : m_real(SystemPlatform()) {}

  // --- switches ---
  // Manual clock: MonotonicMs() answers this value until changed.
  void SetTick(uint64_t tick) { m_tick = tick, m_manualClock = true; }
  void AdvanceTick(uint64_t ms) { m_tick += ms; }
  // With a manual clock, SleepMs advances it instead of sleeping.
  void SetSleepAdvancesClock(bool on) { m_sleepAdvancesClock = on; }
  // The n-th Read (1-based, counted over every file opened through this
  // platform) fails with `error`; 0 switches it off.
  void FailReadAt(int n, int error = 5) { m_failReadAt = n, m_readError = error; }
  // Every read hands out at most this many bytes, as network file systems
  // may; 0 switches it off.
  void SetShortReads(size_t maxBytes) { m_shortReads = maxBytes; }
  // The n-th OpenForRead fails with `error`; 0 switches it off.
  void FailOpenAt(int n, int error = 2) { m_failOpenAt = n, m_openError = error; }
  void SetFixedUuid(std::string uuid) { m_fixedUuid = std::move(uuid); }
  void SetThreadsFail(bool on) { m_threadsFail = on; }
  // Called at the start of every OpenForRead / SleepMs, on the calling thread;
  // a test can block there to hold a worker at a known point.
  void SetOpenHook(std::function<void()> hook);
  void SetSleepHook(std::function<void(uint32_t)> hook);

  // --- observations ---
  std::vector<std::u16string> OpenedUrls() const;
  std::vector<uint32_t> Sleeps() const;
  int ReadCalls() const { return m_readCalls; }
  int OpenCalls() const { return m_openCalls; }

  // --- Platform ---
  FilePath MakePath(const std::u16string& hostText) override { return m_real.MakePath(hostText); }
  bool PathExists(const FilePath& path) override { return m_real.PathExists(path); }
  std::u16string FileNameOf(const std::u16string& path) override { return m_real.FileNameOf(path); }
  int OpenForRead(const FilePath& path, Sharing sharing, std::unique_ptr<ReadableFile>* file) override;
  void SleepMs(uint32_t ms) override;
  uint64_t MonotonicMs() override { return m_manualClock ? m_tick.load() : m_real.MonotonicMs(); }
  std::unique_ptr<PlatformThread> StartThread(std::function<void()> body) override;
  std::u16string SystemCodePageToUtf16(const std::string& text) override { return m_real.SystemCodePageToUtf16(text); }
  std::string NewUuid() override { return m_fixedUuid.empty() ? m_real.NewUuid() : m_fixedUuid; }
  void OpenUrl(const std::u16string& url) override;

  // Counts a read and answers whether it is the one to fail.
  bool NextReadFails(int* error);
  size_t ShortReadLimit() const { return m_shortReads; }

 private:
  Platform& m_real;
  std::atomic<bool> m_manualClock{false};
  std::atomic<uint64_t> m_tick{0};
  std::atomic<size_t> m_shortReads{0};
  std::atomic<bool> m_sleepAdvancesClock{false};
  std::atomic<int> m_failReadAt{0}, m_readError{0}, m_readCalls{0};
  std::atomic<int> m_failOpenAt{0}, m_openError{0}, m_openCalls{0};
  std::atomic<bool> m_threadsFail{false};
  std::string m_fixedUuid;
  mutable std::mutex m_lock;
  std::vector<std::u16string> m_openedUrls;
  std::vector<uint32_t> m_sleeps;
  std::function<void()> m_openHook;
  std::function<void(uint32_t)> m_sleepHook;
};

// UTF-8 test text to the library's UTF-16.
std::u16string U16(const std::string& utf8);

}  // namespace chunkup::testing
