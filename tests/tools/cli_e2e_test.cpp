// The chunkup command end to end against the reference service, started on a
// free loopback port that the CLI is pointed at with --service. Terminal
// behaviour (live bars at several widths, Ctrl-C) is driven through tmux.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/random_bytes.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace chunkup::testing {
namespace {

using std::chrono::seconds;
// The screen and the files a run writes are looked at this often.
constexpr std::chrono::milliseconds kPoll{100};

// A loopback port where nothing listens: bound for a moment, then released
// without listen(), so a connection there is refused.
int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// One word for sh, whatever the text holds.
std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Result {
  int status = -1;
  std::string out;
};

// Runs a shell command with a time limit; stdout is captured, stderr goes to
// `errFile`.
Result RunShell(const std::string& command, const std::string& errFile, int seconds = 60) {
  Result result;
  const std::string full = "timeout -s KILL " + std::to_string(seconds) + " sh -c " + Quote(command) + " 2>" +
                           Quote(errFile);
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_service = std::make_unique<ServiceProcess>();

    // The library shows the upload page with xdg-open; this stand-in records
    // the address instead of starting a browser.
    const auto bin = m_dir.path() / "bin";
    std::filesystem::create_directories(bin);
    m_pages = (m_dir.path() / "pages.txt").string();
    std::ofstream shim(bin / "xdg-open");
    shim << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " << Quote(m_pages) << "\n";
    shim.close();
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    // Nothing from the test runner's environment may steer the run: no proxy,
    // no endpoint, no page switch. A display is set, so pages open unless a
    // test says otherwise.
    m_env = "env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY "
            "-u CHUNKUP_FILE_SERVICE_HOST -u CHUNKUP_WEB_BASE_URL -u CHUNKUP_CA_FILE -u CHUNKUP_OPEN_PAGE "
            "-u WAYLAND_DISPLAY DISPLAY=:chunkup-test PATH=" +
            Quote(bin.string()) + ":\"$PATH\" ";
  }

  // The CLI aimed at this test's service.
  std::string Cli() const { return CliWithEnv("") + "--service " + m_service->BaseUrl() + " "; }
  // The CLI with extra environment assignments ("A=1 B=2 "), no --service.
  std::string CliWithEnv(const std::string& assignments) const {
    return m_env + assignments + Quote(CHUNKUP_CLI_PATH) + " ";
  }
  int PagesOpened() const {
    const std::string pages = ReadFile(m_pages);
    return static_cast<int>(std::count(pages.begin(), pages.end(), '\n'));
  }
  std::string Err() const { return (m_dir.path() / "stderr.txt").string(); }
  std::string ErrText() const { return ReadFile(Err()); }

  std::unique_ptr<ServiceProcess> m_service;
  TempDir m_dir;
  std::string m_pages;
  std::string m_env;
};

TEST_F(CliTest, UploadsFilesPrintsUrlsAndExitCodes) {
  const std::string a = RandomBytes(5 * 1024 * 1024 + 3);
  const std::string b = RandomBytes(1000);
  const std::string pathA = m_dir.WriteFile("a file.bin", a);
  m_dir.WriteFile("b.bin", b);

  // Relative and absolute paths, plus a missing file: the others still go up.
  Result r = RunShell("cd " + Quote(m_dir.path().string()) + " && " + Cli() + Quote(pathA) + " b.bin missing.bin", Err());
  EXPECT_EQ(r.status, 1) << r.out << ErrText();
  EXPECT_NE(ErrText().find("missing.bin: No such file or directory"), std::string::npos) << ErrText();
  EXPECT_NE(r.out.find("missing.bin: not uploaded"), std::string::npos) << r.out;
  for (const auto& [name, bytes] : {std::pair{pathA, a}, std::pair{std::string("b.bin"), b}}) {
    const std::string prefix = name + ": ok ";
    const size_t at = r.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << r.out;
    const size_t end = r.out.find_first_of(" \n", at + prefix.size());
    const std::string url = r.out.substr(at + prefix.size(), end - at - prefix.size());
    EXPECT_EQ(m_service->Get(url), bytes) << url;
  }
  // Not a terminal: plain progress lines, no cursor movement.
  EXPECT_NE(r.out.find("b.bin: "), std::string::npos);
  EXPECT_EQ(r.out.find("\x1b["), std::string::npos);

  // The same file again: the service holds it already, the CLI shows the link id.
  r = RunShell(Cli() + Quote(pathA), Err());
  EXPECT_EQ(r.status, 0) << r.out << ErrText();
  EXPECT_NE(r.out.find("(already held, link id "), std::string::npos) << r.out;

  // Each run opened the upload page once per file, and the service has its reports.
  std::istringstream pages(ReadFile(m_pages));
  std::string page;
  int opened = 0;
  while (std::getline(pages, page)) {
    ++opened;
    ASSERT_EQ(page.rfind(m_service->BaseUrl() + "/g/upload/", 0), 0u) << page;
    const std::string uuid = page.substr(page.rfind('/') + 1);
    EXPECT_EQ(m_service->Reports(uuid)["reports"].size(), 3u) << uuid;
  }
  EXPECT_EQ(opened, 3);
}

TEST_F(CliTest, JsonOutputAndFailures) {
  const std::string bytes = RandomBytes(70000);
  const std::string path = m_dir.WriteFile("j.bin", bytes);
  const std::string empty = m_dir.WriteFile("empty.bin", "");

  Result r = RunShell(Cli() + "--json " + Quote(path) + " " + Quote(empty), Err());
  EXPECT_EQ(r.status, 1) << r.out << ErrText();
  std::istringstream lines(r.out);
  std::string line;
  std::vector<Json::Value> objects;
  while (std::getline(lines, line)) {
    Json::Value value;
    ASSERT_TRUE(Json::Reader().parse(line, value)) << line;
    objects.push_back(value);
  }
  ASSERT_EQ(objects.size(), 2u) << r.out;
  EXPECT_EQ(objects[0]["path"].asString(), path);
  EXPECT_EQ(objects[0]["state"].asString(), "ok");
  EXPECT_TRUE(objects[0]["ok"].asBool());
  EXPECT_EQ(objects[0]["fileSize"].asUInt64(), bytes.size());
  EXPECT_EQ(m_service->Get(objects[0]["url"].asString()), bytes);
  EXPECT_FALSE(objects[1]["ok"].asBool());
  EXPECT_TRUE(objects[1]["url"].isNull());
  EXPECT_NE(objects[1]["error"].asString().find("empty"), std::string::npos);

  // A commit the service refuses: no result URL, state "refused", status 1.
  const std::string other = m_dir.WriteFile("refused.bin", RandomBytes(3000));
  ASSERT_TRUE(m_service->SetKnobs("commit_status=500&commit_body=%7B%7D"));
  r = RunShell(Cli() + Quote(other), Err());
  EXPECT_EQ(r.status, 1) << r.out << ErrText();
  EXPECT_NE(r.out.find("refused.bin: refused, no result URL"), std::string::npos) << r.out;

  EXPECT_NE(r.out.find("refused.bin: refused, no result URL: the file service at " + m_service->HostPort() +
                       " answered with an HTTP error status"),
            std::string::npos)
      << r.out;
}

// Usage errors end with status 2 and a message naming what is wrong, before
// anything is uploaded; --help and --version answer and exit 0.
TEST_F(CliTest, UsageVersionAndHelp) {
  const std::string path = m_dir.WriteFile("u.bin", "u");
  struct Case {
    std::string args;
    int status;
    std::string words;  // on stdout for status 0, on stderr otherwise
  };
  const Case cases[] = {
      {"", 2, "no file given"},
      {"--bogus " + Quote(path), 2, "unknown option '--bogus'"},
      {"--jobs 0 " + Quote(path), 2, "--jobs takes a whole number from 1 to 64, not '0'"},
      {"--jobs 65 " + Quote(path), 2, "not '65'"},
      {"-j 3x " + Quote(path), 2, "not '3x'"},
      {"--jobs", 2, "--jobs needs a number"},
      {"--service ftp://127.0.0.1:1 " + Quote(path), 2, "--service takes an http:// or https:// URL"},
      {"--service 127.0.0.1:1 " + Quote(path), 2, "--service takes an http:// or https:// URL"},
      {"--service=http:// " + Quote(path), 2, "--service takes an http:// or https:// URL"},
      {"--service", 2, "--service needs a URL"},
      {"--version", 0, std::string("chunkup ") + CHUNKUP_VERSION + "\n"},
      {"-V", 0, std::string("chunkup ") + CHUNKUP_VERSION + "\n"},
      {"--help", 0, "Usage: chunkup"},
      {"--help", 0, "--jobs N"},
  };
  for (const auto& c : cases) {
    const Result r = RunShell(CliWithEnv("") + c.args, Err());
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out << ErrText();
    const std::string text = c.status == 0 ? r.out : ErrText();
    EXPECT_NE(text.find(c.words), std::string::npos) << c.args << ": " << text;
  }
  EXPECT_EQ(m_service->Stats()["prepare"].asInt(), 0);
}

// A failed upload says why, in words naming the service and what went wrong.
TEST_F(CliTest, FailuresSayWhy) {
  const int deadPort = UnusedPort();
  ASSERT_NE(deadPort, 0);
  const std::string dead = "127.0.0.1:" + std::to_string(deadPort);
  struct Case {
    std::string name;
    std::string service;  // --service value
    std::string knobs;    // service faults, or empty
    std::string state;
    std::string words;
  };
  const Case cases[] = {
      {"nobody listening", "http://" + dead, "", "failed",
       "connection refused to " + dead + " (is the service running there?)"},
      {"prepare refused", m_service->BaseUrl(), "prepare_status=503&prepare_body=%7B%7D", "refused",
       "the file service at " + m_service->HostPort() + " answered with an HTTP error status"},
      // A plain-HTTP service asked for HTTPS: the handshake fails, and the
      // upload does not fall back to plain HTTP.
      {"https to a plain service", "https://" + m_service->HostPort(), "", "failed",
       "the HTTPS exchange with " + m_service->HostPort() + " failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_service->Reset();
    if (!c.knobs.empty()) {
      ASSERT_TRUE(m_service->SetKnobs(c.knobs));
    }
    const std::string path = m_dir.WriteFile("why.bin", RandomBytes(5000));
    const Result r = RunShell(CliWithEnv("") + "--json --service " + c.service + " " + Quote(path), Err());
    EXPECT_EQ(r.status, 1) << r.out << ErrText();
    Json::Value result;
    ASSERT_TRUE(Json::Reader().parse(r.out, result)) << r.out;
    EXPECT_FALSE(result["ok"].asBool());
    EXPECT_EQ(result["state"].asString(), c.state);
    EXPECT_NE(result["reason"].asString().find(c.words), std::string::npos) << result["reason"].asString();
  }
  EXPECT_EQ(m_service->Stats()["commit"].asInt(), 0);
}

// The upload page opens only where a browser can show it; the reports reach
// the web site either way.
TEST_F(CliTest, OpensThePageOnlyWithADisplay) {
  struct Case {
    std::string name;
    std::string env;    // assignments in front of the command
    std::string flags;  // CLI options
    int opened;
  };
  const Case cases[] = {
      {"X display", "", "", 1},
      {"no display", "-u DISPLAY ", "", 0},
      {"Wayland only", "-u DISPLAY WAYLAND_DISPLAY=wayland-0 ", "", 1},
      {"--no-open with a display", "", "--no-open ", 0},
      {"no display, the user asks for the page", "-u DISPLAY CHUNKUP_OPEN_PAGE=1 ", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int pagesBefore = PagesOpened();
    const int reportsBefore = m_service->Stats()["report"].asInt();
    const std::string path = m_dir.WriteFile("page.bin", RandomBytes(3000));
    const Result r = RunShell(CliWithEnv("env " + c.env) + c.flags + "--service " + m_service->BaseUrl() + " " +
                                  Quote(path),
                              Err());
    EXPECT_EQ(r.status, 0) << r.out << ErrText();
    // xdg-open runs detached from the library: give it a moment to write.
    if (c.opened > 0) WaitFor([&] { return PagesOpened() > pagesBefore; }, seconds(10), kPoll);
    EXPECT_EQ(PagesOpened() - pagesBefore, c.opened);
    EXPECT_EQ(m_service->Stats()["report"].asInt() - reportsBefore, 3);
  }
}

// Hundreds of files: with the default --jobs only a few upload at once, so a
// small descriptor limit that hundreds of simultaneous uploads would exhaust
// is enough, and every file arrives. With --jobs 1 the next file starts only
// when the one before it is done.
TEST_F(CliTest, ManyFilesWaitTheirTurn) {
  constexpr int kFiles = 300;
  const auto dir = m_dir.path() / "many";
  std::filesystem::create_directories(dir);
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    files.emplace_back(name, RandomBytes(100 + static_cast<size_t>(i)));
    m_dir.WriteFile("many/" + name, files.back().second);
  }
  Result r = RunShell("cd " + Quote(dir.string()) + " && ulimit -n 64 && " + Cli() + "--no-open *.bin", Err(), 240);
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 4000) << ErrText();
  for (const auto& [name, bytes] : files) {
    const std::string prefix = "\n" + name + ": ok ";
    const size_t at = r.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << name;
    const size_t start = at + prefix.size();
    const std::string url = r.out.substr(start, r.out.find_first_of(" \n", start) - start);
    EXPECT_EQ(m_service->Get(url), bytes) << name;
  }

  ASSERT_TRUE(m_service->SetKnobs("delay_ms=100"));
  const std::string first = m_dir.WriteFile("first.bin", RandomBytes(2000));
  const std::string second = m_dir.WriteFile("second.bin", RandomBytes(2000));
  r = RunShell(Cli() + "--no-open --jobs 1 " + Quote(first) + " " + Quote(second), Err());
  ASSERT_EQ(r.status, 0) << r.out << ErrText();
  const size_t firstDone = r.out.find(first + ": 100% (2.0 KiB of 2.0 KiB), done");
  ASSERT_NE(firstDone, std::string::npos) << r.out;
  EXPECT_GT(r.out.find(second + ": "), firstDone) << r.out;
}

// A Linux file name may hold a line feed or an escape sequence: the upload and
// its reports must still go through, and the terminal output stays clean.
TEST_F(CliTest, ControlCharactersInFileNames) {
  const std::string name = "ctl\n\x1b[31m\r.bin";
  const std::string bytes = RandomBytes(2048);
  const std::string path = m_dir.WriteFile(name, bytes);
  Result r = RunShell("cd " + Quote(m_dir.path().string()) + " && " + Cli() + Quote(name), Err());
  EXPECT_EQ(r.status, 0) << r.out << ErrText();
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ctl??[31m?.bin: ok http://"), std::string::npos) << r.out;

  std::string page;
  std::getline(std::istringstream(ReadFile(m_pages)) >> std::ws, page);
  ASSERT_FALSE(page.empty());
  const Json::Value reports = m_service->Reports(page.substr(page.rfind('/') + 1))["reports"];
  ASSERT_EQ(reports.size(), 3u);
  for (const auto& report : reports) EXPECT_EQ(report["name"].asString(), name);
}

// tmux on a private socket, removed at the end.
class Tmux {
 public:
  explicit Tmux(std::string socket) : m_socket(std::move(socket)) {}
  ~Tmux() { std::system(("tmux -L " + m_socket + " kill-server 2>/dev/null").c_str()); }
  bool Start(const std::string& command, int columns = 150) {
    return std::system(("tmux -L " + m_socket + " -f /dev/null new-session -d -s cli -x " + std::to_string(columns) +
                        " -y 20 " + Quote(command))
                           .c_str()) == 0;
  }
  // The screen row by row; `joined` glues rows that the terminal wrapped.
  std::string Screen(bool joined = false) {
    std::string out;
    FILE* pipe = popen(("tmux -L " + m_socket + " capture-pane -p " + (joined ? "-J " : "") + "-t cli").c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    pclose(pipe);
    return out;
  }
  void Keys(const std::string& keys) {
    std::system(("tmux -L " + m_socket + " send-keys -t cli " + keys).c_str());
  }

 private:
  std::string m_socket;
};

TEST_F(CliTest, TerminalShowsProgressAndCtrlCCancels) {
  if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  // Five chunks, each reply held back, so the upload lasts several seconds.
  const std::string path = m_dir.WriteFile("slow.bin", RandomBytes(5 * 4 * 1024 * 1024));
  const std::string done = (m_dir.path() / "exit.txt").string();
  ASSERT_TRUE(m_service->SetKnobs("delay_ms=700"));

  Tmux tmux("chunkup-cli-test-" + std::to_string(getpid()));
  ASSERT_TRUE(tmux.Start(Cli() + Quote(path) + "; echo \"exit=$?\" > " + Quote(done) + "; sleep 120"));

  // A live bar with a percentage and a speed, while the upload runs.
  std::string screen;
  ASSERT_TRUE(WaitFor(
      [&] {
        screen = tmux.Screen();
        return screen.find("slow.bin") != std::string::npos && screen.find("[##") != std::string::npos &&
               screen.find("uploading") != std::string::npos;
      },
      seconds(60), kPoll))
      << screen;
  EXPECT_NE(screen.find("iB/s"), std::string::npos) << screen;
  EXPECT_EQ(ReadFile(done), "");

  tmux.Keys("C-c");
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(done).empty(); }, seconds(60), kPoll)) << tmux.Screen();
  EXPECT_EQ(ReadFile(done), "exit=130\n") << tmux.Screen();
  screen = tmux.Screen();
  EXPECT_NE(screen.find("slow.bin: cancelled, no result URL"), std::string::npos) << screen;
  // The cancel stopped the transfer: not every chunk reached the service.
  EXPECT_LT(m_service->Stats()["put_stored"].asInt(), 5);
}

// Three files at several terminal widths: one line per file, redrawn in
// place, never wider than the terminal (a wrapped line would make every
// redraw land on the wrong rows and leave stale bars behind). Wide terminals
// show sizes, rate and ETA; 40 columns still show a bar.
TEST_F(CliTest, TerminalBarsFitTheWidth) {
  if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  struct Case {
    int columns;
    int barCells;      // 0: no bar expected
    bool detail;       // sizes, rate and ETA while uploading
  };
  const Case cases[] = {{40, 10, false}, {120, 20, true}, {150, 20, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.columns) + " columns");
    // Fresh bytes for every width, so each run really uploads.
    const std::vector<std::string> names = {"one.bin", "two.bin", "a rather longer third name.bin"};
    const std::vector<size_t> sizes = {3 * 4 * 1024 * 1024 + 1, 4 * 1024 * 1024 + 1, 12345};
    for (size_t i = 0; i < names.size(); ++i) m_dir.WriteFile(names[i], RandomBytes(sizes[i]));
    const std::string done = (m_dir.path() / ("exit-" + std::to_string(c.columns) + ".txt")).string();
    ASSERT_TRUE(m_service->SetKnobs("delay_ms=400"));

    Tmux tmux("chunkup-cli-test-" + std::to_string(getpid()));
    ASSERT_TRUE(tmux.Start("cd " + Quote(m_dir.path().string()) + " && " + Cli() + "--no-open " + Quote(names[0]) +
                               " " + Quote(names[1]) + " " + Quote(names[2]) + "; echo \"exit=$?\" > " + Quote(done) +
                               "; sleep 120",
                           c.columns));
    std::string screen;
    if (c.detail) {
      // While the big file moves: bytes of its total, a rate and an ETA. The
      // small file may get there first while the big one is still hashing
      // (slow under the sanitizers), so wait for the big file's total.
      EXPECT_TRUE(WaitFor(
          [&] {
            screen = tmux.Screen();
            return screen.find("/12.0 MiB") != std::string::npos && screen.find("uploading") != std::string::npos &&
                   screen.find("ETA ") != std::string::npos && screen.find("/s") != std::string::npos;
          },
          seconds(60), kPoll))
          << screen;
    }
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(done).empty(); }, seconds(120), kPoll)) << tmux.Screen();
    EXPECT_EQ(ReadFile(done), "exit=0\n") << tmux.Screen();

    screen = tmux.Screen();
    std::istringstream rows(screen);
    std::string row;
    int bars = 0;
    const std::string fullBar = "[" + std::string(static_cast<size_t>(c.barCells), '#') + "]";
    while (std::getline(rows, row)) {
      if (row.find("100%") == std::string::npos) continue;
      ++bars;
      EXPECT_LT(static_cast<int>(row.size()), c.columns) << row;  // ASCII names: bytes are columns
      EXPECT_NE(row.find(fullBar), std::string::npos) << row;
      EXPECT_NE(row.find("done"), std::string::npos) << row;
    }
    EXPECT_EQ(bars, 3) << screen;
    // The summary after the block, read with wrapped rows joined.
    const std::string joined = tmux.Screen(true);
    for (const std::string& name : names) {
      EXPECT_NE(joined.find(name + ": ok " + m_service->BaseUrl() + "/"), std::string::npos) << joined;
    }
  }
}

}  // namespace
}  // namespace chunkup::testing
