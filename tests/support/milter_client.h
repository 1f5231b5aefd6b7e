// The MTA side of the milter protocol, for tests that talk to the real daemon.
//
// A MilterClient connects to a filter at a connection written the milter
// library's way (unix:/path, local:/path, inet:PORT@HOST), sends packets
// (a 4-byte length counting the command byte, the command, the data) and
// reads the filter's replies. Failures are results: connected() and error()
// tell what went wrong, send and receive return false once the connection
// is gone. One object per connection and thread.
//
// answers_negotiation is the readiness probe of the test harnesses: only
// when the filter answers an option negotiation is the milter library's
// main loop accepting.
#pragma once

#include <cstdint>
#include <string>

class MilterClient {
 public:
  explicit MilterClient(const std::string &connection);
  ~MilterClient();
  MilterClient(const MilterClient &) = delete;
  MilterClient &operator=(const MilterClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  const std::string &error() const { return error_; }

  // Gives up on a reply after this long (default: waits for ever).
  void set_reply_timeout(int seconds);

  bool send(char command, const std::string &data);
  bool receive(char &command, std::string &data);

  // Offers protocol version 6 with every action and every step. True when
  // the filter answered with its own offer; `skipped_steps` is then the
  // steps it asked the MTA to leave out.
  bool negotiate(std::uint32_t &skipped_steps);

  // Ends the session politely (the quit command); the socket closes with the
  // object.
  void quit();

 private:
  bool read_exactly(char *into, std::size_t size);

  int fd_ = -1;
  std::string error_;
};

// Connects to `connection`, negotiates and quits: whether the filter
// answered within `timeout_seconds`.
bool answers_negotiation(const std::string &connection, int timeout_seconds = 2);

// The 4 bytes of `value` in network order, as milter packets carry numbers.
std::string milter_u32(std::uint32_t value);
