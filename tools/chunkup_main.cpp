// chunkup: uploads files with libchunkup and shows their progress. It uses
// the library only through its five exported functions.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <string>
#include <thread>
#include <vector>

#include "chunkup.h"
#include "tools/cli_text.h"

namespace {

using chunkup::cli::DisplayWidth;
using chunkup::cli::FailureFacts;
using chunkup::cli::FailureReason;
using chunkup::cli::HumanBytes;
using chunkup::cli::HumanRate;
using chunkup::cli::JsonQuote;
using chunkup::cli::Printable;
using chunkup::cli::ProgressFields;
using chunkup::cli::Reachability;
using chunkup::cli::ServiceAddress;
using chunkup::cli::StateName;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
constexpr long kPollIntervalMs = 200;
constexpr int kDefaultJobs = 4;
// Each upload holds a few descriptors and three threads; far more at once
// only makes them compete for the same link.
constexpr int kMaxJobs = 64;
constexpr int kProbeTimeoutMs = 3000;

const char kUsage[] =
    "Usage: chunkup [OPTIONS] FILE...\n"
    "       chunkup --help | --version\n"
    "\n"
    "Uploads each FILE to the chunkup file service and prints each file's final\n"
    "state and result URL (and the link id when the service already held the\n"
    "file).\n"
    "\n"
    "  -j, --jobs N     upload at most N files at once (default 4, at most 64);\n"
    "                   the others wait their turn\n"
    "  --service URL    the service's base URL (http:// or https://), for both\n"
    "                   the file service and its web site\n"
    "  --no-open        do not open the upload page in a browser (the default\n"
    "                   when neither DISPLAY nor WAYLAND_DISPLAY is set)\n"
    "  --json           print one JSON object per file on stdout instead of text;\n"
    "                   progress then goes to stderr\n"
    "  -V, --version    print the version and exit\n"
    "  -h, --help       show this text\n"
    "  --               end of options; later arguments are files\n"
    "\n"
    "On a terminal each file gets a live progress bar (percent, bytes, rate,\n"
    "ETA, state); otherwise progress is printed as plain lines. Ctrl-C cancels\n"
    "every upload and waits for them to end; a second Ctrl-C quits at once.\n"
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

  std::atomic<bool> started{false};  // a worker has taken it; until then it waits its turn

  UploadInfo info{};       // last record read
  bool cancelled = false;  // still running (or still waiting) when Ctrl-C came
  std::string reason;      // why it ended without a result URL
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
  if (!job.started) return "waiting";
  if (job.Id() == 0 || info.state == UPLOAD_STATE_NONE) return "starting";
  if (info.state == UPLOAD_STATE_OK) return "uploading";
  return StateName(info.state);
}

ProgressFields FieldsOf(const Job& job, bool interrupted) {
  ProgressFields fields;
  fields.name = job.shown;
  fields.percent = job.info.percent;
  fields.fileSize = job.info.fileSize;
  fields.kibPerSecond = job.info.speed;
  fields.label = Label(job, interrupted);
  fields.running = fields.label == "uploading";
  return fields;
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
    for (const auto& job : m_jobs) m_longestName = std::max(m_longestName, DisplayWidth(job->shown));
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
    // After a resize the terminal may have re-wrapped the old block, so moving
    // up over it could land anywhere: the new block starts below instead.
    if (columns != m_drawnColumns) m_drawnLines = 0;
    m_drawnColumns = columns;
    const chunkup::cli::LineLayout layout = chunkup::cli::ChooseLayout(columns, m_longestName);
    std::string out;
    if (!g_cursorHidden.exchange(true)) out += "\x1b[?25l";
    if (m_drawnLines > 0) out += "\x1b[" + std::to_string(m_drawnLines) + "A";
    for (const auto& job : m_jobs) {
      out += "\r\x1b[2K" + chunkup::cli::ProgressLine(FieldsOf(*job, interrupted), layout, columns) + "\n";
    }
    if (interrupted && !m_toldCancel) {
      m_toldCancel = true;
      m_note = "cancelling: waiting for the uploads to end (Ctrl-C again quits at once)";
    }
    int noteLines = 0;
    if (!m_note.empty()) {
      out += "\r\x1b[2K" + chunkup::cli::FitRight(m_note, columns - 1) + "\n";
      noteLines = 1;
    }
    m_drawnLines = static_cast<int>(m_jobs.size()) + noteLines;
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
      const ProgressFields fields = FieldsOf(*job, interrupted);
      // A file waiting its turn has nothing to say yet; with hundreds of
      // files a line each would bury the ones that move.
      if (fields.label == "waiting") continue;
      const int step = fields.percent / 10;
      if (step == job->printedStep && fields.label == job->printedLabel) continue;
      job->printedStep = step;
      job->printedLabel = fields.label;
      const uint64_t done = fields.fileSize / 100 * static_cast<uint64_t>(std::clamp(fields.percent, 0, 100)) +
                            fields.fileSize % 100 * static_cast<uint64_t>(std::clamp(fields.percent, 0, 100)) / 100;
      std::string line = job->shown + ": " + std::to_string(fields.percent) + "% (" + HumanBytes(done) + " of " +
                         HumanBytes(fields.fileSize) + ")";
      if (fields.running) {
        line += ", " + HumanRate(fields.kibPerSecond) + ", ETA " +
                chunkup::cli::Eta(fields.fileSize - done, fields.kibPerSecond);
      }
      line += ", " + fields.label + "\n";
      std::fputs(line.c_str(), m_out);
    }
    std::fflush(m_out);
  }

  std::vector<std::unique_ptr<Job>>& m_jobs;
  FILE* const m_out;
  const bool m_terminal;
  int m_longestName = 0;
  int m_drawnLines = 0;
  int m_drawnColumns = 0;
  bool m_toldCancel = false;
  std::string m_note;
};

// Whether a TCP connection to the service can be made at all. Asked only
// after an upload failed without a more precise state: the library reports
// "failed" alike for a refused connection, an unknown host and a rejected
// certificate, and the user needs to know which.
Reachability ProbeService(const ServiceAddress& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found) != 0 || !found) {
    return Reachability::kUnresolved;
  }
  Reachability result = Reachability::kUnreachable;
  for (addrinfo* a = found; a && result != Reachability::kConnected; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int error = 0;
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, kProbeTimeoutMs) == 1) {
          socklen_t length = sizeof error;
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        } else {
          error = ETIMEDOUT;
        }
      }
    }
    close(fd);
    if (error == 0) {
      result = Reachability::kConnected;
    } else if (error == ECONNREFUSED) {
      result = Reachability::kRefused;
    }
  }
  freeaddrinfo(found);
  return result;
}

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
  } else if (job.cancelled) {
    std::printf("%s: %s, no result URL\n", job.shown.c_str(), Label(job, interrupted).c_str());
  } else {
    std::printf("%s: %s, no result URL: %s\n", job.shown.c_str(), Label(job, interrupted).c_str(),
                Printable(job.reason).c_str());
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
    if (!job.HasUrl()) {
      out += ",\"error\":" + JsonQuote(Label(job, interrupted));
      out += ",\"reason\":" + JsonQuote(job.reason);
    }
    out += "}";
  }
  std::printf("%s\n", out.c_str());
}

// "--name VALUE" or "--name=VALUE" at argv[*i]; advances *i past a separate
// value. False when `arg` is not this option.
bool OptionValue(int argc, char** argv, int* i, const char* shortName, const char* longName, std::string* value,
                 bool* missing) {
  const std::string arg = argv[*i];
  const std::string withEquals = std::string(longName) + "=";
  if (arg.rfind(withEquals, 0) == 0) {
    *value = arg.substr(withEquals.size());
    return true;
  }
  if (arg != longName && (!shortName || arg != shortName)) return false;
  if (*i + 1 >= argc) {
    *missing = true;
    return true;
  }
  *value = argv[++*i];
  return true;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "chunkup: %s\nTry 'chunkup --help' for more.\n", Printable(message).c_str());
  return kExitUsage;
}

// Runs one file's upload on the calling worker and returns when it is over.
void RunJob(Job& job) {
  // After an interrupt a file that has not started yet stays out: its call
  // could start a fresh upload of a cancelled file.
  const auto call = [&job](int k) {
    uint32_t id = 0;
    if (g_interrupts == 0) UploadFile(job.path16.c_str(), &id, 0);
    job.ids[k] = id;
    job.returned[k] = true;
  };
  job.started = true;
  std::thread second;
  try {
    second = std::thread(call, 1);
  } catch (const std::system_error&) {
    // No thread to spare: the identifier then comes back only at the end,
    // and the file shows "starting" until then.
    job.returned[1] = true;
  }
  call(0);
  if (second.joinable()) second.join();
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool noOpen = false;
  int jobLimit = kDefaultJobs;
  std::string serviceUrl;
  std::vector<std::string> args;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    bool missing = false;
    if (!options || arg.size() < 2 || arg[0] != '-') {
      args.push_back(arg);
    } else if (arg == "--") {
      options = false;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version" || arg == "-V") {
      std::printf("chunkup %s\n", CHUNKUP_VERSION);
      return kExitOk;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--no-open") {
      noOpen = true;
    } else if (OptionValue(argc, argv, &i, "-j", "--jobs", &value, &missing)) {
      if (missing) return UsageError("--jobs needs a number");
      char* end = nullptr;
      errno = 0;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > kMaxJobs) {
        return UsageError("--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs) + ", not '" + value +
                          "'");
      }
      jobLimit = static_cast<int>(n);
    } else if (OptionValue(argc, argv, &i, nullptr, "--service", &value, &missing)) {
      if (missing) return UsageError("--service needs a URL");
      ServiceAddress address;
      if (value.find("://") == std::string::npos || !chunkup::cli::ParseServiceAddress(value, &address)) {
        return UsageError("--service takes an http:// or https:// URL with a host, not '" + value + "'");
      }
      while (!value.empty() && value.back() == '/') value.pop_back();
      serviceUrl = value;
    } else {
      return UsageError("unknown option '" + arg + "'");
    }
  }
  if (args.empty()) return UsageError("no file given");

  // The library reads these when each upload starts; set before any starts.
  if (!serviceUrl.empty()) {
    // chunkup-service serves the file service and the web site on one address.
    setenv("CHUNKUP_FILE_SERVICE_HOST", serviceUrl.c_str(), 1);
    setenv("CHUNKUP_WEB_BASE_URL", serviceUrl.c_str(), 1);
  }
  const auto unset = [](const char* name) {
    const char* value = std::getenv(name);
    return !value || !*value;
  };
  if (noOpen) {
    setenv("CHUNKUP_OPEN_PAGE", "0", 1);
  } else if (unset("DISPLAY") && unset("WAYLAND_DISPLAY")) {
    // No screen to show a browser on; a value the user set still wins.
    setenv("CHUNKUP_OPEN_PAGE", "0", 0);
  }
  // The address the messages name: what the library will use.
  std::string serviceForWords = CHUNKUP_DEFAULT_FILE_SERVICE;
  if (!unset("CHUNKUP_FILE_SERVICE_HOST")) serviceForWords = std::getenv("CHUNKUP_FILE_SERVICE_HOST");

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

  std::vector<Job*> queue;
  for (auto& job : jobs)
    if (job->Uploads()) queue.push_back(job.get());
  const size_t uploads = queue.size();

  // Ctrl-C and SIGTERM reach the main thread only: the workers and the
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

  // At most jobLimit files upload at once: each worker takes the next file
  // when its current one is over.
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  const size_t workerCount = std::min(uploads, static_cast<size_t>(jobLimit));
  for (size_t w = 0; w < workerCount; ++w) {
    workers.emplace_back([&queue, &next] {
      for (size_t i; (i = next.fetch_add(1)) < queue.size();) RunJob(*queue[i]);
    });
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
    // Once interrupted, a worker finds every file it has not taken yet over
    // at once (RunJob makes no call), so the loop still ends.
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
  for (auto& worker : workers) worker.join();
  view.Finish();

  // Why each failed upload failed, in words. The network is asked at most once.
  ServiceAddress address;
  const bool addressKnown = chunkup::cli::ParseServiceAddress(serviceForWords, &address);
  std::optional<Reachability> reach;
  for (auto& job : jobs) {
    if (!job->Uploads() || job->HasUrl()) continue;
    FailureFacts facts;
    facts.state = job->info.state;
    facts.cancelled = job->cancelled;
    facts.service = addressKnown ? address.HostPort() : Printable(serviceForWords);
    facts.https = addressKnown && address.scheme == "https";
    // A file that could not be read ends "failed" (while hashed) or
    // "transfer-failed" (a chunk): if it cannot be read now, that is the news.
    if (facts.state != UPLOAD_STATE_TIMEOUT && facts.state != UPLOAD_STATE_REFUSED && !facts.cancelled) {
      facts.fileError = CheckFile(job->path);
    }
    if (facts.state == UPLOAD_STATE_FAILED && !facts.cancelled && facts.fileError.empty() && addressKnown) {
      if (!reach) reach = ProbeService(address);
      facts.reach = *reach;
    }
    job->reason = FailureReason(facts);
  }

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
