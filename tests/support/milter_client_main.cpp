// quorvane_milter_client: the test suite's milter client program. It plays
// the MTA on one connection, built on MilterClient (milter_client.h).
//
//   quorvane_milter_client <connection> ping
//   quorvane_milter_client <connection> <case> <mailbox>
//
// <connection> is unix:/path or inet:PORT@HOST. `ping` negotiates and quits:
// exit status 0 when the filter answered (the harnesses' readiness probe).
// The other cases send one message that miltertest cannot, check the
// daemon's verdict, and then check that <mailbox> holds exactly that
// message's record, byte for byte (the date of the From line is only checked
// for its layout):
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
// Prints one line with the figures; exits 0 when everything was as expected,
// 1 with the reason on standard error otherwise.
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/milter_client.h"
#include "support/temp_dir.h"

namespace {

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "quorvane_milter_client: %s\n", what.c_str());
  std::exit(1);
}

// Sends a command and expects the filter's "continue".
void step(MilterClient &c, char command, const std::string &data, const char *what) {
  if (!c.send(command, data)) fail(std::string("at ") + what + ": " + c.error());
  char reply = 0;
  std::string rest;
  if (!c.receive(reply, rest)) fail(std::string("after ") + what + ": " + c.error());
  if (reply != 'c') fail(std::string("reply '") + reply + "' to " + what);
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

// Negotiates and quits: whether the filter is serving.
int ping(const std::string &connection) {
  MilterClient c(connection);
  c.set_reply_timeout(5);
  std::uint32_t skipped = 0;
  if (!c.negotiate(skipped)) fail(c.error());
  c.quit();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[2]) == "ping") return ping(argv[1]);
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <connection> ping\n       %s <connection> <case> <mailbox>\n", argv[0], argv[0]);
    return 2;
  }
  const std::string name = argv[2];
  const std::string mailbox = argv[3];
  const Message m = build(name);
  const auto started = std::chrono::steady_clock::now();

  MilterClient c(argv[1]);
  std::uint32_t skipped = 0;
  if (!c.negotiate(skipped)) fail("no negotiation: " + c.error());
  if ((skipped & 0x1) == 0) step(c, 'C', std::string("localhost\0U", 11), "connect");
  if ((skipped & 0x2) == 0) step(c, 'H', std::string("client.load.test\0", 17), "HELO");

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

  step(c, 'M', m.sender + std::string(1, '\0'), "MAIL FROM");
  for (const auto &recipient : m.recipients) step(c, 'R', recipient + std::string(1, '\0'), "RCPT TO");
  if ((skipped & 0x200) == 0) step(c, 'T', "", "DATA");
  for (const auto &[hname, value] : m.headers)
    step(c, 'L', hname + std::string(1, '\0') + value + std::string(1, '\0'), "header");
  if ((skipped & 0x40) == 0) step(c, 'N', "", "end of headers");
  const std::size_t chunk = 65535;
  for (std::size_t at = 0; !m.no_body && at < m.body.size(); at += chunk)
    step(c, 'B', m.body.substr(at, chunk), "body chunk");

  const auto end_of_message = std::chrono::steady_clock::now();
  if (!c.send('E', "")) fail("at end of message: " + c.error());
  char reply = 0;
  std::string rest;
  do {
    if (!c.receive(reply, rest)) fail("after end of message: " + c.error());
  } while (reply == 'h' || reply == '+' || reply == 'p');
  if (reply != 'c') fail(std::string("end of message: reply '") + reply + "'");
  c.quit();
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
