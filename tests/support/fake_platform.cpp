#include "tests/support/fake_platform.h"


namespace chunkup::testing {
namespace {

class FaultyFile final : public ReadableFile {
 public:
  FaultyFile(std::unique_ptr<ReadableFile> real, FakePlatform& owner) : m_real(std::move(real)), m_owner(owner) {}
  int Seek(uint64_t offset) override { return m_real->Seek(offset); }
  int Size(uint64_t* size) override { return m_real->Size(size); }
  int LastWriteTime(FileTimestamp* time) override { return m_real->LastWriteTime(time); }

 protected:
  int ReadSome(void* buffer, size_t count, size_t* bytesRead) override {
    int error = 0;
    if (m_owner.NextReadFails(&error)) {
      *bytesRead = 0;
      return error;
    }
    if (const size_t limit = m_owner.ShortReadLimit(); limit != 0 && count > limit) count = limit;
    return m_real->Read(buffer, count, bytesRead);
  }

 private:
  std::unique_ptr<ReadableFile> m_real;
  FakePlatform& m_owner;
};

}  // namespace

void FakePlatform::SetOpenHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_openHook = std::move(hook);
}

void FakePlatform::SetSleepHook(std::function<void(uint32_t)> hook) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_sleepHook = std::move(hook);
}

int FakePlatform::OpenForRead(const FilePath& path, Sharing sharing, std::unique_ptr<ReadableFile>* file) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    hook = m_openHook;
  }
  if (hook) hook();
  int n = ++m_openCalls;
  if (m_failOpenAt != 0 && n == m_failOpenAt) {
    file->reset();
    return m_openError;
  }
  std::unique_ptr<ReadableFile> real;
  int rc = m_real.OpenForRead(path, sharing, &real);
  if (rc != 0) {
    file->reset();
    return rc;
  }
  *file = std::make_unique<FaultyFile>(std::move(real), *this);
  return 0;
}

bool FakePlatform::NextReadFails(int* error) {
  int n = ++m_readCalls;
  if (m_failReadAt != 0 && n == m_failReadAt) {
    *error = m_readError;
    return true;
  }
  return false;
}

void FakePlatform::SleepMs(uint32_t ms) {
  std::function<void(uint32_t)> hook;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sleeps.push_back(ms);
    hook = m_sleepHook;
  }
  if (hook) hook(ms);
  if (m_manualClock && m_sleepAdvancesClock) {
    m_tick += ms;
    return;
  }
  m_real.SleepMs(ms);
}

std::unique_ptr<PlatformThread> FakePlatform::StartThread(std::function<void()> body) {
  if (m_threadsFail) return nullptr;
  return m_real.StartThread(std::move(body));
}

void FakePlatform::OpenUrl(const std::u16string& url) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_openedUrls.push_back(url);  // recorded only: tests never start a browser
}

std::vector<std::u16string> FakePlatform::OpenedUrls() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_openedUrls;
}

std::vector<uint32_t> FakePlatform::Sleeps() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_sleeps;
}

std::u16string U16(const std::string& utf8) { return Utf8ToUtf16(utf8); }

}  // namespace chunkup::testing
