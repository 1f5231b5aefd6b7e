// TCP_NODELAY on the listening socket found among the process's descriptors.
#include "frontend/socket_options.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int nodelay(int descriptor) {
  int value = -1;
  socklen_t size = sizeof value;
  getsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &value, &size);
  return value;
}

int tcp_socket(int family, bool listening) {
  const int descriptor = socket(family, SOCK_STREAM, 0);
  if (descriptor < 0 || !listening) return descriptor;
  if (family == AF_INET) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return -1;
  } else {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return -1;
  }
  return listen(descriptor, 1) == 0 ? descriptor : -1;
}

TEST(SocketOptions, SetsNoDelayOnListeningTcpSocketsOnly) {
  const int listening4 = tcp_socket(AF_INET, true);
  ASSERT_GE(listening4, 0);
  const int listening6 = tcp_socket(AF_INET6, true);  // -1 where IPv6 is off
  const int idle = tcp_socket(AF_INET, false);
  ASSERT_GE(idle, 0);
  const int local = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;  // abstract name: nothing left on disk
  std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "quorvane-test-%d", getpid());
  ASSERT_EQ(bind(local, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(local, 1), 0);

  EXPECT_EQ(set_listener_nodelay(), listening6 >= 0 ? 2 : 1);
  EXPECT_EQ(nodelay(listening4), 1);
  if (listening6 >= 0) {
    EXPECT_EQ(nodelay(listening6), 1);
  }
  EXPECT_EQ(nodelay(idle), 0);

  for (int descriptor : {listening4, listening6, idle, local})
    if (descriptor >= 0) close(descriptor);
}

TEST(SocketOptions, TellsTcpConnectionSpecifications) {
  struct Case {
    const char *spec;
    bool want;
  };
  for (const Case &c : {Case{"inet:3333@localhost", true}, Case{"inet6:3333@[::1]", true},
                        Case{"unix:/run/q.sock", false}, Case{"local:/run/q.sock", false},
                        Case{"inet", false}, Case{"INET:25", false}, Case{"", false}}) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(is_tcp_connection(c.spec), c.want);
  }
}

}  // namespace
