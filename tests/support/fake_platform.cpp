#include "tests/support/fake_platform.h"

#include "platform/utf.h"

namespace chunkup::testing {
namespace {

class FaultyFile final : public PlatformFile {
 public:
  FaultyFile(std::unique_ptr<PlatformFile> real, FakePlatform& owner) : m_real(std::move(real)), m_owner(owner) {}
  int Read(void* buffer, uint32_t count, uint32_t* bytesRead) override {
    int error = 0;
    if (m_owner.NextReadFails(&error)) {
      *bytesRead = 0;
      return error;
    }
    return m_real->Read(buffer, count, bytesRead);
  }
  int SeekFromStart(int64_t offset) override { return m_real->SeekFromStart(offset); }
  int GetSize(int64_t* size) override { return m_real->GetSize(size); }
  int GetLastWriteTime(FileTime* time) override { return m_real->GetLastWriteTime(time); }
  int Close() override { return m_real->Close(); }

 private:
  std::unique_ptr<PlatformFile> m_real;
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

int FakePlatform::OpenFile(const std::u16string& path, const FileOpenArgs& args, std::unique_ptr<PlatformFile>* file) {
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
  std::unique_ptr<PlatformFile> real;
  int rc = m_real.OpenFile(path, args, &real);
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
