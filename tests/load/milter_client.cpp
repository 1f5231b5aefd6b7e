// A small milter-protocol client for the extreme-input tests: it plays the
// MTA for one message that miltertest cannot send (NUL bytes in the body,
// addresses of many kilobytes, hundreds of megabytes of body, many thousands
// of recipients or headers), checks the daemon's verdict, and then checks
// that the mailbox holds exactly that message's record, byte for byte (the
// date of the From line is only checked for its layout).
//
//   quorvane_milter_client <socket> <case> <mailbox>
//
// <socket> is unix:/path. Cases:
//   big_address     a 1 MiB sender: the milter library refuses the packet and
//                   closes the connection; nothing may be stored
//   long_address    a sender just under the library's 64 KiB packet limit
//   long_header     a header value as long as that limit lets a header be,
//                   which the rules test with "(a*)*b": the end of message
//                   must come back within 30 s (a backtracking matcher would
//                   take longer than anyone waits; the bound catches a hang)
//   many_recipients 10,000 recipients
//   many_headers    100,000 headers
//   empty_body      no body at all
//   nul_8bit        every byte value in the body, 8-bit bytes in the sender,
//                   a recipient and header values
//   big_body        a 200 MiB body (QUORVANE_BIG_BODY_MB changes the size)
// Prints one line with the figures; exits 0 when everything was as expected.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "milter_client: %s\n", what.c_str());
  std::exit(1);
}

int connect_to(const std::string &socket_spec) {
  const std::string prefix = "unix:";
  if (socket_spec.compare(0, prefix.size(), prefix) != 0) fail("only unix: sockets are supported");
  const std::string path = socket_spec.substr(prefix.size());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) fail("socket path too long");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    fail("cannot connect to " + path + ": " + std::strerror(errno));
  return fd;
}

class Connection {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  ~Connection() { close(fd_); }

  // Sends one packet: 4-byte length (command byte included), command, data.
  // False when the daemon has closed the connection.
  bool send(char command, const std::string &data) {
    const std::uint32_t length = htonl(static_cast<std::uint32_t>(data.size() + 1));
    std::string packet(reinterpret_cast<const char *>(&length), 4);
    packet += command;
    packet += data;
    std::size_t done = 0;
    while (done < packet.size()) {
      const ssize_t n = ::send(fd_, packet.data() + done, packet.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Reads one reply packet; false when the connection is closed.
  bool receive(char &command, std::string &data) {
    char header[5];
    if (!read_exactly(header, 5)) return false;
    std::uint32_t length = 0;
    std::memcpy(&length, header, 4);
    length = ntohl(length);
    if (length == 0) fail("empty reply packet");
    command = header[4];
    data.assign(length - 1, '\0');
    return read_exactly(data.data(), data.size());
  }

  // Sends a command and expects the filter's "continue".
  void step(char command, const std::string &data, const char *what) {
    if (!send(command, data)) fail(std::string("connection closed at ") + what);
    char reply = 0;
    std::string rest;
    if (!receive(reply, rest)) fail(std::string("connection closed after ") + what);
    if (reply != 'c') fail(std::string("reply '") + reply + "' to " + what);
  }

 private:
  bool read_exactly(char *into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::read(fd_, into + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  int fd_;
};

std::string be32(std::uint32_t value) {
  value = htonl(value);
  return std::string(reinterpret_cast<const char *>(&value), 4);
}

// Negotiates protocol version 6 with every action and step offered, and
// returns the steps the filter asked to leave out.
std::uint32_t negotiate(Connection &c) {
  if (!c.send('O', be32(6) + be32(0x1FF) + be32(0x1FFFFF))) fail("cannot negotiate");
  char reply = 0;
  std::string data;
  if (!c.receive(reply, data) || reply != 'O' || data.size() < 12) fail("no negotiation reply");
  std::uint32_t steps = 0;
  std::memcpy(&steps, data.data() + 8, 4);
  return ntohl(steps);
}

std::string lower_ascii(std::string text) {
  for (char &ch : text)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return text;
}

// One message as the MTA hands it over.
struct Message {
  std::string sender;
  std::vector<std::string> recipients;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool no_body = false;
};

Message build(const std::string &name) {
  Message m;
  m.sender = "<Sender@Load.Test>";
  m.recipients = {"<rcpt@load.test>"};
  m.headers = {{"Message-ID", "<" + name + "@load.test>"}, {"Subject", "extreme input: " + name}};
  m.body = "body of " + name + "\n";
  if (name == "big_address") {
    m.sender = "<" + std::string(1 << 20, 'a') + "@load.test>";
  } else if (name == "long_address") {
    m.sender = "<" + std::string(65000, 'L') + "@Load.Test>";
  } else if (name == "long_header") {
    // The header packet holds the name, the value and two NULs.
    m.headers.emplace_back("X-Long", std::string(65535 - 6 - 2, 'a'));
  } else if (name == "many_recipients") {
    m.recipients.clear();
    for (int i = 0; i < 10000; ++i) m.recipients.push_back("<r" + std::to_string(i) + "@load.test>");
  } else if (name == "many_headers") {
    for (int i = 0; i < 100000; ++i) m.headers.emplace_back("X-H" + std::to_string(i), "value " + std::to_string(i));
  } else if (name == "empty_body") {
    m.body.clear();
    m.no_body = true;
  } else if (name == "nul_8bit") {
    m.sender = "<\xC3\xA9l\xE8ve\x80\xFF@Load.Test>";
    m.recipients = {"<\xE5\x90\x8D@load.test>"};
    m.headers.emplace_back("X-Latin", "caf\xE9 \xFF\xFE");
    m.headers.emplace_back("X-Empty", "");
    m.body.clear();
    for (int round = 0; round < 3; ++round)
      for (int byte = 0; byte < 256; ++byte) m.body += static_cast<char>(byte);
    m.body += std::string("\0\0no newline at the end\0", 25);
  } else if (name == "big_body") {
    const char *mb = std::getenv("QUORVANE_BIG_BODY_MB");
    const std::size_t size = static_cast<std::size_t>(mb != nullptr ? std::atol(mb) : 200) << 20;
    std::string line = "0123456789 the quick brown fox jumps over the lazy dog 0123456789\n";
    m.body.reserve(size);
    while (m.body.size() + line.size() <= size) m.body += line;
    m.body.append(size - m.body.size(), 'z');
  } else {
    fail("unknown case " + name);
  }
  return m;
}

// The record the mailbox must hold, but for the date of the From line.
struct Expected {
  std::string from_line_start;  // "From <sender>  "
  std::string after_date;       // "\n", headers, blank line, body, "\n\n"
};

Expected expected_record(const Message &m) {
  std::string sender = m.sender;
  if (sender.size() >= 2 && sender.front() == '<' && sender.back() == '>') sender = sender.substr(1, sender.size() - 2);
  Expected e;
  e.from_line_start = "From <" + lower_ascii(sender) + ">  ";
  e.after_date = "\n";
  for (const auto &[name, value] : m.headers) e.after_date += name + ": " + value + "\n";
  e.after_date += "\n" + m.body + "\n\n";
  return e;
}

bool is_date(const std::string &text) {
  // "Tue Dec  8 21:08:33 2026"
  if (text.size() != 24) return false;
  const char *layout = "Aaa Aaa #9 99:99:99 9999";
  for (std::size_t i = 0; i < 24; ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    switch (layout[i]) {
      case 'A':
      case 'a': if (!std::isalpha(ch)) return false; break;
      case '9': if (!std::isdigit(ch)) return false; break;
      case '#': if (ch != ' ' && !std::isdigit(ch)) return false; break;
      default: if (ch != ' ' && ch != ':') return false; break;
    }
  }
  return true;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void check_mailbox(const std::string &path, const Expected &e) {
  const std::string data = read_file(path);
  const std::size_t want = e.from_line_start.size() + 24 + e.after_date.size();
  if (data.size() != want)
    fail("mailbox holds " + std::to_string(data.size()) + " bytes, the record is " + std::to_string(want));
  if (data.compare(0, e.from_line_start.size(), e.from_line_start) != 0) fail("the From line differs");
  if (!is_date(data.substr(e.from_line_start.size(), 24))) fail("the From line has no date");
  if (data.compare(e.from_line_start.size() + 24, std::string::npos, e.after_date) != 0)
    fail("the record differs from the message");
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <socket> <case> <mailbox>\n", argv[0]);
    return 2;
  }
  const std::string name = argv[2];
  const std::string mailbox = argv[3];
  const Message m = build(name);
  const auto started = std::chrono::steady_clock::now();

  Connection c(connect_to(argv[1]));
  const std::uint32_t skipped = negotiate(c);
  if ((skipped & 0x1) == 0) c.step('C', std::string("localhost\0U", 11), "connect");
  if ((skipped & 0x2) == 0) c.step('H', std::string("client.load.test\0", 17), "HELO");

  if (name == "big_address") {
    // Over the library's packet limit: the filter drops the connection
    // instead of answering.
    char reply = 0;
    std::string rest;
    if (c.send('M', m.sender + std::string(1, '\0')) && c.receive(reply, rest))
      fail(std::string("a 1 MiB sender got the reply '") + reply + "'");
    std::ifstream stored(mailbox);
    if (stored.good()) fail("something was stored for the refused message");
    std::printf("%s: the 1 MiB sender was refused by the milter library and the connection closed\n", name.c_str());
    return 0;
  }

  c.step('M', m.sender + std::string(1, '\0'), "MAIL FROM");
  for (const auto &recipient : m.recipients) c.step('R', recipient + std::string(1, '\0'), "RCPT TO");
  if ((skipped & 0x200) == 0) c.step('T', "", "DATA");
  for (const auto &[hname, value] : m.headers)
    c.step('L', hname + std::string(1, '\0') + value + std::string(1, '\0'), "header");
  if ((skipped & 0x40) == 0) c.step('N', "", "end of headers");
  const std::size_t chunk = 65535;
  for (std::size_t at = 0; !m.no_body && at < m.body.size(); at += chunk)
    c.step('B', m.body.substr(at, chunk), "body chunk");

  const auto end_of_message = std::chrono::steady_clock::now();
  if (!c.send('E', "")) fail("connection closed at end of message");
  char reply = 0;
  std::string rest;
  do {
    if (!c.receive(reply, rest)) fail("connection closed after end of message");
  } while (reply == 'h' || reply == '+' || reply == 'p');
  if (reply != 'c') fail(std::string("end of message: reply '") + reply + "'");
  c.send('Q', "");
  const double elapsed = seconds_since(started);
  const double filtering = seconds_since(end_of_message);
  if (name == "long_header" && filtering > 30) fail("end of message took " + std::to_string(filtering) + " s");

  const Expected e = expected_record(m);
  check_mailbox(mailbox, e);
  std::printf("%s: %zu recipients, %zu headers, %zu body bytes: accepted in %.2f s (end of message %.2f s), record of %zu bytes stored whole\n",
              name.c_str(), m.recipients.size(), m.headers.size(), m.body.size(), elapsed, filtering,
              e.from_line_start.size() + 24 + e.after_date.size());
  return 0;
}
