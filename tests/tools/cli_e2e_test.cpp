// The chunkup command end to end against the reference service. The library
// inside the CLI talks to 127.0.0.1:8642 (a build constant), so these tests
// start the service there and skip when something else holds the port.
// Terminal behaviour (live bars, Ctrl-C) is driven through tmux.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/service_process.h"
#include "tests/support/temp_dir.h"

namespace chunkup::testing {
namespace {

constexpr int kLibraryPort = 8642;

bool PortIsFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string RandomBytes(size_t size) {
  std::mt19937_64 generator(std::random_device{}());
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(generator());
  return bytes;
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

bool WaitFor(const std::function<bool()>& done, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PortIsFree(kLibraryPort)) {
      GTEST_SKIP() << "127.0.0.1:" << kLibraryPort
                   << " is in use; the CLI's library only talks to that address, so these tests need it free";
    }
    m_service = std::make_unique<ServiceProcess>(
        std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(kLibraryPort)});
    ASSERT_EQ(m_service->HostPort(), "127.0.0.1:" + std::to_string(kLibraryPort));

    // The library shows the upload page with xdg-open; this stand-in records
    // the address instead of starting a browser.
    const auto bin = m_dir.path() / "bin";
    std::filesystem::create_directories(bin);
    m_pages = (m_dir.path() / "pages.txt").string();
    std::ofstream shim(bin / "xdg-open");
    shim << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " << Quote(m_pages) << "\n";
    shim.close();
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    m_env = "env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY PATH=" + Quote(bin.string()) + ":\"$PATH\" ";
  }

  std::string Cli() const { return m_env + Quote(CHUNKUP_CLI_PATH) + " "; }
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

  // Usage errors.
  EXPECT_EQ(RunShell(Cli(), Err()).status, 2);
  EXPECT_EQ(RunShell(Cli() + "--bogus " + Quote(path), Err()).status, 2);
  r = RunShell(Cli() + "--help", Err());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Usage: chunkup"), std::string::npos);
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
  bool Start(const std::string& command) {
    return std::system(("tmux -L " + m_socket + " -f /dev/null new-session -d -s cli -x 150 -y 20 " + Quote(command))
                           .c_str()) == 0;
  }
  std::string Screen() {
    std::string out;
    FILE* pipe = popen(("tmux -L " + m_socket + " capture-pane -p -t cli").c_str(), "r");
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
      60))
      << screen;
  EXPECT_NE(screen.find("KiB/s"), std::string::npos) << screen;
  EXPECT_EQ(ReadFile(done), "");

  tmux.Keys("C-c");
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(done).empty(); }, 60)) << tmux.Screen();
  EXPECT_EQ(ReadFile(done), "exit=130\n") << tmux.Screen();
  screen = tmux.Screen();
  EXPECT_NE(screen.find("slow.bin: cancelled, no result URL"), std::string::npos) << screen;
  // The cancel stopped the transfer: not every chunk reached the service.
  EXPECT_LT(m_service->Stats()["put_stored"].asInt(), 5);
}

TEST_F(CliTest, TerminalRunToTheEnd) {
  if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  const std::string one = m_dir.WriteFile("one.bin", RandomBytes(4 * 1024 * 1024 + 1));
  const std::string two = m_dir.WriteFile("two.bin", RandomBytes(12345));
  const std::string done = (m_dir.path() / "exit.txt").string();
  ASSERT_TRUE(m_service->SetKnobs("delay_ms=300"));

  Tmux tmux("chunkup-cli-test-" + std::to_string(getpid()));
  ASSERT_TRUE(tmux.Start(Cli() + Quote(one) + " " + Quote(two) + "; echo \"exit=$?\" > " + Quote(done) +
                         "; sleep 120"));
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(done).empty(); }, 60)) << tmux.Screen();
  EXPECT_EQ(ReadFile(done), "exit=0\n");
  const std::string screen = tmux.Screen();
  // One bar line per file, redrawn in place: each file has one line in the
  // progress block and one in the summary.
  for (const std::string& name : {one, two}) {
    EXPECT_NE(screen.find(name + ": ok http://"), std::string::npos) << screen;
    std::istringstream lines(screen);
    std::string line;
    int bars = 0;
    while (std::getline(lines, line)) {
      if (line.rfind(name + " ", 0) == 0) {
        ++bars;
        EXPECT_NE(line.find("[####################]  100%"), std::string::npos) << line;
        EXPECT_NE(line.find(" done"), std::string::npos) << line;
      }
    }
    EXPECT_EQ(bars, 1) << screen;
  }
}

}  // namespace
}  // namespace chunkup::testing
