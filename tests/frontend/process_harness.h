// Running the real quorvane binary from command-line tests.
//
// run_quorvane starts the binary with the given arguments (argv[0] is
// "quorvane", so messages name it that way), standard input on /dev/null,
// and collects standard output, standard error and the exit status.
// start_quorvane leaves a daemon running with its output in files, for tests
// that talk to it, signal it and look at its pid and log files. TempDir is a
// scratch directory removed with everything in it. Header-only: each
// *_cli_test.cpp includes it.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace cli {

inline const std::string kBinary = QUORVANE_BINARY;

inline std::string usage_line() {
  return "Usage: quorvane [-abdhnv] [-l logfile] [-m metrics_file] [-r pidfile] [-t timeout] [-u username] -f config_file -p port\n";
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-cli-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool exists(const std::string &path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

// Polls `done` every 20 ms until it holds or `limit` has passed.
inline bool wait_until(const std::function<bool()> &done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(15000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Whether the daemon on the unix socket `path` answers an option
// negotiation: only then is the milter library's main loop accepting.
inline bool answers_negotiation(const std::string &path) {
  const int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (descriptor < 0 || path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  bool answered = false;
  if (connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    // Length 13, 'O', protocol version 6, every action, every step.
    const unsigned char offer[] = {0, 0, 0, 13, 'O', 0, 0, 0, 6, 0, 0, 0x01, 0xff, 0, 0x1f, 0xff, 0xff};
    timeval limit{2, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    unsigned char reply[5] = {};
    answered = write(descriptor, offer, sizeof offer) == static_cast<ssize_t>(sizeof offer) &&
               recv(descriptor, reply, sizeof reply, MSG_WAITALL) == static_cast<ssize_t>(sizeof reply) &&
               reply[4] == 'O';
  }
  close(descriptor);
  return answered;
}

// Waits until the daemon on the unix socket `path` serves.
inline bool wait_serving(const std::string &path) {
  return wait_until([&] { return answers_negotiation(path); });
}

// Whether the main thread of `pid` waits in poll(2), which is where the
// milter library's listener waits between connections. A SIGTERM that lands
// while the listener is between two polls, as it is while the main loop
// starts or right after it accepted a connection, can end the loop with a
// failure (status 255), so tests wait for this before they signal. True as
// well when the kernel does not tell (no wait channel to read).
inline bool listener_idle(pid_t pid) {
  const std::string wchan = read_file("/proc/" + std::to_string(pid) + "/wchan");
  return wchan.empty() || wchan == "0" || wchan.find("poll") != std::string::npos;
}

// SIGTERM to `pid` once its listener waits for connections.
inline void terminate_when_idle(pid_t pid) {
  wait_until([pid] { return listener_idle(pid) || kill(pid, 0) != 0; }, std::chrono::milliseconds(5000));
  kill(pid, SIGTERM);
}

// How the child is set up before exec.
struct Launch {
  std::string directory;     // working directory; empty: unchanged
  bool as_nobody = false;    // drop to the user nobody first (needs root)
  bool in_root_group = false;  // supplementary groups: root's group alone (needs root)
  std::string stdout_path;   // empty: a pipe read by run_quorvane
  std::string stderr_path;
};

// In the child: never returns.
[[noreturn]] inline void exec_quorvane(const std::vector<std::string> &args, const Launch &launch, int out,
                                       int err) {
  // Every descriptor of the test is close-on-exec: a detached daemon that
  // kept one of the pipes open would hold run_quorvane until its deadline.
  const int null_device = open("/dev/null", O_RDONLY | O_CLOEXEC);
  dup2(null_device, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  if (!launch.directory.empty() && chdir(launch.directory.c_str()) != 0) _exit(121);
  if (launch.in_root_group) {
    const gid_t root_group = 0;
    if (setgroups(1, &root_group) != 0) _exit(124);
  }
  if (launch.as_nobody) {
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
        setuid(nobody->pw_uid) != 0)
      _exit(122);
  }
  std::vector<char *> argv;
  std::string name = "quorvane";
  argv.push_back(name.data());
  std::vector<std::string> copies = args;
  for (std::string &arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execv(kBinary.c_str(), argv.data());
  _exit(123);
}

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

inline int decode_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// Runs the binary to its end (at most 30 s) and returns what it wrote.
inline Result run_quorvane(const std::vector<std::string> &args, const Launch &launch = {}) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    close(err[0]);
    exec_quorvane(args, launch, out[1], err[1]);
  }
  close(out[1]);
  close(err[1]);
  Result result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (open_count > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(count));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  if (open_count > 0) kill(child, SIGKILL);
  for (pollfd &fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  result.status = decode_status(wait_status);
  return result;
}

// A daemon started in the foreground; killed at the end of the test if still
// running.
class Daemon {
 public:
  Daemon(const std::vector<std::string> &args, const TempDir &dir, Launch launch = {}) {
    if (launch.stdout_path.empty()) launch.stdout_path = dir.file("daemon.out");
    if (launch.stderr_path.empty()) launch.stderr_path = dir.file("daemon.err");
    stdout_path_ = launch.stdout_path;
    stderr_path_ = launch.stderr_path;
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(launch.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      const int err = open(launch.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      exec_quorvane(args, launch, out, err);
    }
  }
  ~Daemon() {
    if (running_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  pid_t pid() const { return pid_; }
  std::string out() const { return read_file(stdout_path_); }
  std::string err() const { return read_file(stderr_path_); }

  // Whether it is still running (reaps it when it has ended).
  bool running() {
    if (!running_) return false;
    int wait_status = 0;
    if (waitpid(pid_, &wait_status, WNOHANG) == pid_) {
      running_ = false;
      status_ = decode_status(wait_status);
    }
    return running_;
  }

  // Asks it to stop (SIGTERM) without waiting for the end.
  void terminate() {
    if (running_) terminate_when_idle(pid_);
  }

  // SIGTERM, then waits for the end; the exit status, or -1 on timeout.
  // The milter library notices the signal within about five seconds.
  int stop() {
    terminate();
    if (!wait_until([this] { return !running(); })) return -1;
    return status_;
  }

 private:
  pid_t pid_ = -1;
  bool running_ = true;
  int status_ = -1;
  std::string stdout_path_;
  std::string stderr_path_;
};

// The log file's lines with the 24-character timestamp and its space cut off;
// a line without room for one is kept whole.
inline std::vector<std::string> log_lines_without_time(const std::string &path) {
  std::vector<std::string> lines;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line.size() > 25 && line[24] == ' ' ? line.substr(25) : line);
  return lines;
}

inline bool log_has(const std::string &path, const std::string &line) {
  for (const std::string &seen : log_lines_without_time(path))
    if (seen == line) return true;
  return false;
}

inline bool running_as_root() { return getuid() == 0; }

}  // namespace cli
