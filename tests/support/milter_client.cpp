// The MTA side of the milter protocol, for tests that talk to the real daemon.
#include "support/milter_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Opens a stream socket to `path`; -1 with `error` set on failure.
int connect_unix(const std::string &path, std::string &error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = "socket path too long: " + path;
    return -1;
  }
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) return fd;
  error = "cannot connect to " + path + ": " + std::strerror(errno);
  if (fd >= 0) close(fd);
  return -1;
}

// "PORT@HOST", or "PORT" for the loopback address.
int connect_inet(const std::string &spec, std::string &error) {
  const std::size_t at = spec.find('@');
  const std::string port = spec.substr(0, at);
  const std::string host = at == std::string::npos ? "127.0.0.1" : spec.substr(at + 1);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = "cannot resolve " + spec;
    return -1;
  }
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    error = "cannot connect to " + spec + ": " + std::strerror(errno);
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

bool starts_with(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string milter_u32(std::uint32_t value) {
  const std::uint32_t network = htonl(value);
  return std::string(reinterpret_cast<const char *>(&network), 4);
}

MilterClient::MilterClient(const std::string &connection) {
  if (starts_with(connection, "unix:"))
    fd_ = connect_unix(connection.substr(5), error_);
  else if (starts_with(connection, "local:"))
    fd_ = connect_unix(connection.substr(6), error_);
  else if (starts_with(connection, "inet:"))
    fd_ = connect_inet(connection.substr(5), error_);
  else
    error_ = "not a milter connection: " + connection;
}

MilterClient::~MilterClient() {
  if (fd_ >= 0) close(fd_);
}

void MilterClient::set_reply_timeout(int seconds) {
  timeval limit{seconds, 0};
  if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

bool MilterClient::send(char command, const std::string &data) {
  if (fd_ < 0) return false;
  std::string packet = milter_u32(static_cast<std::uint32_t>(data.size() + 1));
  packet += command;
  packet += data;
  std::size_t done = 0;
  while (done < packet.size()) {
    const ssize_t n = ::send(fd_, packet.data() + done, packet.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "the filter closed the connection";
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool MilterClient::receive(char &command, std::string &data) {
  char header[5];
  if (!read_exactly(header, sizeof header)) return false;
  std::uint32_t length = 0;
  std::memcpy(&length, header, 4);
  length = ntohl(length);
  if (length == 0) {
    error_ = "empty reply packet";
    return false;
  }
  command = header[4];
  data.assign(length - 1, '\0');
  return read_exactly(data.data(), data.size());
}

bool MilterClient::read_exactly(char *into, std::size_t size) {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd_, into + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n == 0 ? "the filter closed the connection" : std::string("no reply: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool MilterClient::negotiate(std::uint32_t &skipped_steps) {
  if (!send('O', milter_u32(6) + milter_u32(0x1FF) + milter_u32(0x1FFFFF))) return false;
  char reply = 0;
  std::string data;
  if (!receive(reply, data)) return false;
  if (reply != 'O' || data.size() < 12) {
    error_ = std::string("reply '") + reply + "' to the option negotiation";
    return false;
  }
  std::memcpy(&skipped_steps, data.data() + 8, 4);
  skipped_steps = ntohl(skipped_steps);
  return true;
}

void MilterClient::quit() { send('Q', ""); }

bool answers_negotiation(const std::string &connection, int timeout_seconds) {
  MilterClient client(connection);
  client.set_reply_timeout(timeout_seconds);
  std::uint32_t skipped = 0;
  if (!client.negotiate(skipped)) return false;
  client.quit();
  return true;
}
