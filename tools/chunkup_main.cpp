// chunkup: uploads files with libchunkup and shows their progress. It uses
// the library only through its five exported functions.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "chunkup.h"
#include "tools/cli_text.h"

namespace {

using chunkup::cli::FitLeft;
using chunkup::cli::JsonQuote;
using chunkup::cli::Printable;
using chunkup::cli::ProgressBar;
using chunkup::cli::StateName;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
constexpr long kPollIntervalMs = 200;

const char kUsage[] =
    "Usage: chunkup [--json] FILE...\n"
    "       chunkup --help\n"
    "\n"
    "Uploads each FILE to the chunkup file service, all at once, and prints\n"
    "each file's final state and result URL (and the link id when the service\n"
    "already held the file).\n"
    "\n"
    "  --json     print one JSON object per file on stdout instead of text;\n"
    "             progress then goes to stderr\n"
    "  --help     show this text\n"
    "  --         end of options; later arguments are files\n"
    "\n"
    "On a terminal each file gets a live progress bar (percent, KiB/s, state);\n"
    "otherwise progress is printed as plain lines. Ctrl-C cancels every upload\n"
    "and waits for them to end; a second Ctrl-C quits at once.\n"
    "\n"
    "Exit status: 0 when every file ended with a result URL, 1 when a file is\n"
    "missing, unreadable, empty or failed to upload, 2 for a usage error,\n"
    "130 when interrupted.\n";

std::atomic<int> g_interrupts{0};
std::atomic<bool> g_cursorHidden{false};
std::atomic<int> g_progressFd{STDOUT_FILENO};

void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) >= 1) {
    // Second Ctrl-C: quit at once. Only async-signal-safe calls here.
    if (g_cursorHidden) {
      const char show[] = "\x1b[?25h\n";
      ssize_t ignored = write(g_progressFd, show, sizeof show - 1);
      (void)ignored;
    }
    _exit(kExitInterrupted);
  }
}

// One file on the command line.
struct Job {
  std::string arg;   // as typed
  std::string shown;  // arg made safe for a terminal
  std::string path;  // absolute, UTF-8
  std::u16string path16;
  std::string error;  // why it is not uploaded; empty when it is

  // UploadFile is made twice per file, on two threads: the first call to come
  // back hands over the task identifier while the other one still blocks for
  // the whole upload (a second UploadFile for a path being uploaded returns
  // the running task's identifier at once). Which of the two is the upload
  // does not matter.
  std::thread callers[2];
  std::atomic<uint32_t> ids[2]{0, 0};
  std::atomic<bool> returned[2]{false, false};

  UploadInfo info{};       // last record read
  bool cancelled = false;  // still running when Ctrl-C came
  int printedStep = -1;    // plain-line progress: last 10 % step printed
  std::string printedLabel;

  uint32_t Id() const {
    for (int k = 0; k < 2; ++k)
      if (returned[k] && ids[k] != 0) return ids[k];
    return 0;
  }
  bool Done() const { return !Uploads() || (returned[0] && returned[1]); }
  bool Uploads() const { return error.empty(); }
  bool HasUrl() const { return info.urlText.length != 0; }
};

int TerminalColumns(int fd) {
  struct winsize size;
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

int TerminalRows(int fd) {
  struct winsize size;
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
  return 24;
}

void SleepMs(long ms) {
  struct timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);  // an interrupt cuts it short, which is fine
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size())) return buffer.data();
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// Why `path` cannot be uploaded, or "" when it can. The library registers a
// missing file and never finishes it, and reports nothing for an empty one,
// so both are refused here with a clear message.
std::string CheckFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  if (st.st_size == 0) return "file is empty; the library reports no result for an empty file";
  return {};
}

// What a file is doing, in one or two words.
std::string Label(const Job& job, bool interrupted) {
  if (!job.Uploads()) return "error";
  const UploadInfo& info = job.info;
  if (job.Done()) {
    if (job.HasUrl()) return info.linkid.length != 0 ? "done (instant)" : "done";
    if (job.cancelled) return "cancelled";
    return info.state == UPLOAD_STATE_OK || info.state == UPLOAD_STATE_NONE ? "failed" : StateName(info.state);
  }
  if (job.HasUrl()) return "reporting";
  if (interrupted) return "cancelling";
  if (job.Id() == 0 || info.state == UPLOAD_STATE_NONE) return "starting";
  if (info.state == UPLOAD_STATE_OK) return "uploading";
  return StateName(info.state);
}

class ProgressView {
 public:
  // Draws on `out`: a live block of bars on a terminal, plain lines otherwise.
  // A block taller than the screen cannot be redrawn in place, so many files
  // get plain lines even on a terminal.
  ProgressView(std::vector<std::unique_ptr<Job>>& jobs, FILE* out)
      : m_jobs(jobs),
        m_out(out),
        m_terminal(isatty(fileno(out)) == 1 && static_cast<int>(jobs.size()) + 2 < TerminalRows(fileno(out))) {
    g_progressFd = fileno(out);
  }

  void Draw(bool interrupted) {
    if (m_terminal) {
      DrawTerminal(interrupted);
    } else {
      DrawLines(interrupted);
    }
  }

  void Finish() {
    if (m_terminal && g_cursorHidden.exchange(false)) std::fputs("\x1b[?25h", m_out);
    std::fflush(m_out);
  }

 private:
  void DrawTerminal(bool interrupted) {
    const int columns = TerminalColumns(fileno(m_out));
    const int barWidth = columns >= 80 ? 20 : 10;
    // name, two spaces, bar, "  100%", "  12345678 KiB/s", "  " label
    const int nameWidth = std::max(8, columns - 1 - (2 + barWidth + 2 + 6 + 16 + 2 + 14));
    std::string out;
    if (!g_cursorHidden.exchange(true)) out += "\x1b[?25l";
    if (m_drawnLines > 0) out += "\x1b[" + std::to_string(m_drawnLines) + "A";
    for (const auto& job : m_jobs) {
      std::string name = FitLeft(job->shown, nameWidth);
      name.resize(name.size() + static_cast<size_t>(std::max(0, nameWidth - CodePoints(name))), ' ');
      char numbers[64];
      std::snprintf(numbers, sizeof numbers, "  %3d%%  %8d KiB/s  ", job->info.percent, job->info.speed);
      out += "\r\x1b[2K" + name + "  " + ProgressBar(job->info.percent, barWidth) + numbers +
             Label(*job, interrupted) + "\n";
    }
    if (interrupted && !m_toldCancel) {
      m_toldCancel = true;
      m_notes += "cancelling: waiting for the uploads to end (Ctrl-C again quits at once)\n";
    }
    if (!m_notes.empty()) {
      out += "\r\x1b[2K" + m_notes;
      m_noteLines = static_cast<int>(std::count(m_notes.begin(), m_notes.end(), '\n'));
    }
    m_drawnLines = static_cast<int>(m_jobs.size()) + m_noteLines;
    std::fputs(out.c_str(), m_out);
    std::fflush(m_out);
  }

  void DrawLines(bool interrupted) {
    if (interrupted && !m_toldCancel) {
      m_toldCancel = true;
      std::fprintf(m_out, "cancelling: waiting for the uploads to end\n");
    }
    for (const auto& job : m_jobs) {
      if (!job->Uploads()) continue;
      const std::string label = Label(*job, interrupted);
      const int step = job->info.percent / 10;
      if (step == job->printedStep && label == job->printedLabel) continue;
      job->printedStep = step;
      job->printedLabel = label;
      std::fprintf(m_out, "%s: %d%% %d KiB/s %s\n", job->shown.c_str(), job->info.percent, job->info.speed,
                   label.c_str());
    }
    std::fflush(m_out);
  }

  static int CodePoints(const std::string& text) {
    int n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
  }

  std::vector<std::unique_ptr<Job>>& m_jobs;
  FILE* const m_out;
  const bool m_terminal;
  int m_drawnLines = 0;
  int m_noteLines = 0;
  bool m_toldCancel = false;
  std::string m_notes;
};

void PrintText(const Job& job, bool interrupted) {
  if (!job.Uploads()) {
    std::printf("%s: not uploaded (%s)\n", job.shown.c_str(), job.error.c_str());
    return;
  }
  const UploadInfo& info = job.info;
  if (job.HasUrl()) {
    // The URL and the link id come from the network: printed made safe too.
    std::printf("%s: %s %s", job.shown.c_str(), StateName(info.state),
                Printable(chunkup_slot_text(&info.urlText)).c_str());
    if (info.linkid.length != 0) {
      std::printf(" (already held, link id %s)", Printable(chunkup_slot_text(&info.linkid)).c_str());
    }
    std::printf("\n");
  } else {
    std::printf("%s: %s, no result URL\n", job.shown.c_str(), Label(job, interrupted).c_str());
  }
}

void PrintJson(const Job& job, bool interrupted) {
  const UploadInfo& info = job.info;
  std::string out = "{\"file\":" + JsonQuote(job.arg) + ",\"path\":" + JsonQuote(job.path);
  if (!job.Uploads()) {
    out += ",\"state\":\"none\",\"ok\":false,\"error\":" + JsonQuote(job.error) + "}";
  } else {
    out += ",\"state\":" + JsonQuote(StateName(info.state));
    out += ",\"fileSize\":" + std::to_string(info.fileSize);
    out += ",\"url\":" + (job.HasUrl() ? JsonQuote(chunkup_slot_text(&info.urlText)) : std::string("null"));
    out += ",\"linkid\":" + (info.linkid.length ? JsonQuote(chunkup_slot_text(&info.linkid)) : std::string("null"));
    out += std::string(",\"ok\":") + (job.HasUrl() ? "true" : "false");
    if (!job.HasUrl()) out += ",\"error\":" + JsonQuote(Label(job, interrupted));
    out += "}";
  }
  std::printf("%s\n", out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> args;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (options && arg == "--json") {
      json = true;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "chunkup: unknown option '%s'\n%s", Printable(arg).c_str(), kUsage);
      return kExitUsage;
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty()) {
    std::fprintf(stderr, "chunkup: no file given\n%s", kUsage);
    return kExitUsage;
  }

  const std::string cwd = CurrentDirectory();
  std::vector<std::unique_ptr<Job>> jobs;
  std::set<std::string> seen;
  for (const std::string& arg : args) {
    auto job = std::make_unique<Job>();
    job->arg = arg;
    job->shown = Printable(arg);
    if (arg[0] != '/' && cwd.empty()) {
      job->error = "cannot read the current directory to make the path absolute";
    } else {
      job->path = chunkup::cli::AbsolutePath(arg, cwd);
      if (!seen.insert(job->path).second) continue;  // listed twice: one upload
      if (!chunkup::cli::Utf8ToUtf16(job->path, &job->path16)) {
        job->error = "file name is not valid UTF-8";
      } else {
        job->error = CheckFile(job->path);
      }
    }
    if (!job->Uploads()) std::fprintf(stderr, "chunkup: %s: %s\n", job->shown.c_str(), job->error.c_str());
    jobs.push_back(std::move(job));
  }

  // Ctrl-C and SIGTERM reach the main thread only: the callers and the
  // library's threads inherit a mask that blocks them.
  sigset_t interrupts;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  struct sigaction action{};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);

  size_t uploads = 0;
  for (auto& job : jobs) {
    if (!job->Uploads()) continue;
    ++uploads;
    for (int k = 0; k < 2; ++k) {
      Job* j = job.get();
      j->callers[k] = std::thread([j, k] {
        // After an interrupt a caller that has not started yet stays out:
        // its call could start a fresh upload of a cancelled file.
        uint32_t id = 0;
        if (g_interrupts == 0) UploadFile(j->path16.c_str(), &id, 0);
        j->ids[k] = id;
        j->returned[k] = true;
      });
    }
  }
  pthread_sigmask(SIG_UNBLOCK, &interrupts, nullptr);

  // With --json, stdout carries only the JSON objects; progress goes to stderr.
  ProgressView view(jobs, json ? stderr : stdout);
  const auto allDone = [&] {
    return std::all_of(jobs.begin(), jobs.end(), [](const auto& job) { return job->Done(); });
  };
  const auto poll = [&] {
    for (auto& job : jobs) {
      const uint32_t id = job->Id();
      if (id != 0) GetUploadInfo(id, &job->info);
    }
  };
  while (uploads > 0) {
    const bool done = allDone();
    const bool interrupted = g_interrupts > 0;
    if (interrupted) {
      for (auto& job : jobs)
        if (!job->Done()) job->cancelled = true;
      // Identifiers count up from 1 and this process is the library's only
      // user, so 1 .. 2 x uploads covers every task it can have made, also
      // those whose identifier has not come back yet.
      for (uint32_t id = 1; id <= 2 * uploads; ++id) CancelUpload(id);
    }
    poll();
    view.Draw(interrupted);
    if (done) break;
    SleepMs(kPollIntervalMs);
  }
  for (auto& job : jobs)
    for (auto& caller : job->callers)
      if (caller.joinable()) caller.join();
  view.Finish();

  const bool interrupted = g_interrupts > 0;
  bool allOk = true;
  for (const auto& job : jobs) {
    if (json) {
      PrintJson(*job, interrupted);
    } else {
      PrintText(*job, interrupted);
    }
    allOk = allOk && job->Uploads() && job->HasUrl();
  }
  std::fflush(stdout);
  if (allOk) return kExitOk;
  return interrupted ? kExitInterrupted : kExitFailed;
}
