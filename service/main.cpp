// chunkup-service: the file service and web site the chunkup library talks to.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "service/server.h"
#include "service/store.h"
#include "service/util.h"

namespace {

using chunkup::service::Options;

void Usage(FILE* out) {
  std::fputs(
      "usage: chunkup-service [--listen HOST:PORT] [--data-dir DIR] [--public-url URL] [--quiet]\n"
      "                       [--tls-cert FILE --tls-key FILE] [--admin-token TOKEN]\n"
      "                       [--gc-interval SECONDS] [--upload-ttl SECONDS] [--max-body BYTES]\n"
      "  --listen HOST:PORT     address to serve on (default 127.0.0.1:8642; port 0 picks a free port)\n"
      "  --data-dir DIR         where chunks and the database live (default $XDG_DATA_HOME/chunkup-service,\n"
      "                         ~/.local/share/chunkup-service, or ./chunkup-service-data)\n"
      "  --public-url URL       base written into the URLs handed out (default http(s)://<listen address>)\n"
      "  --quiet                no request log on stderr\n"
      "  --tls-cert FILE        serve HTTPS with this PEM certificate (chain) ...\n"
      "  --tls-key FILE         ... and this PEM private key\n"
      "  --admin-token TOKEN    lets clients other than loopback list (GET /f/) and delete (DELETE /f/ID)\n"
      "                         files with the header \"Authorization: Bearer TOKEN\"\n"
      "  --gc-interval SECONDS  how often chunks no file or upload needs are deleted (default 3600; 0: only\n"
      "                         at start)\n"
      "  --upload-ttl SECONDS   an unfinished upload untouched this long is forgotten (default 86400)\n"
      "  --max-body BYTES       largest request body (default and minimum 8 MiB); raise it only to\n"
      "                         PUT whole files to /_sink for benchmarks\n"
      "  --version              print the version and exit\n",
      out);
}

std::string DefaultDataDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/chunkup-service";
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return std::string(home) + "/.local/share/chunkup-service";
  return "./chunkup-service-data";
}

bool ParseListen(const std::string& text, Options& options) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  auto p = chunkup::service::ParseUnsignedDecimal(port);
  if (host.empty() || !p || *p > 65535) return false;
  options.listenHost = host;
  options.listenPort = int(*p);
  return true;
}

bool IsHttpUrl(const std::string& url) {
  return (url.rfind("http://", 0) == 0 && url.size() > 7) || (url.rfind("https://", 0) == 0 && url.size() > 8);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "chunkup-service: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--listen") {
      if (!ParseListen(value("--listen"), options)) {
        std::fprintf(stderr, "chunkup-service: --listen takes HOST:PORT\n");
        return 2;
      }
    } else if (arg == "--data-dir") {
      options.dataDir = value("--data-dir");
    } else if (arg == "--public-url") {
      options.publicUrl = value("--public-url");
      if (!IsHttpUrl(options.publicUrl)) {
        std::fprintf(stderr, "chunkup-service: --public-url takes an http:// or https:// URL\n");
        return 2;
      }
    } else if (arg == "--max-body") {
      const char* text = value("--max-body");
      char* end = nullptr;
      const unsigned long long bytes = std::strtoull(text, &end, 10);
      if (end == text || *end != '\0' || text[0] == '-') {
        std::fprintf(stderr, "chunkup-service: --max-body takes a byte count\n");
        return 2;
      }
      options.maxBody = static_cast<size_t>(bytes);
    } else if (arg == "--tls-cert") {
      options.tlsCert = value("--tls-cert");
    } else if (arg == "--tls-key") {
      options.tlsKey = value("--tls-key");
    } else if (arg == "--admin-token") {
      options.adminToken = value("--admin-token");
      if (options.adminToken.empty() || options.adminToken.find_first_of(" \t\r\n") != std::string::npos) {
        std::fprintf(stderr, "chunkup-service: --admin-token takes a non-empty token without spaces\n");
        return 2;
      }
    } else if (arg == "--gc-interval" || arg == "--upload-ttl") {
      auto seconds = chunkup::service::ParseUnsignedDecimal(value(arg.c_str()));
      if (!seconds || *seconds > 100LL * 365 * 86400 || (arg == "--upload-ttl" && *seconds == 0)) {
        std::fprintf(stderr, "chunkup-service: %s takes a number of seconds%s\n", arg.c_str(),
                     arg == "--upload-ttl" ? " (at least 1)" : "");
        return 2;
      }
      (arg == "--gc-interval" ? options.gcIntervalSeconds : options.uploadTtlSeconds) = *seconds;
    } else if (arg == "--version") {
      std::printf("chunkup-service %s\n", CHUNKUP_SERVICE_VERSION);
      return 0;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "chunkup-service: unknown argument %s\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (options.dataDir.empty()) options.dataDir = DefaultDataDir();
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    std::fprintf(stderr, "chunkup-service: --tls-cert and --tls-key go together\n");
    return 2;
  }
  for (const std::string* file : {&options.tlsCert, &options.tlsKey}) {
    if (file->empty()) continue;
    if (FILE* f = std::fopen(file->c_str(), "rb")) {
      std::fclose(f);
    } else {
      std::fprintf(stderr, "chunkup-service: cannot read %s: %s\n", file->c_str(), std::strerror(errno));
      return 1;
    }
  }

  // Signals are taken by one thread with sigwait; every other thread, the
  // server's workers included, inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A client that goes away mid-reply must not kill the service.
  signal(SIGPIPE, SIG_IGN);

  chunkup::service::Store store;
  std::string error;
  if (!store.Open(options.dataDir, &error)) {
    std::fprintf(stderr, "chunkup-service: %s\n", error.c_str());
    return 1;
  }
  chunkup::service::Service service(options, store);
  if (!service.Valid(&error) || !service.Bind(&error)) {
    std::fprintf(stderr, "chunkup-service: %s\n", error.c_str());
    return 1;
  }
  // What is left over from before (stale uploads, chunks nothing refers to)
  // goes before the first request; then every --gc-interval.
  service.Collect();
  service.StartCollector();

  // Requests in progress get a few seconds to finish after a signal; a client
  // stalled in the middle of a body must not hold the shutdown for long. An
  // unfinished chunk is only ever a temporary file, so leaving is safe.
  std::mutex runLock;
  std::condition_variable runCv;
  bool runEnded = false;
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    {
      std::unique_lock<std::mutex> lock(runLock);
      if (runEnded) return;
    }
    std::fprintf(stderr, "chunkup-service: signal %d, shutting down\n", sig);
    // A signal that comes just before the server has started listening finds
    // nothing to stop yet: stopping is repeated until the server has ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::unique_lock<std::mutex> lock(runLock);
    while (!runEnded) {
      if (std::chrono::steady_clock::now() >= deadline) {
        std::fprintf(stderr, "chunkup-service: requests still running after 5 s; leaving without them\n");
        std::fflush(stderr);
        std::_Exit(0);
      }
      lock.unlock();
      service.Stop();
      lock.lock();
      runCv.wait_for(lock, std::chrono::milliseconds(100), [&] { return runEnded; });
    }
  });

  std::printf("chunkup-service listening on %s\n", service.ListenUrl().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "chunkup-service: data in %s, public URL %s\n", options.dataDir.c_str(),
               service.PublicUrl().c_str());
  bool ok = service.Run();
  {
    std::lock_guard<std::mutex> lock(runLock);
    runEnded = true;
  }
  runCv.notify_all();
  // When the server ended on its own, wake the waiter so it can be joined.
  if (!ok) pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  store.Close();
  std::fprintf(stderr, "chunkup-service: stopped\n");
  return ok ? 0 : 1;
}
