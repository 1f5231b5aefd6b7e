// Running the real programs from tests: a program to its end, or the daemon
// in the background.
#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "support/milter_client.h"

namespace {

// In the child: never returns.
[[noreturn]] void exec_program(const std::string &path, const std::vector<std::string> &args, const Launch &launch,
                               int out, int err) {
  const int in = open(launch.stdin_path.empty() ? "/dev/null" : launch.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) _exit(120);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  if (!launch.directory.empty() && chdir(launch.directory.c_str()) != 0) _exit(121);
  if (launch.in_root_group) {
    const gid_t root_group = 0;
    if (setgroups(1, &root_group) != 0) _exit(124);
  }
  if (launch.as_nobody) {
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
      _exit(122);
  }
  std::vector<std::string> copies = args;
  std::string name = path.substr(path.rfind('/') + 1);
  std::vector<char *> argv{name.data()};
  for (std::string &arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execv(path.c_str(), argv.data());
  _exit(123);
}

int decode_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

}  // namespace

// Whether the main thread of `pid` waits in poll(2), which is where the
// milter library's listener waits between connections. True as well when
// the kernel does not tell (no wait channel to read).
bool listener_idle(pid_t pid) {
  const std::string wchan = read_file("/proc/" + std::to_string(pid) + "/wchan");
  return wchan.empty() || wchan == "0" || wchan.find("poll") != std::string::npos;
}

Result run_program(const std::string &path, const std::vector<std::string> &args, const Launch &launch) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  const pid_t child = fork();
  if (child == 0) exec_program(path, args, launch, out[1], err[1]);
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

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool wait_serving(const std::string &connection) {
  return wait_until([&] { return answers_negotiation(connection); });
}

void terminate_when_idle(pid_t pid) {
  wait_until([pid] { return listener_idle(pid) || kill(pid, 0) != 0; }, std::chrono::seconds(5));
  kill(pid, SIGTERM);
}

Daemon::Daemon(const std::string &path, const std::vector<std::string> &args, const TempDir &dir, Launch launch)
    : stdout_path_(launch.stdout_path.empty() ? dir / "daemon.out" : launch.stdout_path),
      stderr_path_(launch.stderr_path.empty() ? dir / "daemon.err" : launch.stderr_path) {
  pid_ = fork();
  if (pid_ == 0) {
    const int out = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    exec_program(path, args, launch, out, err);
  }
  running_ = pid_ > 0;  // after a failed fork there is nothing to kill, and kill(-1) would hit everything
}

Daemon::~Daemon() {
  if (running_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Daemon::running() {
  if (!running_) return false;
  int wait_status = 0;
  if (waitpid(pid_, &wait_status, WNOHANG) == pid_) {
    running_ = false;
    status_ = decode_status(wait_status);
  }
  return running_;
}

void Daemon::terminate() {
  if (running_) terminate_when_idle(pid_);
}

int Daemon::stop() {
  terminate();
  if (!wait_until([this] { return !running(); })) return -1;
  return status_;
}

std::vector<std::string> log_lines_without_time(const std::string &path) {
  std::vector<std::string> lines;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line.size() > 25 && line[24] == ' ' ? line.substr(25) : line);
  return lines;
}

bool log_has(const std::string &path, const std::string &line) {
  for (const std::string &seen : log_lines_without_time(path))
    if (seen == line) return true;
  return false;
}

bool running_as_root() { return getuid() == 0; }
