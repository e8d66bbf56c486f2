// The fixed loopback port a build of the library aims at, and whether it is
// free, for tests that load the library itself.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace chunkup::testing {

// "127.0.0.1:8642" -> 8642, or 0 when the build aims anywhere but loopback.
inline int LoopbackPortOf(const std::string& hostPort) {
  const std::string prefix = "127.0.0.1:";
  if (hostPort.rfind(prefix, 0) != 0) return 0;
  return std::atoi(hostPort.c_str() + prefix.size());
}

// Free unless something is bound there. SO_REUSEADDR, as the service sets it:
// connections of an earlier run still in TIME_WAIT do not count.
inline bool PortIsFree(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

}  // namespace chunkup::testing
