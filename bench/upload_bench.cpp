// One upload of one file, timed, for upload_vs_curl.sh: the upload thread's
// work (hashing, prepare, chunk PUTs, commit) on the real library code,
// against a service at HOST:PORT. Prints the task's status, the seconds taken
// and the process's resident memory before the upload and at its peak.
#include <chrono>
#include <cstdio>
#include <fstream>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s HOST:PORT FILE\n", argv[0]);
    return 2;
  }
  chunkup::Platform& platform = chunkup::SystemPlatform();
  chunkup::CFileTask task(0, platform, chunkup::Endpoints{argv[1], std::string("http://") + argv[1]});
  const std::string path = argv[2];
  task.m_path = std::u16string(path.begin(), path.end());  // the script passes ASCII paths
  task.m_name = platform.FindFileName(task.m_path);

  const long idle = StatusKiB("VmRSS");
  {
    // Start the peak count afresh so it covers the upload alone.
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  const auto start = std::chrono::steady_clock::now();
  task.Upload();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long peak = StatusKiB("VmHWM");

  std::printf("status=%d seconds=%.3f idle_rss_kib=%ld peak_rss_kib=%ld\n", task.m_status.load(), seconds, idle,
              peak);
  return task.m_status.load() == 200 || task.m_status.load() == 409 ? 0 : 1;
}
