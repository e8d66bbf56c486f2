// One upload of one file, timed, for upload_vs_curl.sh: the upload thread's
// work (hashing, prepare, chunk PUTs, commit) on the real library code,
// against a service at HOST:PORT, followed by its reports (one pass for a
// finished upload). Prints status=200 for a stored upload, 409 for one the
// service already held, the seconds taken and the process's resident memory
// before the upload and at its peak.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "task/file_task.h"

namespace {

// A field of /proc/self/status in KiB, or -1.
long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

// The system platform, but the upload page is not opened.
class NoBrowserPlatform final : public chunkup::Platform {
 public:
  chunkup::FilePath MakePath(const std::u16string& text) override { return m_real.MakePath(text); }
  bool PathExists(const chunkup::FilePath& path) override { return m_real.PathExists(path); }
  std::u16string FileNameOf(const std::u16string& path) override { return m_real.FileNameOf(path); }
  int OpenForRead(const chunkup::FilePath& path, chunkup::Sharing sharing,
                  std::unique_ptr<chunkup::ReadableFile>* file) override {
    return m_real.OpenForRead(path, sharing, file);
  }
  void SleepMs(uint32_t ms) override { m_real.SleepMs(ms); }
  uint64_t MonotonicMs() override { return m_real.MonotonicMs(); }
  std::unique_ptr<chunkup::PlatformThread> StartThread(std::function<void()> body) override {
    return m_real.StartThread(std::move(body));
  }
  std::u16string SystemCodePageToUtf16(const std::string& text) override { return m_real.SystemCodePageToUtf16(text); }
  std::string NewUuid() override { return m_real.NewUuid(); }
  void OpenUrl(const std::u16string&) override {}

 private:
  chunkup::Platform& m_real = chunkup::SystemPlatform();
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s HOST:PORT FILE\n", argv[0]);
    return 2;
  }
  NoBrowserPlatform platform;
  chunkup::CFileTask task(0, platform, chunkup::Endpoints{argv[1], std::string("http://") + argv[1]});
  const std::string path = argv[2];

  const long idle = StatusKiB("VmRSS");
  {
    // Start the peak count afresh so it covers the upload alone.
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  const auto start = std::chrono::steady_clock::now();
  task.Run(std::u16string(path.begin(), path.end()));  // the script passes ASCII paths
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long peak = StatusKiB("VmHWM");

  UploadInfo info{};
  task.FillInfo(&info);
  const bool ok = info.state == UPLOAD_STATE_OK && info.url[0] != 0;
  const int status = !ok ? info.state : chunkup_slot_text(&info.linkid)[0] ? 409 : 200;
  std::printf("status=%d seconds=%.3f idle_rss_kib=%ld peak_rss_kib=%ld\n", status, seconds, idle, peak);
  return ok ? 0 : 1;
}
