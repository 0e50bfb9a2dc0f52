// Network namespace set-up for tests that bind a fixed loopback port.
#include "support/private_network.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool loopbackPortFree(int port, std::string* why) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (!free) *why = "bind 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
  close(fd);
  return free;
}

bool enterPrivateNetwork(std::string* why) {
  if (unshare(CLONE_NEWNET) != 0) {
    *why = std::string("unshare: ") + strerror(errno);
    return false;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return false;
  }
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!up) *why = std::string("the new namespace's loopback stays down: ") + strerror(errno);
  close(fd);
  return up;
}

std::string usePrivateNetworkIfPortBusy(int port) {
  std::string busy;
  if (loopbackPortFree(port, &busy)) return "";
  std::string why;
  if (!enterPrivateNetwork(&why)) return busy + ", and no private network (" + why + ")";
  return busy + "; running in a private network namespace";
}
