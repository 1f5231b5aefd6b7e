// TCP_NODELAY on the milter listening socket.
//
// At the end of a message the filter sends several replies in a row (an added
// header, an added recipient, then the verdict). With Nagle's algorithm on,
// each reply after the first waits for the MTA's delayed acknowledgement:
// measured 44 ms per message against 0.3 ms with TCP_NODELAY. The milter
// library keeps its listening descriptor to itself, so it is found as the one
// TCP socket of the process that is listening at this moment.
#include "frontend/socket_options.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace {

bool is_listening_tcp_socket(int descriptor) noexcept {
  int listening = 0;
  socklen_t size = sizeof listening;
  if (getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) return false;
  int domain = 0;
  size = sizeof domain;
  if (getsockopt(descriptor, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) return false;
  return domain == AF_INET || domain == AF_INET6;
}

// The descriptor named by a /proc/self/fd entry, or -1 for "." and "..".
int descriptor_of(const char *name) noexcept {
  char *end = nullptr;
  const long number = std::strtol(name, &end, 10);
  if (end == name || *end != '\0' || number < 0 || number > 0x7fffffff) return -1;
  return static_cast<int>(number);
}

}  // namespace

bool is_tcp_connection(const char *spec) noexcept {
  return std::strncmp(spec, "inet:", 5) == 0 || std::strncmp(spec, "inet6:", 6) == 0;
}

int set_listener_nodelay() noexcept {
  DIR *directory = opendir("/proc/self/fd");
  if (directory == nullptr) return 0;
  const int own = dirfd(directory);
  int changed = 0;
  while (const dirent *entry = readdir(directory)) {
    const int descriptor = descriptor_of(entry->d_name);
    if (descriptor < 0 || descriptor == own || !is_listening_tcp_socket(descriptor)) continue;
    const int on = 1;
    if (setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++changed;
  }
  closedir(directory);
  return changed;
}
