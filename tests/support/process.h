// Running the real programs from tests: a program to its end, or the daemon
// in the background.
//
// run_program starts `path` (argv[0] is its file name, so messages name it
// the way a user sees them) with the given arguments and collects standard
// output, standard error and the exit status; it gives up after 30 s. A
// Daemon leaves the program running with its output in files of a TempDir,
// for tests that talk to it, signal it and look at its pid and log files;
// it is killed when the object goes. Every descriptor of the test is
// close-on-exec, so a detached daemon cannot hold a test's pipe open.
// Call from the test's main thread (fork).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

// How the child is set up before exec.
struct Launch {
  std::string directory;       // working directory; empty: unchanged
  std::string stdin_path;      // empty: /dev/null
  bool as_nobody = false;      // drop to the user nobody first (needs root)
  bool in_root_group = false;  // supplementary groups: root's group alone (needs root)
  std::string stdout_path;     // Daemon only; empty: <dir>/daemon.out
  std::string stderr_path;     // Daemon only; empty: <dir>/daemon.err
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

Result run_program(const std::string &path, const std::vector<std::string> &args, const Launch &launch = {});

// Polls `done` every 20 ms until it holds or `limit` has passed.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(15));

// Waits until the filter at `connection` (unix:/path) answers an option
// negotiation, the sign that the milter library's main loop accepts.
bool wait_serving(const std::string &connection);

// SIGTERM to `pid` once its listener waits for connections. A SIGTERM that
// lands while the milter library's listener is between two polls, as it is
// while the main loop starts or right after it accepted a connection, can
// end the loop with a failure (status 255).
void terminate_when_idle(pid_t pid);

// Whether the daemon `pid` waits in its listener's poll for a connection.
bool listener_idle(pid_t pid);

class Daemon {
 public:
  Daemon(const std::string &path, const std::vector<std::string> &args, const TempDir &dir, Launch launch = {});
  ~Daemon();
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  pid_t pid() const { return pid_; }
  std::string out() const { return read_file(stdout_path_); }
  std::string err() const { return read_file(stderr_path_); }

  // Whether it is still running (reaps it when it has ended).
  bool running();

  // Asks it to stop (SIGTERM once idle) without waiting for the end.
  void terminate();

  // terminate(), then waits for the end: the exit status, or -1 when it
  // is still running after 15 s (the milter library notices the signal
  // within about five).
  int stop();

 private:
  pid_t pid_ = -1;
  bool running_ = true;
  int status_ = -1;
  std::string stdout_path_;
  std::string stderr_path_;
};

// The daemon's log file, each line's 24-character timestamp and its space
// cut off; a line without room for one is kept whole.
std::vector<std::string> log_lines_without_time(const std::string &path);
bool log_has(const std::string &path, const std::string &line);

bool running_as_root();
